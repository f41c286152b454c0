// The one open-addressing hash table behind the encoder's lookup structures.
//
// Hand-written rather than taken from a library: the project depends on CPython,
// NumPy and pandas and on nothing else, at build time or at run time. And no
// general-purpose map gives these tables what they need all at once:
//   - slots that hold only an id into arrays the owner keeps anyway, so that a
//     text and its hash are stored once, in the order the owner wants them;
//   - a hash that the caller computes ahead of the look-up, so that the slot can
//     be prefetched while earlier keys are still being looked up;
//   - small slots (8 bytes, with tag bits to skip most key comparisons) and a
//     bulk rebuild that prefetches, for tables of millions of texts;
//   - a first allocation of only four slots, and none before the first key: a
//     wide table has several tables per column, most of them nearly empty.
//
// The table is linear probing over a power-of-two array of slots kept at most
// half full. It owns the slots, the probing and the growth; a policy says what a
// slot is and how it is compared:
//
//   using Slot = ...;                    trivially copyable, small
//   static constexpr Slot empty();       the value of an unused slot
//   static bool is_empty(const Slot&);
//   static bool matches(const Slot&, const K& key, uint64_t hash, const Context&);
//                                        whether the slot holds `key`; for look-ups
//   static uint64_t hash_of(const Slot&, const Context&);
//                                        the hash the slot was placed by; for
//                                        make_room() and resize()
//   static constexpr bool kEmptyNeverMatches = true;
//                                        optional: matches() is safe on an empty
//                                        slot and false there, so a look-up may ask
//                                        it first, sparing a hit the emptiness test
//
// `Context` is what the owner hands in with each call: most slots are indexes
// into the owner's own arrays, which the policy reads through it. It is passed
// per call rather than held by the table, so that an owner can be moved or
// copied without leaving the table pointing at the old arrays. Callers hash the
// key themselves, for the prefetching above and because some keep the hash.
//
// A table takes 24 bytes besides its slots, as much as a std::vector of them
// alone: a wide table has a few tables per column, and FlatMap, which holds one,
// sits in every column of a fitted state.
#pragma once

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/thread_pool.hpp"

namespace vorpak {

template <class P>
concept SlotPolicy =
    std::is_trivially_copyable_v<typename P::Slot> && requires(const typename P::Slot& slot) {
      { P::empty() } -> std::same_as<typename P::Slot>;
      { P::is_empty(slot) } -> std::same_as<bool>;
    };

// The context of a policy that needs none.
struct NoContext {};

template <class P>
constexpr bool empty_never_matches() {
  if constexpr (requires { P::kEmptyNeverMatches; }) {
    return P::kEmptyNeverMatches;
  } else {
    return false;
  }
}

template <SlotPolicy Policy>
class OpenTable {
 public:
  using Slot = typename Policy::Slot;

  static constexpr size_t kMinCapacity = 4;

  struct Probe {
    size_t at;   // the slot holding the key, or the empty slot where it would go
    bool found;  // false also when the table has no slots (then `at` is 0)
  };

  // The smallest capacity that holds n slots at most half full.
  static size_t capacity_for(size_t n) {
    if (n > (SIZE_MAX >> 2)) throw std::bad_alloc();
    return std::max(kMinCapacity, std::bit_ceil(2 * n));
  }

  OpenTable() = default;
  OpenTable(const OpenTable& other) : mask_(other.mask_), count_(other.count_) {
    if (other.slots_) {
      slots_ = std::make_unique_for_overwrite<Slot[]>(other.capacity());
      std::copy_n(other.slots_.get(), other.capacity(), slots_.get());
    }
  }
  OpenTable(OpenTable&& other) noexcept
      : slots_(std::move(other.slots_)),
        mask_(std::exchange(other.mask_, 0)),
        count_(std::exchange(other.count_, 0)) {}
  OpenTable& operator=(OpenTable other) noexcept {
    swap(other);
    return *this;
  }

  size_t size() const { return count_; }
  size_t capacity() const { return slots_ ? mask_ + 1 : 0; }
  const Slot& operator[](size_t at) const { return slots_[at]; }

  // The slot holding the key, or nullptr. Inline: in a table walk it runs once
  // per cell.
  template <class K, class Context>
  const Slot* lookup(const K& key, uint64_t h, const Context& context) const {
    if (!slots_) return nullptr;
    return probe_from(
        key, h, context, [this](size_t at) -> const Slot* { return &slots_[at]; },
        [](size_t) -> const Slot* { return nullptr; });
  }

  // Where the key is, or where it would go: for a look-up that may add it.
  template <class K, class Context>
  Probe find(const K& key, uint64_t h, const Context& context) const {
    if (!slots_) return {0, false};
    return probe_from(
        key, h, context, [](size_t at) { return Probe{at, true}; },
        [](size_t at) { return Probe{at, false}; });
  }

  // find() for a look-up that adds the key when it is absent: an empty slot it
  // returns can be filled at once, the table having grown first if it had to.
  // Room is made only on a miss, so that a hit costs no more than find().
  template <class K, class Context>
  Probe find_for_insert(const K& key, uint64_t h, const Context& context) {
    Probe probe = find(key, h, context);
    if (!probe.found && !has_room_for(1)) {
      make_room(context);
      probe.at = first_empty(slots_.get(), mask_, h);  // the key is still absent
    }
    return probe;
  }

  // Asks for the first slot a key hashed to h would probe, ahead of its find().
  void prefetch(uint64_t h) const {
    if (slots_) __builtin_prefetch(&slots_[h & mask_]);
  }

  // Without slots the mask is 0: no room for any more, and no test of slots_.
  bool has_room_for(size_t more) const { return 2 * (count_ + more) <= mask_ + 1; }

