#include "python/table_access.hpp"

#include <string>

#include "python/interrupts.hpp"
#include "python/panic.hpp"

namespace vorpak {
namespace {

bool read_dimension(PyObject* item, size_t& out) {
  if (!PyLong_Check(item)) return false;
  const Py_ssize_t value = PyLong_AsSsize_t(item);
  if (value < 0) {
    drop_ordinary_error();  // negative or beyond Py_ssize_t: either way not a table size
    return false;
  }
  out = static_cast<size_t>(value);
  return true;
}

std::string repr_of(PyObject* obj) {
  PyRef repr = PyRef::steal(PyObject_Repr(obj));
  if (repr) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(repr.get(), &size)) {
      return std::string(text, static_cast<size_t>(size));
    }
  }
  drop_ordinary_error();  // an interrupt stays pending for the caller
  return "<unprintable>";
}

}  // namespace

bool read_shape(PyObject* obj, size_t& nrows, size_t& ncols) {
  PyRef shape = PyRef::steal(PyObject_GetAttrString(obj, "shape"));
  if (!shape) return raise_fault_from_pending("cannot read the shape of the table");
  if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2 ||
      !read_dimension(PyTuple_GET_ITEM(shape.get(), 0), nrows) ||
      !read_dimension(PyTuple_GET_ITEM(shape.get(), 1), ncols)) {
    if (PyErr_Occurred()) return false;
    const std::string shown = repr_of(shape.get());
    if (PyErr_Occurred()) return false;
    return raise_internal_fault("expected a 2-dimensional table, got shape " + shown);
  }
  return true;
}

PyRef get_item(PyObject* table, size_t i, size_t j) {
  PyRef key =
      PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(j)));
  if (!key) return {};
  PyRef cell = PyRef::steal(PyObject_GetItem(table, key.get()));
  if (!cell) {
    raise_fault_from_pending("cannot read cell (" + std::to_string(i) + ", " + std::to_string(j) +
                             ")");
  }
  return cell;
}

bool has_numpy_item_access(PyObject* obj, size_t nrows, size_t ncols) {
  if (!PyArray_Check(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_NDIM(array) == 2 && static_cast<size_t>(PyArray_DIM(array, 0)) == nrows &&
         static_cast<size_t>(PyArray_DIM(array, 1)) == ncols &&
         Py_TYPE(obj)->tp_as_mapping != nullptr &&
         Py_TYPE(obj)->tp_as_mapping->mp_subscript == PyArray_Type.tp_as_mapping->mp_subscript;
}

}  // namespace vorpak
