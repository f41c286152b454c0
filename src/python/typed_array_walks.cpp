#include "python/typed_array_walks.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "core/code_points_utf8.hpp"
#include "core/thread_pool.hpp"
#include "python/table_access.hpp"

namespace vorpak {
namespace {

// Numbers of a native numeric or bool column: the double its NumPy scalar
// converts to. Every cell is a number, so the column never turns.
template <class T>
void copy_numbers(const char* data, npy_intp stride, size_t j, CellWalk& walk, size_t begin,
                  size_t end) {
  for (size_t i = begin; i < end; ++i) {
    T value;
    std::memcpy(&value, data + static_cast<npy_intp>(i) * stride, sizeof value);
    walk.slot(i, j) = static_cast<double>(value);
  }
}

// A NumPy bool is a byte that any code may have set to any value (a view of
// uint8 data, say), and NumPy reads every non-zero byte as True. Loading such
// a byte as a C++ bool would be undefined, so it is compared with zero.
void copy_bools(const char* data, npy_intp stride, size_t j, CellWalk& walk, size_t begin, size_t end) {
  for (size_t i = begin; i < end; ++i) {
    walk.slot(i, j) = data[static_cast<npy_intp>(i) * stride] != 0 ? 1.0 : 0.0;
  }
}

}  // namespace

void copy_numeric_column(const PyArray_Descr* d, const char* data, npy_intp stride, size_t j,
                         CellWalk& walk, size_t begin, size_t end) {
  const auto size = PyDataType_ELSIZE(d);
  switch (d->kind) {
    case 'b':
      return copy_bools(data, stride, j, walk, begin, end);
    case 'i':
      if (size == 1) return copy_numbers<int8_t>(data, stride, j, walk, begin, end);
      if (size == 2) return copy_numbers<int16_t>(data, stride, j, walk, begin, end);
      if (size == 4) return copy_numbers<int32_t>(data, stride, j, walk, begin, end);
      return copy_numbers<int64_t>(data, stride, j, walk, begin, end);
    case 'u':
      if (size == 1) return copy_numbers<uint8_t>(data, stride, j, walk, begin, end);
      if (size == 2) return copy_numbers<uint16_t>(data, stride, j, walk, begin, end);
      if (size == 4) return copy_numbers<uint32_t>(data, stride, j, walk, begin, end);
      return copy_numbers<uint64_t>(data, stride, j, walk, begin, end);
    default:
      if (size == 4) return copy_numbers<float>(data, stride, j, walk, begin, end);
      return copy_numbers<double>(data, stride, j, walk, begin, end);
  }
}


bool walk_numeric_array(PyArrayObject* array, CellWalk& walk) {
  const Geometry g(array);
  for (size_t j = 0; j < walk.ncols; ++j) {
    copy_numeric_column(PyArray_DESCR(array), g.at(0, j), g.row_stride, j, walk, 0, walk.nrows);
  }
  return true;
}

namespace {

// UTF-8 of a fixed-width unicode cell, as str() of its NumPy scalar gives it:
// trailing NULs dropped. False for code points a str cannot simply hold (lone
// surrogates, beyond U+10FFFF), which take the general road.
bool ucs4_to_utf8(const char* cell, size_t width, std::string& out) {
  out.clear();
  size_t n = width;
  auto code_point = [&](size_t k) {
    uint32_t cp;
    std::memcpy(&cp, cell + 4 * k, 4);
    return cp;
  };
  while (n > 0 && code_point(n - 1) == 0) --n;
  for (size_t k = 0; k < n; ++k) {
    const uint32_t cp = code_point(k);
    if (cp > 0x10FFFF || is_surrogate(cp)) return false;
    append_utf8(cp, out);
  }
  return true;
}

// The text ids of one column of a unicode array, read from raw memory (no
// Python object is involved, so this runs on the pool). A run of equal cells
// reuses the previous cell's id; other repeats are merged by content. Cells a
// str cannot simply hold are left to the caller, listed in `slow_rows`.
void read_unicode_column(const Geometry& g, size_t width, size_t j, size_t nrows, TextColumn& texts,
                         std::vector<uint64_t>& ids, std::vector<size_t>& slow_rows) {
  ids.resize(nrows);
  std::string utf8;
  const char* last = nullptr;  // the previous cell, if it had a plain text
  uint64_t last_id = 0;
  pool::CancelPoint point;  // one task reads a whole column
  for (size_t i = 0; i < nrows; ++i) {
    point.step();
    const char* cell = g.at(i, j);
    if (last != nullptr && std::memcmp(cell, last, 4 * width) == 0) {
      ids[i] = last_id;
    } else if (ucs4_to_utf8(cell, width, utf8)) {
      last = cell;
      last_id = texts.add_text(utf8);
      ids[i] = last_id;
    } else {
      last = nullptr;
      slow_rows.push_back(i);
    }
  }
}

}  // namespace

// Every cell of a unicode array is text, so every column turns at its first
// row. The pool reads the columns side by side; the few cells that need their
// NumPy scalar's str() then take the general road here, in column order, so
// that the first of them to fail is the one a column-by-column walk meets.
bool walk_unicode_array(PyObject* obj, CellWalk& walk) {
  const CollectionPause pause;  // the slow road's item access and str() make objects
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const Geometry g(array);
  const size_t width = static_cast<size_t>(PyDataType_ELSIZE(PyArray_DESCR(array))) / 4;
  std::vector<std::vector<uint64_t>> ids(walk.ncols);
  std::vector<std::vector<size_t>> slow_rows(walk.ncols);
  for (size_t j = 0; j < walk.ncols; ++j) walk.text_column(j);
  pool::parallel_for(walk.ncols, 1, [&](size_t begin, size_t end) {
    for (size_t j = begin; j < end; ++j) {
      read_unicode_column(g, width, j, walk.nrows, *walk.texts[j], ids[j], slow_rows[j]);
    }
  });
  for (size_t j = 0; j < walk.ncols; ++j) {
    walk.mark_text(0, j);
    for (size_t i : slow_rows[j]) {
      PyRef scalar = get_item(obj, i, j);
      if (!scalar) return false;
      if (!walk.text_id(j, scalar.get(), ids[j][i])) return cell_error(scalar.get());
    }
  }
  // Into the row-major buffer, a block of rows per chunk.
  pool::parallel_for(walk.nrows, 4096, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) {
      for (size_t j = 0; j < walk.ncols; ++j) walk.put_id(i, j, ids[j][i]);
    }
  });
  return true;
}

bool is_plain_unicode(const PyArray_Descr* d) {
  return d->type_num == NPY_UNICODE && PyArray_ISNBO(d->byteorder);
}

}  // namespace vorpak
