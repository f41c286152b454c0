#include "python/frame_columns.hpp"

#include <cmath>
#include <cstring>
#include <string_view>

#include "python/arrow_import.hpp"
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

bool is_plain_numeric_dtype(PyObject* dtype) {
  return PyArray_DescrCheck(dtype) && is_plain_numeric(reinterpret_cast<PyArray_Descr*>(dtype));
}

bool type_name_is(PyObject* obj, const char* name) {
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(obj)));
  return type_name && PyUnicode_CompareWithASCIIString(type_name.get(), name) == 0;
}

bool string_storage_is(PyObject* dtype, const char* storage) {
  if (!type_name_is(dtype, "StringDtype")) return false;
  PyRef value = PyRef::steal(PyObject_GetAttrString(dtype, "storage"));
  return value && PyUnicode_Check(value.get()) &&
         PyUnicode_CompareWithASCIIString(value.get(), storage) == 0;
}

// pandas' string dtype stored as Python str objects; its to_numpy() gives the
// same str objects and missing values that `values` does.
bool is_python_string_dtype(PyObject* dtype) { return string_storage_is(dtype, "python"); }

// Dtypes whose arrays may hold Arrow text: pandas' string dtype stored by
// pyarrow, and pandas' wrapper of any Arrow type (which the import then checks).
bool may_hold_arrow_texts(PyObject* dtype) {
  return string_storage_is(dtype, "pyarrow") || type_name_is(dtype, "ArrowDtype");
}

bool is_categorical_dtype(PyObject* dtype) { return type_name_is(dtype, "CategoricalDtype"); }

PyRef dtype_of(PyObject* array) { return PyRef::steal(PyObject_GetAttrString(array, "dtype")); }

bool is_column_array(PyObject* array, size_t nrows, bool objects_only) {
  if (!PyArray_CheckExact(array)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(array);
  const auto* descr = reinterpret_cast<PyObject*>(PyArray_DESCR(a));
  return PyArray_NDIM(a) == 1 && static_cast<size_t>(PyArray_DIM(a, 0)) == nrows &&
         (objects_only ? PyArray_DESCR(a)->type_num == NPY_OBJECT
                       : is_readable_numpy_dtype(const_cast<PyObject*>(descr)));
}

// The cells an extension array contributes to an object `values`: its objects,
// as `astype(object)` makes them.
bool as_objects(PyObject* array, size_t nrows, FrameColumn& column) {
  PyRef objects = PyRef::steal(PyObject_CallMethod(array, "astype", "s", "O"));
  if (!objects) return false;
  if (!PyArray_CheckExact(objects.get())) {  // some arrays give an array of their own kind
    objects = PyRef::steal(PyArray_FromAny(objects.get(), PyArray_DescrFromType(NPY_OBJECT), 1, 1,
                                           NPY_ARRAY_DEFAULT, nullptr));
    if (!objects) return false;
  }
  if (!is_column_array(objects.get(), nrows, true)) return false;
  column.kind = FrameColumn::Kind::kArray;
  column.array = std::move(objects);
  return true;
}

// The object that row `row` (a null) contributes to `values`, made by the same
// conversion as the column's other cells.
PyRef null_cell(PyObject* array, size_t row) {
  PyRef slice = PyRef::steal(PySlice_New(PyRef::steal(PyLong_FromSize_t(row)).get(),
                                         PyRef::steal(PyLong_FromSize_t(row + 1)).get(), nullptr));
  if (!slice) return {};
  PyRef one = PyRef::steal(PyObject_GetItem(array, slice.get()));
  if (!one) return {};
  PyRef objects = PyRef::steal(PyObject_CallMethod(one.get(), "astype", "s", "O"));
  if (!objects) return {};
  return PyRef::steal(PySequence_GetItem(objects.get(), 0));
}

// How reading a column ended: kOtherRoad leaves the frame to `values`, with any
// ordinary error pending; kInvalid ends the call with its ValueError pending.
enum class Read { kDone, kOtherRoad, kInvalid };

Read done_if(bool read) { return read ? Read::kDone : Read::kOtherRoad; }

Read read_arrow_texts(PyObject* array, size_t position, size_t nrows, FrameColumn& column) {
  auto texts = std::make_unique<ArrowTextColumn>();
  switch (import_arrow_texts(array, position, *texts)) {
    case ArrowImport::kFailed: return Read::kOtherRoad;
    case ArrowImport::kInvalid: return Read::kInvalid;
    case ArrowImport::kNotTexts: return done_if(as_objects(array, nrows, column));
    case ArrowImport::kTexts: break;
  }
  // pandas cannot convert Arrow views with nulls: leave those to the road that
  // fails as `values` does.
  if (texts->size() != nrows ||
      (texts->layout() == ArrowTextColumn::Layout::kViews && texts->null_count() != 0)) {
    return done_if(as_objects(array, nrows, column));
  }
  if (texts->null_count() != 0) {
    column.array = null_cell(array, texts->first_null_row());
    if (!column.array) return Read::kOtherRoad;
  }
  column.kind = FrameColumn::Kind::kArrowTexts;
  column.texts = std::move(texts);
  return Read::kDone;
}

// The cell of every code of a categorical whose categories are Python
// objects: a missing value reads as NaN, and each category as itself, as the
// column's conversion takes them.
PyRef cells_of_object_categories(PyArrayObject* categories) {
  const npy_intp count = PyArray_DIM(categories, 0);
  npy_intp size = count + 1;
  PyRef cells = PyRef::steal(PyArray_SimpleNew(1, &size, NPY_OBJECT));
  PyRef nan = PyRef::steal(PyFloat_FromDouble(NAN));
  if (!cells || !nan) return {};
  auto* slots = static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(cells.get())));
  slots[0] = nan.release();
  for (npy_intp k = 0; k < count; ++k) {
    PyObject* category;
    std::memcpy(&category, PyArray_GETPTR1(categories, k), sizeof category);
    if (category == nullptr) category = Py_None;
    Py_INCREF(category);
    slots[k + 1] = category;
  }
  return cells;
}

