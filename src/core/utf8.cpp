#include "core/utf8.hpp"

#include <cstdint>

namespace vorpak {
namespace {

struct SequenceShape {
  size_t length;                 // total bytes of a well-formed sequence; 0 if the lead is invalid
  uint8_t second_lo, second_hi;  // allowed range of the second byte
};

// The Unicode Standard's table of well-formed byte sequences, keyed by the lead byte.
SequenceShape shape_of(uint8_t lead) {
  if (lead < 0x80) return {1, 0, 0};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

enum class Step { kValid, kInvalid, kTruncated };

// Examines the sequence starting at `at`; `consumed` receives its length when
// valid, or the length of the maximal invalid subpart otherwise.
Step examine(std::string_view s, size_t at, size_t& consumed) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const SequenceShape shape = shape_of(p[at]);
  if (shape.length == 0) {
    consumed = 1;
    return Step::kInvalid;
  }
  for (size_t k = 1; k < shape.length; ++k) {
    if (at + k >= s.size()) {
      consumed = k;
      return Step::kTruncated;
    }
    const uint8_t b = p[at + k];
    const uint8_t lo = k == 1 ? shape.second_lo : 0x80;
    const uint8_t hi = k == 1 ? shape.second_hi : 0xBF;
    if (b < lo || b > hi) {
      consumed = k;
      return Step::kInvalid;
    }
  }
  consumed = shape.length;
  return Step::kValid;
}

}  // namespace

Utf8Check check_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  const size_t n = bytes.size();
  const auto continues = [&](size_t at) { return at < n && (p[at] & 0xC0) == 0x80; };
  size_t i = 0;
  while (i < n) {
    // ASCII runs are the common case; skip them eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t word;
      __builtin_memcpy(&word, p + i, 8);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    // Short texts and the ends of long ones: a byte at a time, still inline.
    for (const size_t stop = i + 8 < n ? i + 8 : n; i < stop && p[i] < 0x80;) ++i;
    if (i >= n || p[i] < 0x80) continue;
    // The common well-formed two- and three-byte sequences are taken here; a
    // lead with narrower second bytes (E0, ED), four-byte sequences and every
    // fault go through the table.
    const uint8_t lead = p[i];
    if (lead >= 0xC2 && lead <= 0xDF && continues(i + 1)) {
      i += 2;
      continue;
    }
    if (lead >= 0xE1 && lead <= 0xEF && lead != 0xED && continues(i + 1) && continues(i + 2)) {
      i += 3;
      continue;
    }
    size_t consumed = 0;
    switch (examine(bytes, i, consumed)) {
      case Step::kValid:
        i += consumed;
        break;
      case Step::kInvalid:
        return {i, consumed};
      case Step::kTruncated:
        return {i, 0};
    }
  }
  return {bytes.size(), 0};
}

std::string utf8_lossy(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    size_t consumed = 0;
    if (examine(bytes, i, consumed) == Step::kValid) {
      out.append(bytes.substr(i, consumed));
    } else {
      out.append(kReplacement);  // a truncated tail is one maximal subpart too
    }
    i += consumed;
  }
  return out;
}

}  // namespace vorpak
