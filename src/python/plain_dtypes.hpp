// NumPy dtypes whose cells can be read straight from memory.
#pragma once

#include "python/numpy_api.hpp"

namespace vorpak {

// Native-order bool, integer and float32/64 dtypes: a cell read from memory and
// cast to double is exactly what its NumPy scalar's __float__ gives.
inline bool is_plain_numeric(const PyArray_Descr* d) {
  if (!PyArray_ISNBO(d->byteorder) || PyDataType_HASFIELDS(d) || PyDataType_HASSUBARRAY(d)) {
    return false;
  }
  const size_t size = static_cast<size_t>(PyDataType_ELSIZE(d));
  switch (d->kind) {
    case 'b':
      return size == sizeof(bool);
    case 'i':
    case 'u':
      return size == 1 || size == 2 || size == 4 || size == 8;
    case 'f':
      return size == 4 || size == 8;
  }
  return false;
}

}  // namespace vorpak
