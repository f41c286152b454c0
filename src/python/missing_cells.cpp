#include "python/missing_cells.hpp"

#include "python/interrupts.hpp"

namespace vorpak {

bool MissingCells::for_reading(ReadFor purpose, MissingCells& cells, PyRef& na) {
  cells = MissingCells();
  if (purpose == ReadFor::kEncode) return true;
  cells.as_nan_ = true;
  PyRef name = PyRef::steal(PyUnicode_FromString("pandas"));
  if (!name) return false;
  PyRef pandas = PyRef::steal(PyImport_GetModule(name.get()));  // only if already imported
  if (pandas) na = PyRef::steal(PyObject_GetAttrString(pandas.get(), "NA"));
  if (na) {
    cells.na_type_ = Py_TYPE(na.get());
    return true;
  }
  return drop_ordinary_error();  // a pandas without NA: only None is missing
}

}  // namespace vorpak
