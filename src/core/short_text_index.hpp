// Ids of short texts, found by comparing two machine words instead of bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "core/keyed_hash.hpp"
#include "core/open_table.hpp"

namespace vorpak {

// Most category texts are short. A text of at most 32 bytes is known exactly by
// its length and up to four overlapping 8-byte reads (or, below 8 bytes, two
// 4-byte reads, or its bytes), all inside the text, so a look-up costs a
// multiply or two and a comparison of words, with no indirection to the text
// itself. Longer texts are left to the caller's own table.
class ShortTextIndex {
 public:
  static constexpr size_t kMaxSize = 32;
  static constexpr uint64_t kAbsent = UINT64_MAX;

  // The id stored for `text` (at most kMaxSize bytes), or kAbsent.
  // With `make_id` called on a miss to give the id to store.
  template <class MakeId>
  uint64_t id_of(std::string_view text, MakeId make_id) {
    const Key key = key_of(text);
    const uint64_t h = hash(key);
    ++looked_up_;
    return spread_ ? spread_id_of(key, h, make_id) : packed_id_of(key, h, make_id);
  }

  ShortTextIndex() : seed_(fresh_hash_key()) {}

  // Asks for the slot where id_of(text) will look first: a table past the
  // caches costs a miss per look-up, which a loop hides by asking a few texts
  // ahead.
  void prefetch(std::string_view text) const {
    const uint64_t h = hash(key_of(text));
    if (spread_) {
      spread_table_.prefetch(h);
    } else if (packed_) {
      __builtin_prefetch(&packed_[h & mask_]);
    }
  }

 private:
  static constexpr uint64_t kSizeMix = 0x9e3779b97f4a7c15ull;
  static constexpr size_t kMinCapacity = 64;
  // Past this many texts an index whose look-ups kept finding new texts moves
  // them to the spread layout.
  static constexpr size_t kSpreadFrom = size_t{1} << 16;

  struct Key {
    uint64_t words[4] = {0, 0, 0, 0};
    uint64_t size_plus_one = 0;  // 0: an empty slot of the packed layout
    bool operator==(const Key&) const = default;
  };
  struct Entry {
    Key key;
    uint64_t id = 0;
  };

  // Two layouts. Packed: each slot holds its key and id, so a hit reads one
  // slot; right for texts that repeat, whose table stays small enough for the
  // caches. Spread: the keys sit in a vector in the order they came, and the
  // table holds 8-byte slots naming them, with the hash's high bits as a tag.
  // There a column of a million distinct texts takes 64 MB where packed slots,
  // kept half empty, take 100 to 200 MB, zeroed and moved at every doubling:
  // right where nearly every look-up adds a text, though a hit reads twice.
  // Which applies is seen, not guessed: an index starts packed and spreads when
  // it outgrows kSpreadFrom texts with nine in ten look-ups since its last
  // doubling having added one.
  struct SpreadSlots : TaggedEntrySlots {
    static bool matches(const Slot& slot, const Key& key, uint64_t h, const ShortTextIndex& index) {
      return slot.tag == tag_of(h) && index.entries_[slot.index - 1].key == key;
    }
  };

  template <class MakeId>
  uint64_t packed_id_of(const Key& key, uint64_t h, MakeId& make_id) {
    if (!packed_) {  // many indexes are made and never used: allocate on first use
      packed_.reset(new Entry[kMinCapacity]());
      mask_ = kMinCapacity - 1;
    }
    size_t at = h & mask_;
    for (; packed_[at].key.size_plus_one != 0; at = (at + 1) & mask_) {
      if (packed_[at].key == key) return packed_[at].id;
    }
    const uint64_t id = make_id();
    packed_[at] = Entry{key, id};
    if (2 * ++count_ > mask_ + 1) grow_packed();
    return id;
  }

