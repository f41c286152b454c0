// A double as text, for a column whose numbers become texts beside its strs.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "core/column_job.hpp"

namespace vorpak {
namespace {

// Bytes past the documented capacity that must come back untouched.
constexpr size_t kGuard = 64;
constexpr char kGuardByte = '\x5A';

std::string text_of(double x) {
  std::vector<char> buf(kNumberTextCapacity + kGuard, kGuardByte);
  const size_t len = number_to_text(x, buf.data());
  EXPECT_LE(len, kNumberTextCapacity);
  for (size_t i = kNumberTextCapacity; i < buf.size(); ++i) {
    if (buf[i] != kGuardByte) {
      ADD_FAILURE() << "wrote past the capacity at " << i << " for " << x;
      break;
    }
  }
  return std::string(buf.data(), len < buf.size() ? len : buf.size());
}

struct Case {
  const char* name;
  double value;
  std::string text;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class NumberToText : public testing::TestWithParam<Case> {};

TEST_P(NumberToText, ShortestRoundTripDigitsInPositionalNotation) {
  EXPECT_EQ(text_of(GetParam().value), GetParam().text);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Values, NumberToText,
    testing::Values(
        Case{"one", 1.0, "1"},
        Case{"zero", 0.0, "0"},
        Case{"negative_zero", -0.0, "-0"},
        Case{"hundred", 100.0, "100"},
        Case{"one_tenth", 0.1, "0.1"},
        Case{"half", 0.5, "0.5"},
        Case{"negative", -1.5, "-1.5"},
        Case{"point_inside", 123.456, "123.456"},
        Case{"thousandth", 0.001, "0.001"},
        Case{"small", 1e-5, "0.00001"},
        Case{"ten_to_minus_seven", 1e-7, "0.0000001"},
        Case{"negative_small", -1e-7, "-0.0000001"},
        Case{"third", 1.0 / 3.0, "0.3333333333333333"},
        Case{"sum_not_exact", 0.1 + 0.2, "0.30000000000000004"},
        Case{"fifteen_digits_and_a_fraction", 123456789012345.6, "123456789012345.6"},
        Case{"ten_to_fifteen", 1e15, "1000000000000000"},
        Case{"ten_to_sixteen", 1e16, "10000000000000000"},
        Case{"two_to_53_plus_one", static_cast<double>((int64_t{1} << 53) + 1), "9007199254740992"},
        Case{"beyond_exact_integers", 12345678901234567890.0, "12345678901234567000"},
        // The double nearest 1e23 is 99999999999999991611392; "1e23" is its shortest form.
        Case{"ten_to_23", 1e23, "1" + std::string(23, '0')},
        Case{"ten_to_22", 1e22, "1" + std::string(22, '0')},
        Case{"large", 1.5e300, "15" + std::string(299, '0')},
        Case{"largest", std::numeric_limits<double>::max(), "17976931348623157" + std::string(292, '0')},
        Case{"lowest", std::numeric_limits<double>::lowest(), "-17976931348623157" + std::string(292, '0')},
        Case{"smallest_normal", std::numeric_limits<double>::min(),
             "0." + std::string(307, '0') + "22250738585072014"},
        Case{"smallest_subnormal", std::numeric_limits<double>::denorm_min(),
             "0." + std::string(323, '0') + "5"},
        // The longest text there is: a sign, "0.", 323 zeros and a digit.
        Case{"negative_smallest_subnormal", -std::numeric_limits<double>::denorm_min(),
             "-0." + std::string(323, '0') + "5"},
        Case{"nan", kNaN, "NaN"},
        Case{"negative_nan", -kNaN, "NaN"},
        Case{"nan_with_payload", std::bit_cast<double>(uint64_t{0x7FF0000000000001}), "NaN"},
        Case{"inf", kInf, "inf"},
        Case{"negative_inf", -kInf, "-inf"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// What the text must look like: an optional '-', an integer part without
// leading zeros, and a fraction (if any) without trailing zeros.
bool plain_positional(const std::string& text) {
  size_t at = text.empty() || text[0] != '-' ? 0 : 1;
  const size_t int_begin = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  const size_t int_len = at - int_begin;
  if (int_len == 0 || (int_len > 1 && text[int_begin] == '0')) return false;
  if (at == text.size()) return true;
  if (text[at] != '.') return false;
  const size_t frac_begin = ++at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  return at == text.size() && at > frac_begin && text.back() != '0';
}

// Significant digits: from the first non-zero digit to the last, the point skipped.
size_t significant_digits(const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 1;
  const size_t last = digits.find_last_not_of('0');
  return last - first + 1;
}

void expect_round_trip(double x) {
  const std::string text = text_of(x);
  ASSERT_TRUE(plain_positional(text)) << text;
  EXPECT_EQ(text.find('e'), std::string::npos) << text;
  // No double needs more than 17 significant digits to be told apart.
  EXPECT_LE(significant_digits(text), 17u) << text;
  char* end = nullptr;
  const double back = std::strtod(text.c_str(), &end);
  EXPECT_EQ(end, text.c_str() + text.size()) << text;
  EXPECT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(x))
      << text << " reads back as " << back;
}

TEST(NumberToTextProperty, RandomBitPatternsReadBackExactly) {
  std::mt19937_64 rng(20240601);
  size_t checked = 0;
  while (checked < 100000) {
    const double x = std::bit_cast<double>(rng());
    if (!std::isfinite(x)) continue;
    expect_round_trip(x);
    if (testing::Test::HasFailure()) return;
    ++checked;
  }
}

TEST(NumberToTextProperty, HumanScaleNumbersReadBackExactly) {
  // Uniform bit patterns are mostly astronomically large or small; these are
  // the magnitudes data holds, where the point falls inside the digits.
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int64_t> mantissa(-99999999, 99999999);
  std::uniform_int_distribution<int> scale(-12, 12);
  for (int i = 0; i < 50000; ++i) {
    const double x = static_cast<double>(mantissa(rng)) * std::pow(10.0, scale(rng));
    expect_round_trip(x);
    expect_round_trip(std::nextafter(x, kInf));
    if (testing::Test::HasFailure()) return;
  }
}

TEST(NumberToTextProperty, PowersOfTwoAndTenAndTheirNeighbours) {
  for (int e = -1074; e <= 1023; ++e) {
    const double x = std::ldexp(1.0, e);
    for (double y : {x, std::nextafter(x, 0.0), std::nextafter(x, kInf), -x}) {
      if (std::isfinite(y) && y != 0.0) expect_round_trip(y);
    }
  }
  for (int e = -323; e <= 308; ++e) {
    const double x = std::strtod(("1e" + std::to_string(e)).c_str(), nullptr);
    expect_round_trip(x);
    expect_round_trip(std::nextafter(x, 0.0));
  }
}

}  // namespace
}  // namespace vorpak
