// A fitted state as Python bytes in the pickled layout, and back.
#pragma once

#include <Python.h>

#include "core/state.hpp"
#include "python/py_ref.hpp"

namespace vorpak {

// New bytes holding `state`; null with an exception pending.
PyRef bytes_of_state(const EncoderState& state);

// Reads `bytes` into `state`. A non-bytes argument is a TypeError naming
// `argument`; bytes that do not read are a ValueError, `failure` followed by
// what is wrong with them. False with the exception pending, `state` unchanged.
bool state_of_bytes(PyObject* bytes, const char* argument, const char* failure,
                    EncoderState& state);

}  // namespace vorpak
