#include "text_of_object.hpp"

#include "../runtime/utf8.hpp"

namespace vorpak {

bool strict_utf8(PyObject* str, std::string_view& out) {
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
  PyErr_Clear();
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(out.owner.get(), "utf-8", "surrogatepass"));
  if (!bytes) return false;
  out.repaired =
      utf8_lossy(std::string_view(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get())));
  out.view = out.repaired;
  out.owner = PyRef();
  return true;
}

}  // namespace vorpak
