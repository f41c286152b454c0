// A hash map that keeps its entries in one vector.
//
// The encoder's tables hold up to millions of short texts. Node-based maps cost
// an allocation per entry to build and a pointer chase per entry to read or free;
// here the entries sit in one vector (in insertion order, which is also the
// order of iteration) and an OpenTable of 8-byte slots finds them.
// The hasher gets its own random key per map, so slot layouts differ between
// maps and processes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <new>
#include <utility>
#include <vector>

#include "core/keyed_hash.hpp"
#include "core/open_table.hpp"
#include "core/thread_pool.hpp"

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
    FlatMap map = unindexed(std::move(entries));
    map.index_all();
    return map;
  }
  // The same without the index, which index_all() builds: until then the map
  // may be iterated but finds nothing.
  static FlatMap unindexed(std::vector<value_type> entries) {
    if (entries.size() >= UINT32_MAX - 1) throw std::bad_alloc();
    FlatMap map;
    map.entries_ = std::move(entries);
    return map;
  }
  void index_all() { rebuild(Index::capacity_for(entries_.size())); }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  void reserve(size_t n) {
    entries_.reserve(n);
    if (2 * n > index_.capacity()) rebuild(Index::capacity_for(n));
  }

  template <class K>
  const_iterator find(const K& key) const {
    const auto* slot = index_.lookup(key, hash_(key), *this);
    return slot != nullptr ? begin() + (slot->index - 1) : end();
  }
  template <class K>
  iterator find(const K& key) {
    const auto* slot = index_.lookup(key, hash_(key), *this);
    return slot != nullptr ? begin() + (slot->index - 1) : end();
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
  struct Slots : TaggedEntrySlots {
    template <class K>
    static bool matches(const Slot& slot, const K& key, uint64_t h, const FlatMap& map) {
      return slot.tag == tag_of(h) && Equal()(map.entries_[slot.index - 1].first, key);
    }
  };
  using Index = OpenTable<Slots>;

  template <class K>
  std::pair<iterator, bool> put(K&& key, Value value, bool replace) {
    if (entries_.size() >= UINT32_MAX - 1) throw std::bad_alloc();
    if (!index_.has_room_for(1)) rebuild(Index::capacity_for(entries_.size() + 1));
    const uint64_t h = hash_(key);
    const auto probe = index_.find(key, h, *this);
    if (probe.found) {
      const iterator found = begin() + (index_[probe.at].index - 1);
      if (replace) found->second = std::move(value);
      return {found, false};
    }
    entries_.emplace_back(Key(std::forward<K>(key)), std::move(value));
    index_.fill(probe.at, Slots::slot_of(entries_.size() - 1, h));
    return {end() - 1, true};
  }

  // The slots keep too few hash bits to be moved, so every growth hashes the
  // keys again; all of them first, so that the rebuild can prefetch.
  void rebuild(size_t capacity) {
    const size_t n = entries_.size();
    std::vector<uint64_t> hashes;
    hashes.reserve(n);
    pool::CancelPoint point;  // a table of millions of entries, built on the pool
    for (size_t i = 0; i < n; ++i) {
      point.step();
      hashes.push_back(hash_(entries_[i].first));
    }
    index_.rebuild(
        capacity, n, [&](size_t i) { return hashes[i]; },
        [](size_t i, uint64_t h) { return Slots::slot_of(i, h); });
  }

  std::vector<value_type> entries_;
  Index index_;
  Hash hash_;
};

}  // namespace vorpak
