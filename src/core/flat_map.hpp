// A hash map that keeps its entries in one vector.
//
// The encoder's tables hold up to millions of short texts. Node-based maps cost
// an allocation per entry to build and a pointer chase per entry to read or free;
// here the entries sit in one vector (in insertion order, which is also the
// order of iteration) and an open-addressing index of 8-byte slots finds them.
// The hasher gets its own random key per map, so slot layouts differ between
// maps and processes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

#include "core/keyed_hash.hpp"

namespace vorpak {

template <class Key, class Value, class Hash = KeyedHash, class Equal = TextEqual>
class FlatMap {
 public:
  using value_type = std::pair<Key, Value>;
  using iterator = typename std::vector<value_type>::iterator;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  FlatMap() = default;
  FlatMap(std::initializer_list<value_type> entries) {
    reserve(entries.size());
    for (const value_type& entry : entries) insert_or_assign(entry.first, entry.second);
  }

  // A map of entries whose keys are already distinct, which no one checks:
  // indexing them all at once is cheaper than inserting them one by one.
  static FlatMap from_distinct(std::vector<value_type> entries) {
    if (entries.size() >= UINT32_MAX - 1) throw std::bad_alloc();
    FlatMap map;
    map.entries_ = std::move(entries);
    map.rebuild(slots_for(map.entries_.size()));
    return map;
  }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  void reserve(size_t n) {
    entries_.reserve(n);
    if (2 * n > slots_.size()) rebuild(slots_for(n));
  }

  template <class K>
  const_iterator find(const K& key) const {
    const size_t at = locate(key, hash_(key));
    return slots_.empty() || slots_[at].index == 0 ? end() : begin() + (slots_[at].index - 1);
  }
  template <class K>
  iterator find(const K& key) {
    const size_t at = locate(key, hash_(key));
    return slots_.empty() || slots_[at].index == 0 ? end() : begin() + (slots_[at].index - 1);
  }

  // The value of `key`, added as Value() if absent.
  template <class K>
  Value& operator[](K&& key) {
    return put(std::forward<K>(key), Value(), false).first->second;
  }

  // Adds the entry unless the key is present; like std::unordered_map::emplace.
  template <class K>
  std::pair<iterator, bool> emplace(K&& key, Value value) {
    return put(std::forward<K>(key), std::move(value), false);
  }
  // Adds the entry, or replaces the value of a present key.
  template <class K>
  std::pair<iterator, bool> insert_or_assign(K&& key, Value value) {
    return put(std::forward<K>(key), std::move(value), true);
  }

 private:
  struct Slot {
    uint32_t index = 0;  // entry index + 1; 0 marks an empty slot
    uint32_t tag = 0;    // high hash bits, to skip most key comparisons
  };

  static size_t slots_for(size_t n) {
    size_t capacity = 4;  // small: a wide table has two maps per column
    while (capacity < 2 * n) capacity <<= 1;
    return capacity;
  }
  static uint32_t tag_of(uint64_t h) { return static_cast<uint32_t>(h >> 32); }

  // The slot holding `key`, or the empty slot where it would go.
  template <class K>
  size_t locate(const K& key, uint64_t h) const {
    if (slots_.empty()) return 0;
    const size_t mask = slots_.size() - 1;
    for (size_t at = h & mask;; at = (at + 1) & mask) {
      const Slot& slot = slots_[at];
      if (slot.index == 0) return at;
      if (slot.tag == tag_of(h) && Equal()(entries_[slot.index - 1].first, key)) return at;
    }
  }

  template <class K>
  std::pair<iterator, bool> put(K&& key, Value value, bool replace) {
    if (entries_.size() >= UINT32_MAX - 1) throw std::bad_alloc();
    if (2 * (entries_.size() + 1) > slots_.size()) rebuild(slots_for(entries_.size() + 1));
    const uint64_t h = hash_(key);
    const size_t at = locate(key, h);
    if (slots_[at].index != 0) {
      const iterator found = begin() + (slots_[at].index - 1);
      if (replace) found->second = std::move(value);
      return {found, false};
    }
    entries_.emplace_back(Key(std::forward<K>(key)), std::move(value));
    slots_[at] = {static_cast<uint32_t>(entries_.size()), tag_of(h)};
    return {end() - 1, true};
  }

  // Hashes every entry first, so that each slot can be fetched from memory a
  // few entries before it is written: in a large map nearly every slot is a
  // cache miss, and misses in flight together cost little more than one.
  void rebuild(size_t capacity) {
    constexpr size_t kAhead = 16;
    std::vector<Slot> slots(capacity);
    const size_t mask = capacity - 1;
    const size_t n = entries_.size();
    std::vector<uint64_t> hashes(n);
    for (size_t i = 0; i < n; ++i) hashes[i] = hash_(entries_[i].first);
    for (size_t i = 0; i < n; ++i) {
      if (i + kAhead < n) __builtin_prefetch(&slots[hashes[i + kAhead] & mask], 1);
      size_t at = hashes[i] & mask;
      while (slots[at].index != 0) at = (at + 1) & mask;
      slots[at] = {static_cast<uint32_t>(i + 1), tag_of(hashes[i])};
    }
    slots_.swap(slots);
  }

  std::vector<value_type> entries_;
  std::vector<Slot> slots_;
  Hash hash_;
};

}  // namespace vorpak
