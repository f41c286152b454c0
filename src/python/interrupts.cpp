#include "python/interrupts.hpp"

namespace vorpak {

bool drop_ordinary_error() {
  PyObject* pending = PyErr_Occurred();
  if (pending == nullptr) return true;
  if (!PyErr_GivenExceptionMatches(pending, PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

bool handle_signals() { return PyErr_CheckSignals() == 0; }

bool interrupt_arrived() {
  // PyOS_InterruptOccurred runs no Python code, but takes the signal: handing
  // it back makes the interpreter's own handler run at the next safe point, as
  // if it had arrived then. Only the main thread ever sees it.
  if (PyOS_InterruptOccurred() == 0) return false;
  PyErr_SetInterrupt();
  return true;
}

}  // namespace vorpak
