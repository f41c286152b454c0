// The hash tables, FlatMap and AddressIndex, against std::unordered_map models.
//
// Only their public behaviour is checked (find, the ways to add, size, the order
// of iteration), so that the tests carry over to any table that keeps it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/address_index.hpp"
#include "core/flat_map.hpp"
#include "core/short_text_index.hpp"
#include "core/state.hpp"

namespace vorpak {
namespace {

// ---------------------------------------------------------------------------
// FlatMap: the same tests for each kind of table the encoder keeps.

// Text keys of many shapes, all different for different k: the empty text,
// digits, a long shared start, runs of one letter, raw bytes with NULs.
std::string text_key(uint64_t k) {
  if (k == 0) return "";
  switch (k % 4) {
    case 0: return std::to_string(k);
    case 1: return "a prefix shared by many of the keys/" + std::to_string(k);
    case 2: return std::string(k % 40, 'x') + std::to_string(k);
    default: {
      std::string raw(8, '\0');
      std::memcpy(raw.data(), &k, 8);
      return raw;
    }
  }
}

// Number keys: small, near 2^64 and multiples of 2^32, all different for different k.
uint64_t number_key(uint64_t k) {
  switch (k % 3) {
    case 0: return k;
    case 1: return ~k;
    default: return k << 32;
  }
}

struct TextToInt {
  using Map = FlatMap<std::string, int>;
  using Key = std::string;
  using Value = int;
  static Key key(uint64_t k) { return text_key(k); }
  static Value value(uint64_t v) { return static_cast<int>(v % 1000003); }
};

// Text -> code, or no code, as in an encoding table.
struct TextToCode {
  using Map = FlatMap<std::string, std::optional<uint64_t>>;
  using Key = std::string;
  using Value = std::optional<uint64_t>;
  static Key key(uint64_t k) { return text_key(k); }
  static Value value(uint64_t v) { return v % 5 == 0 ? std::nullopt : Value(v); }
};

// Code -> text, as in a decoding table that is not in code order.
struct CodeToText {
  using Map = FlatMap<uint64_t, std::string, KeyedHash, std::equal_to<>>;
  using Key = uint64_t;
  using Value = std::string;
  static Key key(uint64_t k) { return number_key(k); }
  static Value value(uint64_t v) { return "text " + std::to_string(v); }
};

// A std::unordered_map with the order in which keys arrived.
template <class Traits>
struct Model {
  std::unordered_map<typename Traits::Key, typename Traits::Value> values;
  std::vector<typename Traits::Key> order;

