// Internal faults: the PanicException class and the boundary with the interpreter.
//
// An internal fault means the input broke an assumption the encoder relies on. It
// is raised as PanicException, which derives from BaseException so that a broad
// `except Exception` does not swallow it, after a one-line report on stderr.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vorpak {

// The result of a function that has just set a Python exception: converts to the
// failure value of whatever the caller returns (false or a null pointer).
struct Raised {
  constexpr operator bool() const { return false; }
  template <class T>
  constexpr operator T*() const {
    return nullptr;
  }
};

// Creates the exception class on first call; later calls return the same class.
// Returns null with an exception set if creation fails.
PyObject* panic_exception_type();

// Reports `message` on stderr and sets PanicException(message).
Raised raise_internal_fault(std::string_view message);

// Turns the pending exception into an internal fault whose message is `context`,
// then ": ", the exception's type name, ": " and its text. Exceptions that are not
// `Exception`s (KeyboardInterrupt, SystemExit, a PanicException already raised)
// stay pending unchanged: an interrupt must never be disguised as a data fault.
Raised raise_fault_from_pending(std::string_view context);

// Writes `line` and a line feed to file descriptor `fd` directly, bypassing
// sys.stdout/sys.stderr; a closed or broken descriptor is ignored.
void write_line(int fd, std::string_view line);

// Type name and text of the pending exception, as "Type: text" (keeps it pending).
std::string describe_pending_exception();

// Runs `body` so that no C++ exception escapes into the interpreter: bad_alloc
// becomes MemoryError, anything else an internal fault. On a C++ exception the
// result is `failed` with a Python exception set.
template <class Result, class Body>
Result guard_boundary(Result failed, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what());
  } catch (...) {
    raise_internal_fault("unexpected C++ exception");
  }
  return failed;
}

}  // namespace vorpak
