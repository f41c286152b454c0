#include "python/working_matrix.hpp"

#include <cstring>
#include <new>

#include "python/numpy_api.hpp"

namespace vorpak {

bool new_working_matrix(size_t nrows, size_t ncols, bool column_major, WorkingMatrix& out) {
  size_t count = 0, bytes = 0;
  if (__builtin_mul_overflow(nrows, ncols, &count) ||
      __builtin_mul_overflow(count, sizeof(double), &bytes) ||
      bytes > static_cast<size_t>(NPY_MAX_INTP)) {
    throw std::bad_alloc();
  }
  // A single row or column is the same block in either order; call it row-major.
  const bool fortran = column_major && nrows > 1 && ncols > 1;
  npy_intp dims[2] = {static_cast<npy_intp>(nrows), static_cast<npy_intp>(ncols)};
  PyRef array =
      PyRef::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), 2, dims,
                                        nullptr, nullptr, fortran ? 1 : 0, nullptr));
  if (!array) return false;
  out.nrows = nrows;
  out.ncols = ncols;
  out.column_major = fortran;
  out.cells = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  out.array = std::move(array);
  out.borrowed = false;
  return true;
}

bool own_cells(WorkingMatrix& m) {
  if (!m.borrowed) return true;
  WorkingMatrix copy;
  if (!new_working_matrix(m.nrows, m.ncols, m.column_major, copy)) return false;
  if (m.size() > 0) std::memcpy(copy.cells, m.cells, m.size() * sizeof(double));
  m = std::move(copy);
  return true;
}

}  // namespace vorpak
