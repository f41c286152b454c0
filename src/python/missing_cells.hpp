// What a table is read for, and which of its cells are then missing codes.
#pragma once

#include <Python.h>

#include "python/py_ref.hpp"

namespace vorpak {

// Encoding reads values. Decoding reads codes, which users keep with missing
// values as NaN, in nullable Int64 columns (pd.NA) or as objects (None); and it
// only reads them, so a float64 array need not be copied.
enum class ReadFor { kEncode, kDecode };

// Which cells a walk reads as a missing code (NaN; the marker "NaN" once its
// column is text) rather than by their number or str(). None for encoding,
// where None is the text "None" and pd.NA no number, as they always were.
class MissingCells {
 public:
  MissingCells() = default;

  // Runs no Python code and reads only the cell's address and type pointer,
  // so a pool worker may ask too (see pooled_object_walk.cpp).
  bool is_missing(PyObject* cell) const {
    return as_nan_ && (cell == Py_None || Py_TYPE(cell) == na_type_);
  }

  // The missing cells of a table read for `purpose`. pd.NA is known by its
  // type object, found once per call: a pointer compare per cell, immune to
  // how a pandas version names the type (pandas 3 reports it as
  // pandas.api.typing.NAType) and to other classes of that name. Without
  // pandas imported no cell can be pd.NA. `na` keeps the type for the walk.
  // False with an exception pending.
  static bool for_reading(ReadFor purpose, MissingCells& cells, PyRef& na);

 private:
  bool as_nan_ = false;
  const PyTypeObject* na_type_ = nullptr;
};

}  // namespace vorpak
