#include "module/encoder_type.hpp"

#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "python/book_apply.hpp"
#include "python/input_normalisation.hpp"
#include "python/kept_strs.hpp"
#include "python/output_reconstruction.hpp"
#include "python/py_ref.hpp"
#include "python/panic.hpp"
#include "python/state_bytes.hpp"
#include "python/state_views.hpp"
#include "python/arguments.hpp"
#include "python/borrow.hpp"

namespace vorpak {
namespace {

// `kept` goes with `state`: both are replaced together, under the exclusive
// borrow, so a decode (under a shared one) sees the strs of the tables it reads.
struct EncoderObject {
  PyObject_HEAD BorrowState borrow;
  EncoderState state;
  KeptStrs kept;  // none after __setstate__, which has no str objects to keep
};

EncoderObject* as_encoder(PyObject* self) { return reinterpret_cast<EncoderObject*>(self); }

bool parse_strategy(PyObject* encoding, StringEncoding& strategy) {
  strategy = StringEncoding::Label;
  if (encoding == nullptr || encoding == Py_None) return true;
  if (!PyUnicode_Check(encoding)) {
    PyErr_Format(PyExc_TypeError, "Encoder() argument 'encoding' must be str or None, not %s",
                 Py_TYPE(encoding)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(encoding, &size);
  if (text == nullptr) return false;  // lone surrogates: the UnicodeEncodeError stands
  if (std::string_view(text, static_cast<size_t>(size)) == "label") return true;
  PyRef suffix =
      PyRef::steal(PyUnicode_FromString(" is not a supported encoding strategy for strings!"));
  if (!suffix) return false;
  PyRef message = PyRef::steal(PyUnicode_Concat(encoding, suffix.get()));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return false;
}

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"encoding", nullptr};
    PyObject* encoding = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:Encoder", const_cast<char**>(keywords),
                                     &encoding)) {
      return nullptr;
    }
    StringEncoding strategy;
    if (!parse_strategy(encoding, strategy)) return nullptr;

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    EncoderObject* encoder = as_encoder(self);
    new (&encoder->borrow) BorrowState();
    new (&encoder->state) EncoderState();
    new (&encoder->kept) KeptStrs();
    encoder->state.strategy = strategy;
    return self;
  });
}

void encoder_dealloc(PyObject* self) noexcept {
  EncoderObject* encoder = as_encoder(self);
  PyTypeObject* type = Py_TYPE(self);
  encoder->kept.~KeptStrs();  // exact strs only: releasing them runs no Python code
  encoder->state.~EncoderState();
  encoder->borrow.~BorrowState();
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

PyObject* encoder_encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {"obj"};
    PyObject* obj = nullptr;
    if (!parse_arguments("encode", args, nargs, kwnames, names, 1, 1, &obj)) return nullptr;
    EncoderObject* encoder = as_encoder(self);
    BorrowGuard borrow(encoder->borrow, BorrowGuard::Mode::kExclusive);
    if (!borrow.held()) return nullptr;

    Normalised input;
    if (!read_table(obj, encoder->state.strategy, input, ReadFor::kEncode)) return nullptr;
    // Every encode fits afresh; the state is replaced even if building the
    // output fails below.
    encoder->state.fitted = std::move(input.info);
    encoder->kept = std::move(input.kept);
    PyRef table = build_result(std::move(input.matrix), std::move(input.out), nullptr);
    if (!table) return nullptr;
    PyRef columns = encoded_columns_list(encoder->state);
    if (!columns) return nullptr;
    return PyTuple_Pack(2, table.get(), columns.get());
  });
}

PyObject* encoder_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {"obj"};
    PyObject* obj = nullptr;
    if (!parse_arguments("decode", args, nargs, kwnames, names, 1, 1, &obj)) return nullptr;
    EncoderObject* encoder = as_encoder(self);
    BorrowGuard borrow(encoder->borrow, BorrowGuard::Mode::kShared);
    if (!borrow.held()) return nullptr;

    return decode_through(obj, encoder->state.fitted.get(), &encoder->kept).release();
  });
}

PyObject* encoder_getstate(PyObject* self, PyObject* /*unused*/) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    EncoderObject* encoder = as_encoder(self);
    BorrowGuard borrow(encoder->borrow, BorrowGuard::Mode::kShared);
    if (!borrow.held()) return nullptr;
    return bytes_of_state(encoder->state).release();
  });
}

PyObject* encoder_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guard_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* const names[] = {"state"};
    PyObject* state = nullptr;
    if (!parse_arguments("__setstate__", args, nargs, kwnames, names, 1, 1, &state)) {
      return nullptr;
    }
    EncoderObject* encoder = as_encoder(self);
    BorrowGuard borrow(encoder->borrow, BorrowGuard::Mode::kExclusive);
    if (!borrow.held()) return nullptr;
    if (!state_of_bytes(state, "state", "failed to unpickle Encoder: ", encoder->state)) {
      return nullptr;
    }
    encoder->kept = KeptStrs();
    Py_RETURN_NONE;
  });
}

PyMethodDef encoder_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_encode)),
     METH_FASTCALL | METH_KEYWORDS, "encode($self, obj)\n--\n\n"},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_decode)),
     METH_FASTCALL | METH_KEYWORDS, "decode($self, obj)\n--\n\n"},
    {"__getstate__", encoder_getstate, METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_setstate)),
     METH_FASTCALL | METH_KEYWORDS, "__setstate__($self, state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot encoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(encoder_dealloc)},
    {Py_tp_methods, encoder_methods},
    {Py_tp_doc, const_cast<char*>("Encoder(encoding=None)\n--\n\n")},
    {0, nullptr},
};

// Not a base type (no subclassing), no GC (instances hold no Python objects but
// exact strs, which refer to nothing, so no cycle can run through one), no
// __dict__ and no weak references (neither is declared).
PyType_Spec encoder_spec = {
    "vorpak.Encoder",
    static_cast<int>(sizeof(EncoderObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    encoder_slots,
};

std::mutex g_type_lock;
PyObject* g_type = nullptr;  // created once per process, kept for its life

}  // namespace

PyRef encoder_type() {
  std::lock_guard<std::mutex> lock(g_type_lock);
  if (g_type == nullptr) {
    g_type = PyType_FromSpec(&encoder_spec);
    if (g_type == nullptr) return {};
  }
  return PyRef::borrow(g_type);
}

}  // namespace vorpak
