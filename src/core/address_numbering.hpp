// Numbering the str addresses that a walk filed in string columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/address_index.hpp"
#include "core/cell_grid.hpp"
#include "core/thread_pool.hpp"

namespace vorpak {

// A walk in which no Python code runs files an exact str cell by its address
// (an even bit pattern; text ids are tagged odd). The pool then numbers the
// distinct addresses: each row range ("chunk") gets its own numbers, so the
// threads share no table and no cache line; the slot keeps its chunk-local
// number (shifted left by one) and `global` says which distinct address it is.
// Plain integer work: the addresses are never followed here.
//
// A column whose cells are mostly distinct strs would make those per-chunk
// tables as large as the column and every look-up a cache miss. Such a column
// is numbered by sorting its addresses instead: its slots then hold the index
// into `distinct` itself, which lists the addresses in ascending order, so the
// strs are later read in the order they lie in memory.
struct AddressNumbering {
  size_t chunks = 1;  // chunk k covers rows [nrows * k / chunks, nrows * (k + 1) / chunks)
  std::vector<size_t> columns;                  // the columns that hold addresses
  std::vector<std::vector<uint64_t>> distinct;  // per listed column: its distinct addresses
  std::vector<uint8_t> by_sorting;              // per listed column: numbered by sorting
  // [chunk][listed column][local number] -> index into distinct (empty for a
  // column numbered by sorting)
  std::vector<std::vector<std::vector<uint64_t>>> global;

  size_t chunk_begin(size_t k, size_t nrows) const { return pool::chunk_begin(nrows, k, chunks); }
};

// One column's distinct addresses in one row range, numbered in order of
// first appearance.
class AddressNumbers {
 public:
  uint64_t number_of(uint64_t address) {
    uint64_t number = index_.find(address);
    if (number == AddressIndex::kAbsent) {
      number = addresses_.size();
      index_.insert(address, number);
      addresses_.push_back(address);
    }
    return number;
  }
  const std::vector<uint64_t>& addresses() const { return addresses_; }
  std::vector<uint64_t> take() { return std::move(addresses_); }

 private:
  AddressIndex index_;
  std::vector<uint64_t> addresses_;
};

// A column that the walk numbered itself, range by range as the chunks fall
// (see AddressNumbers): per chunk, its addresses in the order of their numbers.
using NumberedInChunks = std::vector<std::vector<uint64_t>>;

// Numbers the addresses in `columns` of the grid's cells on the pool.
// `numbered`, if not empty, has an entry per listed column: empty where the
// cells hold addresses, and otherwise the chunks' addresses of a column whose
// cells hold their chunk's numbers already, which are only merged here.
AddressNumbering number_addresses(const CellGrid& grid, std::vector<size_t> columns,
                                  std::vector<NumberedInChunks> numbered = {});

}  // namespace vorpak
