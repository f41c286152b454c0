#include "python/output_reconstruction.hpp"

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "python/panic.hpp"
#include "core/cell_code.hpp"
#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"
#include "python/text_slot_fill.hpp"

namespace vorpak {
namespace {

// Decoded texts of one column as shared str objects: one object per distinct
// code, the str that encode kept for it (see KeptStrs) or else one made on first
// use. Dense codes (the usual case) index a vector; a table with sparse codes, as
// a hand-made state can have, falls back to a map.
class ColumnTexts {
 public:
  // `cells` is how many cells will be decoded: when they outnumber the codes,
  // every str is had up front in one sequential pass over the table rather
  // than on first use in the cells' random order.
  ColumnTexts(const DecodingTable& table, size_t cells, const std::vector<PyRef>* kept)
      : table_(table), kept_(kept) {
    uint64_t max_code = 0;
    for (const auto& entry : table) max_code = std::max(max_code, entry.first);
    if (table.empty() || max_code >= 2 * table.size() + 1024) return;
    dense_.resize(max_code + 1);
    eager_ = cells >= table.size();
    for (const auto& [code, text] : table) {
      dense_[code].source = table.find_text(code);
      if (eager_ && !make(dense_[code], code)) return;
    }
  }

  // Borrowed str for `code`, nullptr when the table has no text for it, and
  // nullptr with an exception pending if a str could not be made (check failed()).
  PyObject* text_for(std::optional<uint64_t> code) {
    if (!code) return nullptr;
    if (!dense_.empty()) {
      if (*code >= dense_.size()) return nullptr;
      Text& text = dense_[*code];
      if (text.str || text.source == nullptr) return text.str.get();
      return make(text, *code) ? text.str.get() : nullptr;
    }
    const std::string_view* found = table_.find_text(*code);
    if (found == nullptr) return nullptr;
    Text& text = sparse_[*code];
    text.source = found;
    return text.str || make(text, *code) ? text.str.get() : nullptr;
  }
  bool failed() const { return failed_; }

  // Every code's str, when all were made up front (dense codes, eager).
  bool strs_by_code(std::vector<PyObject*>& out) const {
    if (dense_.empty() || !eager_) return false;
    out.clear();
    out.reserve(dense_.size());
    for (const Text& text : dense_) out.push_back(text.str.get());
    return true;
  }

 private:
  struct Text {
    const std::string_view* source = nullptr;
    PyRef str;
  };

  bool make(Text& text, uint64_t code) {
    if (kept_ != nullptr && code < kept_->size() && (*kept_)[code]) {
      text.str = PyRef::borrow((*kept_)[code].get());
      return true;
    }
    text.str = PyRef::steal(PyUnicode_DecodeUTF8(
        text.source->data(), static_cast<Py_ssize_t>(text.source->size()), "replace"));
    failed_ = failed_ || !text.str;
    return static_cast<bool>(text.str);
  }

