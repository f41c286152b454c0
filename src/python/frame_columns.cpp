#include "frame_columns.hpp"

#include <string_view>

#include "numpy_api.hpp"
#include "plain_dtypes.hpp"

namespace vorpak {
namespace {

// Below this many cells a single `values` call is cheaper than one per column.
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

PyObject* column_array(PyObject* iloc, size_t j, size_t nrows) {
  PyRef all = PyRef::steal(PySlice_New(nullptr, nullptr, nullptr));
  PyRef position = PyRef::steal(PyLong_FromSize_t(j));
  if (!all || !position) return nullptr;
  PyRef key = PyRef::steal(PyTuple_Pack(2, all.get(), position.get()));
  if (!key) return nullptr;
  PyRef series = PyRef::steal(PyObject_GetItem(iloc, key.get()));
  if (!series) return nullptr;
  PyRef array = PyRef::steal(PyObject_CallMethod(series.get(), "to_numpy", nullptr));
  if (!array || !PyArray_CheckExact(array.get())) return nullptr;
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  if (PyArray_NDIM(a) != 1 || static_cast<size_t>(PyArray_DIM(a, 0)) != nrows ||
      !is_readable_numpy_dtype(reinterpret_cast<PyObject*>(PyArray_DESCR(a)))) {
    return nullptr;
  }
  return array.release();
}

}  // namespace

bool frame_columns(PyObject* frame, size_t nrows, size_t ncols, std::vector<PyRef>& columns) {
  if (nrows * ncols < kMinCellsForColumns || !is_exact_dataframe(frame)) {
    PyErr_Clear();
    return false;
  }
  // Any failure below only means "use values": its exception is dropped.
  const auto give_up = [] {
    PyErr_Clear();
    return false;
  };
  if (!all_dtypes_readable(frame)) return give_up();
  PyRef iloc = PyRef::steal(PyObject_GetAttrString(frame, "iloc"));
  if (!iloc) return give_up();
  columns.clear();
  columns.reserve(ncols);
  for (size_t j = 0; j < ncols; ++j) {
    PyRef array = PyRef::steal(column_array(iloc.get(), j, nrows));
    if (!array) return give_up();
    columns.push_back(std::move(array));
  }
  return true;
}

}  // namespace vorpak
