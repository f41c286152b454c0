#include "python/string_column_driver.hpp"

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "core/fresh_memory.hpp"
#include "python/panic.hpp"
#include "core/thread_pool.hpp"
#include "core/column_job.hpp"
#include "python/frame_columns.hpp"
#include "python/interrupts.hpp"
#include "python/numpy_api.hpp"
#include "python/plain_dtypes.hpp"
#include "python/py_ref.hpp"
#include "python/text_column.hpp"
#include "python/text_of_object.hpp"

namespace vorpak {
namespace {

// ---------------------------------------------------------------------------
// What the walk builds: every cell's number, or for a string column the id of
// its text (as a bit pattern), straight in the output buffer; and per column
// the texts behind the ids.

// A string column's slot holds either a text id, tagged with a set low bit, or,
// during a walk in which no Python code runs, the address of an exact str
// (always even), whose text is fetched once per distinct object afterwards.
//
// A wide table may have millions of columns and few cells, so what is kept for
// every column is a few bytes; a column's texts are gathered only once it turns.
struct Walk {
  size_t nrows = 0, ncols = 0;
  double* out = nullptr;
  std::vector<uint8_t> is_string;
  std::vector<uint8_t> has_addresses;
  std::vector<std::unique_ptr<TextColumn>> texts;  // made when the column turns
  std::vector<PyRef> keep_alive;                   // what holds the cells' objects

  Walk(size_t rows, size_t cols, double* buffer)
      : nrows(rows), ncols(cols), out(buffer), is_string(cols, 0), has_addresses(cols, 0), texts(cols) {}

  TextColumn& text_column(size_t j) {
    if (!texts[j]) texts[j] = std::make_unique<TextColumn>();
    return *texts[j];
  }

  double& slot(size_t i, size_t j) { return out[i * ncols + j]; }
  void put_id(size_t i, size_t j, uint64_t id) {
    slot(i, j) = std::bit_cast<double>((id << 1) | 1);
  }
  void put_address(size_t i, size_t j, PyObject* str) {
    slot(i, j) = std::bit_cast<double>(reinterpret_cast<uint64_t>(str));
    has_addresses[j] = 1;
  }

  // Column j held only numbers so far and turns to text at row i: the numbers
  // read above become texts too.
  void turn(size_t i, size_t j) {
    is_string[j] = 1;
    TextColumn& column = text_column(j);
    char buf[kNumberTextCapacity];
    for (size_t r = 0; r < i; ++r) {
      const size_t len = number_to_text(slot(r, j), buf);
      put_id(r, j, column.add_text(std::string_view(buf, len)));
    }
  }

  // The id of a cell's text in string column j. False with the error of its
  // reading pending (see cell_error).
  bool text_id(size_t j, PyObject* cell, uint64_t& id) {
    TextColumn& column = text_column(j);
    return PyUnicode_CheckExact(cell) ? column.add_str(cell, id) : column.add_object(cell, id);
  }

  // The text of cell (i, j) of a string column.
  bool put_text(size_t i, size_t j, PyObject* cell) {
    uint64_t id = 0;
    if (!text_id(j, cell, id)) return false;
    put_id(i, j, id);
    return true;
  }

