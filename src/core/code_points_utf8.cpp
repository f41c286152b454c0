#include "core/code_points_utf8.hpp"

#include <cstdint>

#include "core/utf8.hpp"

namespace vorpak {
namespace {

template <class CodePoint>
CodePointsUtf8 encode(const CodePoint* points, size_t length, std::string& out) {
  out.clear();
  out.reserve(length * (sizeof(CodePoint) == 1 ? 2 : 3));
  bool surrogates = false;
  for (size_t k = 0; k < length; ++k) {
    const uint32_t c = points[k];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      surrogates = surrogates || (c >= 0xD800 && c <= 0xDFFF);
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c <= 0x10FFFF) {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      return CodePointsUtf8::kBeyond;
    }
  }
  if (!surrogates) return CodePointsUtf8::kValid;
  out = utf8_lossy(out);
  return CodePointsUtf8::kRepaired;
}

}  // namespace

CodePointsUtf8 code_points_to_utf8(const void* data, unsigned width, size_t length,
                                   std::string& out) {
  switch (width) {
    case 1: return encode(static_cast<const uint8_t*>(data), length, out);
    case 2: return encode(static_cast<const uint16_t*>(data), length, out);
    default: return encode(static_cast<const uint32_t*>(data), length, out);
  }
}

}  // namespace vorpak
