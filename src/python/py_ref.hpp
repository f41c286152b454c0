// A strong reference to a Python object, released when the handle goes away.
#pragma once

#include <Python.h>

#include <utility>

namespace vorpak {

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
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller, leaving this handle empty.
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* o) : obj_(o) {}
  PyObject* obj_ = nullptr;
};

}  // namespace vorpak
