// The table of doubles that flows from input conversion to output reconstruction.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/cell_grid.hpp"
#include "python/py_ref.hpp"

namespace vorpak {

// nrows x ncols doubles, stored in a fresh float64 NumPy array that no one else
// sees, so that an array output can be handed over without another copy. It is
// row-major unless it was copied from a column-major float64 input (of more than
// one row and one column), whose order the output keeps, or is to become a
// frame.
//
// A matrix only read from (decoding into a new object array) may instead borrow
// the cells of the caller's contiguous float64 array; `array` then holds that
// array, which must not be handed out as a result.
struct WorkingMatrix {
  size_t nrows = 0;
  size_t ncols = 0;
  bool column_major = false;
  bool borrowed = false;
  PyRef array;
  double* cells = nullptr;

  size_t size() const { return nrows * ncols; }
  double at(size_t row, size_t col) const {
    return column_major ? cells[col * nrows + row] : cells[row * ncols + col];
  }
};

inline CellGrid grid_of(const WorkingMatrix& m) {
  return m.column_major ? CellGrid::column_major(m.cells, m.nrows, m.ncols)
                        : CellGrid::row_major(m.cells, m.nrows, m.ncols);
}

// Allocates the matrix, its cells uninitialised. An impossible size (the byte
// count overflows) throws std::bad_alloc, which callers report as MemoryError;
// other failures return false with NumPy's exception pending.
bool new_working_matrix(size_t nrows, size_t ncols, bool column_major, WorkingMatrix& out);

// Replaces a borrowed matrix by a copy of its own; false with an exception set.
bool own_cells(WorkingMatrix& m);

}  // namespace vorpak
