// UTF-8 of a string held as fixed-width code points, as Python strs hold theirs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorpak {

// Appends the UTF-8 of code point c (at most U+10FFFF); a surrogate is encoded
// as if it were a scalar value, as "surrogatepass" does.
inline void append_utf8(uint32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

inline bool is_surrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

enum class CodePointsUtf8 {
  kValid,     // every code point was a Unicode scalar value
  kRepaired,  // lone surrogates, each byte of whose encoding became U+FFFD
  kBeyond,    // a code point beyond U+10FFFF: no text was made
};

// Appends to `out` (cleared first) the UTF-8 of `length` code points of `width`
// bytes each (1, 2 or 4) at `data`. Surrogates are encoded one by one (a pair
// is not joined), and the bytes are then decoded leniently: what encoding a str
// with "surrogatepass" and decoding it with "replace" gives. Plain C++: a
// worker thread may run it on the storage of a str no one can change meanwhile.
CodePointsUtf8 code_points_to_utf8(const void* data, unsigned width, size_t length,
                                   std::string& out);

}  // namespace vorpak
