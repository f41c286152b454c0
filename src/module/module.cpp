// The extension module vorpak: one class, Encoder.
#include <Python.h>

#define VORPAK_IMPORTS_NUMPY
#include "python/numpy_api.hpp"
#include "python/py_ref.hpp"
#include "python/panic.hpp"
#include "module/encoder_type.hpp"

namespace vorpak {
namespace {

int exec_module(PyObject* module) {
  return guard_boundary<int>(-1, [&]() -> int {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    if (panic_exception_type() == nullptr) return -1;
    PyRef type = encoder_type();
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "Encoder", type.get());
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // The Encoder class is created once per process and shared by every
    // import, which an interpreter with a GIL of its own must not see: such an
    // import fails cleanly with ImportError instead.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Each encoder guards its own data with an atomic borrow word, and workers
    // never touch Python objects, so no interpreter lock is needed.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorpak",
    "Fast, parallel label encoding of the text columns of NumPy arrays and pandas DataFrames.\n\n"
    "Encoder().encode(table) codes every text column as float64 category codes (texts in\n"
    "ascending byte order; \"nan\", \"NaN\" and \"<NA>\" become NaN) and returns the codes with\n"
    "the encoded column positions; decode(codes) turns them back into texts.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vorpak

PyMODINIT_FUNC PyInit_vorpak(void) { return PyModuleDef_Init(&vorpak::module_def); }
