// Reading a DataFrame column by column instead of through `values`.
#pragma once

#include <Python.h>

#include <vector>

#include "python/py_ref.hpp"

namespace vorpak {

// The columns of `frame` as 1-D NumPy arrays, when every column's own array
// holds exactly the cells that `frame.values` would give for it: the frame is a
// plain pandas DataFrame and each column is bool, integer, float32/64, object or
// pandas' Python-backed string dtype. Returns false when the columns cannot be
// had this way, or only at a cost above `values`: with no exception pending, or
// with an interrupt met on the way, which must end the call.
bool frame_columns(PyObject* frame, size_t nrows, size_t ncols, std::vector<PyRef>& columns);

}  // namespace vorpak
