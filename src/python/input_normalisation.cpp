#include "python/input_normalisation.hpp"

#include <cstring>
#include <string_view>

#include "python/panic.hpp"
#include "python/interrupts.hpp"
#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"
#include "python/string_column_driver.hpp"
#include "python/text_of_object.hpp"

namespace vorpak {
namespace {

bool type_name_of(PyObject* obj, std::string& name) {
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  if (!type_name) return false;
  ObjectText text;
  if (!text_of_object(type_name.get(), text)) return false;
  name.assign(text.view);
  return true;
}

Raised reject(const std::string& type_name) {
  write_line(1, type_name);  // fd 1 itself, not sys.stdout
  PyErr_Format(PyExc_TypeError,
               "Unsupported type: '%s'. Supported types are: numpy.ndarray, pandas.DataFrame",
               type_name.c_str());
  return {};
}

enum class Attempt { kDone, kNotTexts, kFailed };

// Exceptions met while trying the text reading are dropped (the integer reading
// gets its turn), except those that are not Exceptions, such as an interrupt.
Attempt give_up_on_texts() { return drop_ordinary_error() ? Attempt::kNotTexts : Attempt::kFailed; }

// The labels as texts: a sequence (not itself a str) of str that are valid UTF-8.
Attempt read_text_labels(PyObject* columns, std::vector<std::string>& labels) {
  if (PyUnicode_Check(columns) || !PySequence_Check(columns)) return Attempt::kNotTexts;
  PyRef iterator = PyRef::steal(PyObject_GetIter(columns));
  if (!iterator) return give_up_on_texts();
  std::vector<std::string> texts;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    std::string_view utf8;
    if (!PyUnicode_Check(item.get())) return Attempt::kNotTexts;
    if (!strict_utf8(item.get(), utf8)) return give_up_on_texts();
    texts.emplace_back(utf8);
  }
  if (PyErr_Occurred()) return give_up_on_texts();
  labels = std::move(texts);
  return Attempt::kDone;
}

// The labels as integers from columns.tolist(), written as decimal texts.
bool read_integer_labels(PyObject* columns, std::vector<std::string>& labels) {
  PyRef list = PyRef::steal(PyObject_CallMethod(columns, "tolist", nullptr));
  if (!list) return false;
  if (PyUnicode_Check(list.get()) || !PySequence_Check(list.get())) {
    PyErr_Format(PyExc_TypeError,
                 "DataFrame column labels must be texts or integers; columns.tolist() gave '%s'",
                 Py_TYPE(list.get())->tp_name);
    return false;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(list.get()));
  if (!iterator) return false;
  std::vector<std::string> texts;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    const long long value = PyLong_AsLongLong(item.get());
    if (value == -1 && PyErr_Occurred()) return false;
    texts.push_back(std::to_string(value));
  }
  if (PyErr_Occurred()) return false;
  labels = std::move(texts);
  return true;
}

bool read_labels(PyObject* frame, std::vector<std::string>& labels) {
  PyRef columns = PyRef::steal(PyObject_GetAttrString(frame, "columns"));
  if (!columns) return false;
  switch (read_text_labels(columns.get(), labels)) {
    case Attempt::kDone:
      return true;
    case Attempt::kFailed:
      return false;
    case Attempt::kNotTexts:
      break;
  }
  return read_integer_labels(columns.get(), labels);
}

bool is_2d_float64(PyObject* obj) {
  if (!PyArray_Check(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  if (PyArray_NDIM(array) != 2) return false;
  PyArray_Descr* float64 = PyArray_DescrFromType(NPY_DOUBLE);
  const bool same = PyArray_EquivTypes(PyArray_DESCR(array), float64);
  Py_DECREF(float64);
  return same;
}

// Copies a 2-D float64 array, keeping its order when it is one contiguous block;
// with `borrow` such a block is borrowed instead of copied.
bool copy_float64(PyArrayObject* array, WorkingMatrix& m, bool borrow) {
  const size_t nrows = static_cast<size_t>(PyArray_DIM(array, 0));
  const size_t ncols = static_cast<size_t>(PyArray_DIM(array, 1));
  const bool c_order = PyArray_IS_C_CONTIGUOUS(array);
  const bool f_order = !c_order && PyArray_IS_F_CONTIGUOUS(array);
  if (borrow && (c_order || f_order) && PyArray_ISALIGNED(array)) {
    m.nrows = nrows;
    m.ncols = ncols;
    m.column_major = f_order;
    m.borrowed = true;
    m.cells = static_cast<double*>(PyArray_DATA(array));
    m.array = PyRef::borrow(reinterpret_cast<PyObject*>(array));
    return true;
  }
  if (!new_working_matrix(nrows, ncols, f_order, m)) return false;
  if (m.size() == 0) return true;
  const char* data = static_cast<const char*>(PyArray_DATA(array));
  if (c_order || f_order) {
    std::memcpy(m.cells, data, m.size() * sizeof(double));
    return true;
  }
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp col_stride = PyArray_STRIDE(array, 1);
  double* to = m.cells;
  for (size_t i = 0; i < nrows; ++i) {
    const char* row = data + static_cast<npy_intp>(i) * row_stride;
    for (size_t j = 0; j < ncols; ++j) {
      std::memcpy(to++, row + static_cast<npy_intp>(j) * col_stride, sizeof(double));
    }
  }
  return true;
}

}  // namespace

bool read_table(PyObject* obj, StringEncoding /*strategy: Label is the only one*/,
                  Normalised& result, ReadFor purpose) {
  std::string type_name;
  if (!type_name_of(obj, type_name)) return false;

  Container out;
  if (type_name == "DataFrame") {
    out.kind = Container::Kind::DataFrame;
    if (!read_labels(obj, out.labels)) return false;
  } else if (type_name != "ndarray" && type_name != "memmap") {
    return reject(type_name);
  }

  if (out.kind == Container::Kind::Array && is_2d_float64(obj)) {
    const bool borrow = purpose == ReadFor::kDecode;
    if (!copy_float64(reinterpret_cast<PyArrayObject*>(obj), result.matrix, borrow)) return false;
    result.info.reset();
  } else if (!encode_object_array(obj, out, purpose, result.matrix, result.info, result.kept,
                                         result.first_text_rows)) {
    return false;
  }
  result.out = std::move(out);
  return true;
}

}  // namespace vorpak
