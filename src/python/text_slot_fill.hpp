// Writing decoded texts into a fresh object array on the pool.
#pragma once

#include <Python.h>

#include <cstddef>
#include <functional>
#include <vector>

#include "python/working_matrix.hpp"

namespace vorpak {

// The str of each code of one text column (nullptr where the code has no text).
struct ColumnStrs {
  size_t column = 0;
  std::vector<PyObject*> by_code;
  PyObject** slots = nullptr;  // the column's own zeroed object array of nrows, if any
};

// Puts into `slots` (the matrix's cells' places in a zeroed object array of the
// same shape and order), or into a column's own slots where it has them, the
// str of every cell of the listed columns, or
// `missing` for a cell without one, and adds the references those slots hold.
// This thread runs `alongside` meanwhile, which must leave those slots alone.
// Returns false, having written nothing and run nothing, when counting
// references per worker would take more memory than the work is worth; the
// caller then fills the slots itself.
bool fill_text_slots(PyObject** slots, const WorkingMatrix& m,
                     const std::vector<ColumnStrs>& columns, PyObject* missing,
                     const std::function<void()>& alongside);

}  // namespace vorpak
