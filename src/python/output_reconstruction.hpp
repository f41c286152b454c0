// Building the caller's container from the working matrix, decoding if asked.
#pragma once

#include <Python.h>

#include "python/input_normalisation.hpp"
#include "python/kept_strs.hpp"
#include "python/py_ref.hpp"

namespace vorpak {

// A new ndarray or DataFrame (as `out` says) holding `matrix`; with `info`, the
// encoded columns are turned back into texts, handing out the strs in `kept`
// (which must come from the same encode as `info`, if given) where it has them.
// Both `matrix` and `out` are consumed: without `info` an array output is the
// matrix's own array. Null with a Python exception pending.
PyRef build_result(WorkingMatrix matrix, Container out, const FittedTables* info,
                   const KeptStrs* kept = nullptr);

}  // namespace vorpak
