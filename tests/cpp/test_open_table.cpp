// OpenTable, its policies and its users in src/core, each checked against a std
// container doing the same work: random operations, tables grown from nothing,
// and hashes bad enough to make every key collide. (TextColumn, which needs
// Python, shares DistinctTexts' TextIdSlots and is exercised by the Python tests.)
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/address_index.hpp"
#include "core/flat_map.hpp"
#include "core/keyed_hash.hpp"
#include "core/label_encode.hpp"
#include "core/open_table.hpp"

namespace vorpak {
namespace {

uint64_t mixed(uint64_t x) {
  return fold_multiply(x ^ 0x2545f4914f6cdd1dull, 0x9e3779b97f4a7c15ull);
}
uint64_t constant(uint64_t) { return 0x1234567; }        // every key in one cluster
uint64_t low_bits_zero(uint64_t x) { return x << 32; }  // every key probes from slot 0
uint64_t last_slot(uint64_t) { return ~uint64_t{0}; }   // clusters wrap past the array's end

using HashFn = uint64_t (*)(uint64_t);

// Keys are nonzero integers; the context is the hash function, so that the
// same policy can be run with good and with hostile hashes.
struct PairSlots {
  struct Slot {
    uint64_t key;  // 0: empty
    uint64_t value;
  };
  struct Context {
    HashFn hash;
  };
  static constexpr Slot empty() { return {0, 0}; }
  static bool is_empty(const Slot& slot) { return slot.key == 0; }
  static bool matches(const Slot& slot, uint64_t key, uint64_t, const Context&) {
    return slot.key == key;
  }
  static uint64_t hash_of(const Slot& slot, const Context& context) {
    return context.hash(slot.key);
  }
};
// The same slots, probed for the key before emptiness (keys are never 0).
struct MatchFirstPairSlots : PairSlots {
  static constexpr bool kEmptyNeverMatches = true;
};
using PairTable = OpenTable<PairSlots>;

// Every key of the model is found with its value, and a few that are not are not.
template <class Table>
void expect_same(const Table& table, const std::unordered_map<uint64_t, uint64_t>& model,
                 HashFn hash, std::mt19937_64& rng) {
  ASSERT_EQ(table.size(), model.size());
  for (const auto& [key, value] : model) {
    const auto probe = table.find(key, hash(key), PairSlots::Context{hash});
    ASSERT_TRUE(probe.found) << key;
    EXPECT_EQ(table[probe.at].key, key);
    EXPECT_EQ(table[probe.at].value, value);
    EXPECT_EQ(table.lookup(key, hash(key), PairSlots::Context{hash}), &table[probe.at]);
  }
  for (int i = 0; i < 50; ++i) {
    const uint64_t key = rng() | 1;
    if (model.count(key)) continue;
    const auto probe = table.find(key, hash(key), PairSlots::Context{hash});
    EXPECT_FALSE(probe.found) << key;
    if (table.capacity() > 0) {
      EXPECT_TRUE(PairSlots::is_empty(table[probe.at]));
    }
    EXPECT_EQ(table.lookup(key, hash(key), PairSlots::Context{hash}), nullptr);
  }
}

class OpenTableHashes : public ::testing::TestWithParam<HashFn> {};

// Find-or-add, add-without-compare and plain look-ups in random order from an
// empty table: the table holds what the model holds, grows one doubling at a
// time from four slots, only when a key is added, and never passes half full.
template <class Policy>
void grow_against_model(HashFn hash) {
  using Table = OpenTable<Policy>;
  const PairSlots::Context context{hash};
  // Hostile hashes make every look-up walk the whole cluster: fewer keys.
  const size_t keys = hash == mixed ? 20000 : 600;
  std::mt19937_64 rng(42);
  Table table;
  std::unordered_map<uint64_t, uint64_t> model;
  expect_same(table, model, hash, rng);
  for (size_t step = 0; model.size() < keys; ++step) {
    const uint64_t key = 1 + rng() % (2 * keys);
    const size_t capacity_before = table.capacity();
    const bool absent = model.count(key) == 0;
    switch (rng() % 4) {
      case 0:
        if (absent) {
          table.make_room(context);
          table.add_absent(hash(key), {key, step});
          model.emplace(key, step);
        }
        break;
      case 1: {
        const auto probe = table.find(key, hash(key), context);
        ASSERT_EQ(probe.found, !absent) << key;
        break;
      }
      default: {
        const auto probe = table.find_for_insert(key, hash(key), context);
        ASSERT_EQ(probe.found, !absent) << key;
        if (!probe.found) {
          ASSERT_TRUE(PairSlots::is_empty(table[probe.at]));
          table.fill(probe.at, {key, step});
          model.emplace(key, step);
        }
      }
    }
    ASSERT_TRUE(table.capacity() == capacity_before ||
                table.capacity() == std::max<size_t>(4, 2 * capacity_before));
    ASSERT_EQ(table.capacity(), Table::capacity_for(table.size()));
    ASSERT_LE(2 * table.size(), table.capacity());
    if (std::has_single_bit(model.size())) expect_same(table, model, hash, rng);
  }
  expect_same(table, model, hash, rng);

  // Moved into a larger table, everything is still found.
  table.resize(4 * table.capacity(), context);
  expect_same(table, model, hash, rng);
}

TEST_P(OpenTableHashes, MatchesModelWhileGrowing) {
  grow_against_model<PairSlots>(GetParam());
  grow_against_model<MatchFirstPairSlots>(GetParam());
}

// A table laid out at once from a list holds exactly the list.
TEST_P(OpenTableHashes, RebuildHoldsEveryItem) {
  const HashFn hash = GetParam();
  std::mt19937_64 rng(7);
  for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{17}, size_t{500}}) {
    std::vector<uint64_t> keys;
    std::unordered_map<uint64_t, uint64_t> model;
    while (keys.size() < n) {
      const uint64_t key = rng() | 1;
      if (model.emplace(key, keys.size()).second) keys.push_back(key);
    }
    PairTable table;
    table.rebuild(
        PairTable::capacity_for(n), n, [&](size_t i) { return hash(keys[i]); },
        [&](size_t i, uint64_t h) {
          EXPECT_EQ(h, hash(keys[i]));
          return PairSlots::Slot{keys[i], i};
        });
    EXPECT_EQ(table.capacity(), PairTable::capacity_for(n));
    expect_same(table, model, hash, rng);
    // And it goes on growing from there like any other.
    for (uint64_t key = 2; key < 200; key += 2) {
      table.make_room(PairSlots::Context{hash});
      table.add_absent(hash(key), {key, key});
      model.emplace(key, key);
    }
    expect_same(table, model, hash, rng);
  }
}