// The cell of every code of any other categorical, made by converting a
// categorical of each code once (-1 first), exactly as the whole column converts.
PyRef cells_by_conversion(PyObject* array, PyObject* dtype, Py_ssize_t count) {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return {};
  PyRef every_code =
      PyRef::steal(PyObject_CallMethod(numpy.get(), "arange", "nn", Py_ssize_t{-1}, count));
  PyRef from_codes = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(array)), "from_codes"));
  if (!every_code || !from_codes) return {};
  PyRef args = PyRef::steal(PyTuple_Pack(1, every_code.get()));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{sO}", "dtype", dtype));
  if (!args || !kwargs) return {};
  PyRef each = PyRef::steal(PyObject_Call(from_codes.get(), args.get(), kwargs.get()));
  if (!each) return {};
  FrameColumn cells;
  if (!as_objects(each.get(), static_cast<size_t>(count) + 1, cells)) return {};
  return std::move(cells.array);
}

bool is_plain_codes(PyObject* codes, size_t nrows) {
  auto* a = reinterpret_cast<PyArrayObject*>(codes);
  return PyArray_CheckExact(codes) && PyArray_NDIM(a) == 1 &&
         static_cast<size_t>(PyArray_DIM(a, 0)) == nrows && PyArray_DESCR(a)->kind == 'i' &&
         PyArray_ISNBO(PyArray_DESCR(a)->byteorder);
}

// The cell of a missing value alone, as cells_by_conversion makes it: pandas
// converts every category to make it, so a categorical of the column's first
// category alone, of the same dtype and order, converts instead. (Without
// categories pandas takes another branch: there the column's own is as cheap.)
PyRef missing_cell_by_conversion(PyObject* array, PyObject* dtype, PyObject* categories,
                                 Py_ssize_t count) {
  if (count == 0) return cells_by_conversion(array, dtype, 0);
  PyRef first = PyRef::steal(PySequence_GetSlice(categories, 0, 1));
  PyRef ordered = PyRef::steal(PyObject_GetAttrString(dtype, "ordered"));
  if (!first || !ordered) return {};
  PyRef narrow = PyRef::steal(PyObject_CallFunctionObjArgs(
      reinterpret_cast<PyObject*>(Py_TYPE(dtype)), first.get(), ordered.get(), nullptr));
  if (!narrow) return {};
  return cells_by_conversion(array, narrow.get(), 0);
}