  const DecodingTable& table_;
  const std::vector<PyRef>* kept_;  // null, or the str encode kept for each code
  std::vector<Text> dense_;
  std::unordered_map<uint64_t, Text> sparse_;
  bool eager_ = false;
  bool failed_ = false;
};

const DecodingTable* find_table(const FittedTables& info, uint64_t column) {
  const auto found = info.decoding_tables.find(column);
  if (found == info.decoding_tables.end()) {
    raise_internal_fault("no entry found for key");
    return nullptr;
  }
  return &found->second;
}

Raised column_out_of_range(uint64_t column, size_t ncols) {
  return raise_internal_fault("encoded column " + std::to_string(column) +
                              " is beyond the last column of a table with " +
                              std::to_string(ncols) + " columns");
}

PyObject** slots_of(PyObject* array) {
  return static_cast<PyObject**>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

// The texts of every column with a table (the others stay null); false with an
// exception pending if one could not be made.
bool make_column_texts(const WorkingMatrix& m, const std::vector<const DecodingTable*>& table_of,
                       const KeptStrs* kept, std::vector<std::unique_ptr<ColumnTexts>>& texts) {
  texts.resize(m.ncols);
  for (size_t j = 0; j < m.ncols; ++j) {
    if (table_of[j] == nullptr) continue;
    const std::vector<PyRef>* kept_strs = kept == nullptr ? nullptr : kept->column(j);
    texts[j] = std::make_unique<ColumnTexts>(*table_of[j], m.nrows, kept_strs);
    if (texts[j]->failed()) return false;
  }
  return true;
}

// The strs of every text column by code, to be written on the pool, each into
// its own array where `own_arrays` has one; false if some column's strs were
// not all made up front, or there are none.
bool strs_for_pool(const std::vector<std::unique_ptr<ColumnTexts>>& texts,
                   const std::vector<PyRef>* own_arrays, std::vector<ColumnStrs>& columns) {
  for (size_t j = 0; j < texts.size(); ++j) {
    if (!texts[j]) continue;
    ColumnStrs& column = columns.emplace_back();
    column.column = j;
    if (own_arrays != nullptr) {
      column.slots = slots_of((*own_arrays)[j].get());
    }
    if (!texts[j]->strs_by_code(column.by_code)) return false;
  }
  return !columns.empty();
}

// A Python float in the slot of every cell of the columns without texts.
bool put_floats(PyObject** slots, const WorkingMatrix& m,
                const std::vector<std::unique_ptr<ColumnTexts>>& texts) {
  std::vector<size_t> numeric;
  for (size_t j = 0; j < m.ncols; ++j) {
    if (!texts[j]) numeric.push_back(j);
  }
  const size_t row_step = m.column_major ? 1 : m.ncols;
  const size_t column_step = m.column_major ? m.nrows : 1;
  auto put = [&](size_t i, size_t j) {
    const size_t cell = i * row_step + j * column_step;
    PyObject* value = PyFloat_FromDouble(m.cells[cell]);
    if (value == nullptr) return false;
    Py_XSETREF(slots[cell], value);
    return true;
  };
  // In memory order, as the slots lie.
  if (m.column_major) {
    for (size_t j : numeric) {
      for (size_t i = 0; i < m.nrows; ++i) {
        if (!put(i, j)) return false;
      }
    }
    return true;
  }
  for (size_t i = 0; i < m.nrows; ++i) {
    for (size_t j : numeric) {
      if (!put(i, j)) return false;
    }
  }
  return true;
}

// Large tables whose texts were all made up front have their text slots filled
// on the pool; false (maybe with an exception pending) when this thread is to
// fill them itself.
bool fill_texts_on_pool(PyObject** slots, const WorkingMatrix& m,
                        const std::vector<std::unique_ptr<ColumnTexts>>& texts, PyRef& missing,
                        const std::function<void()>& alongside) {
  std::vector<ColumnStrs> columns;
  if (!strs_for_pool(texts, nullptr, columns)) return false;
  missing = PyRef::steal(PyUnicode_FromString("NaN"));
  return missing && fill_text_slots(slots, m, columns, missing.get(), alongside);
}

// An object array shaped and ordered like the matrix's array. Encoded columns
// hold the texts of their codes (one shared str per distinct code, "NaN" where a
// cell has none); every other cell is a Python float, as
// numpy.array(floats).astype("object") would give.
PyRef array_output(WorkingMatrix& m, const FittedTables* info, const KeptStrs* kept) {
  if (info == nullptr) return own_cells(m) ? std::move(m.array) : PyRef();

  // Every listed column is checked, in list order, before any cell is read.
  std::vector<const DecodingTable*> table_of(m.ncols, nullptr);
  for (uint64_t j : info->encoded_columns) {
    const DecodingTable* table = find_table(*info, j);
    if (table == nullptr) return {};
    if (m.nrows == 0) continue;
    if (j >= m.ncols) return column_out_of_range(j, m.ncols);
    table_of[j] = table;
  }
  std::vector<std::unique_ptr<ColumnTexts>> texts;
  if (!make_column_texts(m, table_of, kept, texts)) return {};

  npy_intp dims[2] = {static_cast<npy_intp>(m.nrows), static_cast<npy_intp>(m.ncols)};
  PyRef array =
      PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_OBJECT), 2, dims,
                                        nullptr, nullptr, m.column_major ? 1 : 0, nullptr));
  if (!array) return {};
  PyObject** slots = slots_of(array.get());
  PyRef missing;  // "NaN", one shared object for the whole call
  // This thread makes the floats while the pool writes the texts.
  bool floats_made = true;
  const bool texts_filled = fill_texts_on_pool(slots, m, texts, missing,
                                               [&] { floats_made = put_floats(slots, m, texts); });
  if (texts_filled) return floats_made ? std::move(array) : PyRef();
  if (PyErr_Occurred()) return {};

