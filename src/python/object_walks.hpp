// Walks over the cells of object tables: the general road through item access,
// NumPy object arrays read through their memory, and DataFrames read through
// their columns' arrays.
#pragma once

#include <Python.h>

#include <vector>

#include "core/fresh_memory.hpp"
#include "python/cell_walk.hpp"
#include "python/py_ref.hpp"

namespace vorpak {

// table[i, j] for every cell from (first_row, first_column) on, column by
// column. False with an exception pending.
bool walk_by_item_access(PyObject* table, CellWalk& walk, size_t first_column = 0,
                         size_t first_row = 0);

// A 2-D NumPy object array with NumPy's own item access. False with an
// exception pending.
bool walk_object_array(PyObject* obj, CellWalk& walk);

// Runs a walk that may give up on a fresh attempt, which replaces `walk` only
// if it finished. A worker faults the output
// buffer's pages in meanwhile (see populate_alongside): only for walks in which
// no Python code runs, since code that forked while the pool held a call of
// this thread's could leave the child waiting for a worker it does not have.
template <class TryWalk>
Walked attempt_walk(CellWalk& walk, TryWalk try_walk) {
  CellWalk attempt(walk.grid, walk.missing);
  Walked walked = Walked::kGaveUp;
  populate_alongside(walk.out, walk.nrows * walk.ncols * sizeof(double),
                     [&] { walked = try_walk(attempt); });
  if (walked == Walked::kDone) walk = std::move(attempt);
  return walked;
}

}  // namespace vorpak
