// Ids of short texts, found by comparing two machine words instead of bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "core/keyed_hash.hpp"

namespace vorpak {

// Most category texts are short. A text of at most 16 bytes is known exactly by
// its length and two overlapping 8-byte reads (or, below 8 bytes, two 4-byte
// reads, or its bytes), all inside the text, so a look-up costs one multiply and
// a comparison of words, with no indirection to the text itself. Longer texts
// are left to the caller's own table.
class ShortTextIndex {
 public:
  static constexpr size_t kMaxSize = 16;
  static constexpr uint64_t kAbsent = UINT64_MAX;

  // The id stored for `text` (at most kMaxSize bytes), or kAbsent.
  // With `make_id` called on a miss to give the id to store.
  template <class MakeId>
  uint64_t id_of(std::string_view text, MakeId make_id) {
    const Key key = key_of(text);
    const uint64_t h = fold_multiply(key.low ^ seed_, key.high ^ (key.size * kSizeMix));
    size_t at = h & mask_;
    for (; slots_[at].size_plus_one != 0; at = (at + 1) & mask_) {
      const Slot& s = slots_[at];
      if (s.low == key.low && s.high == key.high && s.size_plus_one == key.size + 1) return s.id;
    }
    const uint64_t id = make_id();
    slots_[at] = Slot{key.low, key.high, key.size + 1, id};
    if (2 * ++count_ > mask_ + 1) grow();
    return id;
  }

  ShortTextIndex() : seed_(fresh_hash_key()), slots_(new Slot[kMinCapacity]()), mask_(kMinCapacity - 1) {}

 private:
  static constexpr size_t kMinCapacity = 64;
  static constexpr uint64_t kSizeMix = 0x9e3779b97f4a7c15ull;

  struct Key {
    uint64_t low, high, size;
  };
  struct Slot {
    uint64_t low = 0, high = 0, size_plus_one = 0;  // 0: empty
    uint64_t id = 0;
  };

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
    if (n >= 8) return {read_u64(p), read_u64(p + n - 8), n};
    if (n >= 4) return {read_u32(p), read_u32(p + n - 4), n};
    uint64_t bytes = 0;
    if (n > 0) bytes = static_cast<uint8_t>(p[0]) | uint64_t{static_cast<uint8_t>(p[n / 2])} << 8 |
                       uint64_t{static_cast<uint8_t>(p[n - 1])} << 16;
    return {bytes, 0, n};
  }

  void grow() {
    const size_t capacity = 2 * (mask_ + 1);
    std::unique_ptr<Slot[]> old(new Slot[capacity]());
    old.swap(slots_);
    const size_t old_capacity = mask_ + 1;
    mask_ = capacity - 1;
    for (size_t k = 0; k < old_capacity; ++k) {
      const Slot& s = old[k];
      if (s.size_plus_one == 0) continue;
      const uint64_t h = fold_multiply(s.low ^ seed_, s.high ^ ((s.size_plus_one - 1) * kSizeMix));
      size_t at = h & mask_;
      while (slots_[at].size_plus_one != 0) at = (at + 1) & mask_;
      slots_[at] = s;
    }
  }

  uint64_t seed_;
  std::unique_ptr<Slot[]> slots_;
  size_t mask_;
  size_t count_ = 0;
};

}  // namespace vorpak