  // Ensures that one more slot fits, doubling the table (to kMinCapacity at
  // first). It moves slots, so a Probe taken before it is stale.
  template <class Context>
  void make_room(const Context& context) {
    if (!has_room_for(1)) resize(slots_ ? 2 * capacity() : kMinCapacity, context);
  }

  // Puts `slot` into the empty slot that find() just returned.
  void fill(size_t at, const Slot& slot) {
    slots_[at] = slot;
    ++count_;
  }

  // Adds a slot for a key that the table does not hold, hashed to h, comparing
  // no keys. The table must have room.
  void add_absent(uint64_t h, const Slot& slot) { fill(first_empty(slots_.get(), mask_, h), slot); }

  // Moves every slot into a table of `capacity` slots (a power of two that
  // holds them at most half full), placed by Policy::hash_of.
  template <class Context>
  void resize(size_t capacity, const Context& context) {
    std::unique_ptr<Slot[]> moved = empty_slots(capacity);
    pool::CancelPoint point;  // the table is left as it was if this stops
    for (size_t at = 0; at < this->capacity(); ++at) {
      point.step();
      const Slot& slot = slots_[at];
      if (Policy::is_empty(slot)) continue;
      moved[first_empty(moved.get(), capacity - 1, Policy::hash_of(slot, context))] = slot;
    }
    slots_ = std::move(moved);
    mask_ = capacity - 1;
  }

  // Lays the table anew with `capacity` slots for n items, the i-th hashed to
  // hash_at(i) and stored as slot_at(i, hash); hash_at must be cheap, as it is
  // called twice. Each slot is fetched from memory a few items before it is
  // written: in a large table nearly every slot is a cache miss, and misses in
  // flight together cost little more than one.
  template <class HashAt, class SlotAt>
  void rebuild(size_t capacity, size_t n, HashAt hash_at, SlotAt slot_at) {
    constexpr size_t kAhead = 16;
    std::unique_ptr<Slot[]> slots = empty_slots(capacity);
    const size_t mask = capacity - 1;
    pool::CancelPoint point;  // tables of millions of entries are rebuilt on the pool
    for (size_t i = 0; i < n; ++i) {
      point.step();
      if (i + kAhead < n) __builtin_prefetch(&slots[hash_at(i + kAhead) & mask], 1);
      const uint64_t h = hash_at(i);
      size_t at = h & mask;
      while (!Policy::is_empty(slots[at])) at = (at + 1) & mask;
      slots[at] = slot_at(i, h);
    }
    slots_ = std::move(slots);
    mask_ = mask;
    count_ = n;
  }

  void swap(OpenTable& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(mask_, other.mask_);
    std::swap(count_, other.count_);
  }

 private:
  // Probes from h to the key's slot or the first empty one, whichever comes
  // first, and returns what found(at) or empty(at) makes of it.
  template <class K, class Context, class Found, class Empty>
  auto probe_from(const K& key, uint64_t h, const Context& context, Found found,
                  Empty empty) const {
    for (size_t at = h & mask_;; at = (at + 1) & mask_) {
      const Slot& slot = slots_[at];
      if constexpr (empty_never_matches<Policy>()) {
        if (Policy::matches(slot, key, h, context)) return found(at);
        if (Policy::is_empty(slot)) return empty(at);
      } else {
        if (Policy::is_empty(slot)) return empty(at);
        if (Policy::matches(slot, key, h, context)) return found(at);
      }
    }
  }

  static std::unique_ptr<Slot[]> empty_slots(size_t capacity) {
    auto slots = std::make_unique_for_overwrite<Slot[]>(capacity);
    std::fill_n(slots.get(), capacity, Policy::empty());
    return slots;
  }

  static size_t first_empty(const Slot* slots, size_t mask, uint64_t h) {
    size_t at = h & mask;
    while (!Policy::is_empty(slots[at])) at = (at + 1) & mask;
    return at;
  }

  std::unique_ptr<Slot[]> slots_;  // null until the first slot is needed
  size_t mask_ = 0;                // capacity - 1, when there are slots
  size_t count_ = 0;
};

// Slots that name an entry of the owner's vector, by its index + 1 (0 marks an
// empty slot), and carry the high bits of its hash as a tag, which the low bits
// (the slot's place) do not repeat: most slots of other keys fail on the tag
// without their entry being read. A policy adds its matches().
struct TaggedEntrySlots {
  struct Slot {
    uint32_t index;
    uint32_t tag;
  };
  static constexpr Slot empty() { return {0, 0}; }
  static bool is_empty(const Slot& slot) { return slot.index == 0; }
  static uint32_t tag_of(uint64_t h) { return static_cast<uint32_t>(h >> 32); }
  static Slot slot_of(size_t entry, uint64_t h) {
    return {static_cast<uint32_t>(entry + 1), tag_of(h)};
  }
};

// Slots for texts that an owner numbers itself: a slot holds id + 1 (0 is
// empty), and the owner keeps the texts and their hashes in arrays by id. The
// stored hash is compared first, which skips nearly every text comparison, and
// is what growth places a slot by, so no text is hashed twice.
template <class Id>
struct TextIdSlots {
  using Slot = Id;
  struct Context {
    const std::vector<std::string_view>& texts;
    const std::vector<uint64_t>& hashes;
  };

  static constexpr Slot empty() { return 0; }
  static bool is_empty(Slot slot) { return slot == 0; }
  static Slot slot_of(Id id) { return id + 1; }
  static Id id_of(Slot slot) { return slot - 1; }

  static bool matches(Slot slot, std::string_view text, uint64_t h, const Context& context) {
    return context.hashes[slot - 1] == h && context.texts[slot - 1] == text;
  }
  static uint64_t hash_of(Slot slot, const Context& context) { return context.hashes[slot - 1]; }
};

}  // namespace vorpak