  bool add(const typename Traits::Key& key, const typename Traits::Value& value) {
    if (!values.emplace(key, value).second) return false;
    order.push_back(key);
    return true;
  }
};

// Size, iteration order and every entry, through the const and mutable interfaces.
template <class Traits>
void expect_same(const typename Traits::Map& map, const Model<Traits>& model) {
  ASSERT_EQ(map.size(), model.values.size());
  ASSERT_EQ(map.empty(), model.values.empty());
  size_t at = 0;
  for (const auto& [key, value] : map) {
    ASSERT_LT(at, model.order.size());
    ASSERT_TRUE(key == model.order[at]) << "entry " << at << " out of insertion order";
    ASSERT_TRUE(value == model.values.at(key)) << "entry " << at;
    ++at;
  }
  ASSERT_EQ(at, model.order.size());
  for (const auto& [key, value] : model.values) {
    const auto it = map.find(key);
    ASSERT_TRUE(it != map.end());
    ASSERT_TRUE(it->first == key);
    ASSERT_TRUE(it->second == value);
  }
}

// Random operations on the map and the model, checking every answer and now
// and then the whole content. Keys come from [0, space), so both hits and
// misses are common.
template <class Traits>
void run_random_operations(typename Traits::Map& map, Model<Traits>& model, size_t operations,
                           uint64_t space, uint64_t seed) {
  using Key = typename Traits::Key;
  using Value = typename Traits::Value;
  std::mt19937_64 rng(seed);
  for (size_t op = 0; op < operations; ++op) {
    const Key key = Traits::key(rng() % space);
    const Value value = Traits::value(rng());
    const bool present = model.values.count(key) != 0;
    switch (rng() % 6) {
      case 0: {
        const auto [it, added] = map.emplace(key, value);
        ASSERT_EQ(added, !present) << "emplace, op " << op;
        model.add(key, value);
        ASSERT_TRUE(it->first == key);
        ASSERT_TRUE(it->second == model.values.at(key)) << "emplace replaced a value, op " << op;
        break;
      }
      case 1: {
        const auto [it, added] = map.insert_or_assign(key, value);
        ASSERT_EQ(added, !present) << "insert_or_assign, op " << op;
        if (!model.add(key, value)) model.values[key] = value;
        ASSERT_TRUE(it->first == key);
        ASSERT_TRUE(it->second == value);
        break;
      }
      case 2: {
        // operator[] adds Value() when absent, and gives a reference to write through.
        Value& slot = map[key];
        model.add(key, Value());
        ASSERT_TRUE(slot == model.values.at(key)) << "operator[], op " << op;
        if (rng() & 1) {
          slot = value;
          model.values[key] = value;
        }
        break;
      }
      case 3: {
        const auto it = std::as_const(map).find(key);
        ASSERT_EQ(it != map.end(), present) << "find, op " << op;
        if (present) {
          ASSERT_TRUE(it->second == model.values.at(key));
        }
        break;
      }
      case 4: {
        // A value written through a found iterator stays written.
        const auto it = map.find(key);
        ASSERT_EQ(it != map.end(), present) << "find, op " << op;
        if (present) {
          it->second = value;
          model.values[key] = value;
        }
        break;
      }
      default:
        if (rng() % 64 == 0) map.reserve(map.size() + rng() % 1000);
        break;
    }
    ASSERT_EQ(map.size(), model.values.size()) << "op " << op;
    if (op % 16384 == 0) expect_same<Traits>(map, model);
  }
  expect_same<Traits>(map, model);
}

template <class Traits>
class FlatMapTest : public testing::Test {};

using TableKinds = testing::Types<TextToInt, TextToCode, CodeToText>;
TYPED_TEST_SUITE(FlatMapTest, TableKinds);

TYPED_TEST(FlatMapTest, EmptyMapFindsNothing) {
  const typename TypeParam::Map map;
  EXPECT_EQ(map.size(), 0u);
  EXPECT_TRUE(map.empty());
  EXPECT_TRUE(map.begin() == map.end());
  for (uint64_t k = 0; k < 100; ++k) EXPECT_TRUE(map.find(TypeParam::key(k)) == map.end());
}

TYPED_TEST(FlatMapTest, RandomOperationsMatchAModel) {
  typename TypeParam::Map map;
  Model<TypeParam> model;
  // Few keys, where nearly every operation meets a present key, then many, where
  // the map grows through every size.
  run_random_operations<TypeParam>(map, model, 20000, 64, 1);
  run_random_operations<TypeParam>(map, model, 200000, 60000, 2);
}

TYPED_TEST(FlatMapTest, GrowsFromTheSmallestSize) {
  // One insert at a time from empty; after each doubling every key must still
  // be found, and keys never added must not be.
  typename TypeParam::Map map;
  Model<TypeParam> model;
  size_t next_check = 1;
  for (uint64_t k = 0; k < 70000; ++k) {
    const auto [it, added] = map.emplace(TypeParam::key(k), TypeParam::value(k));
    ASSERT_TRUE(added) << k;
    model.add(TypeParam::key(k), TypeParam::value(k));
    if (map.size() == next_check || map.size() + 1 == next_check) {
      expect_same<TypeParam>(map, model);
      for (uint64_t absent = k + 1; absent < k + 50; ++absent) {
        ASSERT_TRUE(map.find(TypeParam::key(absent)) == map.end()) << absent;
      }
      if (map.size() == next_check) next_check *= 2;
    }
  }
  expect_same<TypeParam>(map, model);
}

TYPED_TEST(FlatMapTest, FromDistinctKeepsTheGivenOrderAndGrowsOn) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{7}, size_t{1000}, size_t{20000}}) {
    SCOPED_TRACE("entries: " + std::to_string(n));
    std::vector<uint64_t> ks(n);
    for (size_t i = 0; i < n; ++i) ks[i] = i;
    std::mt19937_64 rng(n);
    std::shuffle(ks.begin(), ks.end(), rng);
    std::vector<typename TypeParam::Map::value_type> entries;
    Model<TypeParam> model;
    for (uint64_t k : ks) {
      entries.emplace_back(TypeParam::key(k), TypeParam::value(k));
      model.add(TypeParam::key(k), TypeParam::value(k));
    }
    typename TypeParam::Map map = TypeParam::Map::from_distinct(std::move(entries));
    expect_same<TypeParam>(map, model);
    for (uint64_t absent = n; absent < n + 100; ++absent) {
      ASSERT_TRUE(map.find(TypeParam::key(absent)) == map.end());
    }
    // Then used like any map: adding to it must grow it correctly.
    run_random_operations<TypeParam>(map, model, 4 * n + 1000, 2 * n + 64, n + 1);
  }
}

