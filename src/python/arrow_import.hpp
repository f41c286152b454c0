// Reading the texts of an Arrow-backed pandas array straight from Arrow memory,
// through the Arrow PyCapsule interface: no Arrow library is linked, and no
// Python object is made per cell.
#pragma once

#include <Python.h>

#include "core/arrow_text_column.hpp"

namespace vorpak {

enum class ArrowImport { kTexts, kNotTexts, kFailed };

// Moves the chunks of `array` (a pandas extension array backed by Arrow) into
// `out`. kNotTexts when its Arrow type is not UTF-8 text or a chunk's layout is
// unexpected; kFailed with an exception pending when a call into Python failed.
ArrowImport import_arrow_texts(PyObject* array, ArrowTextColumn& out);

}  // namespace vorpak
