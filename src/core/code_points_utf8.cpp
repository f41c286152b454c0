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
    if (c > 0x10FFFF) return CodePointsUtf8::kBeyond;
    surrogates = surrogates || is_surrogate(c);
    append_utf8(c, out);
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
