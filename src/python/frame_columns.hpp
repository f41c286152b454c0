// Reading a DataFrame column by column instead of through `values`.
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "core/arrow_text_column.hpp"
#include "python/py_ref.hpp"

namespace vorpak {

// One column of a frame, in the form that is cheapest to read while giving
// exactly the cells it contributes to `frame.values`.
struct FrameColumn {
  enum class Kind {
    kArray,        // a 1-D NumPy array of plain numbers or of objects
    kArrowTexts,   // UTF-8 texts in Arrow memory
    kCategorical,  // category codes, and the cell each code stands for
  };
  Kind kind = Kind::kArray;
  // kArray: the array. kArrowTexts: the object a null reads as (null when the
  // column has none). kCategorical: the 1-D integer codes.
  PyRef array;
  // kArrowTexts: the texts. kCategorical: the categories in code order, where
  // they are Arrow texts (none of them null), read in place.
  std::unique_ptr<ArrowTextColumn> texts;
  // kCategorical: a 1-D object array: the cell of a missing value (code -1),
  // then, unless the categories are in `texts`, the cell of each category in
  // code order.
  PyRef cells_of_codes;
};

// The columns of `frame`, when reading them one by one gives exactly what
// `frame.values` would: the frame is a plain pandas DataFrame, and `values`
// would be an object array (where it is not, a column's own cells can differ
// from what `values` makes of them), or all columns hold plain numbers.
// Returns false when the columns cannot be had this way: with no exception
// pending, or with one that must end the call: an interrupt met on the way, or
// a ValueError for a column whose Arrow data breaks its own layout.
bool frame_columns(PyObject* frame, size_t nrows, size_t ncols, std::vector<FrameColumn>& columns);

}  // namespace vorpak
