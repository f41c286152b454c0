// The string-column driver: reads every cell, finds the text columns, encodes them.
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "python/input_normalisation.hpp"
#include "python/kept_strs.hpp"

namespace vorpak {

// Reads `obj` (borrowed) cell by cell (a DataFrame through its `values`), encodes
// every column that holds text and fills the row-major working matrix and a fresh
// FittedTables. Returns false with a Python exception pending; broken input
// (no 2-D shape, no values, unreadable cells, str() failing) is an internal fault.
// `kept` gets the exact strs met for each code (see KeptStrs). `purpose` says
// which cells are missing codes (see MissingCells). `first_text_rows` gets the
// row of each string column's first text (nrows for a numeric column).
bool encode_object_array(PyObject* obj, const Container& out, ReadFor purpose,
                         WorkingMatrix& matrix, std::unique_ptr<FittedTables>& info,
                         KeptStrs& kept, std::vector<size_t>& first_text_rows);

}  // namespace vorpak
