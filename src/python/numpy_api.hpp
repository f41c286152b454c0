// Include this instead of numpy/arrayobject.h: every unit then shares the one API
// table that the module's exec step imports (VORPAK_IMPORTS_NUMPY marks that unit).
#pragma once

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_25_API_VERSION
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL vorpak_ARRAY_API
#ifndef VORPAK_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
