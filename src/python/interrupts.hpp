// Signals and the errors a road may drop: one rule for the whole module.
//
// Python runs a signal's handler only when C code lets it (PyErr_CheckSignals),
// and a handler is Python code that may do anything. So a long call looks for
// signals only where Python code may run anyway; in a stretch that relies on no
// Python code running it only notes that Ctrl-C arrived, leaves it pending, and
// ends the stretch early so that the handler runs at the next safe point.
#pragma once

#include <Python.h>

#include <cstddef>

#include "core/thread_pool.hpp"

namespace vorpak {

// Drops the pending exception if it is an ordinary error (an Exception), for
// the places that try one road and take another when it fails. Anything else
// (KeyboardInterrupt, SystemExit, an internal fault) must reach the caller and
// stays pending. True when nothing is pending afterwards.
bool drop_ordinary_error();

// Runs the handlers of the signals that have arrived. Python code: only where
// Python code may run anyway. False with the handler's exception pending.
bool handle_signals();

// For stretches in which no Python code may run: whether Ctrl-C has arrived
// since the last look. It stays pending for handle_signals to act on.
bool interrupt_arrived();

// While one is alive, this thread's waits for the pool look for Ctrl-C the same
// way and cancel the pool's call when it has come: the call then throws
// pool::Cancelled, and the interrupt is left for handle_signals.
class InterruptibleWaits {
 public:
  InterruptibleWaits() : poll_([](void*) { return interrupt_arrived(); }, nullptr) {}

 private:
  pool::WaitPoll poll_;
};

// Counts the cells of a long loop, to look for signals every so many: often
// enough to notice one within a few milliseconds, rarely enough to cost nothing.
class SignalPacer {
 public:
  bool due(size_t cells = 1) {
    left_ = left_ > cells ? left_ - cells : 0;
    if (left_ != 0) return false;
    left_ = kCellsBetweenLooks;
    return true;
  }

 private:
  static constexpr size_t kCellsBetweenLooks = size_t{1} << 14;
  size_t left_ = kCellsBetweenLooks;
};

}  // namespace vorpak
