#include "python/object_walks.hpp"

#include <algorithm>

#include "python/interrupts.hpp"
#include "python/pooled_object_walk.hpp"
#include "python/table_access.hpp"
#include "python/typed_array_walks.hpp"

namespace vorpak {

bool walk_by_item_access(PyObject* table, CellWalk& walk, size_t first_column, size_t first_row) {
  SignalPacer pacer;
  for (size_t j = first_column; j < walk.ncols; ++j) {
    for (size_t i = j == first_column ? first_row : 0; i < walk.nrows; ++i) {
      if (pacer.due() && !handle_signals()) return false;
      PyRef cell = get_item(table, i, j);
      if (!cell) return false;
      if (!walk.put_cell(i, j, cell.get())) return cell_error(cell.get());
    }
  }
  return true;
}

namespace {

// Row by row, which follows the memory of a row-major array. Only valid when no
// cell runs Python code, since the order of the walk is then unobservable; it
// gives up at the first cell that would. An interrupt ends such a walk too: the
// column walk that redoes it handles signals where Python code may run.
Walked try_row_major_object_walk(const Geometry& g, CellWalk& walk) {
  const NoPythonStretch stretch;
  SignalPacer pacer;
  // Reading a cell's type is a cache miss when its object lies anywhere in the
  // heap; asking for the objects of a row some way ahead keeps those misses
  // overlapping instead of one after another.
  const size_t ahead = (16 + walk.ncols - 1) / walk.ncols;
  for (size_t i = 0; i < walk.nrows; ++i) {
    if (pacer.due(walk.ncols) && interrupt_arrived()) return Walked::kGaveUp;
    const bool prefetch = i + ahead < walk.nrows;
    for (size_t j = 0; j < walk.ncols; ++j) {
      if (prefetch) __builtin_prefetch(stored_object(g, i + ahead, j));
      PyObject* cell = stored_object(g, i, j);
      const CellReference held(cell);
      if (!walk.files_inertly(cell)) return Walked::kGaveUp;
      const bool put = kFileStrsByAddress ? walk.put_cell_or_address(i, j, cell, stretch)
                                          : walk.put_cell(i, j, cell);
      if (!put) return give_up_on_error();
    }
  }
  return Walked::kDone;
}

// Column by column. Runs of inert cells are read with collections held off (see
// CollectionPause), so only a cell that runs Python code of its own can change
// the array: after each such cell, once the walk has let go of it (its
// finalizer is Python code too), the array is checked again. If that code moved
// or reshaped its cells, the rest goes through item access, which reads
// whatever the array holds by then.
// Signal handlers are Python code too, and are run between cells, which the
// walk then treats like a cell that ran code of its own.
bool column_major_object_walk(PyObject* obj, CellWalk& walk) {
  if (!handle_signals()) return false;  // one a faster walk gave up for
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const Geometry g(array);
  CollectionPause pause(false);
  SignalPacer pacer;
  for (size_t j = 0; j < walk.ncols; ++j) {
    for (size_t i = 0; i < walk.nrows; ++i) {
      const auto unchanged = [&] {
        return Geometry(array) == g && has_numpy_item_access(obj, walk.nrows, walk.ncols);
      };
      if (pacer.due()) {
        pause.release();
        if (!handle_signals()) return false;
        if (!unchanged()) return walk_by_item_access(obj, walk, j, i);
      }
      bool inert;
      {
        PyRef cell = PyRef::borrow(stored_object(g, i, j));
        inert = walk.files_inertly(cell.get());
        if (inert) {
          pause.hold();
        } else {
          pause.release();  // the cell's own code runs as it would anywhere
        }
        if (!walk.put_cell(i, j, cell.get())) return cell_error(cell.get());
      }
      if (!inert && !unchanged()) {
        const bool last_row = i + 1 == walk.nrows;
        return walk_by_item_access(obj, walk, last_row ? j + 1 : j, last_row ? 0 : i + 1);
      }
    }
  }
  return true;
}

}  // namespace

bool walk_object_array(PyObject* obj, CellWalk& walk) {
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const Geometry g(array);
  // A column-major array is walked in its own memory order anyway.
  if (!PyArray_IS_F_CONTIGUOUS(array) || PyArray_IS_C_CONTIGUOUS(array)) {
    // Long tables are read on the pool, each worker reading its own rows.
    if (pooled_walk_fits(walk.nrows, walk.ncols)) {
      switch (try_pooled_object_walk(g, walk)) {
        case Walked::kDone: return true;
        case Walked::kFailed: return false;
        case Walked::kGaveUp: break;
      }
      if (PyErr_Occurred()) return false;
    }
    switch (attempt_walk(walk, [&](CellWalk& attempt) { return try_row_major_object_walk(g, attempt); })) {
      case Walked::kDone: return true;
      case Walked::kFailed: return false;
      case Walked::kGaveUp: break;
    }
  }
  return column_major_object_walk(obj, walk);
}

}  // namespace vorpak
