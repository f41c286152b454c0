// Numbering the str addresses that a walk filed in string columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

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

// Numbers the addresses in `columns` of the grid's cells on the pool.
AddressNumbering number_addresses(const CellGrid& grid, std::vector<size_t> columns);

}  // namespace vorpak