  template <class MakeId>
  uint64_t spread_id_of(const Key& key, uint64_t h, MakeId& make_id) {
    if (!spread_table_.has_room_for(1)) spread_all();
    const auto probe = spread_table_.find(key, h, *this);
    if (probe.found) return entries_[spread_table_[probe.at].index - 1].id;
    if (entries_.size() >= UINT32_MAX - 1) throw std::bad_alloc();
    const uint64_t id = make_id();
    entries_.push_back(Entry{key, id});
    spread_table_.fill(probe.at, SpreadSlots::slot_of(entries_.size() - 1, h));
    return id;
  }

  uint64_t hash(const Key& key) const {
    const uint64_t h = fold_multiply(key.words[0] ^ seed_, key.words[1] ^ (key.size_plus_one * kSizeMix));
    return key.size_plus_one <= 17 ? h : fold_multiply(h ^ key.words[2], key.words[3] ^ kSizeMix);
  }

  static uint32_t read_u32(const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  }
  // The two words read overlap when the text is shorter than their width: with
  // the size, they still tell every pair of texts apart.
  static Key key_of(std::string_view text) {
    const char* p = text.data();
    const size_t n = text.size();
    Key key;
    key.size_plus_one = n + 1;
    if (n > 16) {
      key.words[0] = read_u64(p);
      key.words[1] = read_u64(p + 8);
      key.words[2] = read_u64(p + n - 16);
      key.words[3] = read_u64(p + n - 8);
    } else if (n >= 8) {
      key.words[0] = read_u64(p);
      key.words[1] = read_u64(p + n - 8);
    } else if (n >= 4) {
      key.words[0] = read_u32(p);
      key.words[1] = read_u32(p + n - 4);
    } else if (n > 0) {
      key.words[0] = static_cast<uint8_t>(p[0]) | uint64_t{static_cast<uint8_t>(p[n / 2])} << 8 |
                     uint64_t{static_cast<uint8_t>(p[n - 1])} << 16;
    }
    return key;
  }

  void grow_packed() {
    const size_t old_capacity = mask_ + 1;
    const bool mostly_new = 10 * (count_ - count_at_growth_) >= 9 * (looked_up_ - looked_up_at_growth_);
    count_at_growth_ = count_;
    looked_up_at_growth_ = looked_up_;
    std::unique_ptr<Entry[]> old = std::move(packed_);
    if (count_ > kSpreadFrom && mostly_new) {
      entries_.reserve(2 * count_);
      for (size_t k = 0; k < old_capacity; ++k) {
        if (old[k].key.size_plus_one != 0) entries_.push_back(old[k]);
      }
      spread_ = true;
      spread_all();
      return;
    }
    const size_t capacity = 2 * old_capacity;
    packed_.reset(new Entry[capacity]());
    mask_ = capacity - 1;
    for (size_t k = 0; k < old_capacity; ++k) {
      const Entry& e = old[k];
      if (e.key.size_plus_one == 0) continue;
      size_t at = hash(e.key) & mask_;
      while (packed_[at].key.size_plus_one != 0) at = (at + 1) & mask_;
      packed_[at] = e;
    }
  }

  // Lays the spread table anew for one more key, rehashing the keys in the
  // order they came, which reads them front to back.
  void spread_all() {
    const size_t n = entries_.size();
    spread_table_.rebuild(
        OpenTable<SpreadSlots>::capacity_for(n + 1), n,
        [&](size_t i) { return hash(entries_[i].key); },
        [](size_t i, uint64_t h) { return SpreadSlots::slot_of(i, h); });
  }

  uint64_t seed_;
  bool spread_ = false;
  size_t looked_up_ = 0;
  // Packed layout.
  std::unique_ptr<Entry[]> packed_;
  size_t mask_ = 0;
  size_t count_ = 0;
  size_t count_at_growth_ = 0, looked_up_at_growth_ = 0;
  // Spread layout.
  std::vector<Entry> entries_;
  OpenTable<SpreadSlots> spread_table_;
};

}  // namespace vorpak
