#include "string_column_driver.hpp"

#include <string>
#include <vector>

#include "../runtime/panic.hpp"
#include "../runtime/thread_pool.hpp"
#include "column_job.hpp"
#include "py_ref.hpp"
#include "text_arena.hpp"
#include "text_of_object.hpp"

namespace vorpak {
namespace {

// The cells' texts, kept as views. A view points into the UTF-8 buffer of a str
// that `owners` holds a reference to (so Python code running during the walk
// cannot free it, even by emptying the table), or into the arena.
struct TextStore {
  std::vector<PyRef> owners;
  TextArena arena;
};

bool read_dimension(PyObject* item, size_t& out) {
  if (!PyLong_Check(item)) return false;
  const Py_ssize_t value = PyLong_AsSsize_t(item);
  if (value < 0) {
    PyErr_Clear();  // negative or beyond Py_ssize_t: either way not a table size
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
  PyErr_Clear();
  return "<unprintable>";
}

bool read_shape(PyObject* obj, size_t& nrows, size_t& ncols) {
  PyRef shape = PyRef::steal(PyObject_GetAttrString(obj, "shape"));
  if (!shape) return raise_fault_from_pending("cannot read the shape of the table");
  if (!PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2 ||
      !read_dimension(PyTuple_GET_ITEM(shape.get(), 0), nrows) ||
      !read_dimension(PyTuple_GET_ITEM(shape.get(), 1), ncols)) {
    return raise_internal_fault("expected a 2-dimensional table, got shape " +
                                repr_of(shape.get()));
  }
  return true;
}

bool append_text(PyObject* cell, std::vector<std::string_view>& texts, TextStore& store) {
  ObjectText text;
  if (!text_of_object(cell, text)) return raise_fault_from_pending("cant convert to str");
  if (text.owner) {
    texts.push_back(text.view);
    store.owners.push_back(std::move(text.owner));
  } else {
    texts.push_back(store.arena.store(text.view));
  }
  return true;
}

// The column held only numbers so far; from this cell on it is a string column,
// and the numbers read before become texts.
void turn_to_text(std::vector<double>& numbers, std::vector<std::string_view>& texts,
                  TextStore& store) {
  texts.reserve(texts.size() + numbers.size());
  char buf[kNumberTextCapacity];
  for (double x : numbers) {
    texts.push_back(store.arena.store(std::string_view(buf, number_to_text(x, buf))));
  }
  numbers = {};
}

// Reads cell (i, j) of column j and files it as a number or a text.
bool read_cell(PyObject* table, size_t i, size_t j, JobContext& ctx, TextStore& store) {
  PyRef key =
      PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(i), static_cast<Py_ssize_t>(j)));
  if (!key) return false;
  PyRef cell = PyRef::steal(PyObject_GetItem(table, key.get()));
  if (!cell) {
    return raise_fault_from_pending("cannot read cell (" + std::to_string(i) + ", " +
                                    std::to_string(j) + ")");
  }
  if (ctx.is_string[j]) return append_text(cell.get(), ctx.texts[j], store);

  double value;
  if (PyFloat_CheckExact(cell.get())) {
    value = PyFloat_AS_DOUBLE(cell.get());
  } else {
    value = PyFloat_AsDouble(cell.get());
    if (value == -1.0 && PyErr_Occurred()) {
      // Not a number: the column holds text. An interrupt is not a verdict on
      // the cell, so it is left to propagate.
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
      PyErr_Clear();
      ctx.is_string[j] = 1;
      turn_to_text(ctx.numbers[j], ctx.texts[j], store);
      return append_text(cell.get(), ctx.texts[j], store);
    }
  }
  ctx.numbers[j].push_back(value);
  return true;
}

bool walk_cells(PyObject* table, size_t nrows, JobContext& ctx, TextStore& store) {
  for (size_t j = 0; j < ctx.ncols; ++j) {
    ctx.numbers[j].reserve(nrows);
    for (size_t i = 0; i < nrows; ++i) {
      if (!read_cell(table, i, j, ctx, store)) return false;
    }
  }
  return true;
}

}  // namespace

bool encode_object_array(PyObject* obj, const OUT& out, WorkingMatrix& matrix,
                         std::unique_ptr<EncodingInfo>& info) {
  size_t nrows = 0, ncols = 0;
  if (!read_shape(obj, nrows, ncols)) return false;
  CellBuffer cells = allocate_cells(nrows, ncols, true);

  PyRef table = PyRef::borrow(obj);
  if (out.kind == OUT::Kind::DataFrame) {
    table = PyRef::steal(PyObject_GetAttrString(obj, "values"));
    if (!table) return raise_fault_from_pending("cannot read the values of the DataFrame");
  }

  JobContext ctx;
  ctx.ncols = ncols;
  ctx.is_string.assign(ncols, 0);
  ctx.texts.resize(ncols);
  ctx.numbers.resize(ncols);
  ctx.output = SendPtr::make(cells.get());
  TextStore store;
  if (nrows > 0 && ncols > 0 && !walk_cells(table.get(), nrows, ctx, store)) return false;

  // One job per column; each fills its own column of the buffer. Results are
  // stored by column so the merge below sees them in column order.
  std::vector<std::optional<ColumnTables>> results(ncols);
  pool::parallel_for(ncols, 1, [&](size_t begin, size_t end) {
    for (size_t j = begin; j < end; ++j) results[j] = encode_column(j, ctx);
  });

  auto fitted = std::make_unique<EncodingInfo>();
  fitted->encoding_tables.reserve(ncols);
  fitted->decoding_tables.reserve(ncols);
  for (auto& result : results) {
    if (!result) continue;
    fitted->encoded_columns.push_back(result->column);
    fitted->encoding_tables.emplace(result->column, std::move(result->encoding));
    fitted->decoding_tables.emplace(result->column, std::move(result->decoding));
  }

  matrix.nrows = nrows;
  matrix.ncols = ncols;
  matrix.column_major = false;
  matrix.cells = std::move(cells);
  info = std::move(fitted);
  return true;
}

}  // namespace vorpak