  // Visit the cells in memory order; both arrays share it.
  const size_t outer = m.column_major ? m.ncols : m.nrows;
  const size_t inner = m.column_major ? m.nrows : m.ncols;
  for (size_t a = 0; a < outer; ++a) {
    for (size_t b = 0; b < inner; ++b) {
      const size_t j = m.column_major ? a : b;
      const double x = m.cells[a * inner + b];
      PyObject* value;
      if (texts[j]) {
        value = texts[j]->text_for(code_of_cell(x));
        if (texts[j]->failed()) return {};
        if (value == nullptr) {
          if (!missing) missing = PyRef::steal(PyUnicode_FromString("NaN"));
          if (!missing) return {};
          value = missing.get();
        }
        Py_INCREF(value);
      } else {
        value = PyFloat_FromDouble(x);
        if (value == nullptr) return {};
      }
      Py_XSETREF(slots[a * inner + b], value);
    }
  }
  return array;
}

// A 1-D object array of n slots, all empty.
PyRef new_object_column(size_t n) {
  npy_intp length = static_cast<npy_intp>(n);
  return PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_OBJECT), 1,
                                           &length, nullptr, nullptr, 0, nullptr));
}

// Column j's decoded cells into its own slots: one shared str per code, None
// where a cell has no text.
bool fill_decoded_column(PyObject** slots, const WorkingMatrix& m, size_t j, ColumnTexts& texts) {
  for (size_t i = 0; i < m.nrows; ++i) {
    PyObject* text = texts.text_for(code_of_cell(m.at(i, j)));
    if (texts.failed()) return false;
    if (text == nullptr) text = Py_None;
    Py_INCREF(text);
    Py_XSETREF(slots[i], text);
  }
  return true;
}

// The decoded text columns (those with a table), each a 1-D object array; the
// others stay null. Large tables are filled on the pool.
bool decoded_columns(const WorkingMatrix& m, const std::vector<const DecodingTable*>& table_of,
                     const KeptStrs* kept, std::vector<PyRef>& arrays) {
  std::vector<std::unique_ptr<ColumnTexts>> texts;
  if (!make_column_texts(m, table_of, kept, texts)) return false;
  arrays.resize(m.ncols);
  for (size_t j = 0; j < m.ncols; ++j) {
    if (!texts[j]) continue;
    arrays[j] = new_object_column(m.nrows);
    if (!arrays[j]) return false;
  }
  std::vector<ColumnStrs> strs;
  if (strs_for_pool(texts, &arrays, strs) && fill_text_slots(nullptr, m, strs, Py_None, [] {})) {
    return true;
  }
  for (size_t j = 0; j < m.ncols; ++j) {
    if (texts[j] && !fill_decoded_column(slots_of(arrays[j].get()), m, j, *texts[j])) return false;
  }
  return true;
}

PyRef new_label(const std::string& label) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(label.data(), static_cast<Py_ssize_t>(label.size()), "replace"));
}

// Column j's texts as a Series of dtype object; the dtype is explicit because
// pandas would otherwise infer a string dtype from the str cells.
PyRef text_series(PyObject* series_type, PyObject* texts) {
  PyRef args = PyRef::steal(PyTuple_Pack(1, texts));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{s:s,s:O}", "dtype", "object", "copy", Py_False));
  if (!args || !kwargs) return {};
  return PyRef::steal(PyObject_Call(series_type, args.get(), kwargs.get()));
}