TYPED_TEST(FlatMapTest, CopiesAndMovesAreIndependentAndComplete) {
  typename TypeParam::Map map;
  Model<TypeParam> model;
  for (uint64_t k = 0; k < 3000; ++k) {
    map.emplace(TypeParam::key(k), TypeParam::value(k));
    model.add(TypeParam::key(k), TypeParam::value(k));
  }
  typename TypeParam::Map copy = map;
  expect_same<TypeParam>(copy, model);
  Model<TypeParam> copy_model = model;
  run_random_operations<TypeParam>(copy, copy_model, 20000, 6000, 3);
  expect_same<TypeParam>(map, model);  // the original is untouched

  typename TypeParam::Map moved = std::move(copy);
  expect_same<TypeParam>(moved, copy_model);
  run_random_operations<TypeParam>(moved, copy_model, 5000, 8000, 4);
}

TEST(FlatMapInitializerList, LaterEntriesReplaceEarlierOnesInPlace) {
  const FlatMap<std::string, int> map{{"b", 1}, {"a", 2}, {"b", 3}, {"", 4}};
  ASSERT_EQ(map.size(), 3u);
  std::vector<std::pair<std::string, int>> seen(map.begin(), map.end());
  const std::vector<std::pair<std::string, int>> expected = {{"b", 3}, {"a", 2}, {"", 4}};
  EXPECT_EQ(seen, expected);
}

TEST(FlatMapTextKeys, LooksUpByViewsAndPointersWithoutOwningStrings) {
  FlatMap<std::string, int> map;
  map.emplace(std::string("alpha"), 1);
  map.emplace(std::string("alphabet"), 2);
  map.emplace(std::string("a\0b", 3), 3);
  // Views into a larger buffer, not ended by a NUL where the key ends.
  const std::string buffer = "alphabetical";
  EXPECT_EQ(map.find(std::string_view(buffer).substr(0, 5))->second, 1);
  EXPECT_EQ(map.find(std::string_view(buffer).substr(0, 8))->second, 2);
  EXPECT_TRUE(map.find(std::string_view(buffer).substr(0, 6)) == map.end());
  EXPECT_TRUE(map.find(std::string_view(buffer)) == map.end());
  EXPECT_EQ(map.find(std::string_view("a\0b", 3))->second, 3);
  EXPECT_TRUE(map.find(std::string_view("a\0c", 3)) == map.end());
  // A pointer sees only up to its NUL, so it names "a", which is absent.
  EXPECT_TRUE(map.find("a\0b") == map.end());
  EXPECT_EQ(map.find("alpha")->second, 1);

  // Adding by view stores a copy of the bytes, not the view.
  std::string scratch = "gamma";
  map[std::string_view(scratch)] = 7;
  map.emplace(std::string_view(scratch).substr(0, 3), 8);
  scratch.assign("zzzzz");
  EXPECT_EQ(map.find("gamma")->second, 7);
  EXPECT_EQ(map.find("gam")->second, 8);
  EXPECT_TRUE(map.find("zzzzz") == map.end());
  EXPECT_EQ(map.size(), 5u);
}

// ---------------------------------------------------------------------------
// AddressIndex: addresses (never 0) to numbers; find, and insert of unknown addresses.

constexpr uint64_t kHeap = 0x7f3a00000000;

