// The Python class vorpak.Encoder.
#pragma once

#include <Python.h>

namespace vorpak {

// The class object, created on the first call and shared by every later one (one
// per process). Returns a new reference, or null with an exception set.
PyObject* encoder_type();

}  // namespace vorpak