std::string hash_name(const ::testing::TestParamInfo<HashFn>& info) {
  const char* const names[] = {"Mixed", "Constant", "LowBitsZero", "LastSlot"};
  return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(OpenTable, OpenTableHashes,
                         ::testing::Values(mixed, constant, low_bits_zero, last_slot), hash_name);

// Copies own their slots; a moved-from table is empty and takes keys again.
TEST(OpenTable, CopiesAndMoves) {
  static_assert(sizeof(PairTable) == 3 * sizeof(void*));
  const PairSlots::Context context{mixed};
  const auto add = [&](PairTable& table, uint64_t key) {
    const auto probe = table.find_for_insert(key, mixed(key), context);
    if (!probe.found) table.fill(probe.at, {key, key * 10});
  };
  const auto holds = [&](const PairTable& table, uint64_t key) {
    const auto* slot = table.lookup(key, mixed(key), context);
    return slot != nullptr && slot->value == key * 10;
  };
  PairTable original;
  for (uint64_t key = 1; key <= 40; ++key) add(original, key);
  PairTable copy = original;
  add(original, 41);
  EXPECT_EQ(copy.size(), 40u);
  EXPECT_FALSE(holds(copy, 41));
  for (uint64_t key = 1; key <= 40; ++key) EXPECT_TRUE(holds(copy, key)) << key;

  PairTable moved = std::move(copy);
  EXPECT_EQ(moved.size(), 40u);
  EXPECT_TRUE(holds(moved, 40));
  EXPECT_EQ(copy.size(), 0u);  // a moved-from table is empty
  EXPECT_EQ(copy.capacity(), 0u);
  EXPECT_FALSE(holds(copy, 40));
  add(copy, 7);
  EXPECT_TRUE(holds(copy, 7));
  EXPECT_EQ(copy.capacity(), 4u);

  copy = original;  // assignment replaces what was there
  EXPECT_EQ(copy.size(), 41u);
  EXPECT_TRUE(holds(copy, 41));
  moved = PairTable();
  EXPECT_EQ(moved.capacity(), 0u);
  EXPECT_FALSE(holds(moved, 1));
}

TEST(OpenTable, EmptyTableHasNoSlotsUntilTheFirstKey) {
  PairTable table;
  EXPECT_EQ(table.capacity(), 0u);
  const auto probe = table.find(uint64_t{5}, mixed(5), PairSlots::Context{mixed});
  EXPECT_FALSE(probe.found);
  EXPECT_EQ(table.lookup(uint64_t{5}, mixed(5), PairSlots::Context{mixed}), nullptr);
  table.prefetch(mixed(5));  // harmless without slots
  EXPECT_EQ(PairTable::capacity_for(0), 4u);
  EXPECT_EQ(PairTable::capacity_for(2), 4u);
  EXPECT_EQ(PairTable::capacity_for(3), 8u);
  EXPECT_EQ(PairTable::capacity_for(1000), 2048u);
}

// ---------------------------------------------------------------------------
// TextIdSlots: an owner that numbers texts by first appearance, as DistinctTexts
// and TextColumn do, with its own hash function.

class Interner {
 public:
  explicit Interner(uint64_t (*hash)(std::string_view)) : hash_(hash) {}

  uint64_t intern(std::string_view text) {
    const uint64_t h = hash_(text);
    table_.prefetch(h);
    const auto probe = table_.find_for_insert(text, h, context());
    if (probe.found) return Slots::id_of(table_[probe.at]);
    texts_.push_back(text);
    hashes_.push_back(h);
    table_.fill(probe.at, Slots::slot_of(texts_.size() - 1));
    return texts_.size() - 1;
  }
  size_t size() const { return table_.size(); }

 private:
  using Slots = TextIdSlots<uint32_t>;
  Slots::Context context() const { return {texts_, hashes_}; }

  uint64_t (*hash_)(std::string_view);
  OpenTable<Slots> table_;
  std::vector<std::string_view> texts_;
  std::vector<uint64_t> hashes_;
};

uint64_t good_text_hash(std::string_view s) { return hash_bytes(s.data(), s.size(), 99); }
// Equal hashes for unequal texts: only the text comparison can tell them apart.
uint64_t length_hash(std::string_view s) { return s.size(); }

TEST(TextIdSlots, NumbersTextsByFirstAppearance) {
  for (auto hash : {good_text_hash, length_hash}) {
    std::mt19937_64 rng(3);
    std::vector<std::string> pool;  // stable storage for the views
    for (int i = 0; i < 3000; ++i) {
      std::string text(rng() % 5, 'a');  // lengths 0..4 over a small alphabet: many repeats
      for (char& c : text) c = static_cast<char>('a' + rng() % 3);
      pool.push_back(std::move(text));
    }
    Interner interner(hash);
    std::unordered_map<std::string, uint64_t> model;
    for (const std::string& text : pool) {
      const uint64_t expected = model.emplace(text, model.size()).first->second;
      ASSERT_EQ(interner.intern(text), expected) << '"' << text << '"';
    }
    EXPECT_EQ(interner.size(), model.size());
  }
}

// ---------------------------------------------------------------------------
// AddressIndex: addresses as objects have them, 16-byte aligned, some packed
// side by side and some scattered.

TEST(AddressIndex, MatchesModel) {
  std::mt19937_64 rng(11);
  AddressIndex index;
  std::unordered_map<uint64_t, uint64_t> model;
  EXPECT_EQ(index.find(0x7f0000001000), AddressIndex::kAbsent);
  const uint64_t arena = 0x7f3a12340000;
  for (int step = 0; step < 60000; ++step) {
    const uint64_t address = rng() % 3 == 0 ? (rng() & 0x7ffffffffff0ull) | 0x10
                                            : arena + 16 * (rng() % 20000);
    const uint64_t found = index.find(address);
    const auto it = model.find(address);
    if (it == model.end()) {
      ASSERT_EQ(found, AddressIndex::kAbsent) << std::hex << address;
      index.insert(address, model.size());
      model.emplace(address, model.size());
    } else {
      ASSERT_EQ(found, it->second) << std::hex << address;
    }
  }
  for (const auto& [address, number] : model) ASSERT_EQ(index.find(address), number);
}

// ---------------------------------------------------------------------------
// FlatMap: iteration is insertion order, look-ups agree with the model after
// any mix of insertions, replacements and reservations.

template <class Map, class Key, class Value, class MakeKey, class MakeValue>
void check_flat_map_against_model(MakeKey make_key, MakeValue make_value, size_t steps) {
  std::mt19937_64 rng(5);
  Map map;
  std::unordered_map<Key, Value> model;
  std::vector<Key> order;  // keys by first insertion
  const auto expect_same = [&] {
    ASSERT_EQ(map.size(), model.size());
    size_t i = 0;
    for (const auto& [key, value] : map) {
      ASSERT_EQ(key, order[i++]);
      ASSERT_EQ(value, model.at(key));
    }
    for (const Key& key : order) {
      const auto it = map.find(key);
      ASSERT_NE(it, map.end());
      ASSERT_EQ(it->first, key);
    }
  };
  for (size_t step = 0; step < steps; ++step) {
    const Key key = make_key(rng() % (steps / 2));
    const Value value = make_value(rng());
    const bool known = model.count(key) == 1;
    switch (rng() % 5) {
      case 0: {  // emplace keeps a present value
        const auto [it, added] = map.emplace(key, value);
        ASSERT_EQ(added, !known);
        if (!known) model.emplace(key, value);
        ASSERT_EQ(it->second, model.at(key));
        break;
      }
      case 1: {  // insert_or_assign replaces it
        const auto [it, added] = map.insert_or_assign(key, value);
        ASSERT_EQ(added, !known);
        model[key] = value;
        ASSERT_EQ(it->second, value);
        break;
      }
      case 2:  // operator[] adds Value() when absent
        ASSERT_EQ(map[key], model[key]);
        break;
      case 3: {
        const auto it = map.find(key);
        ASSERT_EQ(it != map.end(), known);
        if (known) {
          ASSERT_EQ(it->second, model.at(key));
        }
        continue;  // nothing added
      }
      default:
        if (rng() % 50 == 0) map.reserve(map.size() + rng() % 3000);
        continue;
    }
    if (!known) order.push_back(key);
    if (std::has_single_bit(step)) expect_same();
  }
  expect_same();

  // A copy is a map of its own.
  const Map copy = map;
  map[make_key(steps)];
  ASSERT_EQ(copy.size(), model.size());
  ASSERT_EQ(copy.find(make_key(steps)), copy.end());
  for (const Key& key : order) ASSERT_EQ(copy.find(key)->second, model.at(key));

  // The same entries, indexed at once, keep their order and are all found.
  std::vector<typename Map::value_type> entries(copy.begin(), copy.end());
  const Map rebuilt = Map::from_distinct(entries);
  ASSERT_EQ(rebuilt.size(), entries.size());
  size_t i = 0;
  for (const auto& entry : rebuilt) ASSERT_EQ(entry, entries[i++]);
  for (const auto& entry : entries) ASSERT_EQ(rebuilt.find(entry.first)->second, entry.second);
  ASSERT_EQ(rebuilt.find(make_key(steps)), rebuilt.end());
}

TEST(FlatMap, TextKeysMatchModel) {
  check_flat_map_against_model<FlatMap<std::string, std::optional<uint64_t>>, std::string, std::optional<uint64_t>>(
      [](uint64_t k) {
        // Appended, not "t" + ...: g++ 12 at -O3 misreads that as an overlapping
        // copy (-Wrestrict).
        std::string key = "t";
        key += std::to_string(k * 7919);
        return key;
      },
      [](uint64_t v) { return v % 3 == 0 ? std::nullopt : std::optional<uint64_t>(v); }, 40000);
}

TEST(FlatMap, CodeKeysMatchModel) {
  check_flat_map_against_model<FlatMap<uint64_t, std::string, KeyedHash, std::equal_to<>>, uint64_t, std::string>(
      [](uint64_t k) { return k << 40 | k; }, [](uint64_t v) { return std::to_string(v % 1000); },
      40000);
}

TEST(FlatMap, FindsByViewWithoutMakingAString) {
  EncodingTable table{{"oslo", 1}, {"nan", std::nullopt}, {"", 0}};
  EXPECT_EQ(table.find(std::string_view("oslo"))->second, 1u);
  EXPECT_EQ(table.find(std::string_view(""))->second, 0u);
  EXPECT_EQ(table.find(std::string_view("nan"))->second, std::nullopt);
  EXPECT_EQ(table.find(std::string_view("osl")), table.end());
  const EncodingTable empty;
  EXPECT_EQ(empty.find(std::string_view("oslo")), empty.end());
}

// ---------------------------------------------------------------------------
// label_encode, which interns through DistinctTexts: codes are the rank of each
// text among the distinct non-marker texts in byte order; markers are NaN.

TEST(LabelEncode, CodesAreByteOrderRanks) {
  std::mt19937_64 rng(17);
  for (size_t n : {size_t{0}, size_t{1}, size_t{5}, size_t{300}, size_t{5000}}) {
    for (size_t vocabulary : {size_t{3}, n + 1, 4 * n + 1}) {
      std::vector<std::string> storage;
      for (size_t i = 0; i < n; ++i) {
        const uint64_t r = rng() % vocabulary;
        switch (r % 11) {
          case 0: storage.push_back("nan"); break;
          case 1: storage.push_back("<NA>"); break;
          case 2: storage.push_back(""); break;
          case 3: storage.push_back("\xC3\xA9" + std::to_string(r)); break;  // é sorts after ASCII
          default: storage.push_back(std::to_string(r) + "_" + std::to_string(r % 7)); break;
        }
      }
      const std::vector<std::string_view> texts(storage.begin(), storage.end());
      std::map<std::string, uint64_t> ranks;
      for (const std::string& text : storage) {
        if (!is_missing_marker(text)) ranks.emplace(text, 0);
      }
      uint64_t next = 0;
      for (auto& [text, code] : ranks) code = next++;

      const LabelEncoded encoded = label_encode(texts);
      ASSERT_EQ(encoded.codes.size(), n);
      for (size_t i = 0; i < n; ++i) {
        if (is_missing_marker(storage[i])) {
          ASSERT_TRUE(std::isnan(encoded.codes[i])) << i;
        } else {
          ASSERT_EQ(encoded.codes[i], static_cast<double>(ranks.at(storage[i]))) << storage[i];
        }
      }
      // The table has every distinct text once, markers without a code.
      std::map<std::string, std::optional<uint64_t>> want;
      for (const std::string& text : storage) {
        want.emplace(text, is_missing_marker(text) ? std::nullopt
                                                   : std::optional<uint64_t>(ranks.at(text)));
      }
      ASSERT_EQ(encoded.table.size(), want.size());
      for (const auto& [text, code] : want) {
        const auto it = encoded.table.find(text);
        ASSERT_NE(it, encoded.table.end()) << text;
        ASSERT_EQ(it->second, code) << text;
      }
    }
  }
}

}  // namespace
}  // namespace vorpak
