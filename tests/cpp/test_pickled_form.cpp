#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <new>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/pickled_form.hpp"

// Largest single allocation seen while `g_track` is set: lets the tests prove that a
// hostile count cannot make the reader allocate more than its reservation budget.
static std::atomic<bool> g_track{false};
static std::atomic<size_t> g_largest{0};

void* operator new(size_t n) {
  if (g_track.load(std::memory_order_relaxed)) {
    size_t seen = g_largest.load(std::memory_order_relaxed);
    while (n > seen && !g_largest.compare_exchange_weak(seen, n)) {
    }
  }
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return ::operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace vorpak {
namespace {

constexpr const char* kEof = "io error: unexpected end of file";
constexpr const char* kShortText = "io error: ";

// Hand-assembles pickled bytes independently of the writer, remembering where each
// text's bytes lie so truncation tests know which message to expect.
struct Form {
  std::string bytes;
  std::vector<std::pair<size_t, size_t>> bodies;  // [begin, end) of each text's bytes

  Form& u8(uint8_t v) {
    bytes.push_back(static_cast<char>(v));
    return *this;
  }
  Form& u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Form& u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) u8(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Form& text(std::string_view s) {
    u64(s.size());
    bodies.emplace_back(bytes.size(), bytes.size() + s.size());
    bytes.append(s);
    return *this;
  }
  Form& enc(std::string_view s, uint64_t code) { return text(s).u8(1).u64(code); }
  Form& dec(uint64_t code, std::string_view s) { return u64(code).text(s); }
};

EncoderState make(FittedTables info) {
  EncoderState e;
  e.fitted = std::make_unique<const FittedTables>(std::move(info));
  return e;
}

FittedTables worked_example() {
  FittedTables info;
  info.encoded_columns = {0};
  info.encoding_tables[0] = {{"a", 0}, {"b", 1}};
  info.decoding_tables[0] = {{0, "a"}, {1, "b"}};
  return info;
}

// The worked example by hand, with either order inside each table.
std::string worked_example_bytes(bool a_first, bool zero_first) {
  Form f;
  f.u8(1).u64(1).u64(0).u64(1).u64(0).u64(2);
  a_first ? f.enc("a", 0).enc("b", 1) : f.enc("b", 1).enc("a", 0);
  f.u64(1).u64(0).u64(2);
  zero_first ? f.dec(0, "a").dec(1, "b") : f.dec(1, "b").dec(0, "a");
  return f.u32(0).bytes;
}

std::string write(const EncoderState& e) {
  std::string out(pickled_size(e), '\xAA');
  write_pickled_form(e, out.data());
  return out;
}

::testing::AssertionResult reads_as(std::string_view bytes, const EncoderState& want) {
  const Result<EncoderState> read = read_pickled_form(bytes);
  if (!read) return ::testing::AssertionFailure() << read.error();
  const EncoderState& got = read.value();
  if (!got.fitted != !want.fitted ||
      (got.fitted && !(*got.fitted == *want.fitted))) {
    return ::testing::AssertionFailure() << "state differs";
  }
  return ::testing::AssertionSuccess();
}

std::string read_error(std::string_view bytes) {
  const Result<EncoderState> read = read_pickled_form(bytes);
  EXPECT_FALSE(read.has_value());
  return read ? std::string() : read.error();
}

TEST(PickledForm, FixedLayouts) {
  EXPECT_EQ(write(EncoderState{}), std::string(5, '\0'));
  EXPECT_TRUE(reads_as(std::string(5, '\0'), EncoderState{}));

  const std::string empty = Form{}.u8(1).u64(0).u64(0).u64(0).u32(0).bytes;
  ASSERT_EQ(empty.size(), 29u);
  EXPECT_EQ(write(make({})), empty);
  EXPECT_TRUE(reads_as(empty, make({})));

  // Single-entry tables have one iteration order, so the whole form is fixed.
  FittedTables marker;
  marker.encoding_tables[3]["nan"] = std::nullopt;
  marker.decoding_tables[3].insert_or_assign(7, "x");
  Form m;
  m.u8(1).u64(0).u64(1).u64(3).u64(1).text("nan").u8(0);
  m.u64(1).u64(3).u64(1).dec(7, "x").u32(0);
  const std::string& marker_bytes = m.bytes;
  EXPECT_NE(marker_bytes.find(std::string("\x03\0\0\0\0\0\0\0nan\0", 12)), std::string::npos);
  EXPECT_EQ(write(make(marker)), marker_bytes);
  EXPECT_TRUE(reads_as(marker_bytes, make(marker)));
}

TEST(PickledForm, WorkedExampleInEveryTableOrder) {
  const EncoderState e = make(worked_example());
  const std::string written = write(e);
  ASSERT_EQ(written.size(), 139u);
  bool matched = false;
  for (bool a_first : {true, false}) {
    for (bool zero_first : {true, false}) {
      const std::string bytes = worked_example_bytes(a_first, zero_first);
      matched |= written == bytes;
      EXPECT_TRUE(reads_as(bytes, e));
    }
  }
  EXPECT_TRUE(matched) << "writer output is not any valid ordering of the example";
}

TEST(PickledForm, RoundTrips) {
  FittedTables info;
  info.encoded_columns = {9, 2, 2, UINT64_MAX};  // order and repeats are kept as given
  info.encoding_tables[9] = {{"", 0}, {"NaN", std::nullopt}, {"żółw 🐢", UINT64_MAX}};
  info.encoding_tables[UINT64_MAX] = {};
  info.decoding_tables[9] = {{0, ""}, {UINT64_MAX, "żółw 🐢"}};
  info.decoding_tables[2] = {{1ull << 40, std::string(300, 'q')}};
  const EncoderState e = make(info);
  EXPECT_TRUE(reads_as(write(e), e));
  // Bytes after the strategy index belong to someone else.
  EXPECT_TRUE(reads_as(write(e) + "trailing\xFF", e));
}

// Cutting a valid form anywhere must fail: inside a text's bytes the length check
// fires, anywhere else a fixed-width read runs out.
TEST(PickledForm, EveryProperPrefixFails) {
  Form f;
  f.u8(1).u64(2).u64(0).u64(5).u64(1).u64(0).u64(3).enc("ab", 0).text("").u8(0).enc("ü", 1);
  f.u64(1).u64(0).u64(1).dec(0, "ab").u32(0);
  const Result<EncoderState> whole = read_pickled_form(f.bytes);
  ASSERT_TRUE(whole.has_value()) << whole.error();
  for (size_t cut = 0; cut < f.bytes.size(); ++cut) {
    const bool in_body = std::any_of(f.bodies.begin(), f.bodies.end(), [&](auto body) {
      return body.first <= cut && cut < body.second;
    });
    EXPECT_EQ(read_error(std::string_view(f.bytes).substr(0, cut)), in_body ? kShortText : kEof)
        << "cut at " << cut;
  }
}

struct Bad {
  std::string name;
  std::string bytes;
  std::string message;
};

void PrintTo(const Bad& bad, std::ostream* os) { *os << bad.name; }

class Rejects : public ::testing::TestWithParam<Bad> {};

TEST_P(Rejects, WithMessage) { EXPECT_EQ(read_error(GetParam().bytes), GetParam().message); }

// An encoding table of column 0 holding one entry with the given text and code tag.
std::string one_entry(std::string_view text, uint8_t tag = 0) {
  return Form{}.u8(1).u64(0).u64(1).u64(0).u64(1).text(text).u8(tag).u64(0).u32(0).bytes;
}
std::string decoding_text(std::string_view text) {
  return Form{}.u8(1).u64(0).u64(0).u64(1).u64(0).u64(1).dec(0, text).u32(0).bytes;
}
const std::string kUtf8 = "string is not valid utf8: ";
std::string invalid(int len, int at) {
  return kUtf8 + "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " +
         std::to_string(at);
}
std::string incomplete(int at) {
  return kUtf8 + "incomplete utf-8 byte sequence from index " + std::to_string(at);
}

INSTANTIATE_TEST_SUITE_P(
    PickledForm, Rejects,
    ::testing::Values(
        Bad{"StateTag2", std::string("\x02\0\0\0\0", 5), "tag for enum is not valid, found 2"},
        Bad{"StateTag255", "\xFF", "tag for enum is not valid, found 255"},
        Bad{"CodeTag7", one_entry("a", 7), "tag for enum is not valid, found 7"},
        Bad{"Strategy1", std::string("\x00\x01\x00\x00\x00", 5),
            "invalid value: integer `1`, expected variant index 0 <= i < 1"},
        Bad{"StrategyMax", Form{}.u8(0).u32(UINT32_MAX).bytes,
            "invalid value: integer `4294967295`, expected variant index 0 <= i < 1"},
        Bad{"Empty", "", kEof},
        // Counts far beyond the input must fail on the missing bytes, not on memory.
        Bad{"HugePositions", Form{}.u8(1).u64(1ull << 63).bytes, kEof},
        Bad{"HugeColumns", Form{}.u8(1).u64(0).u64(UINT64_MAX).bytes, kEof},
        Bad{"HugeEntries", Form{}.u8(1).u64(0).u64(1).u64(0).u64(1ull << 63).bytes, kEof},
        Bad{"HugeDecodingColumns", Form{}.u8(1).u64(0).u64(0).u64(1ull << 62).bytes, kEof},
        Bad{"HugeDecodingEntries", Form{}.u8(1).u64(0).u64(0).u64(1).u64(0).u64(~0ull).bytes, kEof},
        Bad{"TextLongerThanInput", Form{}.u8(1).u64(0).u64(1).u64(0).u64(1).u64(5).bytes + "abcd",
            kShortText},
        Bad{"TextLengthMax", Form{}.u8(1).u64(0).u64(1).u64(0).u64(1).u64(UINT64_MAX).bytes,
            kShortText},
        // The length is judged before the bytes: a short invalid text is an io error.
        Bad{"ShortBeatsUtf8", Form{}.u8(1).u64(0).u64(1).u64(0).u64(1).u64(3).bytes + "\xFF",
            kShortText},
        Bad{"Utf8BeatsLaterEof", one_entry("\xFF").substr(0, 50), invalid(1, 0)},
        Bad{"LoneFF", one_entry("\xFF"), invalid(1, 0)},
        Bad{"Continuation", one_entry("ab\x80"), invalid(1, 2)},
        Bad{"TruncatedEuro", one_entry("a\xE2\x82"), incomplete(1)},
        Bad{"TruncatedEmoji", one_entry("\xF0\x9F\x98"), incomplete(0)},
        Bad{"Surrogate", one_entry("\xED\xA0\x80"), invalid(1, 0)},
        Bad{"AboveMax", one_entry("\xF4\x90\x80\x80"), invalid(1, 0)},
        Bad{"OverlongTwo", one_entry("\xC0\xAF"), invalid(1, 0)},
        Bad{"OverlongThree", one_entry("\xE0\x80"), invalid(1, 0)},
        Bad{"LeadF5", one_entry("\xF5\x80\x80\x80"), invalid(1, 0)},
        Bad{"BrokenThree", one_entry("\xE2\x82\x41"), invalid(2, 0)},
        Bad{"BrokenFour", one_entry("xy\xF0\x9F\x98\x41"), invalid(3, 2)},
        Bad{"AfterAsciiRun", one_entry("0123456789abcdef\xC3\xA9\xC3"), incomplete(18)},
        Bad{"InDecodingTable", decoding_text("ok\xC3\x28"), invalid(1, 2)}),
    [](const auto& info) { return info.param.name; });

TEST(PickledForm, HugeCountsStayWithinReservationBudget) {
  for (const std::string& bytes :
       {Form{}.u8(1).u64(1ull << 63).bytes, Form{}.u8(1).u64(0).u64(UINT64_MAX).bytes,
        Form{}.u8(1).u64(0).u64(1).u64(0).u64(1ull << 63).bytes,
        Form{}.u8(1).u64(0).u64(0).u64(1ull << 62).bytes,
        Form{}.u8(1).u64(0).u64(0).u64(1).u64(0).u64(~0ull).bytes}) {
    g_largest = 0;
    g_track = true;
    EXPECT_FALSE(read_pickled_form(bytes).has_value());
    g_track = false;
    EXPECT_LE(g_largest.load(), (size_t{1} << 20) + 4096);
  }
}

TEST(PickledForm, LaterDuplicatesReplaceEarlier) {
  Form f;
  f.u8(1).u64(2).u64(4).u64(4);
  f.u64(2).u64(0).u64(2).enc("a", 0).enc("a", 5);  // column 0, replaced below
  f.u64(0).u64(2).text("nan").u8(0).text("nan").u8(1).u64(3);
  f.u64(2).u64(0).u64(2).dec(1, "a").dec(1, "b");
  f.u64(0).u64(1).dec(2, "c").u32(0);

  FittedTables want;
  want.encoded_columns = {4, 4};
  want.encoding_tables[0] = {{"nan", 3}};
  want.decoding_tables[0] = {{2, "c"}};
  EXPECT_TRUE(reads_as(f.bytes, make(want)));

  Form g = Form{}.u8(1).u64(0).u64(1).u64(0).u64(2).enc("a", 0).enc("a", 5);
  g.u64(1).u64(0).u64(2).dec(1, "a").dec(1, "b").u32(0);
  want = {};
  want.encoding_tables[0] = {{"a", 5}};
  want.decoding_tables[0] = {{1, "b"}};
  EXPECT_TRUE(reads_as(g.bytes, make(want)));
}

TEST(PickledForm, FailedReadLeavesTargetAlone) {
  EncoderState out = make(worked_example());
  const FittedTables* before = out.fitted.get();
  // A failure carries the message and no state, so there is nothing to assign.
  const std::string bad = worked_example_bytes(true, true);
  const Result<EncoderState> failed = read_pickled_form(bad.substr(0, bad.size() - 1));
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), kEof);
  EXPECT_THROW(static_cast<void>(failed.value()), std::bad_variant_access);
  ASSERT_EQ(out.fitted.get(), before);
  EXPECT_EQ(*out.fitted, worked_example());

  // A successful read replaces the whole state, including with "nothing fitted".
  Result<EncoderState> nothing = read_pickled_form(std::string(5, '\0'));
  ASSERT_TRUE(nothing.has_value()) << nothing.error();
  EXPECT_THROW(static_cast<void>(nothing.error()), std::bad_variant_access);
  out = std::move(nothing).value();
  EXPECT_EQ(out.fitted, nullptr);
}

}  // namespace
}  // namespace vorpak

