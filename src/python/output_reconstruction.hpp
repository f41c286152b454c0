// Building the caller's container from the working matrix, decoding if asked.
#pragma once

#include <Python.h>

#include "python/input_normalisation.hpp"

namespace vorpak {

// A new ndarray or DataFrame (as `out` says) holding `matrix`; with `info`, the
// encoded columns are turned back into texts. Both `matrix` and `out` are
// consumed: without `info` an array output is the matrix's own array. Returns a
// new reference, or null with a Python exception pending.
PyObject* build_result(WorkingMatrix matrix, Container out, const FittedTables* info);

}  // namespace vorpak
