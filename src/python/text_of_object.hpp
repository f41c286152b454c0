// The text of a Python object: str() as UTF-8.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "python/py_ref.hpp"

namespace vorpak {

// The UTF-8 text of `obj`. When the str is valid UTF-8 the view points into its
// own UTF-8 buffer and `owner` keeps it alive; a str with lone surrogates (or
// code points beyond U+10FFFF) is encoded with "surrogatepass" and decoded
// leniently (each invalid sequence becomes U+FFFD) into `repaired`, which the
// view then points into.
struct ObjectText {
  PyRef owner;
  std::string repaired;
  std::string_view view;
};

// Fills `out`; returns false with the exception of str() pending if it fails.
bool text_of_object(PyObject* obj, ObjectText& out);

// UTF-8 of a str, strictly: false with the UnicodeEncodeError pending if the str
// cannot be encoded (lone surrogates, or code points beyond U+10FFFF).
bool strict_utf8(PyObject* str, std::string_view& out);

}  // namespace vorpak
