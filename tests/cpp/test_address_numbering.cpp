// Numbering the str addresses filed in a row-major buffer of doubles.
//
// The buffers here hold made-up addresses (even, 16-byte aligned bit patterns
// that are never followed) and text ids (odd bit patterns), as a walk files them.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstdint>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/address_numbering.hpp"
#include "core/thread_pool.hpp"

namespace vorpak {
namespace {

// Rows past which a column is sampled to see whether it is mostly distinct.
constexpr size_t kSortableRows = 4 * 4096;

uint64_t bits_of(double x) { return std::bit_cast<uint64_t>(x); }
double cell(uint64_t bits) { return std::bit_cast<double>(bits); }
uint64_t text_id(uint64_t id) { return (id << 1) | 1; }

// How the cells of one listed column are filled.
struct ColumnShape {
  size_t distinct_addresses;  // drawn from a pool of this many; 0: text ids only
  unsigned text_id_percent;   // share of cells holding a text id
  uint64_t base;              // lowest address
  uint64_t stride;            // between neighbouring addresses of the pool (a multiple of 16)
};

struct Scenario {
  const char* name;
  size_t nrows;
  size_t ncols;
  std::vector<size_t> listed;          // the columns numbered
  std::vector<ColumnShape> shapes;     // one per listed column
  std::vector<int> expect_by_sorting;  // per listed column: 1, 0, or -1 for "either"
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

// Fills the buffer: listed columns as their shape says, the others with random
// bit patterns of both parities, which the numbering must leave alone.
std::vector<double> fill(const Scenario& s, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<double> cells(s.nrows * s.ncols);
  for (double& c : cells) c = cell(rng());
  for (size_t l = 0; l < s.listed.size(); ++l) {
    const ColumnShape& shape = s.shapes[l];
    // The pool of addresses, shuffled so that numbering order and address order differ.
    std::vector<uint64_t> pool(shape.distinct_addresses);
    for (size_t k = 0; k < pool.size(); ++k) pool[k] = shape.base + k * shape.stride;
    std::shuffle(pool.begin(), pool.end(), rng);
    for (size_t i = 0; i < s.nrows; ++i) {
      uint64_t bits;
      if (pool.empty() || rng() % 100 < shape.text_id_percent) {
        bits = text_id(rng() % 1000);
      } else if (shape.distinct_addresses >= s.nrows) {
        bits = pool[i % pool.size()];  // a column of distinct addresses: each once
      } else {
        bits = pool[rng() % pool.size()];
      }
      cells[i * s.ncols + s.listed[l]] = cell(bits);
    }
  }
  return cells;
}

// The address a numbered slot stands for.
uint64_t address_of(const AddressNumbering& n, size_t listed, size_t row, size_t nrows,
                    uint64_t slot_bits) {
  const uint64_t number = slot_bits >> 1;
  if (n.by_sorting[listed]) return n.distinct[listed].at(number);
  size_t chunk = 0;
  while (chunk + 1 < n.chunks && n.chunk_begin(chunk + 1, nrows) <= row) ++chunk;
  return n.distinct[listed].at(n.global.at(chunk).at(listed).at(number));
}

// Everything the numbering promises, checked against the buffer before it ran.
void expect_numbered(const Scenario& s, const std::vector<double>& before,
                     const std::vector<double>& after, const AddressNumbering& n) {
  ASSERT_EQ(n.columns, s.listed);
  ASSERT_GE(n.chunks, 1u);
  ASSERT_EQ(n.chunk_begin(0, s.nrows), 0u);
  ASSERT_EQ(n.chunk_begin(n.chunks, s.nrows), s.nrows);
  if (s.listed.empty()) {
    EXPECT_EQ(std::memcmp(before.data(), after.data(), before.size() * sizeof(double)), 0);
    return;
  }
  ASSERT_EQ(n.distinct.size(), s.listed.size());
  ASSERT_EQ(n.by_sorting.size(), s.listed.size());
  ASSERT_EQ(n.global.size(), n.chunks);

  std::vector<bool> is_listed(s.ncols, false);
  for (size_t col : s.listed) is_listed[col] = true;
  for (size_t i = 0; i < s.nrows; ++i) {
    for (size_t col = 0; col < s.ncols; ++col) {
      if (!is_listed[col]) {
        ASSERT_EQ(bits_of(after[i * s.ncols + col]), bits_of(before[i * s.ncols + col]))
            << "unlisted cell (" << i << ", " << col << ") changed";
      }
    }
  }

  for (size_t l = 0; l < s.listed.size(); ++l) {
    SCOPED_TRACE("listed column " + std::to_string(l));
    const size_t col = s.listed[l];
    if (l < s.expect_by_sorting.size() && s.expect_by_sorting[l] >= 0) {
      EXPECT_EQ(n.by_sorting[l] != 0, s.expect_by_sorting[l] == 1);
    }
    const std::vector<uint64_t>& distinct = n.distinct[l];

    // Each address of the column exactly once in `distinct`, and nothing else.
    std::unordered_set<uint64_t> held;
    for (size_t i = 0; i < s.nrows; ++i) {
      const uint64_t bits = bits_of(before[i * s.ncols + col]);
      if (!(bits & 1)) held.insert(bits);
    }
    const std::unordered_set<uint64_t> listed_once(distinct.begin(), distinct.end());
    EXPECT_EQ(listed_once.size(), distinct.size()) << "an address is listed twice";
    EXPECT_TRUE(listed_once == held) << "distinct lists other addresses than the column holds";
    if (n.by_sorting[l]) {
      EXPECT_TRUE(std::is_sorted(distinct.begin(), distinct.end()));
      for (size_t k = 0; k < n.chunks; ++k) EXPECT_TRUE(n.global[k][l].empty());
    }

    // Every slot: a text id untouched, an address replaced by an even number
    // that leads back to it.
    std::vector<std::unordered_map<uint64_t, uint64_t>> local_of(n.chunks);  // per chunk: local -> address
    size_t chunk = 0;
    for (size_t i = 0; i < s.nrows; ++i) {
      while (chunk + 1 < n.chunks && n.chunk_begin(chunk + 1, s.nrows) <= i) ++chunk;
      const uint64_t was = bits_of(before[i * s.ncols + col]);
      const uint64_t now = bits_of(after[i * s.ncols + col]);
      if (was & 1) {
        ASSERT_EQ(now, was) << "text id changed at row " << i;
        continue;
      }
      ASSERT_EQ(now & 1, 0u) << "address slot tagged as a text id at row " << i;
      ASSERT_EQ(address_of(n, l, i, s.nrows, now), was) << "row " << i;
      if (!n.by_sorting[l]) {
        const auto [at, added] = local_of[chunk].emplace(now >> 1, was);
        ASSERT_EQ(at->second, was) << "one local number, two addresses, at row " << i;
      }
    }
    if (!n.by_sorting[l]) {
      // Each chunk's numbers are 0, 1, 2, ... with no gaps, mapping to distinct entries.
      for (size_t k = 0; k < n.chunks; ++k) {
        EXPECT_EQ(n.global[k][l].size(), local_of[k].size()) << "chunk " << k;
        const std::set<uint64_t> targets(n.global[k][l].begin(), n.global[k][l].end());
        EXPECT_EQ(targets.size(), n.global[k][l].size()) << "chunk " << k;
      }
    }
  }
}

class Numbering : public testing::TestWithParam<Scenario> {};

TEST_P(Numbering, EverySlotLeadsBackToItsAddress) {
  const Scenario& s = GetParam();
  const std::vector<double> before = fill(s, 1234);
  std::vector<double> after = before;
  const AddressNumbering n = number_addresses(CellGrid::row_major(after.data(), s.nrows, s.ncols), s.listed);
  expect_numbered(s, before, after, n);
}

TEST_P(Numbering, SameResultOnOneThread) {
  // The pool has the size this process was given (the test runs again with
  // RAYON_NUM_THREADS=1 and 3); an InlineScope makes it one thread and one chunk.
  const Scenario& s = GetParam();
  const std::vector<double> before = fill(s, 99);
  std::vector<double> pooled = before, alone = before;
  const AddressNumbering on_pool = number_addresses(CellGrid::row_major(pooled.data(), s.nrows, s.ncols), s.listed);
  AddressNumbering inline_numbering;
  {
    pool::InlineScope one_thread;
    inline_numbering = number_addresses(CellGrid::row_major(alone.data(), s.nrows, s.ncols), s.listed);
  }
  EXPECT_EQ(inline_numbering.chunks, 1u);
  expect_numbered(s, before, alone, inline_numbering);
  // Both numberings lead every slot back to its address (checked above and in
  // the test before); beyond that, the choice of road and the numbers of the
  // sorted columns must not depend on the thread count.
  ASSERT_EQ(on_pool.by_sorting, inline_numbering.by_sorting);
  for (size_t l = 0; l < s.listed.size(); ++l) {
    if (!on_pool.by_sorting[l]) continue;
    EXPECT_EQ(on_pool.distinct[l], inline_numbering.distinct[l]);
    for (size_t i = 0; i < s.nrows; ++i) {
      const size_t at = i * s.ncols + s.listed[l];
      ASSERT_EQ(bits_of(pooled[at]), bits_of(alone[at])) << "row " << i;
    }
  }
}

TEST_P(Numbering, ColumnsNumberedInTheirRangesMergeAsTheGridsWould) {
  // A walk that numbers a column range by range, as the chunks fall, hands on
  // each chunk's addresses in the order of its numbers: the merge must give
  // what numbering the grid gives, and leave the slots as they are.
  const Scenario& s = GetParam();
  std::vector<double> cells = fill(s, 7);
  const CellGrid grid = CellGrid::row_major(cells.data(), s.nrows, s.ncols);
  const AddressNumbering n = number_addresses(grid, s.listed);
  std::vector<size_t> columns, of_listed;
  std::vector<NumberedInChunks> numbered;
  std::vector<std::vector<uint64_t>> distinct;
  for (size_t l = 0; l < s.listed.size(); ++l) {
    if (n.by_sorting[l]) continue;  // its slots hold indexes into `distinct` now
    columns.push_back(s.listed[l]);
    of_listed.push_back(l);
    distinct.push_back(n.distinct[l]);
    NumberedInChunks& chunks = numbered.emplace_back();
    for (size_t k = 0; k < n.chunks; ++k) {
      auto& chunk = chunks.emplace_back();
      for (uint64_t g : n.global[k][l]) chunk.push_back(n.distinct[l][g]);
    }
  }
  const std::vector<double> numbered_cells = cells;
  const AddressNumbering merged = number_addresses(grid, columns, numbered);
  EXPECT_EQ(merged.distinct, distinct);
  for (size_t k = 0; k < merged.chunks; ++k) {
    for (size_t c = 0; c < columns.size(); ++c) EXPECT_EQ(merged.global[k][c], n.global[k][of_listed[c]]);
  }
  for (size_t i = 0; i < cells.size(); ++i) ASSERT_EQ(bits_of(cells[i]), bits_of(numbered_cells[i]));
}

constexpr uint64_t kHeap = 0x7f3a00000000;

INSTANTIATE_TEST_SUITE_P(
    Shapes, Numbering,
    testing::Values(
        Scenario{"no_listed_columns", 100, 3, {}, {}, {}},
        Scenario{"no_rows", 0, 3, {0, 2}, {{10, 0, kHeap, 16}, {10, 0, kHeap, 16}}, {0, 0}},
        Scenario{"one_row", 1, 1, {0}, {{1, 0, kHeap, 16}}, {0}},
        Scenario{"small_repeated", 500, 4, {1, 3}, {{7, 20, kHeap, 48}, {300, 10, 0x10, 16}}, {0, 0}},
        Scenario{"text_ids_only", 20000, 2, {0}, {{0, 100, kHeap, 16}}, {0}},
        // Too short to be sampled, however distinct.
        Scenario{"distinct_but_short", kSortableRows - 1, 2, {1}, {{kSortableRows, 0, kHeap, 32}}, {0}},
        // Long enough for several chunks when the pool has several threads.
        Scenario{"many_rows_few_addresses", 100000, 3, {0, 1},
                 {{1000, 5, kHeap, 16}, {3, 50, kHeap + 0x100000, 16}}, {0, 0}},
        Scenario{"distinct_and_long", kSortableRows + 100, 2, {0}, {{kSortableRows + 100, 0, kHeap, 16}},
                 {1}},
        // Addresses spread over 2^44 bytes: the radix sort needs several passes.
        Scenario{"distinct_spread_wide", 40000, 1, {0}, {{40000, 10, 0x1000, 0x10000010}}, {1}},
        Scenario{"distinct_from_address_sixteen", 30000, 2, {1}, {{30000, 30, 0x10, 16}}, {1}},
        // One column by each road, side by side, with a column between left alone.
        Scenario{"both_roads", 70000, 4, {0, 2, 3},
                 {{70000, 10, kHeap, 16}, {50, 10, kHeap, 16}, {60000, 20, 0x5500000000, 0x30}},
                 {1, 0, 1}},
        // Long, with many distinct addresses but mostly repeats: the per-chunk road.
        Scenario{"many_distinct_mostly_repeats", 40000, 1, {0}, {{1000, 0, kHeap, 16}}, {0}}),
    [](const testing::TestParamInfo<Scenario>& info) { return std::string(info.param.name); });

TEST(NumberingChunks, SeveralChunksWhenThePoolHasSeveralThreads) {
  // Otherwise the per-chunk merge would go untested in the runs with threads.
  const size_t nrows = 200000;
  std::vector<double> cells(nrows, cell(kHeap));
  const AddressNumbering n = number_addresses(CellGrid::row_major(cells.data(), nrows, 1), {0});
  EXPECT_LE(n.chunks, pool::thread_count());
  if (pool::thread_count() > 1) {
    EXPECT_GT(n.chunks, 1u);
  }
  ASSERT_EQ(n.distinct[0], std::vector<uint64_t>{kHeap});
  for (size_t k = 0; k < n.chunks; ++k) EXPECT_EQ(n.global[k][0], std::vector<uint64_t>{0});
  for (double c : cells) ASSERT_EQ(bits_of(c), 0u);
}

TEST(NumberingChunks, AnAddressInEveryChunkIsListedOnce) {
  // The same addresses in every chunk, first met in a different order in each.
  const size_t nrows = 100000;
  std::vector<double> cells(nrows);
  std::mt19937_64 rng(8);
  std::vector<uint64_t> addresses;
  for (uint64_t k = 0; k < 64; ++k) addresses.push_back(kHeap + 16 * k);
  for (size_t i = 0; i < nrows; ++i) cells[i] = cell(addresses[rng() % addresses.size()]);
  const std::vector<double> before = cells;
  const AddressNumbering n = number_addresses(CellGrid::row_major(cells.data(), nrows, 1), {0});
  const Scenario s{"every_chunk", nrows, 1, {0}, {}, {0}};
  expect_numbered(s, before, cells, n);
  EXPECT_EQ(n.distinct[0].size(), addresses.size());
}

}  // namespace
}  // namespace vorpak
