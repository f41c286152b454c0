// Coding a new table through a stored fit, and decoding through one.
#pragma once

#include <Python.h>

#include <cstddef>
#include <limits>

#include "core/book_recoding.hpp"
#include "core/state.hpp"
#include "python/kept_strs.hpp"
#include "python/py_ref.hpp"

namespace vorpak {

inline constexpr size_t kAnyWidth = std::numeric_limits<size_t>::max();

// Codes `obj` (an ndarray or a DataFrame, borrowed) as a fit of it would, then
// through `book` (null: a fit with no text columns): the result is encode's
// container, the codes those of the stored tables. `width` is the fitted
// table's column count, or kAnyWidth when it is not known (a book read from
// bytes), and then only the stored columns must be there. ValueError for a table
// of another width, or for an unknown text while `unknown` raises.
PyRef apply_book(PyObject* obj, const FittedTables* book, size_t width,
                 const UnknownTexts& unknown);

// What Encoder.decode gives for `obj` with the fit `book` (null: unfitted) and
// the strs that fit kept.
PyRef decode_through(PyObject* obj, const FittedTables* book, const KeptStrs* kept);

}  // namespace vorpak
