// The per-column job of the string-column driver.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/address_numbering.hpp"
#include "core/state.hpp"

namespace vorpak {

// One string column's job. Its cells hold bit patterns: an odd one is a text id
// (shifted left, low bit set) into `texts`, the column's distinct sources of
// text; an even one is the number of a str address (see AddressNumbering). The
// codes replace both. Nothing writes what a job reads while the jobs run.
struct StringColumnJob {
  size_t column = 0;
  const std::vector<std::string_view>* texts = nullptr;
  // Where the walk filed strs by address: the column's place among the numbered
  // columns, and the text id of each distinct address.
  size_t listed = kNotListed;
  const std::vector<uint64_t>* address_ids = nullptr;
  // Where the text ids were kept row by row instead of in the cells.
  const std::vector<uint32_t>* ids_by_row = nullptr;

  static constexpr size_t kNotListed = SIZE_MAX;
};

// What the code writing shares: the row-major output buffer and its numbering.
struct JobContext {
  size_t nrows = 0;
  size_t ncols = 0;
  const AddressNumbering* numbering = nullptr;
  // The row-major output buffer. Each job writes the cells of its own column
  // alone, so the jobs share it without locks.
  double* cells = nullptr;
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
void write_codes(const std::vector<StringColumnJob>& jobs, const std::vector<ColumnTables>& columns,
                 const JobContext& ctx);

// A double as text for a column that turned to text after some numbers: the
// shortest digits that read back exactly, in plain positional notation, with
// "NaN", "inf", "-inf" and "-0" for the special values. Returns the length
// written to `buf`, which must hold kNumberTextCapacity bytes.
inline constexpr size_t kNumberTextCapacity = 400;
size_t number_to_text(double x, char* buf);

}  // namespace vorpak