  // Files cell (i, j): a number while its column is numeric, else a text. With
  // kAddresses an exact str is filed by its address (see above).
  template <bool kAddresses = false>
  bool put_cell(size_t i, size_t j, PyObject* cell) {
    if (kAddresses && PyUnicode_CheckExact(cell)) {
      if (!is_string[j]) turn(i, j);
      put_address(i, j, cell);
      return true;
    }
    if (is_string[j]) return put_text(i, j, cell);
    if (PyFloat_CheckExact(cell)) {
      slot(i, j) = PyFloat_AS_DOUBLE(cell);
      return true;
    }
    if (!PyUnicode_CheckExact(cell)) {  // an exact str never converts; skip the raise
      const double value = PyFloat_AsDouble(cell);
      if (!(value == -1.0 && PyErr_Occurred())) {
        slot(i, j) = value;
        return true;
      }
      // Not a number, so the column holds text. An interrupt is no verdict on
      // the cell and is left to propagate.
      if (!drop_ordinary_error()) return false;
    }
    turn(i, j);
    return put_text(i, j, cell);
  }
};

// What the caller sees of a cell that put_cell could not file: a str() that
// failed, or a text that cannot be had, is an internal fault; an exact str's
// own failure other than encoding (out of memory) and anything that is not an
// Exception (an interrupt) pass through as they are.
Raised cell_error(PyObject* cell) {
  return PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) || !PyUnicode_CheckExact(cell)
             ? raise_fault_from_pending("cant convert to str")
             : Raised{};
}

// How a walk that may give up ended.
enum class Walked { kDone, kGaveUp, kFailed };

// A fast road met an error: the general road redoes the work, so that the
// error that reaches the caller is the one it meets in its own order. What must
// reach the caller anyway (an interrupt) ends the call.
Walked give_up_on_error() { return drop_ordinary_error() ? Walked::kGaveUp : Walked::kFailed; }

// ---------------------------------------------------------------------------
// Shape and cell access

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

// The general road: table[i, j] through the object protocol.
PyObject* get_item(PyObject* table, size_t i, size_t j) {
  PyRef key =
      PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(j)));
  if (!key) return nullptr;
  PyObject* cell = PyObject_GetItem(table, key.get());
  if (cell == nullptr) {
    raise_fault_from_pending("cannot read cell (" + std::to_string(i) + ", " + std::to_string(j) +
                             ")");
  }
  return cell;
}

