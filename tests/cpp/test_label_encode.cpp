// Label encoding of one column: which code each text gets.
#include <gtest/gtest.h>

#include "shown_bytes.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/label_encode.hpp"
#include "core/thread_pool.hpp"

namespace vorpak {
namespace {

using namespace std::string_literals;  // "a\0b"s keeps its NUL

std::vector<std::string_view> views(const std::vector<std::string>& texts) {
  return {texts.begin(), texts.end()};
}


// The codes a correct encoder gives: distinct non-marker texts numbered in
// ascending unsigned byte order, which std::string's comparison is.
std::map<std::string, double> reference_codes(const std::vector<std::string>& texts) {
  std::vector<std::string> distinct;
  for (const std::string& text : texts) {
    if (!is_missing_marker(text)) distinct.push_back(text);
  }
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::map<std::string, double> codes;
  for (size_t i = 0; i < distinct.size(); ++i) codes[distinct[i]] = static_cast<double>(i);
  return codes;
}

// Checks every code against the reference and the table against the codes:
// one entry per distinct text, markers without a code.
void expect_matches_reference(const std::vector<std::string>& texts, const LabelEncoded& got) {
  const std::map<std::string, double> expected = reference_codes(texts);
  ASSERT_EQ(got.codes.size(), texts.size());
  size_t wrong = 0;
  for (size_t i = 0; i < texts.size() && wrong < 10; ++i) {
    const auto it = expected.find(texts[i]);
    if (it == expected.end()) {
      if (!std::isnan(got.codes[i])) {
        ADD_FAILURE() << "marker " << shown(texts[i]) << " at " << i << " got " << got.codes[i];
        ++wrong;
      }
    } else if (got.codes[i] != it->second) {
      ADD_FAILURE() << shown(texts[i]) << " at " << i << ": code " << got.codes[i]
                    << ", expected " << it->second;
      ++wrong;
    }
  }

  size_t markers = 0;
  for (const char* marker : {"nan", "NaN", "<NA>"}) {
    markers += std::find(texts.begin(), texts.end(), marker) != texts.end();
  }
  EXPECT_EQ(got.table.size(), expected.size() + markers);
  for (const auto& [text, code] : expected) {
    const auto entry = got.table.find(text);
    ASSERT_NE(entry, got.table.end()) << shown(text) << " missing from the table";
    ASSERT_TRUE(entry->second.has_value()) << shown(text);
    EXPECT_EQ(static_cast<double>(*entry->second), code) << shown(text);
  }
  for (const auto& [text, code] : got.table) {
    if (is_missing_marker(text)) {
      EXPECT_FALSE(code.has_value()) << shown(text);
    }
  }
}

// ---------------------------------------------------------------------------
// Byte order: each case lists texts in the order their codes must follow.

struct OrderCase {
  const char* name;
  std::vector<std::string> ascending;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.name; }

class LabelOrder : public testing::TestWithParam<OrderCase> {};

TEST_P(LabelOrder, CodesFollowUnsignedByteOrderWhateverTheInputOrder) {
  const std::vector<std::string>& ascending = GetParam().ascending;
  std::vector<std::string> input = ascending;
  std::mt19937_64 rng(42);
  // Reversed and several shuffles: the codes belong to the texts, not to positions.
  std::reverse(input.begin(), input.end());
  for (int round = 0; round < 6; ++round) {
    const LabelEncoded got = label_encode(views(input));
    ASSERT_EQ(got.codes.size(), input.size());
    for (size_t i = 0; i < input.size(); ++i) {
      const auto rank = std::find(ascending.begin(), ascending.end(), input[i]) - ascending.begin();
      EXPECT_EQ(got.codes[i], static_cast<double>(rank)) << shown(input[i]);
    }
    expect_matches_reference(input, got);
    std::shuffle(input.begin(), input.end(), rng);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LabelOrder,
    testing::Values(
        OrderCase{"upper_case_before_lower_case", {"B", "Z", "a", "b"}},
        OrderCase{"digits_as_text_not_numbers", {"10", "100", "2", "9", "90"}},
        OrderCase{"empty_text_first", {"", " ", "0", "a"}},
        OrderCase{"multi_byte_utf8_after_ascii",
                  {"z", "\x7F", "\xC2\x80", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}},
        OrderCase{"high_bytes_are_unsigned", {"\x01", "A\x80", "B", "B\x7F", "B\x80", "\x7F", "\x80", "\xFE", "\xFF"}},
        OrderCase{"prefix_first", {"ab", "abc", "abcd", "abd"}},
        OrderCase{"prefix_of_eight_bytes_first", {"abcdefgh", "abcdefgh\x01", "abcdefghi"}},
        OrderCase{"prefix_of_seven_bytes_before_trailing_nul", {"abcdefg", "abcdefg\0"s, "abcdefg\x01"}},
        OrderCase{"same_first_eight_bytes",
                  {"abcdefghA", "abcdefghAA", "abcdefghB", "abcdefghZa", "abcdefgha"}},
        OrderCase{"same_first_eight_bytes_high_tail",
                  {"\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x00"s,
                   "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x7F", "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x80"}},
        OrderCase{"difference_in_eighth_byte", {"aaaaaaa\x7F", "aaaaaaa\x80", "aaaaaaa\xFF"}},
        OrderCase{"embedded_nul_bytes",
                  {"", "\0"s, "\0\0"s, "\0a"s, "a", "a\0"s, "a\0b"s, "a\x01", "ab"}},
        OrderCase{"marker_lookalikes_are_ordinary",
                  {"", " nan", "<NA", "<NA> ", "<na>", "NAN", "Nan", "None", "nan ", "nana", "null"}}),
    [](const testing::TestParamInfo<OrderCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Markers and duplicates.

TEST(LabelEncode, MarkersEncodeToNanAndTheOtherCodesCloseUp) {
  // "<" < "<NA>" < "=" and "N" < "NaN" < "O" and "n" < "nan" < "o": a marker
  // takes no code, so its neighbours get consecutive ones.
  const std::vector<std::string> texts = {"o", "nan", "<", "NaN", "=", "<NA>", "N", "O", "n"};
  const LabelEncoded got = label_encode(views(texts));
  const std::map<std::string, double> expected = {{"<", 0}, {"=", 1}, {"N", 2}, {"O", 3},
                                                  {"n", 4}, {"o", 5}};
  for (size_t i = 0; i < texts.size(); ++i) {
    const auto it = expected.find(texts[i]);
    if (it == expected.end()) {
      EXPECT_TRUE(std::isnan(got.codes[i])) << texts[i];
    } else {
      EXPECT_EQ(got.codes[i], it->second) << texts[i];
    }
  }
  ASSERT_EQ(got.table.size(), texts.size());
  for (const char* marker : {"nan", "NaN", "<NA>"}) {
    const auto entry = got.table.find(std::string(marker));
    ASSERT_NE(entry, got.table.end()) << marker;
    EXPECT_FALSE(entry->second.has_value()) << marker;
  }
}

struct MarkerCase {
  std::string text;
  bool marker;
};

void PrintTo(const MarkerCase& c, std::ostream* os) { *os << shown(c.text); }

class MissingMarker : public testing::TestWithParam<MarkerCase> {};

TEST_P(MissingMarker, OnlyTheThreeExactSpellingsAreMissing) {
  const MarkerCase& c = GetParam();
  EXPECT_EQ(is_missing_marker(c.text), c.marker);
  // Alone, and beside an ordinary text that must still get code 0.
  const LabelEncoded got = label_encode(views({c.text, c.text, "~~"}));
  if (c.marker) {
    EXPECT_TRUE(std::isnan(got.codes[0]));
    EXPECT_TRUE(std::isnan(got.codes[1]));
    EXPECT_EQ(got.codes[2], 0.0);
  } else {
    EXPECT_EQ(got.codes[0], 0.0);
    EXPECT_EQ(got.codes[1], 0.0);
    EXPECT_EQ(got.codes[2], 1.0);
  }
  EXPECT_EQ(got.table.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, MissingMarker,
    testing::Values(MarkerCase{"nan", true}, MarkerCase{"NaN", true}, MarkerCase{"<NA>", true},
                    MarkerCase{"NAN", false}, MarkerCase{" nan", false},
                    MarkerCase{"nan ", false}, MarkerCase{"None", false}, MarkerCase{"", false},
                    MarkerCase{"<NA", false}, MarkerCase{"<na>", false},
                    MarkerCase{"nan\0"s, false}, MarkerCase{"null", false}));

class Duplicates : public testing::TestWithParam<Repeats> {};

TEST_P(Duplicates, ShareACode) {
  const std::vector<std::string> texts = {"b", "a", "b", "", "a", "c", "b", "", "nan", "nan"};
  const LabelEncoded got = label_encode(views(texts), GetParam());
  const std::vector<double> expected = {2, 1, 2, 0, 1, 3, 2, 0};
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(got.codes[i], expected[i]) << i;
  EXPECT_TRUE(std::isnan(got.codes[8]));
  EXPECT_TRUE(std::isnan(got.codes[9]));
  EXPECT_EQ(got.table.size(), 5u);
  // In order but for one equal neighbour, which the in-order road must not take.
  expect_matches_reference({"a", "b", "b", "c"}, label_encode({"a", "b", "b", "c"}, GetParam()));
}

INSTANTIATE_TEST_SUITE_P(LabelEncode, Duplicates, testing::Values(Repeats::kMaybe, Repeats::kFew));

TEST(LabelEncode, EqualTextsFromDifferentBuffersShareACode) {
  // Views of separate storage: equality is by content, not by address.
  const std::string first = "shared text that is long enough";
  const std::string second = first;
  const std::string other = "shared text that is long enougH";
  const LabelEncoded got = label_encode({first, other, second});
  EXPECT_EQ(got.codes[0], got.codes[2]);
  EXPECT_NE(got.codes[0], got.codes[1]);
  EXPECT_EQ(got.table.size(), 2u);
}

TEST(LabelEncode, EmptyInput) {
  const LabelEncoded got = label_encode({});
  EXPECT_TRUE(got.codes.empty());
  EXPECT_EQ(got.table.size(), 0u);
}

TEST(LabelEncode, OnlyMarkers) {
  const LabelEncoded got = label_encode(views({"nan", "<NA>", "nan", "NaN"}));
  for (double code : got.codes) EXPECT_TRUE(std::isnan(code));
  EXPECT_EQ(got.table.size(), 3u);
}

// ---------------------------------------------------------------------------
// Large inputs: past 16384 distinct texts the sort runs on the pool.

// Texts built to make the sort's shortcuts matter: many share their first eight
// bytes (so the full texts break the tie), some are exactly eight bytes or a
// prefix of others, some hold NUL or high bytes, some are markers; repeats too.
std::vector<std::string> mixed_texts(size_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::vector<std::string> heads = {"",         "abcdefgh", "abcdefgg", "abcdefg",
                                          "\xFF\xFF", "\0\0"s,    "n",        "<NA"};
  const std::string alphabet = "\0\x01 09AZaz~\x7F\x80\xC3\xA9\xFF"s;
  std::vector<std::string> texts;
  texts.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const uint64_t pick = rng() % 100;
    if (pick < 2) {
      texts.push_back(pick == 0 ? "nan" : (rng() & 1) ? "NaN" : "<NA>");
    } else if (pick < 20 && !texts.empty()) {
      texts.push_back(texts[rng() % texts.size()]);  // a repeat
    } else {
      std::string text = heads[rng() % heads.size()];
      const size_t tail = rng() % 9;
      for (size_t k = 0; k < tail; ++k) text += alphabet[rng() % alphabet.size()];
      texts.push_back(std::move(text));
    }
  }
  return texts;
}

size_t distinct_count(std::vector<std::string> texts) {
  std::sort(texts.begin(), texts.end());
  return static_cast<size_t>(std::unique(texts.begin(), texts.end()) - texts.begin());
}

TEST(LabelEncodeLarge, MatchesASortedReference) {
  const std::vector<std::string> texts = mixed_texts(60000, 7);
  ASSERT_GT(distinct_count(texts), 16384u) << "too few distinct texts to sort on the pool";
  expect_matches_reference(texts, label_encode(views(texts)));
  expect_matches_reference(texts, label_encode(views(texts), Repeats::kFew));
}

TEST(LabelEncodeLarge, CodesDoNotDependOnRowOrder) {
  std::vector<std::string> texts = mixed_texts(40000, 11);
  const LabelEncoded first = label_encode(views(texts));
  std::map<std::string, double> code_of;  // NaN never compares equal, so markers are left out
  for (size_t i = 0; i < texts.size(); ++i) {
    if (!std::isnan(first.codes[i])) code_of[texts[i]] = first.codes[i];
  }
  std::mt19937_64 rng(3);
  for (int round = 0; round < 3; ++round) {
    std::shuffle(texts.begin(), texts.end(), rng);
    const LabelEncoded again = label_encode(views(texts));
    size_t wrong = 0;
    for (size_t i = 0; i < texts.size() && wrong < 10; ++i) {
      const auto it = code_of.find(texts[i]);
      const bool ok = it == code_of.end() ? std::isnan(again.codes[i]) : again.codes[i] == it->second;
      if (!ok) {
        ADD_FAILURE() << shown(texts[i]) << " got " << again.codes[i] << " after shuffle " << round;
        ++wrong;
      }
    }
  }
}

TEST(LabelEncodeLarge, CodesDoNotDependOnThreadCount) {
  // This process's pool has the size the environment gives it (the test runs
  // again with RAYON_NUM_THREADS=1 and 3); an InlineScope makes it one thread.
  const std::vector<std::string> texts = mixed_texts(50000, 19);
  const LabelEncoded pooled = label_encode(views(texts));
  LabelEncoded inline_result;
  {
    pool::InlineScope one_thread;
    ASSERT_EQ(pool::thread_count(), 1u);
    inline_result = label_encode(views(texts));
  }
  ASSERT_EQ(pooled.codes.size(), inline_result.codes.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    // Markers must agree too, and NaN never compares equal.
    ASSERT_EQ(std::isnan(pooled.codes[i]), std::isnan(inline_result.codes[i])) << i;
    if (!std::isnan(pooled.codes[i])) {
      ASSERT_EQ(pooled.codes[i], inline_result.codes[i]) << i;
    }
  }
  expect_matches_reference(texts, inline_result);
}

TEST(LabelEncodeLarge, TextsInOrderWithStragglersAfter) {
  // Distinct texts in order, then a few taken out and put after them: merged
  // in up to a sixteenth of the run, sorted whole past that.
  std::vector<std::string> distinct = mixed_texts(40000, 23);
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  std::mt19937_64 rng(29);
  const size_t n = distinct.size();
  for (size_t moved : {size_t{1}, size_t{7}, n / 17, n / 17 + 1, n / 4}) {
    std::vector<std::string> texts = distinct;
    std::vector<std::string> after;
    for (size_t k = 0; k < moved; ++k) {
      const size_t at = rng() % texts.size();
      after.push_back(texts[at]);
      texts.erase(texts.begin() + static_cast<ptrdiff_t>(at));
    }
    texts.insert(texts.end(), after.begin(), after.end());
    expect_matches_reference(texts, label_encode(views(texts), Repeats::kNone));
    expect_matches_reference(texts, label_encode(views(texts), Repeats::kFew));
    texts.push_back(texts.front());  // a repeat, so the texts are interned first
    expect_matches_reference(texts, label_encode(views(texts)));
    expect_matches_reference(texts, label_encode(views(texts), Repeats::kFew));
  }
}

TEST(LabelEncodeLarge, AllDistinctLongSharedPrefix) {
  // Every text distinct and all alike in their first sixteen bytes: every
  // comparison falls through to the full texts.
  std::vector<std::string> texts;
  for (uint32_t i = 0; i < 30000; ++i) {
    texts.push_back("common-prefix-16" + std::to_string(i * 2654435761u));
  }
  std::mt19937_64 rng(5);
  std::shuffle(texts.begin(), texts.end(), rng);
  expect_matches_reference(texts, label_encode(views(texts)));
  texts.push_back("nan");  // a marker among them too
  expect_matches_reference(texts, label_encode(views(texts), Repeats::kNone));
}

}  // namespace
}  // namespace vorpak
