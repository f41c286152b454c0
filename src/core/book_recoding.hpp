// Coding a new table through tables fitted earlier.
//
// A new table is first coded as a fit of its own would code it, so that every
// cell rule of a fit holds for it unchanged (what is a number, the texts of
// numbers above and below a column's first text, markers, surrogate repair).
// Its codes are then translated, one distinct text at a time, into the codes of
// the stored tables: a column costs one look-up per distinct text and one
// table read per cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/cell_grid.hpp"
#include "core/text_tables.hpp"

namespace vorpak {

// What a cell whose text the stored table lacks becomes: an error, or a value.
struct UnknownTexts {
  bool raise = true;
  double value = 0.0;  // when not raising
};

// The first cell (by row) that had no code, when unknown texts raise.
struct UnknownCell {
  size_t row = 0;
  std::string text;
};

// Column `column` of `grid` holds the codes of a fresh fit whose code -> text
// table is `fresh`: NaN for markers, else the code. Rewrites each cell with the
// code its text has in `stored`, or, with no stored table (the column held
// only numbers when fitted), gives back the numbers of rows above
// `first_text_row`, whose texts are numbers written by number_to_text; every
// other text is unknown. Runs on the pool and stops with pool::Cancelled when
// asked to. Returns the first unknown cell when `unknown` raises (the column
// is then left half written).
std::optional<UnknownCell> recode_text_column(const CellGrid& grid, size_t column,
                                              const DecodingTable& fresh,
                                              const EncodingTable* stored, size_t first_text_row,
                                              const UnknownTexts& unknown);

// Column `column` of `grid` holds numbers, but its stored column holds texts:
// each number is looked up by its text (number_to_text), as a fit codes the
// numbers above a column's first text.
std::optional<UnknownCell> recode_number_column(const CellGrid& grid, size_t column,
                                                const EncodingTable& stored,
                                                const UnknownTexts& unknown);

}  // namespace vorpak
