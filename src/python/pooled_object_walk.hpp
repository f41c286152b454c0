// The row-major walk over a NumPy object array, split into row ranges that the
// pool's workers read.
#pragma once

#include <Python.h>

#include <cstring>
#include <vector>

#include "python/cell_walk.hpp"
#include "python/table_access.hpp"

namespace vorpak {

// Whether the pooled walk is worth trying on this table: only where an
// interpreter lock keeps every object still (see try_pooled_object_walk), and
// with enough rows to give each thread a long range. With one thread its one
// range runs on the calling thread, still cheaper than the row-major walk
// where each cell's str is an object of its own.
bool pooled_walk_fits(size_t nrows, size_t ncols);

// Object cells that a pooled walk reads: column c's cell of row i lies at
// data + i * stride, and is filed into column walk_column of the walk.
struct ObjectColumns {
  struct Column {
    const char* data;
    npy_intp stride;
    size_t walk_column;
    PyObject* at(size_t i) const { return object_in_slot(data + static_cast<npy_intp>(i) * stride); }
  };
  std::vector<Column> columns;
  size_t size() const { return columns.size(); }
};

// Files the cells of `cells` into their columns of `walk` on the pool. On
// kGaveUp (at a cell that needs Python code, or at an interrupt) those columns
// may be part-filled: the caller walks them again from scratch.
Walked try_pooled_object_columns(const ObjectColumns& cells, CellWalk& walk);

// Walks the cells at `g` on the pool. Gives up (for the column walk to redo it)
// at a cell that needs Python code, or at an interrupt, as the row-major walk
// does; `walk` is only written when it is done.
Walked try_pooled_object_walk(const Geometry& g, CellWalk& walk);

}  // namespace vorpak