// Categories that are Arrow texts are read from Arrow memory: a million of them
// would otherwise be a million strs made, read and dropped. Only the cell of a
// missing value is converted, by the column's own conversion. Categories that
// are not Arrow texts, or that hold a null (pandas makes none), are left to the
// conversion, with no exception pending.
Read read_arrow_categories(PyObject* array, PyObject* dtype, PyObject* categories,
                           size_t position, FrameColumn& column) {
  PyRef values = PyRef::steal(PyObject_GetAttrString(categories, "array"));
  if (!values) return Read::kOtherRoad;
  auto texts = std::make_unique<ArrowTextColumn>();
  switch (import_arrow_texts(values.get(), position, *texts, " in its categories")) {
    case ArrowImport::kFailed: return Read::kOtherRoad;
    case ArrowImport::kInvalid: return Read::kInvalid;
    case ArrowImport::kNotTexts: return Read::kOtherRoad;
    case ArrowImport::kTexts: break;
  }
  const Py_ssize_t count = PyObject_Length(categories);
  if (count < 0 || texts->size() != static_cast<size_t>(count) || texts->null_count() != 0) {
    return Read::kOtherRoad;
  }
  PyRef missing = missing_cell_by_conversion(array, dtype, categories, count);
  if (!missing) return Read::kOtherRoad;
  column.cells_of_codes = std::move(missing);
  column.texts = std::move(texts);
  return Read::kDone;
}

Read read_categorical(PyObject* array, PyObject* dtype, size_t position, size_t nrows,
                      FrameColumn& column) {
  PyRef codes = PyRef::steal(PyObject_GetAttrString(array, "codes"));
  PyRef categories = PyRef::steal(PyObject_GetAttrString(dtype, "categories"));
  if (!codes || !categories) return Read::kOtherRoad;
  if (!is_plain_codes(codes.get(), nrows)) return done_if(as_objects(array, nrows, column));
  PyRef categories_dtype = dtype_of(categories.get());
  if (!categories_dtype) return Read::kOtherRoad;
  if (may_hold_arrow_texts(categories_dtype.get())) {
    const Read read = read_arrow_categories(array, dtype, categories.get(), position, column);
    if (read == Read::kInvalid) return read;
    if (read == Read::kDone) {
      column.kind = FrameColumn::Kind::kCategorical;
      column.array = std::move(codes);
      return read;
    }
    if (!drop_ordinary_error()) return Read::kOtherRoad;
  }
  PyRef category_values = PyRef::steal(PyObject_CallMethod(categories.get(), "to_numpy", nullptr));
  if (!category_values) return Read::kOtherRoad;
  auto* c = reinterpret_cast<PyArrayObject*>(category_values.get());
  if (!PyArray_CheckExact(category_values.get()) || PyArray_NDIM(c) != 1) {
    return done_if(as_objects(array, nrows, column));
  }
  // Categories of another dtype may give objects too (strings of pandas' own
  // dtypes do), but their missing value is theirs, not NaN.
  const bool objects = PyArray_DescrCheck(categories_dtype.get()) &&
                       reinterpret_cast<PyArray_Descr*>(categories_dtype.get())->type_num == NPY_OBJECT;
  PyRef cells = objects && PyArray_DESCR(c)->type_num == NPY_OBJECT
                    ? cells_of_object_categories(c)
                    : cells_by_conversion(array, dtype, PyArray_DIM(c, 0));
  if (!cells) return Read::kOtherRoad;
  column.kind = FrameColumn::Kind::kCategorical;
  column.array = std::move(codes);
  column.cells_of_codes = std::move(cells);
  return Read::kDone;
}

// The column array as pandas keeps it, in the form this module reads best.
Read read_column(PyRef array, size_t position, size_t nrows, FrameColumn& column) {
  if (PyArray_CheckExact(array.get())) {
    if (!is_column_array(array.get(), nrows, false)) {
      return done_if(as_objects(array.get(), nrows, column));
    }
    column.array = std::move(array);
    return Read::kDone;
  }
  PyRef dtype = dtype_of(array.get());
  if (!dtype) return Read::kOtherRoad;
  if (is_python_string_dtype(dtype.get())) {
    PyRef numpy = PyRef::steal(PyObject_CallMethod(array.get(), "to_numpy", nullptr));
    if (!numpy) return Read::kOtherRoad;
    if (!is_column_array(numpy.get(), nrows, false)) {
      return done_if(as_objects(array.get(), nrows, column));
    }
    column.array = std::move(numpy);
    return Read::kDone;
  }
  if (may_hold_arrow_texts(dtype.get())) {
    return read_arrow_texts(array.get(), position, nrows, column);
  }
  if (is_categorical_dtype(dtype.get())) {
    return read_categorical(array.get(), dtype.get(), position, nrows, column);
  }
  return done_if(as_objects(array.get(), nrows, column));
}

