// UTF-8 of a string held as fixed-width code points, as Python strs hold theirs.
#pragma once

#include <cstddef>
#include <string>

namespace vorpak {

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
