#include "python/state_bytes.hpp"

#include <string>
#include <string_view>

#include "core/pickled_form.hpp"

namespace vorpak {

PyRef bytes_of_state(const EncoderState& state) {
  const size_t size = pickled_size(state);
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return {};
  write_pickled_form(state, PyBytes_AS_STRING(bytes.get()));
  return bytes;
}

bool state_of_bytes(PyObject* bytes, const char* argument, const char* failure,
                    EncoderState& state) {
  if (!PyBytes_Check(bytes)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected bytes, got '%s'", argument,
                 Py_TYPE(bytes)->tp_name);
    return false;
  }
  const std::string_view view(PyBytes_AS_STRING(bytes),
                              static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
  Result<EncoderState> restored = read_pickled_form(view);
  if (!restored) {
    const std::string message = failure + restored.error();
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return false;
  }
  state = std::move(restored).value();
  return true;
}

}  // namespace vorpak
