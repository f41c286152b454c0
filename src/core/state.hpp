// The fitted state an encoder keeps between calls.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/keyed_hash.hpp"
#include "core/text_tables.hpp"

namespace vorpak {

// The strategy for string columns. Label is the only one; its index is 0 on disk.
enum class StringEncoding : uint32_t { Label = 0 };

// Same keys with equal values, compared by look-up: every table has its own hash
// key and its own order, so neither a slot-wise nor an entry-wise comparison
// would do (nor would std's operator== on unordered maps, which assumes both
// sides hash alike).
template <typename Map, typename Equal>
bool same_entries(const Map& a, const Map& b, Equal equal) {
  if (a.size() != b.size()) return false;
  for (const auto& [key, value] : a) {
    const auto it = b.find(key);
    if (it == b.end() || !equal(value, it->second)) return false;
  }
  return true;
}

struct FittedTables {
  std::vector<uint64_t> encoded_columns;
  std::unordered_map<uint64_t, EncodingTable, KeyedHash> encoding_tables;
  std::unordered_map<uint64_t, DecodingTable, KeyedHash> decoding_tables;

  bool operator==(const FittedTables& other) const {
    const auto same_table = [](const auto& a, const auto& b) {
      return same_entries(a, b, [](const auto& x, const auto& y) { return x == y; });
    };
    return encoded_columns == other.encoded_columns &&
           same_entries(encoding_tables, other.encoding_tables, same_table) &&
           same_entries(decoding_tables, other.decoding_tables, same_table);
  }
};

// What one Python Encoder remembers. Replaced as a whole, never edited in place.
struct EncoderState {
  std::unique_ptr<const FittedTables> fitted;  // absent until fitted
  StringEncoding strategy = StringEncoding::Label;
};

}  // namespace vorpak
