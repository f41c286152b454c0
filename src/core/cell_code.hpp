// Which code a cell of codes stands for.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

namespace vorpak {

// The code a cell stands for, if any. A NaN, anything at or below -1 (the -1
// that other tools use for "missing" must not become the first category) and
// anything at or above 2^64 stand for no code; the rest truncate toward zero.
inline std::optional<uint64_t> code_of_cell(double x) {
  if (std::isnan(x) || x <= -1.0 || x >= 18446744073709551616.0) return std::nullopt;
  return static_cast<uint64_t>(x);  // -1 < x < 0 truncates to 0
}

}  // namespace vorpak
