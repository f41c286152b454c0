// Ids of short texts, found by comparing two machine words instead of bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/keyed_hash.hpp"

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
    if (!slots_) {  // many indexes are made and never used: allocate on first use
      slots_.reset(new Slot[kMinCapacity]());
      mask_ = kMinCapacity - 1;
    }
    const Key key = key_of(text);
    size_t at = hash(key) & mask_;
    for (; slots_[at].key.size_plus_one != 0; at = (at + 1) & mask_) {
      if (slots_[at].key == key) return slots_[at].id;
    }
    const uint64_t id = make_id();
    slots_[at] = Slot{key, id};
    if (2 * ++count_ > mask_ + 1) grow();
    return id;
  }

  ShortTextIndex() : seed_(fresh_hash_key()) {}

 private:
  static constexpr size_t kMinCapacity = 64;
  static constexpr uint64_t kSizeMix = 0x9e3779b97f4a7c15ull;

  struct Key {
    uint64_t words[4] = {0, 0, 0, 0};
    uint64_t size_plus_one = 0;  // 0: an empty slot
    bool operator==(const Key&) const = default;
  };
  struct Slot {
    Key key;
    uint64_t id = 0;
  };

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

  void grow() {
    const size_t capacity = 2 * (mask_ + 1);
    std::unique_ptr<Slot[]> old(new Slot[capacity]());
    old.swap(slots_);
    const size_t old_capacity = mask_ + 1;
    mask_ = capacity - 1;
    for (size_t k = 0; k < old_capacity; ++k) {
      const Slot& s = old[k];
      if (s.key.size_plus_one == 0) continue;
      size_t at = hash(s.key) & mask_;
      while (slots_[at].key.size_plus_one != 0) at = (at + 1) & mask_;
      slots_[at] = s;
    }
  }

  uint64_t seed_;
  std::unique_ptr<Slot[]> slots_;
  size_t mask_ = 0;
  size_t count_ = 0;
};

}  // namespace vorpak
