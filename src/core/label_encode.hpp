// Label encoding of one string column.
#pragma once

#include <string_view>
#include <vector>

#include "core/state.hpp"

namespace vorpak {

struct LabelEncoded {
  std::vector<double> codes;  // one per input text, in input order; NaN for markers
  EncodingTable table;        // every distinct text; markers without a code
};

// Whether the texts given to label_encode may hold a text twice, or are known
// to be distinct (then they are not looked up among each other at all). kFew:
// they may, but seldom do (the texts of distinct str objects), so they are
// sorted as they are and equal neighbours merged, with no look-up first.
enum class Repeats { kMaybe, kFew, kNone };

// The distinct texts, in ascending byte order and skipping the missing-value
// markers "nan", "NaN" and "<NA>", receive the codes 0, 1, 2, ...
LabelEncoded label_encode(const std::vector<std::string_view>& texts,
                          Repeats repeats = Repeats::kMaybe);

bool is_missing_marker(std::string_view text);

}  // namespace vorpak
