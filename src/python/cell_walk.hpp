// The record a walk over a table's cells fills, and what a walk may end in.
#pragma once

#include <Python.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "core/address_numbering.hpp"
#include "core/cell_grid.hpp"
#include "core/column_job.hpp"
#include "python/missing_cells.hpp"
#include "python/interrupts.hpp"
#include "python/no_python_stretch.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"
#include "python/table_access.hpp"
#include "core/text_arena.hpp"
#include "python/text_column.hpp"

namespace vorpak {

// What the walk builds: every cell's number, or for a string column the id of
// its text (as a bit pattern), straight in the output buffer; and per column
// the texts behind the ids.

// A string column's slot holds either a text id, tagged with a set low bit, or,
// during a walk in which no Python code runs, the address of an exact str
// (always even), whose text is fetched once per distinct object afterwards.
//
// A wide table may have millions of columns and few cells, so what is kept for
// every column is a few bytes; a column's texts are gathered only once it turns.
struct CellWalk {
  size_t nrows = 0, ncols = 0;
  double* out = nullptr;
  std::vector<uint8_t> is_string;
  std::vector<size_t> first_text_row;  // of each string column; nrows for the others
  std::vector<uint8_t> has_addresses;
  std::vector<std::unique_ptr<TextColumn>> texts;  // made when the column turns
  std::vector<PyRef> keep_alive;                   // what holds the cells' objects
  std::vector<TextArena> arenas;                   // texts read on the pool (see pooled walk)
  // String columns whose text ids were kept outside the buffer, in column
  // order: their cells are written once, with the codes.
  std::vector<std::pair<size_t, RowTextIds>> row_text_ids;
  // Columns of addresses that the pool numbered while it read them, range by
  // range: their slots hold those numbers (see number_addresses).
  std::vector<std::pair<size_t, NumberedInChunks>> numbered_addresses;
  MissingCells missing;  // a fresh attempt at a walk reads them alike

  CellGrid grid;  // where each cell's slot lies in `out`

  CellWalk(const CellGrid& cells, const MissingCells& missing_cells)
      : nrows(cells.nrows),
        ncols(cells.ncols),
        out(cells.cells),
        is_string(cells.ncols, 0),
        first_text_row(cells.ncols, cells.nrows),
        has_addresses(cells.ncols, 0),
        texts(cells.ncols),
        missing(missing_cells),
        grid(cells) {}

  TextColumn& text_column(size_t j) {
    if (!texts[j]) texts[j] = std::make_unique<TextColumn>();
    return *texts[j];
  }

  double& slot(size_t i, size_t j) { return grid.at(i, j); }
  void put_id(size_t i, size_t j, uint64_t id) {
    slot(i, j) = std::bit_cast<double>((id << 1) | 1);
  }
  void put_address(size_t i, size_t j, PyObject* str) {
    slot(i, j) = std::bit_cast<double>(reinterpret_cast<uint64_t>(str));
    has_addresses[j] = 1;
  }

  // Column j is a string column whose first text is in row i.
  void mark_text(size_t i, size_t j) {
    is_string[j] = 1;
    first_text_row[j] = i;
  }

  // Column j held only numbers so far and turns to text at row i: the numbers
  // read above become texts too.
  void turn(size_t i, size_t j) {
    mark_text(i, j);
    TextColumn& column = text_column(j);
    char buf[kNumberTextCapacity];
    for (size_t r = 0; r < i; ++r) {
      const size_t len = number_to_text(slot(r, j), buf);
      put_id(r, j, column.add_text(std::string_view(buf, len)));
    }
  }

  // The id of a cell's text in string column j. False with the error of its
  // reading pending (see cell_error).
  bool text_id(size_t j, PyObject* cell, uint64_t& id) {
    TextColumn& column = text_column(j);
    return PyUnicode_CheckExact(cell) ? column.add_str(cell, id) : column.add_object(cell, id);
  }

  // The text of cell (i, j) of a string column. A missing cell reads as the
  // marker a NaN above the column's first text turns into, so that it gets
  // the missing code whatever its str().
  bool put_text(size_t i, size_t j, PyObject* cell) {
    uint64_t id = 0;
    if (missing.is_missing(cell)) {
      id = text_column(j).add_text(kNaNText);
    } else if (!text_id(j, cell, id)) {
      return false;
    }
    put_id(i, j, id);
    return true;
  }

  // Whether filing `cell` runs no Python code of its own (see is_inert): a
  // missing cell is known by its type alone.
  bool files_inertly(PyObject* cell) const { return is_inert(cell) || missing.is_missing(cell); }

  // Files cell (i, j): a number while its column is numeric, else a text.
  // False with the error pending (see cell_error).
  bool put_cell(size_t i, size_t j, PyObject* cell) { return file_cell<false>(i, j, cell); }

  // The same, but an exact str is filed by its address (see above), which is
  // valid only while no Python code runs.
  bool put_cell_or_address(size_t i, size_t j, PyObject* cell, const NoPythonStretch& /*proof*/) {
    return file_cell<true>(i, j, cell);
  }

 private:
  template <bool kAddresses>
  bool file_cell(size_t i, size_t j, PyObject* cell) {
    if (kAddresses && PyUnicode_CheckExact(cell)) {
      if (!is_string[j]) turn(i, j);
      put_address(i, j, cell);
      return true;
    }
    if (is_string[j]) return put_text(i, j, cell);
    if (PyFloat_CheckExact(cell)) {
      slot(i, j) = PyFloat_AS_DOUBLE(cell);
      return true;
    }
    if (missing.is_missing(cell)) {
      slot(i, j) = std::numeric_limits<double>::quiet_NaN();
      return true;
    }
    if (!PyUnicode_CheckExact(cell)) {  // an exact str never converts; skip the raise
      const double value = PyFloat_AsDouble(cell);
      if (!(value == -1.0 && PyErr_Occurred())) {
        slot(i, j) = value;
        return true;
      }
      // Not a number, so the column holds text. An interrupt is no verdict on
      // the cell and is left to propagate.
      if (!drop_ordinary_error()) return false;
    }
    turn(i, j);
    return put_text(i, j, cell);
  }
};


// What the caller sees of a cell that put_cell could not file: a str() that
// failed, or a text that cannot be had, is an internal fault; an exact str's
// own failure other than encoding (out of memory) and anything that is not an
// Exception (an interrupt) pass through as they are.
Raised cell_error(PyObject* cell);

// How a walk that may give up ended.
enum class Walked { kDone, kGaveUp, kFailed };

// A fast road met an error: the general road redoes the work, so that the
// error that reaches the caller is the one it meets in its own order. What must
// reach the caller anyway (an interrupt) ends the call.
Walked give_up_on_error();

// Without a global interpreter lock another thread could drop a str between the
// walk and the fetch of its text, so such builds take a reference at once
// instead of filing strs by address.
#ifdef Py_GIL_DISABLED
inline constexpr bool kFileStrsByAddress = false;
#else
inline constexpr bool kFileStrsByAddress = true;
#endif

}  // namespace vorpak