// ---------------------------------------------------------------------------
// Whether `values` is an object array, so that every column's own objects are
// its cells there.

bool all_plain_numeric(const std::vector<PyRef>& dtypes) {
  for (const PyRef& dtype : dtypes) {
    if (!is_plain_numeric_dtype(dtype.get())) return false;
  }
  return true;
}

// A frame of several columns: `values` interleaves its columns into their
// common dtype, as a NumPy dtype, the way pandas' block manager does. These are
// pandas internals; where they are missing the frame goes to `values`.
bool interleaves_to_objects(const std::vector<PyRef>& dtypes) {
  PyRef managers = PyRef::steal(PyImport_ImportModule("pandas.core.internals.managers"));
  if (!managers) return false;
  PyRef interleaved_dtype = PyRef::steal(PyObject_GetAttrString(managers.get(), "interleaved_dtype"));
  PyRef ensure_np_dtype = PyRef::steal(PyObject_GetAttrString(managers.get(), "ensure_np_dtype"));
  PyRef list = PyRef::steal(PyList_New(0));
  if (!interleaved_dtype || !ensure_np_dtype || !list) return false;
  for (const PyRef& dtype : dtypes) {
    if (PyList_Append(list.get(), dtype.get()) != 0) return false;
  }
  PyRef common = PyRef::steal(PyObject_CallOneArg(interleaved_dtype.get(), list.get()));
  if (!common) return false;
  PyRef numpy_dtype = PyRef::steal(PyObject_CallOneArg(ensure_np_dtype.get(), common.get()));
  return numpy_dtype && PyArray_DescrCheck(numpy_dtype.get()) &&
         reinterpret_cast<PyArray_Descr*>(numpy_dtype.get())->type_num == NPY_OBJECT;
}

// A frame of one column: `values` is that column's to_numpy(), which for text
// and for categoricals of texts or numbers gives the same cells as the column's
// objects (numbers as numbers, whatever their boxing).
bool single_column_reads_alike(PyObject* dtype) {
  if (is_readable_numpy_dtype(dtype) || string_storage_is(dtype, "python") ||
      string_storage_is(dtype, "pyarrow")) {
    return true;
  }
  if (is_categorical_dtype(dtype)) {
    PyRef categories = PyRef::steal(PyObject_GetAttrString(dtype, "categories"));
    PyRef categories_dtype = categories ? dtype_of(categories.get()) : PyRef();
    return categories_dtype && (is_readable_numpy_dtype(categories_dtype.get()) ||
                                type_name_is(categories_dtype.get(), "StringDtype"));
  }
  return false;
}

// A categorical whose categories are objects or texts. Beside any other
// columns, pandas interleaves it to objects: its common dtype with anything is
// an extension dtype or object, and an extension dtype becomes object. Asking
// pandas would hash every category of every categorical column (once per
// dtype, but a million categories take a quarter of a second).
bool is_categorical_of_texts(PyObject* dtype) {
  if (!is_categorical_dtype(dtype)) return false;
  PyRef categories = PyRef::steal(PyObject_GetAttrString(dtype, "categories"));
  PyRef categories_dtype = categories ? dtype_of(categories.get()) : PyRef();
  if (!categories_dtype) {
    PyErr_Clear();
    return false;
  }
  PyObject* of = categories_dtype.get();
  return (PyArray_DescrCheck(of) && reinterpret_cast<PyArray_Descr*>(of)->type_num == NPY_OBJECT) ||
         type_name_is(of, "StringDtype");
}

bool reads_like_values(const std::vector<PyRef>& dtypes) {
  if (all_plain_numeric(dtypes)) return true;
  if (dtypes.size() == 1) return single_column_reads_alike(dtypes[0].get());
  for (const PyRef& dtype : dtypes) {
    if (is_categorical_of_texts(dtype.get())) return true;
  }
  return interleaves_to_objects(dtypes);
}

// ---------------------------------------------------------------------------

bool column_arrays(PyObject* frame, size_t ncols, std::vector<PyRef>& arrays) {
  PyRef iterable = PyRef::steal(PyObject_CallMethod(frame, "_iter_column_arrays", nullptr));
  if (!iterable) return false;
  PyRef iterator = PyRef::steal(PyObject_GetIter(iterable.get()));
  if (!iterator) return false;
  arrays.reserve(ncols);
  while (PyObject* item = PyIter_Next(iterator.get())) {
    arrays.push_back(PyRef::steal(item));
    if (arrays.size() > ncols) return false;
  }
  return !PyErr_Occurred() && arrays.size() == ncols;
}

