// UTF-8 checking and lossy repair, held to what Python's
// bytes.decode("utf-8", "replace") and its UnicodeDecodeError report.
#include <gtest/gtest.h>

#include "shown_bytes.hpp"

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/utf8.hpp"

// U+FFFD as UTF-8. A macro so that it can sit between literals: a hex escape
// runs on through every hex digit after it, so "\xBD" "b" must stay two literals.
#define FFFD "\xEF\xBF\xBD"

namespace vorpak {
namespace {

using namespace std::string_literals;


// One row of the table. `valid_up_to` is Python's UnicodeDecodeError.start (the
// size when the bytes decode); `error_len` is its end - start, except that 0
// stands for "unexpected end of data", a sequence cut short by the end.
struct Case {
  const char* name;
  std::string input;
  std::string lossy;
  size_t valid_up_to;
  size_t error_len;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name << " " << shown(c.input); }

class Utf8Table : public testing::TestWithParam<Case> {};

TEST_P(Utf8Table, CheckAndRepairAsPythonDoes) {
  const Case& c = GetParam();
  const Utf8Check check = check_utf8(c.input);
  EXPECT_EQ(check.valid_up_to, c.valid_up_to);
  EXPECT_EQ(check.error_len, c.error_len);
  EXPECT_EQ(check.ok(c.input.size()), c.valid_up_to == c.input.size());
  EXPECT_EQ(shown(utf8_lossy(c.input)), shown(c.lossy));
}

INSTANTIATE_TEST_SUITE_P(
    Valid, Utf8Table,
    testing::Values(
        Case{"empty", "", "", 0, 0},
        Case{"ascii", "plain ascii", "plain ascii", 11, 0},
        Case{"embedded_nul", "a\0b"s, "a\0b"s, 3, 0},
        Case{"two_byte_lowest", "\xC2\x80", "\xC2\x80", 2, 0},
        Case{"two_byte_highest", "\xDF\xBF", "\xDF\xBF", 2, 0},
        Case{"two_byte_among_ascii", "\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9", 5, 0},
        Case{"three_byte_lowest", "\xE0\xA0\x80", "\xE0\xA0\x80", 3, 0},
        Case{"euro_sign", "\xE2\x82\xAC", "\xE2\x82\xAC", 3, 0},
        Case{"last_before_surrogates", "\xED\x9F\xBF", "\xED\x9F\xBF", 3, 0},
        Case{"first_after_surrogates", "\xEE\x80\x80", "\xEE\x80\x80", 3, 0},
        Case{"three_byte_highest", "\xEF\xBF\xBF", "\xEF\xBF\xBF", 3, 0},
        Case{"four_byte_lowest", "\xF0\x90\x80\x80", "\xF0\x90\x80\x80", 4, 0},
        Case{"emoji", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", 4, 0},
        Case{"highest_scalar", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF", 4, 0},
        Case{"replacement_character_itself", FFFD, FFFD, 3, 0}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Surrogates, Utf8Table,
    testing::Values(
        // What "\ud800".encode("utf-8", "surrogatepass") gives: ED may not be
        // followed by A0..BF, so the lead alone is the bad part, then each
        // continuation byte on its own.
        Case{"high_surrogate", "\xED\xA0\x80", FFFD FFFD FFFD, 0, 1},
        Case{"last_high_surrogate", "\xED\xAF\xBF", FFFD FFFD FFFD, 0, 1},
        Case{"low_surrogate", "\xED\xB0\x80", FFFD FFFD FFFD, 0, 1},
        Case{"last_low_surrogate", "\xED\xBF\xBF", FFFD FFFD FFFD, 0, 1},
        Case{"surrogate_pair", "\xED\xA0\xBD\xED\xB8\x80", FFFD FFFD FFFD FFFD FFFD FFFD, 0, 1},
        Case{"surrogate_between_ascii", "a\xED\xA0\x80" "b", "a" FFFD FFFD FFFD "b", 1, 1},
        Case{"surrogate_cut_short", "\xED\xA0", FFFD FFFD, 0, 1}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Overlong, Utf8Table,
    testing::Values(
        Case{"nul_in_two_bytes", "\xC0\x80", FFFD FFFD, 0, 1},
        Case{"slash_in_two_bytes", "\xC0\xAF", FFFD FFFD, 0, 1},
        Case{"highest_c1", "\xC1\xBF", FFFD FFFD, 0, 1},
        Case{"slash_in_three_bytes", "\xE0\x80\xAF", FFFD FFFD FFFD, 0, 1},
        Case{"highest_overlong_three", "\xE0\x9F\xBF", FFFD FFFD FFFD, 0, 1},
        Case{"overlong_three_cut_short", "\xE0\x80", FFFD FFFD, 0, 1},
        Case{"slash_in_four_bytes", "\xF0\x80\x80\xAF", FFFD FFFD FFFD FFFD, 0, 1},
        Case{"highest_overlong_four", "\xF0\x8F\xBF\xBF", FFFD FFFD FFFD FFFD, 0, 1}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    BeyondU10FFFF, Utf8Table,
    testing::Values(
        Case{"just_past_the_last", "\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD, 0, 1},
        Case{"past_the_last_cut_short", "\xF4\x90", FFFD FFFD, 0, 1},
        Case{"lead_f5", "\xF5\x80\x80\x80", FFFD FFFD FFFD FFFD, 0, 1},
        Case{"lead_f7", "\xF7\xBF\xBF\xBF", FFFD FFFD FFFD FFFD, 0, 1},
        Case{"five_byte_form", "\xF8\x88\x80\x80\x80", FFFD FFFD FFFD FFFD FFFD, 0, 1},
        Case{"lead_fe", "\xFE", FFFD, 0, 1},
        Case{"lead_ff", "\xFF", FFFD, 0, 1}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Truncated, Utf8Table,
    testing::Values(
        // Cut short by the end: one U+FFFD for the whole valid-so-far start.
        Case{"two_byte_lead_at_end", "\xC3", FFFD, 0, 0},
        Case{"after_ascii", "a\xC3", "a" FFFD, 1, 0},
        Case{"three_byte_lead_at_end", "\xE2", FFFD, 0, 0},
        Case{"three_byte_two_of_three", "\xE2\x82", FFFD, 0, 0},
        Case{"lowest_three_two_of_three", "\xE0\xA0", FFFD, 0, 0},
        Case{"four_byte_two_of_four", "\xF0\x9F", FFFD, 0, 0},
        Case{"four_byte_three_of_four", "\xF0\x9F\x98", FFFD, 0, 0},
        Case{"lowest_four_three_of_four", "\xF0\x90\x80", FFFD, 0, 0},
        // Cut short by a byte that cannot continue it: the valid-so-far start is
        // one bad part, and the interrupting byte is read afresh.
        Case{"three_byte_interrupted_after_lead", "\xE2" "a", FFFD "a", 0, 1},
        Case{"three_byte_interrupted_after_two", "\xE2\x82" "a", FFFD "a", 0, 2},
        Case{"lowest_three_interrupted", "\xE0\xA0" "a", FFFD "a", 0, 2},
        Case{"four_byte_interrupted_after_three", "\xF0\x9F\x98" "a", FFFD "a", 0, 3},
        Case{"interrupted_by_a_lead", "\xC3\xC3\xA9", FFFD "\xC3\xA9", 0, 1},
        Case{"interrupted_by_a_whole_sequence", "\xE2\x82\xE2\x82\xAC", FFFD "\xE2\x82\xAC", 0, 2}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Stray, Utf8Table,
    testing::Values(
        Case{"lone_continuation", "\x80", FFFD, 0, 1},
        Case{"highest_continuation", "\xBF", FFFD, 0, 1},
        Case{"two_continuations", "\x80\x80", FFFD FFFD, 0, 1},
        // The Unicode Standard's example of maximal subparts (table 3-8).
        Case{"unicode_example", "a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d",
             "a" FFFD FFFD FFFD "b" FFFD "c" FFFD FFFD "d", 1, 3}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    AfterAsciiRuns, Utf8Table,
    testing::Values(
        // The check skips ASCII eight bytes at a time; errors at and around a
        // word's edge must still be placed exactly.
        Case{"first_byte_after_a_word", "abcdefgh\xFF", "abcdefgh" FFFD, 8, 1},
        Case{"last_byte_of_a_word", "abcdefg\x80ijk", "abcdefg" FFFD "ijk", 7, 1},
        Case{"cut_short_after_two_words", "abcdefghijklmnop\xC3", "abcdefghijklmnop" FFFD, 16, 0},
        Case{"after_a_sequence_after_words", "abcdefghijklmnopq\xE2\x82\xAC\xFF",
             "abcdefghijklmnopq\xE2\x82\xAC" FFFD, 20, 1},
        Case{"valid_sequence_inside_a_word", "abc\xC3\xA9" "defghijklmn\xED\xA0\x80",
             "abc\xC3\xA9" "defghijklmn" FFFD FFFD FFFD, 16, 1}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Whole ranges against an encoder and a decoder written here from code point
// arithmetic, not from the table of lead bytes the implementation uses.

// UTF-8 of any value below 2^21, in the fewest bytes its size allows, or
// `width` bytes when that is more (an overlong form). Surrogates are encoded
// as surrogatepass encodes them.
std::string encode_point(uint32_t cp, int width = 0) {
  if (width == 0) width = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  if (width == 1) return std::string(1, static_cast<char>(cp));
  static constexpr uint8_t kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  std::string out(static_cast<size_t>(width), '\0');
  for (int k = width - 1; k > 0; --k) {
    out[static_cast<size_t>(k)] = static_cast<char>(0x80 | (cp & 0x3F));
    cp >>= 6;
  }
  out[0] = static_cast<char>(kLead[width] | cp);
  return out;
}

bool is_surrogate(uint32_t cp) { return cp >= 0xD800 && cp <= 0xDFFF; }

TEST(Utf8Ranges, EveryScalarValueIsValidAndKept) {
  std::string all;
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (is_surrogate(cp)) continue;
    const std::string bytes = encode_point(cp);
    const Utf8Check check = check_utf8(bytes);
    ASSERT_TRUE(check.ok(bytes.size())) << "U+" << std::hex << cp;
    ASSERT_EQ(check.error_len, 0u) << "U+" << std::hex << cp;
    all += bytes;
  }
  // All of them in one text, where the ASCII skipping meets multi-byte sequences.
  EXPECT_TRUE(check_utf8(all).ok(all.size()));
  EXPECT_TRUE(utf8_lossy(all) == all);
}

TEST(Utf8Ranges, EverySurrogateIsThreeReplacements) {
  for (uint32_t cp = 0xD800; cp <= 0xDFFF; ++cp) {
    // Appended piece by piece: g++ 12 at -O3 misreads "x" + std::string as an
    // overlapping copy (-Wrestrict).
    std::string bytes = "x";
    bytes += encode_point(cp);
    bytes += "y";
    const Utf8Check check = check_utf8(bytes);
    ASSERT_EQ(check.valid_up_to, 1u) << "U+" << std::hex << cp;
    ASSERT_EQ(check.error_len, 1u) << "U+" << std::hex << cp;
    ASSERT_EQ(utf8_lossy(bytes), "x" FFFD FFFD FFFD "y") << "U+" << std::hex << cp;
  }
}

TEST(Utf8Ranges, EveryOverlongFormIsOneReplacementPerByte) {
  for (int width = 2; width <= 4; ++width) {
    const uint32_t limit = width == 2 ? 0x80 : width == 3 ? 0x800 : 0x10000;
    for (uint32_t cp = 0; cp < limit; cp += (width == 4 ? 7 : 1)) {
      const std::string bytes = encode_point(cp, width);
      const Utf8Check check = check_utf8(bytes);
      ASSERT_EQ(check.valid_up_to, 0u) << shown(bytes);
      ASSERT_EQ(check.error_len, 1u) << shown(bytes);
      std::string expected;
      for (int k = 0; k < width; ++k) expected += FFFD;
      ASSERT_EQ(utf8_lossy(bytes), expected) << shown(bytes);
    }
  }
}

TEST(Utf8Ranges, EveryFourByteValuePastU10FFFFIsFourReplacements) {
  for (uint32_t cp = 0x110000; cp < 0x200000; cp += 0x3F1) {
    const std::string bytes = encode_point(cp, 4);
    const Utf8Check check = check_utf8(bytes);
    ASSERT_EQ(check.valid_up_to, 0u) << shown(bytes);
    ASSERT_EQ(check.error_len, 1u) << shown(bytes);
    ASSERT_EQ(utf8_lossy(bytes), FFFD FFFD FFFD FFFD) << shown(bytes);
  }
}

// A lenient decoder after the Unicode Standard's definition: a maximal subpart
// is the longest start of a well-formed sequence, found here by checking the
// value decoded so far rather than byte ranges.
struct Reference {
  std::string lossy;
  Utf8Check first_error;  // as check_utf8 reports it
};

// Whether bits `cp`, followed by `rest` bits still unknown, can end as a
// scalar value that needs exactly need + 1 bytes.
bool viable(uint32_t cp, size_t rest, size_t need) {
  const uint32_t lowest = need == 1 ? 0x80 : need == 2 ? 0x800 : 0x10000;
  const uint32_t lo = cp << rest, hi = lo | ((uint32_t{1} << rest) - 1);
  const bool overlong = hi < lowest;
  const bool too_high = lo > 0x10FFFF;
  const bool surrogate = lo >= 0xD800 && hi <= 0xDFFF;
  return !overlong && !too_high && !surrogate;
}

Reference reference_decode(std::string_view bytes) {
  Reference ref;
  bool seen_error = false;
  const size_t n = bytes.size();
  size_t i = 0;
  auto replace = [&](size_t at, size_t len, bool at_end) {
    ref.lossy += FFFD;
    if (!seen_error) ref.first_error = {at, at_end ? 0 : len};
    seen_error = true;
  };
  while (i < n) {
    const auto lead = static_cast<uint8_t>(bytes[i]);
    size_t need;
    uint32_t cp;
    if (lead < 0x80) {
      ref.lossy += static_cast<char>(lead);
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      need = 1, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      need = 2, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      need = 3, cp = lead & 0x07;
    } else {
      replace(i, 1, false);
      ++i;
      continue;
    }
    // The lead alone may already rule out every scalar value in shortest form.
    if (!viable(cp, 6 * need, need)) {
      replace(i, 1, false);
      ++i;
      continue;
    }
    size_t k = 1;
    bool bad = false;
    for (; k <= need; ++k) {
      if (i + k >= n) break;
      const auto c = static_cast<uint8_t>(bytes[i + k]);
      if ((c & 0xC0) != 0x80) {
        bad = true;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
      // The first continuation byte settles the rest; a sequence it rules out
      // has the lead alone as its bad part.
      if (k == 1 && !viable(cp, 6 * (need - 1), need)) {
        bad = true;
        break;
      }
    }
    if (k > need) {
      ref.lossy.append(bytes.substr(i, need + 1));
      i += need + 1;
    } else if (bad) {
      replace(i, k, false);
      i += k;
    } else {
      replace(i, k, true);  // the end came first
      i += k;
    }
  }
  if (!seen_error) ref.first_error = {n, 0};
  return ref;
}

void expect_as_reference(std::string_view bytes) {
  const Reference ref = reference_decode(bytes);
  const Utf8Check check = check_utf8(bytes);
  ASSERT_EQ(check.valid_up_to, ref.first_error.valid_up_to) << shown(bytes);
  ASSERT_EQ(check.error_len, ref.first_error.error_len) << shown(bytes);
  const std::string lossy = utf8_lossy(bytes);
  ASSERT_EQ(shown(lossy), shown(ref.lossy)) << shown(bytes);
  ASSERT_TRUE(check_utf8(lossy).ok(lossy.size())) << shown(bytes);
}

TEST(Utf8Reference, ReferenceAgreesWithTheTable) {
  // The reference is only worth comparing with if it gets the hand-written rows right.
  for (const auto& [input, lossy] : std::vector<std::pair<std::string, std::string>>{
           {"\xED\xA0\x80", FFFD FFFD FFFD},
           {"\xE0\x80\xAF", FFFD FFFD FFFD},
           {"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},
           {"\xF0\x9F\x98" "a", FFFD "a"},
           {"a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d", "a" FFFD FFFD FFFD "b" FFFD "c" FFFD FFFD "d"}}) {
    EXPECT_EQ(shown(reference_decode(input).lossy), shown(lossy));
  }
}

TEST(Utf8Reference, EveryOneAndTwoByteString) {
  for (int a = 0; a < 256; ++a) {
    expect_as_reference(std::string(1, static_cast<char>(a)));
    for (int b = 0; b < 256; ++b) {
      const char bytes[2] = {static_cast<char>(a), static_cast<char>(b)};
      expect_as_reference(std::string_view(bytes, 2));
    }
  }
}

TEST(Utf8Reference, EveryThreeByteStringWithAnInterestingLead) {
  // The leads whose allowed second bytes differ, and their neighbours.
  for (int a : {0x7F, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4,
                0xF5}) {
    for (int b = 0; b < 256; ++b) {
      for (int c = 0; c < 256; ++c) {
        const char bytes[3] = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
        expect_as_reference(std::string_view(bytes, 3));
      }
    }
  }
}

TEST(Utf8Reference, RandomTexts) {
  // Bytes drawn mostly from the edges of the ranges that matter, in texts long
  // enough for the eight-byte ASCII skipping to take part.
  const std::vector<uint8_t> edges = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                      0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEF, 0xF0,
                                      0xF3, 0xF4, 0xF5, 0xFF};
  std::mt19937_64 rng(99);
  for (int round = 0; round < 100000; ++round) {
    std::string bytes(rng() % 24, '\0');
    for (char& byte : bytes) {
      const uint64_t pick = rng() % 8;
      byte = static_cast<char>(pick < 3 ? 'a' + rng() % 26 : pick < 6 ? edges[rng() % edges.size()] : rng());
    }
    expect_as_reference(bytes);
    if (testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace vorpak
