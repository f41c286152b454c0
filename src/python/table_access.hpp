// Access to a table's shape and cells: through the object protocol, or for a
// NumPy array through its memory, where that gives exactly the objects or
// values item access would.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstring>

#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"

namespace vorpak {

// The table's (rows, columns). False with an exception pending; a shape that
// is not two sizes is an internal fault.
bool read_shape(PyObject* obj, size_t& nrows, size_t& ncols);

// The general road: table[i, j] through the object protocol. Null with an
// exception pending (an internal fault, unless it is an interrupt).
PyRef get_item(PyObject* table, size_t i, size_t j);

// Item access on this object is NumPy's own, not an override of a subclass,
// and its shape is (nrows, ncols).
bool has_numpy_item_access(PyObject* obj, size_t nrows, size_t ncols);

// Where an array's cells are, captured so that a change made by Python code
// running during the walk can be noticed.
struct Geometry {
  char* data;
  npy_intp rows, cols, row_stride, col_stride;
  PyArray_Descr* descr;

  explicit Geometry(PyArrayObject* a)
      : data(static_cast<char*>(PyArray_DATA(a))),
        rows(PyArray_DIM(a, 0)),
        cols(PyArray_DIM(a, 1)),
        row_stride(PyArray_STRIDE(a, 0)),
        col_stride(PyArray_STRIDE(a, 1)),
        descr(PyArray_DESCR(a)) {}
  bool operator==(const Geometry&) const = default;

  char* at(size_t i, size_t j) const {
    return data + static_cast<npy_intp>(i) * row_stride + static_cast<npy_intp>(j) * col_stride;
  }
};

// A cell whose reading runs no Python code of its own: converting it, or taking
// its str(), cannot change the table or let another thread in, as long as no
// collection runs meanwhile (see CollectionPause).
inline bool is_inert(PyObject* cell) {
  return PyUnicode_CheckExact(cell) || PyFloat_CheckExact(cell) || PyLong_CheckExact(cell) ||
         PyBool_Check(cell) || cell == Py_None;
}

// The object in a slot of an object array, which may be unaligned.
inline PyObject* object_in_slot(const char* slot) {
  PyObject* cell;
  std::memcpy(&cell, slot, sizeof cell);
  return cell != nullptr ? cell : Py_None;  // NumPy reads an empty slot as None
}

inline PyObject* stored_object(const Geometry& g, size_t i, size_t j) { return object_in_slot(g.at(i, j)); }

}  // namespace vorpak
