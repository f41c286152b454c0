// The row-major walk over a NumPy object array, split into row ranges that the
// pool's workers read.
#pragma once

#include <Python.h>

#include "python/cell_walk.hpp"
#include "python/table_access.hpp"

namespace vorpak {

// Whether the pooled walk is worth trying on this table: only where an
// interpreter lock keeps every object still (see try_pooled_object_walk), and
// with enough rows to give each thread a long range. With one thread its one
// range runs on the calling thread, still cheaper than the row-major walk
// where each cell's str is an object of its own.
bool pooled_walk_fits(size_t nrows, size_t ncols);

// Walks the cells at `g` on the pool. Gives up (for the column walk to redo it)
// at a cell that needs Python code, or at an interrupt, as the row-major walk
// does; `walk` is only written when it is done.
Walked try_pooled_object_walk(const Geometry& g, CellWalk& walk);

}  // namespace vorpak
