// An open-addressing map from object addresses to small numbers.
#pragma once

#include <cstdint>
#include <vector>

namespace vorpak {

// Keys are addresses (never 0); the look-up is inline because it runs once per
// cell of a table walk. Addresses are only compared, never followed.
class AddressIndex {
 public:
  static constexpr uint64_t kAbsent = ~uint64_t{0};

  uint64_t find(uint64_t address) const {
    if (slots_.empty()) return kAbsent;
    const size_t mask = slots_.size() - 1;
    for (size_t at = spread(address) & mask;; at = (at + 1) & mask) {
      if (slots_[at].address == address) return slots_[at].value;
      if (slots_[at].address == 0) return kAbsent;
    }
  }

  // Adds an address that find() does not know.
  void insert(uint64_t address, uint64_t value) {
    if (2 * (count_ + 1) > slots_.size()) grow();
    place(slots_, address, value);
    ++count_;
  }

 private:
  struct Slot {
    uint64_t address = 0;  // 0: empty
    uint64_t value = 0;
  };

  // Objects are at least 16-byte aligned; the multiply spreads the rest.
  static size_t spread(uint64_t address) { return (address >> 4) * 0x9e3779b97f4a7c15ull >> 20; }

  static void place(std::vector<Slot>& slots, uint64_t address, uint64_t value) {
    const size_t mask = slots.size() - 1;
    size_t at = spread(address) & mask;
    while (slots[at].address != 0) at = (at + 1) & mask;
    slots[at] = {address, value};
  }

  // Starts small: a wide table has an index per column, most with one address.
  void grow() {
    std::vector<Slot> bigger(slots_.empty() ? 4 : slots_.size() * 2);
    for (const Slot& slot : slots_) {
      if (slot.address != 0) place(bigger, slot.address, slot.value);
    }
    slots_.swap(bigger);
  }

  std::vector<Slot> slots_;
  size_t count_ = 0;
};

}  // namespace vorpak