namespace vorpak {
namespace {

// One column's tables, each listed in the order the writer must put them.
struct Column {
  uint64_t position;
  std::vector<std::pair<std::string, std::optional<uint64_t>>> encoding;
  std::vector<std::pair<uint64_t, std::string>> decoding;
};

struct Ordering {
  std::string name;
  std::vector<Column> columns;  // by ascending position
};

void PrintTo(const Ordering& ordering, std::ostream* os) { *os << ordering.name; }

// The expected bytes, assembled by hand from the lists as they stand.
std::string in_listed_order(const std::vector<Column>& columns) {
  Form f;
  f.u8(1).u64(columns.size());
  for (const Column& c : columns) f.u64(c.position);
  f.u64(columns.size());
  for (const Column& c : columns) {
    f.u64(c.position).u64(c.encoding.size());
    for (const auto& [text, code] : c.encoding) code ? f.enc(text, *code) : f.text(text).u8(0);
  }
  f.u64(columns.size());
  for (const Column& c : columns) {
    f.u64(c.position).u64(c.decoding.size());
    for (const auto& [code, text] : c.decoding) f.dec(code, text);
  }
  return f.u32(0).bytes;
}

// A state holding the same entries, inserted in an order chosen by `seed`:
//   0  as listed;
//   1  reversed;
//   2  entries without a code first, as a fit inserts markers that sort before
//      its texts (and so would a fit whose texts all start above 'n');
//   3  as listed but for the last two coded entries swapped, so that the order
//      breaks only at the end of each table;
//   4+ shuffled.
// Every state is built afresh, so each of its maps has a hash key of its own.
bool coded(const Column&) { return true; }
bool coded(const std::pair<std::string, std::optional<uint64_t>>& entry) {
  return entry.second.has_value();
}
bool coded(const std::pair<uint64_t, std::string>&) { return true; }

EncoderState inserted_in_order(const std::vector<Column>& listed, unsigned seed) {
  std::vector<Column> columns = listed;
  std::mt19937 random(seed);
  const auto reorder = [&](auto& items) {
    if (seed == 1) std::reverse(items.begin(), items.end());
    if (seed == 3) {
      std::vector<size_t> at;  // where the coded items are
      for (size_t i = 0; i < items.size(); ++i) {
        if (coded(items[i])) at.push_back(i);
      }
      if (at.size() >= 2) std::swap(items[at[at.size() - 2]], items[at.back()]);
    }
    if (seed >= 4) std::shuffle(items.begin(), items.end(), random);
  };
  reorder(columns);
  FittedTables info;
  for (Column& c : columns) {
    reorder(c.encoding);
    if (seed == 2) {
      std::stable_partition(c.encoding.begin(), c.encoding.end(),
                            [](const auto& entry) { return !entry.second; });
    }
    reorder(c.decoding);
    auto& encoding = info.encoding_tables[c.position];
    for (auto& [text, code] : c.encoding) encoding.insert_or_assign(text, code);
    auto& decoding = info.decoding_tables[c.position];
    for (auto& [code, text] : c.decoding) decoding.insert_or_assign(code, text);
  }
  // The positions list is written in its own order; only the tables are reordered.
  for (const Column& c : listed) info.encoded_columns.push_back(c.position);
  return make(std::move(info));
}

// A column as a fit makes it: `n` texts whose byte order is their code order,
// and the three markers.
Column fitted(uint64_t position, size_t n) {
  Column c{position, {}, {}};
  for (size_t i = 0; i < n; ++i) {
    char text[16];
    std::snprintf(text, sizeof text, "t%06zu", i);
    c.encoding.emplace_back(text, i);
    c.decoding.emplace_back(i, text);
  }
  for (const char* marker : {"<NA>", "NaN", "nan"}) c.encoding.emplace_back(marker, std::nullopt);
  return c;
}

class WrittenOrder : public ::testing::TestWithParam<Ordering> {};

TEST_P(WrittenOrder, IsTheSameForEveryInsertionOrder) {
  const std::vector<Column>& columns = GetParam().columns;
  const std::string want = in_listed_order(columns);
  for (unsigned seed = 0; seed < 10; ++seed) {
    const EncoderState e = inserted_in_order(columns, seed);
    ASSERT_EQ(pickled_size(e), want.size());
    EXPECT_EQ(write(e), want) << "inserted with seed " << seed;
    EXPECT_TRUE(reads_as(want, e));
  }
}

INSTANTIATE_TEST_SUITE_P(
    PickledForm, WrittenOrder,
    ::testing::Values(
        Ordering{"Empty", {}},
        Ordering{"EmptyTables", {{0, {}, {}}, {4, {}, {}}}},
        // Codes 0..n-1 in an order that is not the texts' order.
        Ordering{"DenseCodesAgainstTextOrder",
                 {{2,
                   {{"zeta", 0}, {"alpha", 1}, {"mid", 2}},
                   {{0, "zeta"}, {1, "alpha"}, {2, "mid"}}},
                  {7, {{"b", 0}, {"a", 1}, {"nan", std::nullopt}}, {{0, "b"}, {1, "a"}}},
                  {UINT64_MAX, {{"x", 0}}, {{0, "x"}}}}},
        // Gaps, huge codes, and a decoded code no encoding entry has: sorted.
        Ordering{"SparseCodes",
                 {{1,
                   {{"c", 3}, {"a", 1ull << 40}, {"b", UINT64_MAX}, {"NaN", std::nullopt}},
                   {{0, "z"}, {3, "c"}, {1ull << 40, "a"}, {UINT64_MAX, "b"}}}}},
        // Distinct codes below the table's size, with a gap that only its
        // entries without a code make room for.
        Ordering{"GapBelowTableSize",
                 {{0, {{"b", 0}, {"a", 2}, {"<NA>", std::nullopt}, {"nan", std::nullopt}},
                   {{0, "b"}, {2, "a"}}}}},
        // Codes below the count but not all of 0..n-1: one is repeated.
        Ordering{"RepeatedCodeSortsByText",
                 {{0, {{"p", 0}, {"a", 1}, {"q", 1}, {"r", 1}}, {{0, "p"}, {1, "q"}}}}},
        // Read states may hold any text without a code; unsigned byte order puts
        // the empty text first and non-ASCII last.
        Ordering{"UncodedInByteOrder",
                 {{3,
                   {{"k", 0},
                    {"", std::nullopt},
                    {"<NA>", std::nullopt},
                    {"NaN", std::nullopt},
                    {"Nz", std::nullopt},
                    {"nan", std::nullopt},
                    {"\xC3\xA9", std::nullopt},
                    {"\xF0\x9F\x90\xA2", std::nullopt}},
                   {{0, "k"}}}}},
        Ordering{"OnlyUncoded", {{5, {{"<NA>", std::nullopt}, {"nan", std::nullopt}}, {}}}},
        // Many columns, and tables larger than the writer's fetch-ahead distance.
        Ordering{"FittedColumns",
                 [] {
                   std::vector<Column> columns;
                   for (uint64_t p = 0; p < 15; ++p) columns.push_back(fitted(p, p * 37 % 11));
                   columns.push_back(fitted(20, 3000));
                   return columns;
                 }()}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vorpak
