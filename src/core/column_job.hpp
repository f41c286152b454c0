// The per-column job of the string-column driver.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "core/address_numbering.hpp"
#include "core/cell_grid.hpp"
#include "core/label_encode.hpp"
#include "core/state.hpp"

namespace vorpak {

// The text ids of a string column read outside the buffer, on the pool: either
// one id per row, or a categorical's codes with the id each code stands for
// (rows above the column's first text read their category as a number text).
struct RowTextIds {
  std::vector<uint32_t> ids;  // one per row, or empty for codes
  const char* codes = nullptr;  // one after another, `width` bytes each
  unsigned width = 0;           // bytes per code: 1, 2, 4 or 8
  // Where `codes` points: a copy of the frame's codes, which Python code run
  // later in the walk (a cell's __str__) could otherwise change under us.
  std::vector<char> own_codes;
  size_t first_text = 0;
  // Per entry (code + 1); kNoTextId if unused. id_above is empty where no row
  // is above the first text.
  std::vector<uint64_t> id_above, id_below;

  static constexpr uint64_t kNoTextId = UINT64_MAX;

  // The entry of row i: its code + 1, so that a missing value (-1) is entry 0.
  size_t entry(size_t i) const {
    const char* at = codes + i * width;
    int64_t code;
    switch (width) {
      case 1: code = load<int8_t>(at); break;
      case 2: code = load<int16_t>(at); break;
      case 4: code = load<int32_t>(at); break;
      default: code = load<int64_t>(at); break;
    }
    return static_cast<size_t>(code + 1);
  }

 private:
  template <class T>
  static int64_t load(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
  }
};

// Calls fn with a value of the integer type of a categorical's codes of
// `width` bytes, so that a loop over millions of codes reads each with one load.
template <class Fn>
decltype(auto) with_code_type(unsigned width, Fn&& fn) {
  switch (width) {
    case 1: return fn(int8_t{});
    case 2: return fn(int16_t{});
    case 4: return fn(int32_t{});
    default: return fn(int64_t{});
  }
}

// The lowest and highest of the codes of rows [begin, end) of `codes` (of
// type Code, one after another). A pass of compares that the compiler
// vectorises, so that the loops that then index by the codes need no check of
// their own.
struct CodeBounds {
  int64_t low = 0, high = -1;  // of no rows: within any table

  // Whether every code has an entry (code + 1) below `count`.
  bool have_entries(size_t count) const {
    // high >= low >= -1 wherever there are rows, so high + 1 as unsigned is the largest entry.
    return low >= -1 && (low > high || static_cast<uint64_t>(high) + 1 < count);
  }
};

template <class Code>
CodeBounds code_bounds(const char* codes, size_t begin, size_t end) {
  if (begin == end) return {};
  Code low = std::numeric_limits<Code>::max(), high = std::numeric_limits<Code>::min();
  for (size_t i = begin; i < end; ++i) {
    Code code;
    std::memcpy(&code, codes + i * sizeof(Code), sizeof code);
    low = std::min(low, code);
    high = std::max(high, code);
  }
  return {low, high};
}

// One string column's job. Its cells hold bit patterns: an odd one is a text id
// (shifted left, low bit set) into `texts`, the column's distinct sources of
// text; an even one is the number of a str address (see AddressNumbering). The
// codes replace both. Nothing writes what a job reads while the jobs run.
struct StringColumnJob {
  size_t column = 0;
  const std::vector<std::string_view>* texts = nullptr;
  // Whether the texts may repeat (see Repeats).
  Repeats repeats = Repeats::kMaybe;
  // Where the walk filed strs by address: the column's place among the numbered
  // columns, and the text id of each distinct address.
  size_t listed = kNotListed;
  const std::vector<uint64_t>* address_ids = nullptr;
  // Where the text ids were kept instead of in the cells.
  const RowTextIds* row_ids = nullptr;

  static constexpr size_t kNotListed = SIZE_MAX;
};

// What the code writing shares: the output buffer and its numbering.
struct JobContext {
  // Each job writes the cells of its own column alone, so the jobs share the
  // buffer without locks.
  CellGrid grid;
  const AddressNumbering* numbering = nullptr;
};

struct ColumnTables {
  uint64_t column;
  EncodingTable encoding;
  DecodingTable decoding;
  std::vector<double> code_of_id;       // the code (or NaN) of each of the column's text ids
  std::vector<double> code_of_address;  // the same for each distinct str address
};

// Label-encodes a string column and builds its tables. Runs on the worker pool
// and touches no Python object.
ColumnTables encode_column(const StringColumnJob& job);

// Replaces the text ids and address numbers in the string columns' cells by
// their codes; columns[s] holds the tables of jobs[s].
// std::logic_error when a categorical's code has left its table since the walk
// checked it.
void write_codes(const std::vector<StringColumnJob>& jobs, const std::vector<ColumnTables>& columns,
                 const JobContext& ctx);

// A double as text for a column that turned to text after some numbers: the
// shortest digits that read back exactly, in plain positional notation, with
// "NaN", "inf", "-inf" and "-0" for the special values. Returns the length
// written to `buf`, which must hold kNumberTextCapacity bytes.
inline constexpr size_t kNumberTextCapacity = 400;
size_t number_to_text(double x, char* buf);

// The text of a NaN there, one of the missing-value markers.
inline constexpr std::string_view kNaNText = "NaN";

}  // namespace vorpak
