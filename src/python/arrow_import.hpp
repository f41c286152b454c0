// Reading the texts of an Arrow-backed pandas array straight from Arrow memory,
// through the Arrow PyCapsule interface: no Arrow library is linked, and no
// Python object is made per cell.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/arrow_text_column.hpp"

namespace vorpak {

enum class ArrowImport { kTexts, kNotTexts, kFailed, kInvalid };

// Moves the chunks of `array` (a pandas extension array backed by Arrow, column
// `column` of its frame, or what `part` names of it) into `out`. kNotTexts when
// its Arrow type is not UTF-8 text or a chunk is in a form left to others;
// kFailed with an exception pending when a call into Python failed; kInvalid
// with a ValueError pending when a chunk breaks its own layout, which no other
// road could read safely either.
ArrowImport import_arrow_texts(PyObject* array, size_t column, ArrowTextColumn& out,
                               const char* part = "");

}  // namespace vorpak
