// Building the caller's container from the working matrix, decoding if asked.
#pragma once

#include <Python.h>

#include "input_normalisation.hpp"

namespace vorpak {

// A new ndarray or DataFrame (as `out` says) holding `matrix`; with `info`, the
// encoded columns are turned back into texts. `out` is consumed. Returns a new
// reference, or null with a Python exception pending.
PyObject* arr_to_out(const WorkingMatrix& matrix, OUT out, const EncodingInfo* info);

}  // namespace vorpak