// Through pandas' own iterator over its columns' arrays: one call in all rather
// than a Series per column, which pays off for small frames too. It is not
// public API, so it is used only where it exists and everything it yields is
// checked; anything unexpected leaves the frame to the other roads.
enum class Found { kColumns, kValues, kNoIterator, kInvalid };

Found columns_by_iterator(PyObject* frame, size_t nrows, size_t ncols,
                          std::vector<FrameColumn>& columns) {
  std::vector<PyRef> arrays;
  if (!column_arrays(frame, ncols, arrays)) {
    const bool missing = PyErr_ExceptionMatches(PyExc_AttributeError);
    return missing ? Found::kNoIterator : Found::kValues;
  }
  // Each array must be of its column's dtype: anything else from this internal
  // iterator is not what `values` would read.
  PyRef frame_dtypes = PyRef::steal(PyObject_GetAttrString(frame, "dtypes"));
  PyRef listed = frame_dtypes ? PyRef::steal(PySequence_List(frame_dtypes.get())) : PyRef();
  if (!listed || PyList_GET_SIZE(listed.get()) != static_cast<Py_ssize_t>(ncols)) {
    return Found::kValues;
  }
  std::vector<PyRef> dtypes;
  dtypes.reserve(ncols);
  for (const PyRef& array : arrays) {
    dtypes.push_back(dtype_of(array.get()));
    if (!dtypes.back()) return Found::kValues;
    PyObject* expected = PyList_GET_ITEM(listed.get(), static_cast<Py_ssize_t>(dtypes.size() - 1));
    if (PyObject_RichCompareBool(dtypes.back().get(), expected, Py_EQ) != 1) return Found::kValues;
  }
  if (!reads_like_values(dtypes)) return Found::kValues;
  columns.clear();
  columns.resize(ncols);
  for (size_t j = 0; j < ncols; ++j) {
    switch (read_column(std::move(arrays[j]), j, nrows, columns[j])) {
      case Read::kDone: break;
      case Read::kOtherRoad: return Found::kValues;
      case Read::kInvalid: return Found::kInvalid;
    }
  }
  return Found::kColumns;
}

// Through one Series per column, for pandas versions without that iterator,
// for frames of NumPy columns.
bool columns_by_position(PyObject* frame, size_t nrows, size_t ncols,
                         std::vector<FrameColumn>& columns) {
  if (nrows * ncols < kMinCellsForColumns) return false;
  PyRef iloc = PyRef::steal(PyObject_GetAttrString(frame, "iloc"));
  PyRef all = PyRef::steal(PySlice_New(nullptr, nullptr, nullptr));
  if (!iloc || !all) return false;
  columns.clear();
  columns.resize(ncols);
  for (size_t j = 0; j < ncols; ++j) {
    PyRef position = PyRef::steal(PyLong_FromSize_t(j));
    if (!position) return false;
    PyRef key = PyRef::steal(PyTuple_Pack(2, all.get(), position.get()));
    if (!key) return false;
    PyRef series = PyRef::steal(PyObject_GetItem(iloc.get(), key.get()));
    if (!series) return false;
    PyRef dtype = dtype_of(series.get());
    if (!dtype || !(is_readable_numpy_dtype(dtype.get()) || is_python_string_dtype(dtype.get()))) {
      return false;
    }
    PyRef array = PyRef::steal(PyObject_CallMethod(series.get(), "to_numpy", nullptr));
    if (!array || !is_column_array(array.get(), nrows, false)) return false;
    columns[j].array = std::move(array);
  }
  return true;
}

}  // namespace

bool frame_columns(PyObject* frame, size_t nrows, size_t ncols, std::vector<FrameColumn>& columns) {
  // An ordinary error only means "try the next road"; an interrupt ends the
  // call, and so does invalid Arrow data, which `values` would read no more safely.
  bool found = false;
  if (is_exact_dataframe(frame)) {
    switch (columns_by_iterator(frame, nrows, ncols, columns)) {
      case Found::kColumns:
        found = true;
        break;
      case Found::kValues:
        break;
      case Found::kInvalid:
        columns.clear();
        return false;
      case Found::kNoIterator:
        if (!drop_ordinary_error()) return false;
        found = columns_by_position(frame, nrows, ncols, columns);
        break;
    }
  }
  if (!found) {
    columns.clear();
    drop_ordinary_error();
  }
  return found;
}

}  // namespace vorpak
