#include "python/frame_columns.hpp"

#include <string_view>

#include "python/interrupts.hpp"
#include "python/numpy_api.hpp"
#include "python/plain_dtypes.hpp"

namespace vorpak {
namespace {

// Below this many cells a single `values` call is cheaper than a Series per column.
constexpr size_t kMinCellsForColumns = 1 << 15;

bool is_exact_dataframe(PyObject* frame) {
  PyRef name = PyRef::steal(PyUnicode_FromString("pandas"));
  if (!name) return false;
  PyRef pandas = PyRef::steal(PyImport_GetModule(name.get()));  // only if already imported
  if (!pandas) return false;
  PyRef type = PyRef::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  return type && reinterpret_cast<PyObject*>(Py_TYPE(frame)) == type.get();
}

bool is_readable_numpy_dtype(PyObject* dtype) {
  if (!PyArray_DescrCheck(dtype)) return false;
  const auto* d = reinterpret_cast<PyArray_Descr*>(dtype);
  return d->type_num == NPY_OBJECT || is_plain_numeric(d);
}

// pandas' string dtype stored as Python str objects; its to_numpy() gives the
// same str objects and missing values that `values` does.
bool is_python_string_dtype(PyObject* dtype) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(dtype)));
  if (!name || PyUnicode_CompareWithASCIIString(name.get(), "StringDtype") != 0) return false;
  PyRef storage = PyRef::steal(PyObject_GetAttrString(dtype, "storage"));
  return storage && PyUnicode_Check(storage.get()) &&
         PyUnicode_CompareWithASCIIString(storage.get(), "python") == 0;
}

bool all_dtypes_readable(PyObject* frame) {
  PyRef dtypes = PyRef::steal(PyObject_GetAttrString(frame, "dtypes"));
  if (!dtypes) return false;
  PyRef list = PyRef::steal(PyObject_CallMethod(dtypes.get(), "tolist", nullptr));
  if (!list || !PyList_Check(list.get())) return false;
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list.get()); ++k) {
    PyObject* dtype = PyList_GET_ITEM(list.get(), k);
    if (!is_readable_numpy_dtype(dtype) && !is_python_string_dtype(dtype)) return false;
  }
  return true;
}

// A column's array as a 1-D NumPy array of nrows readable cells, or null.
// pandas' Python-backed string arrays give theirs through to_numpy(), exactly
// as Series.to_numpy() and `values` do.
PyRef readable_column(PyRef array, size_t nrows) {
  if (!array) return {};
  if (!PyArray_CheckExact(array.get())) {
    PyRef dtype = PyRef::steal(PyObject_GetAttrString(array.get(), "dtype"));
    if (!dtype || !is_python_string_dtype(dtype.get())) return {};
    array = PyRef::steal(PyObject_CallMethod(array.get(), "to_numpy", nullptr));
    if (!array || !PyArray_CheckExact(array.get())) return {};
  }
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  if (PyArray_NDIM(a) != 1 || static_cast<size_t>(PyArray_DIM(a, 0)) != nrows ||
      !is_readable_numpy_dtype(reinterpret_cast<PyObject*>(PyArray_DESCR(a)))) {
    return {};
  }
  return array;
}

// Through pandas' own iterator over its columns' arrays: one call in all rather
// than a Series per column, which pays off for small frames too. It is not
// public API, so it is used only where it exists and every array it yields is
// checked; anything unexpected leaves the frame to the other roads.
bool columns_by_iterator(PyObject* frame, size_t nrows, size_t ncols, std::vector<PyRef>& columns) {
  PyRef arrays = PyRef::steal(PyObject_CallMethod(frame, "_iter_column_arrays", nullptr));
  if (!arrays) return false;
  PyRef iterator = PyRef::steal(PyObject_GetIter(arrays.get()));
  if (!iterator) return false;
  columns.clear();
  columns.reserve(ncols);
  while (PyObject* item = PyIter_Next(iterator.get())) {
    PyRef array = readable_column(PyRef::steal(item), nrows);
    if (!array || columns.size() == ncols) return false;
    columns.push_back(std::move(array));
  }
  return !PyErr_Occurred() && columns.size() == ncols;
}

// Through one Series per column, for pandas versions without that iterator.
bool columns_by_position(PyObject* frame, size_t nrows, size_t ncols, std::vector<PyRef>& columns) {
  if (nrows * ncols < kMinCellsForColumns || !all_dtypes_readable(frame)) return false;
  PyRef iloc = PyRef::steal(PyObject_GetAttrString(frame, "iloc"));
  PyRef all = PyRef::steal(PySlice_New(nullptr, nullptr, nullptr));
  if (!iloc || !all) return false;
  columns.clear();
  columns.reserve(ncols);
  for (size_t j = 0; j < ncols; ++j) {
    PyRef position = PyRef::steal(PyLong_FromSize_t(j));
    if (!position) return false;
    PyRef key = PyRef::steal(PyTuple_Pack(2, all.get(), position.get()));
    if (!key) return false;
    PyRef series = PyRef::steal(PyObject_GetItem(iloc.get(), key.get()));
    if (!series) return false;
    PyRef array =
        readable_column(PyRef::steal(PyObject_CallMethod(series.get(), "to_numpy", nullptr)), nrows);
    if (!array) return false;
    columns.push_back(std::move(array));
  }
  return true;
}

}  // namespace

bool frame_columns(PyObject* frame, size_t nrows, size_t ncols, std::vector<PyRef>& columns) {
  // An ordinary error only means "try the next road"; an interrupt ends the call.
  bool found = is_exact_dataframe(frame);
  if (found && !columns_by_iterator(frame, nrows, ncols, columns)) {
    if (!drop_ordinary_error()) return false;
    found = columns_by_position(frame, nrows, ncols, columns);
  }
  if (!found) {
    columns.clear();
    drop_ordinary_error();
  }
  return found;
}

}  // namespace vorpak
