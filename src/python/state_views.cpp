#include "python/state_views.hpp"

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

namespace vorpak {

PyRef encoded_columns_list(const EncoderState& state) {
  if (!state.fitted) return PyRef::borrow(Py_None);
  const auto& columns = state.fitted->encoded_columns;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
  if (!list) return {};
  for (size_t k = 0; k < columns.size(); ++k) {
    PyObject* position = PyLong_FromUnsignedLongLong(columns[k]);
    if (position == nullptr) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), position);  // steals it
  }
  return list;
}

PyRef column_texts(const EncoderState& state, uint64_t column) {
  if (!state.fitted || !state.fitted->decoding_tables.contains(column)) {
    PyErr_Format(PyExc_ValueError, "column %llu holds no texts",
                 static_cast<unsigned long long>(column));
    return {};
  }
  const DecodingTable& table = state.fitted->decoding_tables.at(column);
  // A state read from bytes may keep its codes in any order.
  std::vector<std::pair<uint64_t, std::string_view>> entries(table.begin(), table.end());
  std::sort(entries.begin(), entries.end());
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(entries.size())));
  if (!tuple) return {};
  for (size_t k = 0; k < entries.size(); ++k) {
    const std::string_view text = entries[k].second;
    PyObject* str =
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (str == nullptr) return {};
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), str);  // steals it
  }
  return tuple;
}

}  // namespace vorpak