// Column k of the matrix's array, as a view.
PyRef float_column(const WorkingMatrix& m, size_t k) {
  PyRef all = PyRef::steal(PySlice_New(nullptr, nullptr, nullptr));
  PyRef position = PyRef::steal(PyLong_FromSize_t(k));
  if (!all || !position) return {};
  PyRef key = PyRef::steal(PyTuple_Pack(2, all.get(), position.get()));
  if (!key) return {};
  return PyRef::steal(PyObject_GetItem(m.array.get(), key.get()));
}

// A frame whose listed columns hold texts, built in one constructor call from
// its columns ({position: column}, then the real labels, which may repeat):
// setting text columns into a float frame one by one would split and copy its
// float block once per column.
PyRef decoded_frame(PyObject* pandas, PyObject* label_list, WorkingMatrix& m,
                    const std::vector<const DecodingTable*>& table_of, const KeptStrs* kept) {
  PyRef series_type = PyRef::steal(PyObject_GetAttrString(pandas, "Series"));
  PyRef columns = PyRef::steal(PyDict_New());
  if (!series_type || !columns) return {};
  std::vector<PyRef> texts;
  if (!decoded_columns(m, table_of, kept, texts)) return {};
  for (size_t k = 0; k < m.ncols; ++k) {
    PyRef column;
    if (texts[k]) {
      column = text_series(series_type.get(), texts[k].get());
    } else {
      column = float_column(m, k);
    }
    PyRef key = PyRef::steal(PyLong_FromSize_t(k));
    if (!column || !key || PyDict_SetItem(columns.get(), key.get(), column.get()) < 0) {
      return {};
    }
  }
  PyRef constructor = PyRef::steal(PyObject_GetAttrString(pandas, "DataFrame"));
  if (!constructor) return {};
  PyRef args = PyRef::steal(PyTuple_Pack(1, columns.get()));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{s:O}", "copy", Py_False));
  if (!args || !kwargs) return {};
  PyRef frame = PyRef::steal(PyObject_Call(constructor.get(), args.get(), kwargs.get()));
  if (!frame || PyObject_SetAttrString(frame.get(), "columns", label_list) < 0) return {};
  return frame;
}

PyRef frame_output(WorkingMatrix& m, const std::vector<std::string>& labels,
                   const FittedTables* info, const KeptStrs* kept) {
  PyRef pandas = PyRef::steal(PyImport_ImportModule("pandas"));
  if (!pandas) return {};
  PyRef label_list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(labels.size())));
  if (!label_list) return {};
  for (size_t k = 0; k < labels.size(); ++k) {
    PyRef label = new_label(labels[k]);
    if (!label) return {};
    PyList_SET_ITEM(label_list.get(), static_cast<Py_ssize_t>(k), label.release());
  }
  if (!own_cells(m)) return {};
  if (info != nullptr && !info->encoded_columns.empty()) {
    // Every listed column is checked, in list order, before any cell is read.
    std::vector<const DecodingTable*> table_of(m.ncols, nullptr);
    for (uint64_t j : info->encoded_columns) {
      const DecodingTable* table = find_table(*info, j);
      if (table == nullptr) return {};
      if (j >= labels.size() || j >= m.ncols) {
        return column_out_of_range(j, std::min(labels.size(), m.ncols));
      }
      table_of[j] = table;
    }
    return decoded_frame(pandas.get(), label_list.get(), m, table_of, kept);
  }
  // The array is ours and fresh, so pandas may keep it rather than copy it.
  PyRef kwargs =
      PyRef::steal(Py_BuildValue("{s:O,s:O}", "columns", label_list.get(), "copy", Py_False));
  if (!kwargs) return {};
  PyRef constructor = PyRef::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  if (!constructor) return {};
  PyRef args = PyRef::steal(PyTuple_Pack(1, m.array.get()));
  if (!args) return {};
  return PyRef::steal(PyObject_Call(constructor.get(), args.get(), kwargs.get()));
}

}  // namespace

PyRef build_result(WorkingMatrix matrix, Container out, const FittedTables* info,
                   const KeptStrs* kept) {
  if (out.kind == Container::Kind::Array) return array_output(matrix, info, kept);
  return frame_output(matrix, out.labels, info, kept);
}

}  // namespace vorpak
