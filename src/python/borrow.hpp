// The per-encoder guard against overlapping calls.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace vorpak {

// One atomic word: 0 free, n for n readers, all bits set for one writer. Taking a
// borrow is an acquire (what the previous holder wrote is visible to us);
// releasing is a release (what we wrote is visible to the next holder). Nothing
// ever waits: a conflicting call is refused at once.
class BorrowState {
 public:
  static constexpr uintptr_t kWriter = ~uintptr_t{0};

  bool try_shared() {
    uintptr_t seen = word_.load(std::memory_order_relaxed);
    do {
      if (seen == kWriter || seen == kWriter - 1) return false;
    } while (!word_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
    return true;
  }
  void release_shared() { word_.fetch_sub(1, std::memory_order_release); }

  bool try_exclusive() {
    uintptr_t expected = 0;
    return word_.compare_exchange_strong(expected, kWriter, std::memory_order_acquire,
                                         std::memory_order_relaxed);
  }
  void release_exclusive() { word_.store(0, std::memory_order_release); }

 private:
  std::atomic<uintptr_t> word_{0};
};

// Holds a borrow for one method call and gives it back on every exit path.
class BorrowGuard {
 public:
  enum class Mode { kShared, kExclusive };

  BorrowGuard(BorrowState& state, Mode mode) : state_(state), mode_(mode) {
    held_ = mode == Mode::kShared ? state.try_shared() : state.try_exclusive();
    if (!held_) {
      PyErr_SetString(PyExc_RuntimeError,
                      mode == Mode::kShared ? "Already mutably borrowed" : "Already borrowed");
    }
  }
  ~BorrowGuard() {
    if (!held_) return;
    if (mode_ == Mode::kShared) {
      state_.release_shared();
    } else {
      state_.release_exclusive();
    }
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;

  // False when refused; the RuntimeError is then pending.
  bool held() const { return held_; }

 private:
  BorrowState& state_;
  Mode mode_;
  bool held_ = false;
};

}  // namespace vorpak
