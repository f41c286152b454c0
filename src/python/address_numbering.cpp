#include "address_numbering.hpp"

#include <bit>

#include "../runtime/address_index.hpp"
#include "../runtime/thread_pool.hpp"

namespace vorpak {
namespace {

// Rows per chunk, at the least: fewer would spend more on tables than on rows.
constexpr size_t kMinChunkRows = 16 * 1024;

// One column's distinct addresses, numbered in order of first appearance.
class Numbers {
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

}  // namespace

AddressNumbering number_addresses(double* cells, size_t nrows, size_t ncols,
                                  std::vector<size_t> columns) {
  AddressNumbering result;
  result.columns = std::move(columns);
  const size_t listed = result.columns.size();
  // One row range per thread: more ranges would only repeat the distinct
  // addresses in more tables.
  result.chunks =
      std::max<size_t>(1, std::min(pool::thread_count(), pool::chunk_count(nrows, kMinChunkRows)));
  if (listed == 0) return result;

  std::vector<std::vector<Numbers>> local(result.chunks, std::vector<Numbers>(listed));
  pool::parallel_for(result.chunks, 1, [&](size_t first, size_t last) {
    for (size_t k = first; k < last; ++k) {
      const size_t end = result.chunk_begin(k + 1, nrows);
      for (size_t i = result.chunk_begin(k, nrows); i < end; ++i) {
        double* row = cells + i * ncols;
        for (size_t c = 0; c < listed; ++c) {
          const uint64_t bits = std::bit_cast<uint64_t>(row[result.columns[c]]);
          if (bits & 1) continue;  // a text id
          row[result.columns[c]] = std::bit_cast<double>(local[k][c].number_of(bits) << 1);
        }
      }
    }
  });

  // Merge the chunks' numbers into one list of distinct addresses per column.
  result.distinct.resize(listed);
  result.global.assign(result.chunks, std::vector<std::vector<uint64_t>>(listed));
  pool::parallel_for(listed, 1, [&](size_t first, size_t last) {
    for (size_t c = first; c < last; ++c) {
      Numbers merged;
      for (size_t k = 0; k < result.chunks; ++k) {
        std::vector<uint64_t>& map = result.global[k][c];
        map.reserve(local[k][c].addresses().size());
        for (uint64_t address : local[k][c].addresses()) map.push_back(merged.number_of(address));
      }
      result.distinct[c] = merged.take();
    }
  });
  return result;
}

}  // namespace vorpak
