// Argument parsing for the fast-call methods.
#pragma once

#include <Python.h>

#include <cstddef>

namespace vorpak {

// Matches positional and keyword arguments to `names` (all positional-or-keyword).
// The first `required` names must be given. Fills `out` with borrowed references
// (null for an omitted optional one). Returns false with a TypeError set for any
// wrong call shape: too many positionals, an unknown or repeated keyword, or a
// missing required argument.
bool parse_arguments(const char* function, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, const char* const* names, size_t count, size_t required,
                     PyObject** out);

}  // namespace vorpak
