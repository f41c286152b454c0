#include "ml_module/fitted_book_type.hpp"

#include <cmath>
#include <mutex>
#include <new>

#include "python/arguments.hpp"
#include "python/book_apply.hpp"
#include "python/borrow.hpp"
#include "python/input_normalisation.hpp"
#include "python/kept_strs.hpp"
#include "python/panic.hpp"
#include "python/state_bytes.hpp"
#include "python/state_views.hpp"

namespace vorpak {
namespace {

// A fit is made once, by fit() or load() on a new object, and only read after:
// the borrow refuses a call that overlaps a refit all the same.
struct FittedBookObject {
  PyObject_HEAD BorrowState borrow;
  EncoderState state;
  KeptStrs kept;  // the strs the fit read its texts from; none after load()
};

FittedBookObject* as_book(PyObject* self) { return reinterpret_cast<FittedBookObject*>(self); }

PyObject* book_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!PyArg_ParseTuple(args, ":FittedBook") ||
        (kwargs != nullptr && !PyArg_ValidateKeywordArguments(kwargs))) {
      return nullptr;
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
      PyErr_SetString(PyExc_TypeError, "FittedBook() takes no keyword arguments");
      return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    FittedBookObject* book = as_book(self);
    new (&book->borrow) BorrowState();
    new (&book->state) EncoderState();
    new (&book->kept) KeptStrs();
    return self;
  });
}

void book_dealloc(PyObject* self) noexcept {
  FittedBookObject* book = as_book(self);
  PyTypeObject* type = Py_TYPE(self);
  book->kept.~KeptStrs();  // exact strs only: releasing them runs no Python code
  book->state.~EncoderState();
  book->borrow.~BorrowState();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* book_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {"table"};
    PyObject* table = nullptr;
    if (!parse_arguments("fit", args, nargs, kwnames, names, 1, 1, &table)) return nullptr;
    FittedBookObject* book = as_book(self);
    BorrowGuard borrow(book->borrow, BorrowGuard::Mode::kExclusive);
    if (!borrow.held()) return nullptr;
    Normalised input;
    if (!read_table(table, StringEncoding::Label, input, ReadFor::kEncode)) return nullptr;
    book->state.fitted = std::move(input.info);
    book->kept = std::move(input.kept);
    return PyLong_FromSize_t(input.matrix.ncols);
  });
}

// `width`: an int, or None when unknown; `unknown`: None to raise, or a float.
bool read_apply_options(PyObject* width, PyObject* unknown, size_t& columns,
                        UnknownTexts& policy) {
  columns = kAnyWidth;
  if (width != Py_None) {
    columns = PyLong_AsSize_t(width);
    if (columns == static_cast<size_t>(-1) && PyErr_Occurred()) return false;
  }
  policy.raise = unknown == Py_None;
  if (!policy.raise) {
    policy.value = PyFloat_AsDouble(unknown);
    if (policy.value == -1.0 && PyErr_Occurred()) return false;
  }
  return true;
}

PyObject* book_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {"table", "width", "unknown"};
    PyObject* in[3] = {};
    if (!parse_arguments("transform", args, nargs, kwnames, names, 3, 3, in)) return nullptr;
    size_t width = 0;
    UnknownTexts unknown;
    if (!read_apply_options(in[1], in[2], width, unknown)) return nullptr;
    FittedBookObject* book = as_book(self);
    BorrowGuard borrow(book->borrow, BorrowGuard::Mode::kShared);
    if (!borrow.held()) return nullptr;
    return apply_book(in[0], book->state.fitted.get(), width, unknown).release();
  });
}

PyObject* book_inverse_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {"codes"};
    PyObject* codes = nullptr;
    if (!parse_arguments("inverse_transform", args, nargs, kwnames, names, 1, 1, &codes)) {
      return nullptr;
    }
    FittedBookObject* book = as_book(self);
    BorrowGuard borrow(book->borrow, BorrowGuard::Mode::kShared);
    if (!borrow.held()) return nullptr;
    return decode_through(codes, book->state.fitted.get(), &book->kept).release();
  });
}

PyObject* book_to_bytes(PyObject* self, PyObject* /*unused*/) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    FittedBookObject* book = as_book(self);
    BorrowGuard borrow(book->borrow, BorrowGuard::Mode::kShared);
    if (!borrow.held()) return nullptr;
    return bytes_of_state(book->state).release();
  });
}

PyObject* book_load(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {"data"};
    PyObject* data = nullptr;
    if (!parse_arguments("load", args, nargs, kwnames, names, 1, 1, &data)) return nullptr;
    FittedBookObject* book = as_book(self);
    BorrowGuard borrow(book->borrow, BorrowGuard::Mode::kExclusive);
    if (!borrow.held()) return nullptr;
    if (!state_of_bytes(data, "data", "bytes do not hold a code book: ", book->state)) {
      return nullptr;
    }
    book->kept = KeptStrs();
    Py_RETURN_NONE;
  });
}