// Addresses of several shapes, all different for different k and never 0:
// neighbours 16 bytes apart, a spread over 2^44 bytes, ones 256 MiB apart
// (objects at one offset in different arenas), and 8-byte aligned ones. Each shape has low bits or a range of
// its own, so that no two shapes give the same address.
uint64_t address_key(uint64_t k) {
  switch (k % 4) {
    case 0: return kHeap + 16 * k;
    case 1: return (((k * 0x9E3779B97F4A7C15ull) & ((uint64_t{1} << 36) - 1)) << 8) | 0x40;
    case 2: return (k << 28) | 0x1230;
    default: return kHeap + 16 * k + 8;
  }
}

void expect_index_matches(const AddressIndex& index, const std::unordered_map<uint64_t, uint64_t>& model) {
  for (const auto& [address, value] : model) ASSERT_EQ(index.find(address), value) << address;
}

// ---------------------------------------------------------------------------
// ShortTextIndex gives every text the id made at its first look-up, before and
// after it changes its layout: texts that keep coming new move it, repeats keep it.

TEST(ShortTextIndexTest, IdsMatchAModelAcrossItsLayouts) {
  for (const bool mostly_new : {true, false}) {
    ShortTextIndex index;
    std::unordered_map<std::string, uint64_t> model;
    std::mt19937_64 random(mostly_new);
    const uint64_t distinct = mostly_new ? 100000 : 40000;
    for (uint64_t step = 0; step < 3 * distinct; ++step) {
      // All new first, then old and new mixed; or drawn with repeats throughout.
      const uint64_t k = mostly_new && step < distinct ? step : random() % (2 * distinct);
      std::string text = text_key(k);
      if (text.size() > ShortTextIndex::kMaxSize) text.resize(ShortTextIndex::kMaxSize);
      const uint64_t want = model.emplace(text, model.size()).first->second;
      ASSERT_EQ(index.id_of(text, [&] { return model.size() - 1; }), want) << step;
    }
  }
}

// ---------------------------------------------------------------------------
// The fitted tables keep their own copies of texts given from outside, and a
// decoding table turns from code order to hashing at the first code out of place.

TEST(FittedTables, OwnTheirTextsAndFindEveryCode) {
  EncodingTable encoding;
  DecodingTable decoding;
  // Codes in order, then a gap, a replaced text and a code below the others.
  const std::vector<uint64_t> codes = {0, 1, 2, 9, 1, 1ull << 40};
  std::vector<std::pair<uint64_t, std::string>> want;
  for (uint64_t code : codes) {
    std::string text = text_key(code + 3) + std::string(code % 50, 'z');
    encoding.insert_or_assign(text, code);
    decoding.insert_or_assign(code, text);
    std::erase_if(want, [&](const auto& entry) { return entry.first == code; });
    want.emplace_back(code, text);
    text.assign(text.size(), '#');  // the tables must not see this
  }
  const DecodingTable moved = std::move(decoding);
  const EncodingTable copied = encoding;
  encoding = {};
  ASSERT_EQ(moved.size(), want.size());
  for (const auto& [code, text] : want) {
    ASSERT_NE(moved.find(code), moved.end()) << code;
    EXPECT_EQ(moved.find(code)->second, text);
    EXPECT_EQ(copied.find(text)->second, code);
  }
  EXPECT_EQ(moved.find(3), moved.end());
  EXPECT_EQ(copied.find("#"), copied.end());
}

