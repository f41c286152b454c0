// Row ranges that number their texts each on their own, joined into the
// numbers one walk from the top gives.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/keyed_hash.hpp"
#include "core/range_texts.hpp"

namespace vorpak {
namespace {

// Short and long texts, most met once, some in every range. Odd ranges reserve
// their first row's text, learnt only at the join and met again. Enough texts
// for three threads' shares of the join.
TEST(RangeTexts, JoinNumbersAsOneWalkFromTheTop) {
  std::mt19937_64 random(7);
  const size_t rows = 60000;
  for (size_t count : {1, 2, 5}) {
    std::vector<std::string> column(rows);
    for (size_t i = 0; i < rows; ++i) {
      const uint64_t pick = random() % 8;
      column[i] = pick == 0 ? "often " + std::to_string(random() % 50)
                            : std::string(pick == 1 ? 40 : 1, 'L') + std::to_string(i);
    }
    const uint64_t key = fresh_hash_key();
    std::vector<RangeTexts> ranges;
    std::vector<std::vector<uint64_t>> local(count);
    for (size_t k = 0; k < count; ++k) {
      ranges.emplace_back(key);
      const size_t begin = rows * k / count, end = rows * (k + 1) / count;
      const bool reserved = k % 2 == 1;
      if (reserved) column[begin] = "often 0", local[k].push_back(ranges[k].reserve());
      std::map<std::string, int> met;  // each text is new to its range once
      for (size_t i = begin + reserved; i < end; ++i) {
        local[k].push_back(ranges[k].id_of(column[i], [&](std::string_view t) {
          EXPECT_EQ(++met[std::string(t)], 1) << t;
        }));
      }
      if (reserved) ranges[k].set_text(0, column[begin]);
    }
    std::vector<const RangeTexts*> tables;
    for (const RangeTexts& range : ranges) tables.push_back(&range);
    std::vector<std::vector<uint64_t>> ids;
    const std::vector<std::string_view> joined = join_range_texts(tables, ids);

    std::map<std::string, uint64_t> first_seen;
    std::vector<std::string> want;
    for (const std::string& text : column) {
      if (first_seen.emplace(text, want.size()).second) want.push_back(text);
    }
    ASSERT_EQ(std::vector<std::string>(joined.begin(), joined.end()), want) << count << " ranges";
    for (size_t k = 0, i = 0; k < count; ++k) {
      for (uint64_t l : local[k]) ASSERT_EQ(ids[k][l], first_seen[column[i++]]);
    }
  }
}

}  // namespace
}  // namespace vorpak
