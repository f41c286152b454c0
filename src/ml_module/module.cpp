// The extension module vorpak_ml._native: the fitted tables behind
// vorpak_ml.CodeBook, over the same core as vorpak.
#include <Python.h>

#define VORPAK_IMPORTS_NUMPY
#include "python/numpy_api.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"
#include "ml_module/fitted_book_type.hpp"

namespace vorpak {
namespace {

int exec_module(PyObject* module) {
  return guard_boundary<int>(-1, [&]() -> int {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    if (panic_exception_type() == nullptr) return -1;
    PyRef type = fitted_book_type();
    if (!type) return -1;
    return PyModule_AddObjectRef(module, "FittedBook", type.get());
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // FittedBook is created once per process and shared by every import.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    // Each book guards its state with an atomic borrow word, and workers never
    // touch Python objects.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorpak_ml._native",
    "The native half of vorpak_ml: fitted tables applied to new tables.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace vorpak

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vorpak::module_def); }
