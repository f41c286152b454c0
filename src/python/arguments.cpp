#include "python/arguments.hpp"

namespace vorpak {
namespace {

// Index of keyword `key` among `names`, or -1. Each method has one or two
// parameters, so comparing the texts is as cheap as any look-up would be.
Py_ssize_t find_keyword(PyObject* key, const char* const* names, size_t count) {
  for (size_t k = 0; k < count; ++k) {
    if (PyUnicode_CompareWithASCIIString(key, names[k]) == 0) return static_cast<Py_ssize_t>(k);
  }
  return -1;
}

}  // namespace

bool parse_arguments(const char* function, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, const char* const* names, size_t count, size_t required,
                     PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs > static_cast<Py_ssize_t>(count)) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zd given)",
                 function, count, count == 1 ? "" : "s", nargs);
    return false;
  }
  for (size_t k = 0; k < count; ++k) out[k] = nullptr;
  for (Py_ssize_t k = 0; k < nargs; ++k) out[k] = args[k];

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const Py_ssize_t at = find_keyword(key, names, count);
    if (at < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
      return false;
    }
    if (out[at] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                   names[at]);
      return false;
    }
    out[at] = args[nargs + k];
  }
  for (size_t k = 0; k < required; ++k) {
    if (out[k] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                   names[k], k + 1);
      return false;
    }
  }
  return true;
}

}  // namespace vorpak
