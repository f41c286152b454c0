// Stretches of C code that rely on no Python code running.
#pragma once

#include <Python.h>

#include "python/py_ref.hpp"

namespace vorpak {

// Holds off automatic garbage collection for a stretch of C code that relies on
// no Python code running: one that reads an array's cells through a captured
// Geometry, or knows str objects only by address. Through CPython 3.11 any new
// object the collector tracks may start a collection, and with it finalizers and
// gc.callbacks, which are Python code: an exception object does (an encoding
// error's always, and inside an `except` block even an error that is cleared at
// once). Nothing else in such a stretch runs Python code. From 3.12 on an
// allocation only schedules a collection, which runs where Python code is
// evaluated (or signals are handled), so there is nothing to hold off; nor is
// the process-wide switch flipped under other threads' feet.
class CollectionPause {
 public:
  explicit CollectionPause(bool now = true) {
    if (now) hold();
  }
  ~CollectionPause() { release(); }
  CollectionPause(const CollectionPause&) = delete;
  CollectionPause& operator=(const CollectionPause&) = delete;

#if PY_VERSION_HEX < 0x030C0000
  void hold() {
    if (held_) return;
    held_ = true;
    was_enabled_ = PyGC_Disable() != 0;
  }
  void release() {
    if (!held_) return;
    held_ = false;
    if (was_enabled_ && thread_may_use_interpreter()) PyGC_Enable();
  }

 private:
  bool held_ = false;
  bool was_enabled_ = false;
#else
  void hold() {}
  void release() {}
#endif
};

// Keeps a cell's object alive while a walk that read its pointer from the
// array inspects it. With a GIL nothing can free it meanwhile, and this is
// nothing. Without one, another thread could replace the cell and free the
// object at any moment, so the reference is taken at once. (Changing a table
// while it is encoded is unsupported all the same, as it is for NumPy's own
// object arrays; this keeps such a race from reading freed memory.)
class CellReference {
 public:
#ifdef Py_GIL_DISABLED
  explicit CellReference(PyObject* cell) : ref_(PyRef::borrow(cell)) {}

 private:
  PyRef ref_;
#else
  explicit CellReference(PyObject* /*cell*/) {}
#endif
};

// Proof, for the functions that need it, that no Python code runs while they
// do: such a function takes one by reference, so it can only be called inside
// the scope of one. Within it nothing can change a table's cells or free a str
// that the table holds, so strs may be known by address alone. The scope holds
// off collections where an allocation could start one (see CollectionPause);
// the rest is the caller's promise: no call in the scope runs Python code.
class NoPythonStretch {
 public:
  NoPythonStretch() = default;
  NoPythonStretch(const NoPythonStretch&) = delete;
  NoPythonStretch& operator=(const NoPythonStretch&) = delete;

 private:
  CollectionPause pause_;
};

}  // namespace vorpak
