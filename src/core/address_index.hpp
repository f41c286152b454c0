// An open-addressing map from object addresses to small numbers.
#pragma once

#include <cstdint>

#include "core/open_table.hpp"

namespace vorpak {

// Keys are addresses (never 0); the look-up is inline because it runs once per
// cell of a table walk. Addresses are only compared, never followed.
class AddressIndex {
 public:
  static constexpr uint64_t kAbsent = ~uint64_t{0};

  uint64_t find(uint64_t address) const {
    const auto* slot = table_.lookup(address, spread(address), NoContext{});
    return slot != nullptr ? slot->value : kAbsent;
  }

  // Adds an address that find() does not know. The table starts at its
  // smallest: a wide table has an index per column, most with one address.
  void insert(uint64_t address, uint64_t value) {
    table_.make_room(NoContext{});
    table_.add_absent(spread(address), {address, value});
  }

 private:
  // Objects are at least 16-byte aligned; the multiply spreads the rest.
  static uint64_t spread(uint64_t address) { return (address >> 4) * 0x9e3779b97f4a7c15ull >> 20; }

  // The address and its number side by side: a hit costs one cache line.
  struct Slots {
    struct Slot {
      uint64_t address;  // 0: empty
      uint64_t value;
    };
    static constexpr Slot empty() { return {0, 0}; }
    static bool is_empty(const Slot& slot) { return slot.address == 0; }
    // No address is 0: most look-ups hit, and a hit then costs one comparison.
    static constexpr bool kEmptyNeverMatches = true;
    static bool matches(const Slot& slot, uint64_t address, uint64_t, NoContext) {
      return slot.address == address;
    }
    static uint64_t hash_of(const Slot& slot, NoContext) { return spread(slot.address); }
  };

  OpenTable<Slots> table_;
};

}  // namespace vorpak
