// What a fitted state holds, as Python objects for its readers.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/state.hpp"
#include "python/py_ref.hpp"

namespace vorpak {

// The encoded column positions as a new list, or None when unfitted.
PyRef encoded_columns_list(const EncoderState& state);

// The texts of column `column`'s codes as a new tuple, in ascending code
// order; ValueError when the column has no tables.
PyRef column_texts(const EncoderState& state, uint64_t column);

}  // namespace vorpak
