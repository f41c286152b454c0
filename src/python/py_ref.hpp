// A strong reference to a Python object, released when the handle goes away.
#pragma once

#include <Python.h>

#include <utility>

namespace vorpak {

// Whether this thread may use the C API now. False only while a thread that the
// interpreter ended at shutdown unwinds: CPython ends a daemon thread with
// pthread_exit when it tries to take the interpreter back during finalisation,
// and the objects such a thread held are then left alone rather than touched
// without a thread state (while the finalising thread frees objects too).
inline bool thread_may_use_interpreter() {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;  // a thread-local read since 3.12
#else
  return PyGILState_Check() != 0;  // 3.11 keeps only the lock holder's state
#endif
}

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (a result of most C-API calls); null stays null.
  static PyRef steal(PyObject* o) { return PyRef(o); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  // Releases the old reference only after taking the new one, so assigning a
  // handle that (indirectly) owns our object cannot free it under us.
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() {
    if (obj_ != nullptr && thread_may_use_interpreter()) Py_DECREF(obj_);
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller, leaving this handle empty.
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* o) : obj_(o) {}
  PyObject* obj_ = nullptr;
};

}  // namespace vorpak
