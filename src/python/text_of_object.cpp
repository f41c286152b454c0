#include "python/text_of_object.hpp"

#include "core/utf8.hpp"
#include "python/interrupts.hpp"

namespace vorpak {

namespace {

// A str holds no code point beyond U+10FFFF, but not every str maker checks
// (NumPy's unicode scalars check only their first): such a str would give
// invalid UTF-8, so it fails to encode as a lone surrogate does.
bool holds_only_code_points(PyObject* str) {
  if (PyUnicode_KIND(str) != PyUnicode_4BYTE_KIND) return true;
  const Py_UCS4* code_points = PyUnicode_4BYTE_DATA(str);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
  for (Py_ssize_t k = 0; k < length; ++k) {
    if (code_points[k] > 0x10FFFF) {
      PyRef error =
          PyRef::steal(PyObject_CallFunction(PyExc_UnicodeEncodeError, "sOnns", "utf-8", str, k,
                                             k + 1, "code point not in range(0x110000)"));
      if (error) PyErr_SetObject(PyExc_UnicodeEncodeError, error.get());
      return false;
    }
  }
  return true;
}

}  // namespace

bool strict_utf8(PyObject* str, std::string_view& out) {
  if (!holds_only_code_points(str)) return false;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool text_of_object(PyObject* obj, ObjectText& out) {
  out.owner = PyRef::steal(PyObject_Str(obj));
  if (!out.owner) return false;
  if (strict_utf8(out.owner.get(), out.view)) return true;

  // Lone surrogates: keep every other character, mark each bad sequence.
  if (!drop_ordinary_error()) return false;
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(out.owner.get(), "utf-8", "surrogatepass"));
  if (!bytes) return false;
  out.repaired =
      utf8_lossy(std::string_view(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get())));
  out.view = out.repaired;
  out.owner = PyRef();
  return true;
}

}  // namespace vorpak
