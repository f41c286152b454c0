#include "core/address_numbering.hpp"

#include <algorithm>
#include <bit>
#include <stdexcept>
#include <utility>

#include "core/thread_pool.hpp"

namespace vorpak {
namespace {

// Rows per chunk, at the least: fewer would spend more on tables than on rows.
constexpr size_t kMinChunkRows = 16 * 1024;

// Rows sampled to tell a column of mostly distinct strs; columns shorter than
// a few samples' worth keep small tables anyway.
constexpr size_t kSampleRows = 4096;
constexpr size_t kRadixBits = 11;
// Rows numbered together, a few hundred KB of a row-major grid.
constexpr size_t kBlockRows = 2048;

// Whether more than half of the addresses in an even sample of column `col`'s
// rows are distinct.
bool mostly_distinct(const CellGrid& grid, size_t col) {
  const size_t nrows = grid.nrows;
  if (nrows < 4 * kSampleRows) return false;
  AddressIndex seen;
  size_t addresses = 0, distinct = 0;
  const size_t step = nrows / kSampleRows;
  for (size_t i = 0; i < nrows; i += step) {
    const uint64_t bits = std::bit_cast<uint64_t>(grid.at(i, col));
    if (bits & 1) continue;  // a text id
    ++addresses;
    if (seen.find(bits) == AddressIndex::kAbsent) {
      seen.insert(bits, 0);
      ++distinct;
    }
  }
  return 2 * distinct > addresses && addresses > 0;
}

struct Filed {
  uint64_t key;  // the address, less the column's lowest
  uint64_t row;
};

// LSD radix sort by key, as many passes as the keys' span needs.
void sort_by_key(std::vector<Filed>& items, uint64_t span, pool::CancelPoint& point) {
  constexpr size_t kBuckets = size_t{1} << kRadixBits;
  std::vector<Filed> scratch(items.size());
  std::vector<size_t> starts(kBuckets);
  for (size_t shift = 0; shift < static_cast<size_t>(std::bit_width(span)); shift += kRadixBits) {
    std::fill(starts.begin(), starts.end(), 0);
    for (const Filed& item : items) {
      point.step();
      ++starts[(item.key >> shift) & (kBuckets - 1)];
    }
    size_t sum = 0;
    for (size_t& start : starts) sum += std::exchange(start, sum);
    for (const Filed& item : items) {
      point.step();
      scratch[starts[(item.key >> shift) & (kBuckets - 1)]++] = item;
    }
    items.swap(scratch);
  }
}

// Numbers column `col`'s addresses in ascending order, writing each slot's
// number and returning the distinct addresses.
std::vector<uint64_t> number_by_sorting(const CellGrid& grid, size_t col) {
  const size_t nrows = grid.nrows;
  pool::CancelPoint point;  // a column of millions of rows takes a while
  std::vector<Filed> filed;
  filed.reserve(nrows);
  uint64_t lowest = ~uint64_t{0}, highest = 0;
  for (size_t i = 0; i < nrows; ++i) {
    point.step();
    const uint64_t bits = std::bit_cast<uint64_t>(grid.at(i, col));
    if (bits & 1) continue;  // a text id
    filed.push_back({bits, i});
    lowest = std::min(lowest, bits);
    highest = std::max(highest, bits);
  }
  for (Filed& item : filed) item.key -= lowest;
  sort_by_key(filed, filed.empty() ? 0 : highest - lowest, point);

  std::vector<uint64_t> distinct;
  for (const Filed& item : filed) {
    point.step();
    if (distinct.empty() || distinct.back() != item.key + lowest)
      distinct.push_back(item.key + lowest);
    grid.at(item.row, col) = std::bit_cast<double>((distinct.size() - 1) << 1);
  }
  return distinct;
}

}  // namespace

AddressNumbering number_addresses(const CellGrid& grid, std::vector<size_t> columns,
                                  std::vector<NumberedInChunks> numbered) {
  const size_t nrows = grid.nrows;
  AddressNumbering result;
  result.columns = std::move(columns);
  const size_t listed = result.columns.size();
  // One row range per thread: more ranges would only repeat the distinct
  // addresses in more tables.
  result.chunks =
      std::max<size_t>(1, std::min(pool::thread_count(), pool::chunk_count(nrows, kMinChunkRows)));
  if (listed == 0) return result;
  numbered.resize(listed);
  for (const NumberedInChunks& chunks : numbered) {
    if (!chunks.empty() && chunks.size() != result.chunks) {
      throw std::logic_error("a column was numbered in other row ranges than the chunks");
    }
  }
  result.by_sorting.resize(listed);
  std::vector<size_t> to_sort;
  for (size_t c = 0; c < listed; ++c) {
    result.by_sorting[c] = numbered[c].empty() && mostly_distinct(grid, result.columns[c]);
    if (result.by_sorting[c]) to_sort.push_back(c);
  }
  result.distinct.resize(listed);
  pool::parallel_for(to_sort.size(), 1, [&](size_t first, size_t last) {
    for (size_t t = first; t < last; ++t) {
      const size_t c = to_sort[t];
      result.distinct[c] = number_by_sorting(grid, result.columns[c]);
    }
  });

  std::vector<std::vector<AddressNumbers>> local(result.chunks, std::vector<AddressNumbers>(listed));
  pool::parallel_for(result.chunks, 1, [&](size_t first, size_t last) {
    pool::CancelPoint point;
    for (size_t k = first; k < last; ++k) {
      // Blocks of rows, column by column within a block: the block stays in
      // cache in either order of the grid.
      const size_t end = result.chunk_begin(k + 1, nrows);
      for (size_t block = result.chunk_begin(k, nrows); block < end; block += kBlockRows) {
        const size_t block_end = std::min(end, block + kBlockRows);
        point.step((block_end - block) * listed);
        for (size_t c = 0; c < listed; ++c) {
          if (result.by_sorting[c] || !numbered[c].empty()) continue;
          for (size_t i = block; i < block_end; ++i) {
            double& slot = grid.at(i, result.columns[c]);
            const uint64_t bits = std::bit_cast<uint64_t>(slot);
            if (bits & 1) continue;  // a text id
            slot = std::bit_cast<double>(local[k][c].number_of(bits) << 1);
          }
        }
      }
    }
  });

  // Merge the chunks' numbers into one list of distinct addresses per column.
  result.global.assign(result.chunks, std::vector<std::vector<uint64_t>>(listed));
  pool::parallel_for(listed, 1, [&](size_t first, size_t last) {
    pool::CancelPoint point;
    for (size_t c = first; c < last; ++c) {
      if (result.by_sorting[c]) continue;
      AddressNumbers merged;
      for (size_t k = 0; k < result.chunks; ++k) {
        const std::vector<uint64_t>& addresses =
            numbered[c].empty() ? local[k][c].addresses() : numbered[c][k];
        std::vector<uint64_t>& map = result.global[k][c];
        map.reserve(addresses.size());
        for (uint64_t address : addresses) {
          point.step();
          map.push_back(merged.number_of(address));
        }
      }
      result.distinct[c] = merged.take();
    }
  });
  return result;
}

}  // namespace vorpak
