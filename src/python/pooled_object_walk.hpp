// The row-major walk over a NumPy object array, split into row ranges that the
// pool's workers read.
#pragma once

#include <Python.h>

#include "python/cell_walk.hpp"
#include "python/table_access.hpp"

namespace vorpak {

// Whether the pooled walk is worth trying on this table: only where an
// interpreter lock keeps every object still (see try_pooled_object_walk), with
// several threads, enough rows to give each a long range, and strs that are
// mostly objects of their own with texts that repeat (see the .cpp).
bool pooled_walk_fits(const Geometry& g, size_t nrows, size_t ncols);

// Walks the cells at `g` on the pool. Gives up (for the column walk to redo it)
// at a cell that needs Python code, or at an interrupt, as the row-major walk
// does; `walk` is only written when it is done.
Walked try_pooled_object_walk(const Geometry& g, CellWalk& walk);

}  // namespace vorpak
