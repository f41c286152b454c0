// The native half of vorpak_ml.CodeBook: one fit's tables, applied to new tables.
#pragma once

#include "python/py_ref.hpp"

namespace vorpak {

// The class vorpak_ml._native.FittedBook, made once per process. Null with an
// exception pending if it cannot be made.
PyRef fitted_book_type();

}  // namespace vorpak