bool walk_by_item_access(PyObject* table, Walk& walk, size_t first_column = 0,
                         size_t first_row = 0) {
  SignalPacer pacer;
  for (size_t j = first_column; j < walk.ncols; ++j) {
    for (size_t i = j == first_column ? first_row : 0; i < walk.nrows; ++i) {
      if (pacer.due() && !handle_signals()) return false;
      PyRef cell = PyRef::steal(get_item(table, i, j));
      if (!cell) return false;
      if (!walk.put_cell(i, j, cell.get())) return cell_error(cell.get());
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// NumPy arrays read through their data, where that gives exactly the objects
// or values item access would.

// Item access on this object is NumPy's own, not an override of a subclass.
bool has_numpy_item_access(PyObject* obj, size_t nrows, size_t ncols) {
  if (!PyArray_Check(obj)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  return PyArray_NDIM(array) == 2 && static_cast<size_t>(PyArray_DIM(array, 0)) == nrows &&
         static_cast<size_t>(PyArray_DIM(array, 1)) == ncols &&
         Py_TYPE(obj)->tp_as_mapping != nullptr &&
         Py_TYPE(obj)->tp_as_mapping->mp_subscript == PyArray_Type.tp_as_mapping->mp_subscript;
}

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

// Holds off automatic garbage collection for a stretch of C code that relies on
// no Python code running: one that reads an array's cells through a captured
// Geometry, or knows str objects only by address. Through CPython 3.11 any new
// object the collector tracks may start a collection, and with it finalizers and
// gc.callbacks, which are Python code: an exception object does (an encoding
// error's always, and inside an `except` block even an error that is cleared at
// once). Nothing else in such a stretch runs Python code. From 3.12 on an
// allocation only schedules a collection, which runs where Python code is
// evaluated (or signals are handled), so there is nothing to hold off; nor is
// the process-wide switch flipped under other threads' feet.
class CollectionPause {
 public:
  explicit CollectionPause(bool now = true) {
    if (now) hold();
  }
  ~CollectionPause() { release(); }
  CollectionPause(const CollectionPause&) = delete;
  CollectionPause& operator=(const CollectionPause&) = delete;

#if PY_VERSION_HEX < 0x030C0000
  void hold() {
    if (held_) return;
    held_ = true;
    was_enabled_ = PyGC_Disable() != 0;
  }
  void release() {
    if (!held_) return;
    held_ = false;
    if (was_enabled_ && thread_may_use_interpreter()) PyGC_Enable();
  }

 private:
  bool held_ = false;
  bool was_enabled_ = false;
#else
  void hold() {}
  void release() {}
#endif
};

// Keeps a cell's object alive while a walk that read its pointer from the
// array inspects it. With a GIL nothing can free it meanwhile, and this is
// nothing. Without one, another thread could replace the cell and free the
// object at any moment, so the reference is taken at once. (Changing a table
// while it is encoded is unsupported all the same, as it is for NumPy's own
// object arrays; this keeps such a race from reading freed memory.)
class CellReference {
 public:
#ifdef Py_GIL_DISABLED
  explicit CellReference(PyObject* cell) : ref_(PyRef::borrow(cell)) {}

 private:
  PyRef ref_;
#else
  explicit CellReference(PyObject* /*cell*/) {}
#endif
};

// A cell whose reading runs no Python code of its own: converting it, or taking
// its str(), cannot change the table or let another thread in, as long as no
// collection runs meanwhile (see CollectionPause).
bool is_inert(PyObject* cell) {
  return PyUnicode_CheckExact(cell) || PyFloat_CheckExact(cell) || PyLong_CheckExact(cell) ||
         PyBool_Check(cell) || cell == Py_None;
}

PyObject* stored_object(const Geometry& g, size_t i, size_t j) {
  PyObject* cell;
  std::memcpy(&cell, g.at(i, j), sizeof cell);
  return cell != nullptr ? cell : Py_None;  // NumPy reads an empty slot as None
}

// Row by row, which follows the memory of a row-major array. Only valid when no
// cell runs Python code, since the order of the walk is then unobservable; it
// gives up (returning false with nothing pending) at the first cell that would.
// Without a global interpreter lock another thread could drop a str between the
// walk and the fetch of its text, so such builds take a reference at once.
#ifdef Py_GIL_DISABLED
constexpr bool kFileStrsByAddress = false;
#else
constexpr bool kFileStrsByAddress = true;
#endif

// An interrupt ends such a walk too: the column walk that redoes it handles
// signals where Python code may run.
Walked try_row_major_object_walk(const Geometry& g, Walk& walk) {
  const CollectionPause pause;
  SignalPacer pacer;
  // Reading a cell's type is a cache miss when its object lies anywhere in the
  // heap; asking for the objects of a row some way ahead keeps those misses
  // overlapping instead of one after another.
  const size_t ahead = (16 + walk.ncols - 1) / walk.ncols;
  for (size_t i = 0; i < walk.nrows; ++i) {
    if (pacer.due(walk.ncols) && interrupt_arrived()) return Walked::kGaveUp;
    const bool prefetch = i + ahead < walk.nrows;
    for (size_t j = 0; j < walk.ncols; ++j) {
      if (prefetch) __builtin_prefetch(stored_object(g, i + ahead, j));
      PyObject* cell = stored_object(g, i, j);
      const CellReference held(cell);
      if (!is_inert(cell)) return Walked::kGaveUp;
      if (!walk.put_cell<kFileStrsByAddress>(i, j, cell)) return give_up_on_error();
    }
  }
  return Walked::kDone;
}

// Column by column. Runs of inert cells are read with collections held off (see
// CollectionPause), so only a cell that runs Python code of its own can change
// the array: after each such cell, once the walk has let go of it (its
// finalizer is Python code too), the array is checked again. If that code moved
// or reshaped its cells, the rest goes through item access, which reads
// whatever the array holds by then.
// Signal handlers are Python code too, and are run between cells, which the
// walk then treats like a cell that ran code of its own.
bool column_major_object_walk(PyObject* obj, Walk& walk) {
  if (!handle_signals()) return false;  // one a faster walk gave up for
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const Geometry g(array);
  CollectionPause pause(false);
  SignalPacer pacer;
  for (size_t j = 0; j < walk.ncols; ++j) {
    for (size_t i = 0; i < walk.nrows; ++i) {
      const auto unchanged = [&] {
        return Geometry(array) == g && has_numpy_item_access(obj, walk.nrows, walk.ncols);
      };
      if (pacer.due()) {
        pause.release();
        if (!handle_signals()) return false;
        if (!unchanged()) return walk_by_item_access(obj, walk, j, i);
      }
      bool inert;
      {
        PyRef cell = PyRef::borrow(stored_object(g, i, j));
        inert = is_inert(cell.get());
        if (inert) {
          pause.hold();
        } else {
          pause.release();  // the cell's own code runs as it would anywhere
        }
        if (!walk.put_cell(i, j, cell.get())) return cell_error(cell.get());
      }
      if (!inert && !unchanged()) {
        const bool last_row = i + 1 == walk.nrows;
        return walk_by_item_access(obj, walk, last_row ? j + 1 : j, last_row ? 0 : i + 1);
      }
    }
  }
  return true;
}

// Runs a walk that may give up on a fresh attempt, which replaces `walk` only
// if it finished. A worker faults the output
// buffer's pages in meanwhile (see populate_alongside): only for walks in which
// no Python code runs, since code that forked while the pool held a call of
// this thread's could leave the child waiting for a worker it does not have.
template <class TryWalk>
Walked attempt_walk(Walk& walk, TryWalk try_walk) {
  Walk attempt(walk.nrows, walk.ncols, walk.out);
  Walked walked = Walked::kGaveUp;
  populate_alongside(walk.out, walk.nrows * walk.ncols * sizeof(double),
                     [&] { walked = try_walk(attempt); });
  if (walked == Walked::kDone) walk = std::move(attempt);
  return walked;
}

bool walk_object_array(PyObject* obj, Walk& walk) {
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const Geometry g(array);
  // A column-major array is walked in its own memory order anyway.
  if (!PyArray_IS_F_CONTIGUOUS(array) || PyArray_IS_C_CONTIGUOUS(array)) {
    switch (attempt_walk(walk, [&](Walk& attempt) { return try_row_major_object_walk(g, attempt); })) {
      case Walked::kDone: return true;
      case Walked::kFailed: return false;
      case Walked::kGaveUp: break;
    }
  }
  return column_major_object_walk(obj, walk);
}

// Numbers of a native numeric or bool column: the double its NumPy scalar
// converts to. Every cell is a number, so the column never turns.
template <class T>
void copy_numbers(const char* data, npy_intp stride, size_t j, Walk& walk, size_t begin,
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
void copy_bools(const char* data, npy_intp stride, size_t j, Walk& walk, size_t begin, size_t end) {
  for (size_t i = begin; i < end; ++i) {
    walk.slot(i, j) = data[static_cast<npy_intp>(i) * stride] != 0 ? 1.0 : 0.0;
  }
}

void copy_numeric_column(const PyArray_Descr* d, const char* data, npy_intp stride, size_t j,
                         Walk& walk, size_t begin, size_t end) {
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

bool walk_numeric_array(PyArrayObject* array, Walk& walk) {
  const Geometry g(array);
  for (size_t j = 0; j < walk.ncols; ++j) {
    copy_numeric_column(PyArray_DESCR(array), g.at(0, j), g.row_stride, j, walk, 0, walk.nrows);
  }
  return true;
}

// A DataFrame read through its columns (see frame_columns). Like the row-major
// walk, it is only taken while no cell runs Python code, and gives up at the
// first that would (or at an interrupt), leaving it to `values`.
Walked try_frame_column_walk(const std::vector<PyRef>& columns, Walk& walk) {
  const CollectionPause pause;
  // Nothing here runs Python code, so the order is free: blocks of rows, each
  // walked column by column, keep the block of the row-major buffer in cache.
  constexpr size_t kRowBlock = 2048;
  SignalPacer pacer;
  for (size_t begin = 0; begin < walk.nrows; begin += kRowBlock) {
    const size_t end = std::min(walk.nrows, begin + kRowBlock);
    if (pacer.due((end - begin) * walk.ncols) && interrupt_arrived()) return Walked::kGaveUp;
    for (size_t j = 0; j < walk.ncols; ++j) {
      auto* array = reinterpret_cast<PyArrayObject*>(columns[j].get());
      const char* data = static_cast<const char*>(PyArray_DATA(array));
      const npy_intp stride = PyArray_STRIDE(array, 0);
      if (PyArray_DESCR(array)->type_num != NPY_OBJECT) {
        copy_numeric_column(PyArray_DESCR(array), data, stride, j, walk, begin, end);
        continue;
      }
      for (size_t i = begin; i < end; ++i) {
        PyObject* cell;
        std::memcpy(&cell, data + static_cast<npy_intp>(i) * stride, sizeof cell);
        if (cell == nullptr) cell = Py_None;
        const CellReference held(cell);
        if (!is_inert(cell)) return Walked::kGaveUp;
        if (!walk.put_cell(i, j, cell)) return give_up_on_error();
      }
    }
  }
  return Walked::kDone;
}

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
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      if (cp >= 0xD800 && cp <= 0xDFFF) return false;
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp <= 0x10FFFF) {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      return false;
    }
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
  for (size_t i = 0; i < nrows; ++i) {
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

// Every cell of a unicode array is text, so every column turns at its first
// row. The pool reads the columns side by side; the few cells that need their
// NumPy scalar's str() then take the general road here, in column order, so
// that the first of them to fail is the one a column-by-column walk meets.
bool walk_unicode_array(PyObject* obj, Walk& walk) {
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
    walk.is_string[j] = 1;
    for (size_t i : slow_rows[j]) {
      PyRef scalar = PyRef::steal(get_item(obj, i, j));
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

bool walk_cells(PyObject* table, Walk& walk) {
  if (has_numpy_item_access(table, walk.nrows, walk.ncols)) {
    auto* array = reinterpret_cast<PyArrayObject*>(table);
    const PyArray_Descr* d = PyArray_DESCR(array);
    if (d->type_num == NPY_OBJECT) return walk_object_array(table, walk);
    if (is_plain_numeric(d)) return walk_numeric_array(array, walk);
    if (is_plain_unicode(d)) return walk_unicode_array(table, walk);
  }
  return walk_by_item_access(table, walk);
}

bool walk_table(PyObject* obj, const Container& out, Walk& walk) {
  if (out.kind == Container::Kind::Array) {
    return walk.nrows == 0 || walk.ncols == 0 || walk_cells(obj, walk);
  }
  std::vector<PyRef> columns;
  if (walk.nrows > 0 && frame_columns(obj, walk.nrows, walk.ncols, columns)) {
    switch (attempt_walk(walk, [&](Walk& attempt) { return try_frame_column_walk(columns, attempt); })) {
      case Walked::kDone:
        walk.keep_alive = std::move(columns);
        return true;
      case Walked::kFailed: return false;
      case Walked::kGaveUp: break;
    }
  }
  if (PyErr_Occurred() || !handle_signals()) return false;  // an interrupt met finding the columns
  PyRef values = PyRef::steal(PyObject_GetAttrString(obj, "values"));
  if (!values) return raise_fault_from_pending("cannot read the values of the DataFrame");
  if (walk.nrows == 0 || walk.ncols == 0) return true;
  if (!walk_cells(values.get(), walk)) return false;
  // `values` may be a fresh array, the only owner of its strs, which the walk
  // may know by address alone until they are read.
  walk.keep_alive.push_back(std::move(values));
  return true;
}

// ---------------------------------------------------------------------------

// How a stretch in which no Python code may run ended: an interrupt ends it
// early, to be handled once it is over.
enum class Stretch { kDone, kFailed, kInterrupted };

// Turns the str addresses filed by the walk into text ids: for each column the
// pool numbered, the id of each of its distinct addresses. The pool numbers
// each column's distinct addresses; then this thread, which kept the
// interpreter all along (so every str is still alive), reads the text of each
// distinct str once.
Stretch resolve_addresses(Walk& walk, AddressNumbering& numbering,
                          std::vector<std::vector<uint64_t>>& address_ids) {
  // A str not yet read is kept alive only by the table, and Python code run by a
  // collection (a lone surrogate's encoding error starts one) could drop it.
  const CollectionPause pause;
  std::vector<size_t> columns;
  for (size_t j = 0; j < walk.ncols; ++j) {
    if (walk.has_addresses[j]) columns.push_back(j);
  }
  numbering = number_addresses(walk.out, walk.nrows, walk.ncols, std::move(columns));
  address_ids.resize(numbering.columns.size());
  SignalPacer pacer;
  for (size_t c = 0; c < numbering.columns.size(); ++c) {
    TextColumn& texts = walk.text_column(numbering.columns[c]);
    std::vector<uint64_t>& ids = address_ids[c];
    ids.reserve(numbering.distinct[c].size());
    for (uint64_t address : numbering.distinct[c]) {
      if (pacer.due() && interrupt_arrived()) return Stretch::kInterrupted;
      uint64_t id = 0;
      if (!texts.add_distinct_str(reinterpret_cast<PyObject*>(address), id)) {
        raise_fault_from_pending("cant convert to str");
        return Stretch::kFailed;
      }
      ids.push_back(id);
    }
  }
  return Stretch::kDone;
}

// One job per string column builds its tables; then the codes go into the
// buffer. Everything per column here is per string column: a wide table of
// numbers costs nothing.
std::unique_ptr<FittedTables> run_column_jobs(Walk& walk, const AddressNumbering& numbering,
                                              const std::vector<std::vector<uint64_t>>& address_ids) {
  // Both lists are in column order, so each string column finds its place among
  // the numbered columns by walking them side by side.
  std::vector<StringColumnJob> jobs;
  size_t listed = 0;
  for (size_t j = 0; j < walk.ncols; ++j) {
    if (!walk.is_string[j]) continue;
    StringColumnJob job;
    job.column = j;
    job.texts = &walk.text_column(j).texts();
    while (listed < numbering.columns.size() && numbering.columns[listed] < j) ++listed;
    if (listed < numbering.columns.size() && numbering.columns[listed] == j) {
      job.listed = listed;
      job.address_ids = &address_ids[listed];
    }
    jobs.push_back(job);
  }

  std::vector<ColumnTables> string_columns(jobs.size());
  pool::parallel_for(jobs.size(), 1, [&](size_t begin, size_t end) {
    for (size_t s = begin; s < end; ++s) string_columns[s] = encode_column(jobs[s]);
  });
  JobContext ctx;
  ctx.nrows = walk.nrows;
  ctx.ncols = walk.ncols;
  ctx.numbering = &numbering;
  ctx.cells = walk.out;
  write_codes(jobs, string_columns, ctx);

  auto info = std::make_unique<FittedTables>();
  info->encoded_columns.reserve(string_columns.size());
  info->encoding_tables.reserve(string_columns.size());
  info->decoding_tables.reserve(string_columns.size());
  for (ColumnTables& column : string_columns) {
    info->encoded_columns.push_back(column.column);
    info->encoding_tables.emplace(column.column, std::move(column.encoding));
    info->decoding_tables.emplace(column.column, std::move(column.decoding));
  }
  return info;
}

// Below this many cells a whole encode takes a few hundred microseconds at
// most, less than waking the pool's threads and waiting for them costs.
constexpr size_t kInlineBelowCells = size_t{1} << 16;

Stretch encode_once(PyObject* obj, const Container& out, WorkingMatrix& matrix,
                    std::unique_ptr<FittedTables>& info) {
  size_t nrows = 0, ncols = 0;
  if (!read_shape(obj, nrows, ncols)) return Stretch::kFailed;
  WorkingMatrix buffer;
  if (!new_working_matrix(nrows, ncols, false, buffer)) return Stretch::kFailed;
  const pool::InlineScope small_table(buffer.size() < kInlineBelowCells);

  Walk walk(nrows, ncols, buffer.cells);
  if (!walk_table(obj, out, walk)) return Stretch::kFailed;
  AddressNumbering numbering;
  std::vector<std::vector<uint64_t>> address_ids;
  try {
    const InterruptibleWaits waits;
    const Stretch resolved = resolve_addresses(walk, numbering, address_ids);
    if (resolved != Stretch::kDone) return resolved;
    info = run_column_jobs(walk, numbering, address_ids);
  } catch (const pool::Cancelled&) {
    return Stretch::kInterrupted;
  }
  matrix = std::move(buffer);
  return Stretch::kDone;
}

}  // namespace

bool encode_object_array(PyObject* obj, const Container& out, WorkingMatrix& matrix,
                         std::unique_ptr<FittedTables>& info) {
  for (;;) {
    switch (encode_once(obj, out, matrix, info)) {
      case Stretch::kDone: return true;
      case Stretch::kFailed: return false;
      case Stretch::kInterrupted:
        // The handler's KeyboardInterrupt ends the call. A handler that returns
        // has run Python code, which may have changed the table: start again.
        if (!handle_signals()) return false;
        break;
    }
  }
}

}  // namespace vorpak
