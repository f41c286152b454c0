// Walks over NumPy arrays whose cells are plain values (numbers, bools,
// fixed-width unicode), read straight from their memory.
#pragma once

#include <Python.h>

#include "python/cell_walk.hpp"
#include "python/numpy_api.hpp"

namespace vorpak {

// Rows [begin, end) of a numeric or bool column into column j of the walk:
// the double each cell's NumPy scalar converts to.
void copy_numeric_column(const PyArray_Descr* d, const char* data, npy_intp stride, size_t j,
                         CellWalk& walk, size_t begin, size_t end);

// A 2-D array of a plain numeric dtype (see plain_dtypes): every column holds
// numbers.
bool walk_numeric_array(PyArrayObject* array, CellWalk& walk);

bool is_plain_unicode(const PyArray_Descr* d);

// A 2-D array of native-order fixed-width unicode: every column is a string
// column. False with an exception pending.
bool walk_unicode_array(PyObject* obj, CellWalk& walk);

}  // namespace vorpak
