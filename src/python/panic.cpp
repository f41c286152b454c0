#include "python/panic.hpp"

#include <mutex>
#include <optional>
#include <utility>
#include <unistd.h>

#include "python/interrupts.hpp"
#include "python/py_ref.hpp"

namespace vorpak {
namespace {

std::mutex g_panic_type_lock;
PyObject* g_panic_type = nullptr;  // one class per process, never freed

// The message of the last fault raised on this thread inside the current call,
// empty when there is none to report.
thread_local std::string t_unreported_fault;

std::string utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    drop_ordinary_error();  // no Python code runs here, so it is one
    return "<unprintable>";
  }
  return std::string(data, static_cast<size_t>(size));
}

}  // namespace

void write_line(int fd, std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n <= 0) break;  // nowhere else to say it
    p += n;
    left -= static_cast<size_t>(n);
  }
}

PyObject* panic_exception_type() {
  std::lock_guard<std::mutex> lock(g_panic_type_lock);
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "vorpak.PanicException",
        "An internal fault of vorpak: the input broke an assumption the encoder relies on.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

FaultReportScope::FaultReportScope() : outer_(std::move(t_unreported_fault)) {
  t_unreported_fault.clear();
}

FaultReportScope::~FaultReportScope() { t_unreported_fault = std::move(outer_); }

void FaultReportScope::write_if_fault_pending() {
  std::string message = std::move(t_unreported_fault);
  t_unreported_fault.clear();
  if (message.empty()) return;
  PyObject* type = panic_exception_type();  // made before any fault could be raised
  if (type == nullptr || !PyErr_ExceptionMatches(type)) return;
  // Straight to file descriptor 2, so the report survives a replaced or closed
  // sys.stderr.
  write_line(2, "vorpak: internal fault: " + message);
}

Raised raise_internal_fault(std::string_view message) {
  t_unreported_fault.assign(message);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return {};  // creating the class failed; that error stays
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return {};
}

// Takes the pending exception out of the error indicator, normalised, and puts it
// back when done, so describing it has no lasting effect.
class PendingException {
 public:
  PendingException() {
#if PY_VERSION_HEX >= 0x030C0000
    value_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &value_, &traceback_);
    PyErr_NormalizeException(&type_, &value_, &traceback_);
    if (value_ != nullptr && traceback_ != nullptr) PyException_SetTraceback(value_, traceback_);
#endif
  }
  ~PendingException() {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_);
#else
    PyErr_Restore(type_, value_, traceback_);
#endif
  }
  PendingException(const PendingException&) = delete;
  PendingException& operator=(const PendingException&) = delete;
  PyObject* value() const { return value_; }

 private:
#if PY_VERSION_HEX < 0x030C0000
  PyObject* type_ = nullptr;
  PyObject* traceback_ = nullptr;
#endif
  PyObject* value_ = nullptr;
};

std::string describe_pending_exception() {
  // An exception's __str__ is Python code: an interrupt it meets replaces the
  // exception being described once that is put back (declared first, so
  // restored last).
  std::optional<PendingException> interrupt;
  PendingException pending;
  if (pending.value() == nullptr) return "unknown error";
  const auto drop_error = [&] {
    if (!drop_ordinary_error() && !interrupt) interrupt.emplace();
    PyErr_Clear();  // a second interrupt while one is kept
  };
  std::string out = "<unknown type>";
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(pending.value())));
  if (name) {
    out = utf8_of(name.get());
  } else {
    drop_error();
  }
  PyRef text = PyRef::steal(PyObject_Str(pending.value()));
  if (text) {
    const std::string detail = utf8_of(text.get());
    if (!detail.empty()) out += ": " + detail;
  } else {
    drop_error();
  }
  return out;
}

Raised raise_fault_from_pending(std::string_view context) {
  PyObject* pending = PyErr_Occurred();
  if (pending != nullptr && !PyErr_GivenExceptionMatches(pending, PyExc_Exception)) {
    return {};
  }
  std::string message(context);
  message += ": " + describe_pending_exception();
  if (!drop_ordinary_error()) return {};  // describing it met an interrupt
  return raise_internal_fault(message);
}

}  // namespace vorpak
