// Internal faults: the PanicException class and the boundary with the interpreter.
//
// An internal fault means the input broke an assumption the encoder relies on. It
// is raised as PanicException, which derives from BaseException so that a broad
// `except Exception` does not swallow it, after a one-line report on stderr.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "python/py_ref.hpp"

namespace vorpak {

// The result of a function that has just set a Python exception: converts to the
// failure value of whatever the caller returns (false or a null pointer).
struct Raised {
  constexpr operator bool() const { return false; }
  template <class T>
  constexpr operator T*() const {
    return nullptr;
  }
  operator PyRef() const { return {}; }
};

// Creates the exception class on first call; later calls return the same class.
// Returns null with an exception set if creation fails.
PyObject* panic_exception_type();

// Sets PanicException(message). Its one-line report on stderr is written when
// the fault reaches the caller (see guard_boundary), so that a fault a fast road
// meets and then drops, to take the general road, is never reported.
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

// The reports of faults raised on this thread and not yet written: each call
// from the interpreter keeps its own, so that a call nested inside another (from
// a cell's __str__, say) neither writes nor loses the outer call's report.
class FaultReportScope {
 public:
  FaultReportScope();
  ~FaultReportScope();
  FaultReportScope(const FaultReportScope&) = delete;
  FaultReportScope& operator=(const FaultReportScope&) = delete;

  // Writes the report of the last fault raised in this scope, if the exception
  // leaving the call is an internal fault.
  void write_if_fault_pending();

 private:
  std::string outer_;
};

// Runs `body` so that no C++ exception escapes into the interpreter: bad_alloc
// becomes MemoryError, anything else an internal fault. On a C++ exception the
// result is `failed` with a Python exception set. A thread being ended by
// pthread_exit unwinds through untouched: that is no error to report, and the
// thread has no thread state left to report it with. That is also why neither
// this nor the functions the interpreter calls are noexcept: g++ ends the
// process when such an unwind reaches a noexcept frame. No C++ exception can
// leave them all the same: every one is caught here.
template <class Result, class Body>
Result guard_boundary(Result failed, Body&& body) {
  FaultReportScope reports;
  try {
    Result result = body();
    if (result == failed) reports.write_if_fault_pending();
    return result;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what());
  } catch (...) {
    raise_internal_fault("unexpected C++ exception");
  }
  try {
    reports.write_if_fault_pending();
  } catch (...) {  // out of memory for the line: the exception itself stands
  }
  return failed;
}

}  // namespace vorpak