PyObject* book_encoded_columns(PyObject* self, PyObject* /*unused*/) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    FittedBookObject* book = as_book(self);
    BorrowGuard borrow(book->borrow, BorrowGuard::Mode::kShared);
    if (!borrow.held()) return nullptr;
    return encoded_columns_list(book->state).release();
  });
}

PyObject* book_texts(PyObject* self, PyObject* column) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    const unsigned long long position = PyLong_AsUnsignedLongLong(column);
    if (position == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    FittedBookObject* book = as_book(self);
    BorrowGuard borrow(book->borrow, BorrowGuard::Mode::kShared);
    if (!borrow.held()) return nullptr;
    return column_texts(book->state, position).release();
  });
}

PyObject* book_text_count(PyObject* self, PyObject* column) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    const unsigned long long position = PyLong_AsUnsignedLongLong(column);
    if (position == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    FittedBookObject* book = as_book(self);
    BorrowGuard borrow(book->borrow, BorrowGuard::Mode::kShared);
    if (!borrow.held()) return nullptr;
    const FittedTables* fitted = book->state.fitted.get();
    if (fitted == nullptr || !fitted->decoding_tables.contains(position)) {
      PyErr_Format(PyExc_ValueError, "column %llu holds no texts", position);
      return nullptr;
    }
    return PyLong_FromSize_t(fitted->decoding_tables.at(position).size());
  });
}

PyObject* book_same_tables(PyObject* self, PyObject* other) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    if (Py_TYPE(other) != Py_TYPE(self)) {
      PyErr_SetString(PyExc_TypeError, "same_tables() expects a FittedBook");
      return nullptr;
    }
    FittedBookObject* a = as_book(self);
    FittedBookObject* b = as_book(other);
    BorrowGuard borrow_a(a->borrow, BorrowGuard::Mode::kShared);
    if (!borrow_a.held()) return nullptr;
    BorrowGuard borrow_b(b->borrow, BorrowGuard::Mode::kShared);
    if (!borrow_b.held()) return nullptr;
    const FittedTables* x = a->state.fitted.get();
    const FittedTables* y = b->state.fitted.get();
    // An unfitted state and a fit without text columns code alike.
    const bool x_empty = x == nullptr || x->encoded_columns.empty();
    const bool y_empty = y == nullptr || y->encoded_columns.empty();
    return PyBool_FromLong(x_empty || y_empty ? x_empty == y_empty : *x == *y);
  });
}

#define VORPAK_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef book_methods[] = {
    {"fit", VORPAK_FASTCALL(book_fit), METH_FASTCALL | METH_KEYWORDS,
     "fit($self, table)\n--\n\nFits the tables of `table`; returns its column count."},
    {"transform", VORPAK_FASTCALL(book_transform), METH_FASTCALL | METH_KEYWORDS,
     "transform($self, table, width, unknown)\n--\n\n"},
    {"inverse_transform", VORPAK_FASTCALL(book_inverse_transform), METH_FASTCALL | METH_KEYWORDS,
     "inverse_transform($self, codes)\n--\n\n"},
    {"to_bytes", book_to_bytes, METH_NOARGS, "to_bytes($self)\n--\n\n"},
    {"load", VORPAK_FASTCALL(book_load), METH_FASTCALL | METH_KEYWORDS,
     "load($self, data)\n--\n\n"},
    {"encoded_columns", book_encoded_columns, METH_NOARGS, "encoded_columns($self)\n--\n\n"},
    {"texts", book_texts, METH_O, "texts($self, column)\n--\n\n"},
    {"text_count", book_text_count, METH_O, "text_count($self, column)\n--\n\n"},
    {"same_tables", book_same_tables, METH_O, "same_tables($self, other)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#undef VORPAK_FASTCALL

PyType_Slot book_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(book_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(book_dealloc)},
    {Py_tp_methods, book_methods},
    {Py_tp_doc, const_cast<char*>("FittedBook()\n--\n\nThe tables of one fit (see CodeBook).")},
    {0, nullptr},
};

// Like Encoder: no subclassing, no GC (exact strs refer to nothing), no __dict__.
PyType_Spec book_spec = {
    "vorpak_ml._native.FittedBook",
    static_cast<int>(sizeof(FittedBookObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    book_slots,
};

std::mutex g_type_lock;
PyObject* g_type = nullptr;  // created once per process, kept for its life

}  // namespace

PyRef fitted_book_type() {
  std::lock_guard<std::mutex> lock(g_type_lock);
  if (g_type == nullptr) {
    g_type = PyType_FromSpec(&book_spec);
    if (g_type == nullptr) return {};
  }
  return PyRef::borrow(g_type);
}

}  // namespace vorpak
