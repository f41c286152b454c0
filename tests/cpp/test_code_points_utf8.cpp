// Code points of 1, 2 or 4 bytes as UTF-8, held to what Python gives for
// s.encode("utf-8", "surrogatepass").decode("utf-8", "replace"); and read by
// several threads at once from one shared string, as pool workers read strs.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "core/code_points_utf8.hpp"

#define FFFD "\xEF\xBF\xBD"

namespace vorpak {
namespace {

template <class CodePoint>
std::pair<CodePointsUtf8, std::string> utf8_of(std::vector<CodePoint> points) {
  std::string out = "left over";
  const auto result = code_points_to_utf8(points.data(), sizeof(CodePoint), points.size(), out);
  return {result, out};
}

TEST(CodePointsUtf8, EachWidthGivesTheUtf8OfItsCodePoints) {
  EXPECT_EQ(utf8_of<uint8_t>({'a', 0xE9, 0xFF}),
            std::make_pair(CodePointsUtf8::kValid, std::string("a\xC3\xA9\xC3\xBF")));
  EXPECT_EQ(utf8_of<uint16_t>({0x2A4, 0x20AC, 0xFFFF}),
            std::make_pair(CodePointsUtf8::kValid,
                           std::string("\xCA\xA4\xE2\x82\xAC\xEF\xBF\xBF")));
  EXPECT_EQ(utf8_of<uint32_t>({0x1F600, 0x10FFFF, 'z'}),
            std::make_pair(CodePointsUtf8::kValid,
                           std::string("\xF0\x9F\x98\x80\xF4\x8F\xBF\xBFz")));
  EXPECT_EQ(utf8_of<uint8_t>({}), std::make_pair(CodePointsUtf8::kValid, std::string()));
}

TEST(CodePointsUtf8, LoneSurrogatesBecomeOneReplacementPerByte) {
  // "a\ud800b": b"a\xed\xa0\x80b" decodes to a, three U+FFFD, b.
  EXPECT_EQ(utf8_of<uint16_t>({'a', 0xD800, 'b'}),
            std::make_pair(CodePointsUtf8::kRepaired, std::string("a" FFFD FFFD FFFD "b")));
  // A pair spelt as two code points is not joined.
  EXPECT_EQ(utf8_of<uint32_t>({0xD83D, 0xDE00, 0x1F600}),
            std::make_pair(CodePointsUtf8::kRepaired,
                           std::string(FFFD FFFD FFFD FFFD FFFD FFFD "\xF0\x9F\x98\x80")));
}

TEST(CodePointsUtf8, CodePointsBeyondUnicodeAreRefused) {
  EXPECT_EQ(utf8_of<uint32_t>({'a', 0x110000}).first, CodePointsUtf8::kBeyond);
}

TEST(CodePointsUtf8, ThreadsReadOneStringAtOnce) {
  std::vector<uint16_t> shared(4096);
  for (size_t k = 0; k < shared.size(); ++k) shared[k] = static_cast<uint16_t>(0x100 + k * 13);
  shared[1000] = 0xDC00;
  std::string expected;
  code_points_to_utf8(shared.data(), 2, shared.size(), expected);
  std::vector<std::string> got(4);
  std::vector<std::thread> threads;
  for (auto& out : got) {
    threads.emplace_back([&shared, &out] {
      for (int round = 0; round < 50; ++round) {
        code_points_to_utf8(shared.data(), 2, shared.size(), out);
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& out : got) EXPECT_EQ(out, expected);
}

}  // namespace
}  // namespace vorpak
