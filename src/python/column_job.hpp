// The per-column job of the string-column driver.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../module/send_ptr.hpp"
#include "address_numbering.hpp"
#include "state.hpp"

namespace vorpak {

// What every job reads; nothing writes it while the jobs run. A numeric
// column's cells already hold their numbers. A string column's cells hold bit
// patterns: an odd one is a text id (shifted left, low bit set) into texts[j],
// the column's distinct sources of text; an even one is the number of a str
// address (see AddressNumbering). The codes replace both.
struct JobContext {
  size_t nrows = 0;
  size_t ncols = 0;
  std::vector<uint8_t> is_string;
  std::vector<const std::vector<std::string_view>*> texts;
  // Per column: the text id of each distinct str address the walk filed, and
  // how the slots number those addresses.
  std::vector<const std::vector<uint64_t>*> address_ids;
  const AddressNumbering* numbering = nullptr;
  std::shared_ptr<const SendPtr> output;
};

struct ColumnTables {
  uint64_t column;
  EncodingTable encoding;
  DecodingTable decoding;
  std::vector<double> code_of_id;       // the code (or NaN) of each of the column's text ids
  std::vector<double> code_of_address;  // the same for each distinct str address
};

// Label-encodes string column j and builds its tables; a numeric column's cells
// already hold their numbers, so it has nothing to do. Runs on the worker pool
// and touches no Python object.
std::optional<ColumnTables> encode_column(size_t j, const JobContext& ctx);

// Replaces the text ids and address numbers in the string columns' cells by
// their codes.
void write_codes(const std::vector<ColumnTables>& columns, const JobContext& ctx);

// A double as text for a column that turned to text after some numbers: the
// shortest digits that read back exactly, in plain positional notation, with
// "NaN", "inf", "-inf" and "-0" for the special values. Returns the length
// written to `buf`, which must hold kNumberTextCapacity bytes.
inline constexpr size_t kNumberTextCapacity = 400;
size_t number_to_text(double x, char* buf);

}  // namespace vorpak
