#include "python/cell_walk.hpp"

namespace vorpak {

Raised cell_error(PyObject* cell) {
  return PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) || !PyUnicode_CheckExact(cell)
             ? raise_fault_from_pending("cant convert to str")
             : Raised{};
}

Walked give_up_on_error() { return drop_ordinary_error() ? Walked::kGaveUp : Walked::kFailed; }

}  // namespace vorpak
