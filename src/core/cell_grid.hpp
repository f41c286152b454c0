// Where each cell of a table of doubles lies in its buffer.
#pragma once

#include <cstddef>

namespace vorpak {

// nrows x ncols doubles, row-major as NumPy arrays come, or column-major as
// pandas keeps a frame's block of floats, so that a frame can take the buffer
// as it is instead of transposing it.
struct CellGrid {
  double* cells = nullptr;
  size_t nrows = 0, ncols = 0;
  size_t row_step = 0;     // elements from cell (i, j) to (i + 1, j)
  size_t column_step = 1;  // elements from cell (i, j) to (i, j + 1)

  static CellGrid row_major(double* cells, size_t nrows, size_t ncols) {
    return CellGrid{cells, nrows, ncols, ncols, 1};
  }
  static CellGrid column_major(double* cells, size_t nrows, size_t ncols) {
    return CellGrid{cells, nrows, ncols, 1, nrows};
  }

  double& at(size_t i, size_t j) const { return cells[i * row_step + j * column_step]; }
};

}  // namespace vorpak
