// The Python class vorpak.Encoder.
#pragma once

#include <Python.h>

#include "python/py_ref.hpp"

namespace vorpak {

// The class object, created on the first call and shared by every later one (one
// per process). Null with an exception set.
PyRef encoder_type();

}  // namespace vorpak
