// Building the caller's container from the working matrix, decoding if asked.
#pragma once

#include <Python.h>

#include "python/input_normalisation.hpp"
#include "python/py_ref.hpp"

namespace vorpak {

// A new ndarray or DataFrame (as `out` says) holding `matrix`; with `info`, the
// encoded columns are turned back into texts. Both `matrix` and `out` are
// consumed: without `info` an array output is the matrix's own array. Null with
// a Python exception pending.
PyRef build_result(WorkingMatrix matrix, Container out, const FittedTables* info);

}  // namespace vorpak
