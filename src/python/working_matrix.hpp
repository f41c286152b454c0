// The table of doubles that flows from input conversion to output reconstruction.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

namespace vorpak {

struct FreeDeleter {
  void operator()(double* p) const { std::free(p); }
};
using CellBuffer = std::unique_ptr<double[], FreeDeleter>;

// nrows x ncols doubles. Row-major unless it was copied from a column-major
// float64 array, whose order output reconstruction then keeps.
struct WorkingMatrix {
  size_t nrows = 0;
  size_t ncols = 0;
  bool column_major = false;
  CellBuffer cells;

  size_t size() const { return nrows * ncols; }
  double at(size_t row, size_t col) const {
    return column_major ? cells[col * nrows + row] : cells[row * ncols + col];
  }
};

// Room for nrows x ncols doubles; zeroed if asked. An impossible size (the byte
// count overflows) or a failed allocation throws std::bad_alloc, which the
// boundary reports as MemoryError.
inline CellBuffer allocate_cells(size_t nrows, size_t ncols, bool zeroed) {
  size_t count = 0, bytes = 0;
  if (__builtin_mul_overflow(nrows, ncols, &count) ||
      __builtin_mul_overflow(count, sizeof(double), &bytes)) {
    throw std::bad_alloc();
  }
  if (bytes == 0) bytes = sizeof(double);  // a real pointer even for an empty table
  void* p = zeroed ? std::calloc(1, bytes) : std::malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return CellBuffer(static_cast<double*>(p));
}

}  // namespace vorpak