// A fitted table is indexed by its first look-up, whichever thread makes it.
TEST(FittedTables, FirstLookUpsIndexFromSeveralThreads) {
  auto texts = std::make_shared<TextArena>();
  std::vector<EncodingTable::value_type> entries;
  for (uint64_t k = 0; k < 50000; ++k) entries.emplace_back(texts->store(text_key(k)), k);
  const EncodingTable table = EncodingTable::from_distinct(entries, texts);
  std::vector<std::thread> threads;
  std::atomic<size_t> found{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (const auto& [text, code] : entries) found += table.find(text)->second == code;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(found, 4 * entries.size());
  EXPECT_EQ(EncodingTable(table).find(entries[7].first)->second, 7u);
}

TEST(AddressIndexTest, EmptyIndexFindsNothing) {
  const AddressIndex index;
  for (uint64_t k = 0; k < 100; ++k) EXPECT_EQ(index.find(address_key(k)), AddressIndex::kAbsent);
}

TEST(AddressIndexTest, RandomOperationsMatchAModel) {
  AddressIndex index;
  std::unordered_map<uint64_t, uint64_t> model;
  std::mt19937_64 rng(11);
  for (size_t op = 0; op < 300000; ++op) {
    // The key space grows with the index, so finds hit and miss alike.
    const uint64_t address = address_key(rng() % (2 * model.size() + 64));
    const auto known = model.find(address);
    if (rng() % 2 == 0 && known == model.end()) {
      const uint64_t value = rng() % (uint64_t{1} << 40);
      index.insert(address, value);
      model.emplace(address, value);
    } else {
      ASSERT_EQ(index.find(address), known == model.end() ? AddressIndex::kAbsent : known->second)
          << "op " << op;
    }
    if (op % 65536 == 0) expect_index_matches(index, model);
  }
  expect_index_matches(index, model);
}

TEST(AddressIndexTest, GrowsFromTheSmallestSize) {
  for (uint64_t shape = 0; shape < 4; ++shape) {
    SCOPED_TRACE("key shape " + std::to_string(shape));
    AddressIndex index;
    std::unordered_map<uint64_t, uint64_t> model;
    size_t next_check = 1;
    for (uint64_t k = 0; k < 40000; ++k) {
      const uint64_t address = address_key(4 * k + shape);
      index.insert(address, k);
      model.emplace(address, k);
      if (model.size() == next_check) {
        expect_index_matches(index, model);
        for (uint64_t absent = k + 1; absent < k + 50; ++absent) {
          ASSERT_EQ(index.find(address_key(4 * absent + shape)), AddressIndex::kAbsent);
        }
        next_check *= 2;
      }
    }
    expect_index_matches(index, model);
  }
}

TEST(AddressIndexTest, AddressesAlikeInTheirLowBits) {
  // Addresses that differ only far above their low bits: an index that spreads
  // them poorly piles them into one run of slots, which must still work,
  // wrapping round the end of the slots.
  AddressIndex index;
  std::unordered_map<uint64_t, uint64_t> model;
  for (uint64_t k = 1; k <= 3000; ++k) {
    const uint64_t address = (k << 44) | 0x12345670;
    ASSERT_EQ(index.find(address), AddressIndex::kAbsent) << k;
    index.insert(address, k);
    model.emplace(address, k);
    if ((k & (k - 1)) == 0) expect_index_matches(index, model);
  }
  expect_index_matches(index, model);
}

TEST(AddressIndexTest, ValuesAreKeptWhateverTheirSize) {
  AddressIndex index;
  const std::vector<uint64_t> values = {0, 1, AddressIndex::kAbsent - 1, uint64_t{1} << 63};
  for (size_t i = 0; i < values.size(); ++i) index.insert(kHeap + 16 * i, values[i]);
  for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(index.find(kHeap + 16 * i), values[i]);
}

// A fit's decoding table keeps only its texts, in code order; it must read as
// the same entries hashed would.
TEST(FittedTables, DecodingInCodeOrderReadsAsHashed) {
  const std::vector<std::string> texts = {"b", "", "żółw", std::string(100, 'x')};
  const DecodingTable by_place = DecodingTable::in_code_order(
      std::vector<std::string_view>(texts.begin(), texts.end()), nullptr);
  std::vector<DecodingTable::value_type> entries;  // the same, read in another order
  for (size_t c = texts.size(); c-- > 0;) entries.emplace_back(c, texts[c]);
  const DecodingTable hashed = DecodingTable::from_distinct(entries, nullptr);
  const std::map<uint64_t, std::string_view> seen(by_place.begin(), by_place.end());
  EXPECT_EQ(seen, (std::map<uint64_t, std::string_view>(hashed.begin(), hashed.end())));
  EXPECT_EQ(seen.size(), texts.size());
  for (uint64_t code = 0; code <= texts.size() + 1; ++code) {
    const bool present = code < texts.size();
    EXPECT_EQ(by_place.find(code) != by_place.end(), present) << code;
    EXPECT_EQ(by_place.find_text(code) != nullptr, present) << code;
    if (!present) continue;
    EXPECT_EQ(*by_place.find_text(code), texts[code]);
    EXPECT_EQ(by_place.find(code)->second, *hashed.find_text(code));
  }
}

}  // namespace
}  // namespace vorpak
