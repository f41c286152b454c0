// Reading the caller's table: which container it is, its labels, its cells.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "core/state.hpp"
#include "python/kept_strs.hpp"
#include "python/missing_cells.hpp"
#include "python/working_matrix.hpp"

namespace vorpak {

// The kind of container the input was. A DataFrame carries its column labels as
// UTF-8 texts, one per column, which the output gets back.
struct Container {
  enum class Kind { Array, DataFrame };
  Kind kind = Kind::Array;
  std::vector<std::string> labels;
};

struct Normalised {
  Container out;
  WorkingMatrix matrix;
  std::unique_ptr<FittedTables> info;  // present exactly when cells were read one by one
  KeptStrs kept;                       // the strs that `info`'s codes were read from
  // Where each column's first text was read: the numbers above it were coded
  // as texts (nrows for a numeric column; empty for a float64 array).
  std::vector<size_t> first_text_rows;
};

// Converts `obj` (borrowed). For decoding, a contiguous float64 array is not
// copied (the matrix borrows its cells, see WorkingMatrix), and missing cells
// read as NaN (see MissingCells). Returns false with a Python exception pending.
bool read_table(PyObject* obj, StringEncoding strategy, Normalised& result, ReadFor purpose);

}  // namespace vorpak
