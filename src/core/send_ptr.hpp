// The handle through which the column jobs reach the shared output buffer.
#pragma once

#include <cstddef>
#include <memory>

namespace vorpak {

// Holds only the buffer's start address and owns nothing: the driver owns the
// buffer, creates one shared handle before the jobs and drops it after them, and
// every job only borrows it. Each job reads and writes the cells of its own
// column alone, so no lock is needed.
class SendPtr {
 public:
  explicit SendPtr(double* base) : base_(base) {}
  static std::shared_ptr<const SendPtr> make(double* base) {
    return std::make_shared<const SendPtr>(base);
  }
  double read(size_t index) const { return base_[index]; }
  void write(size_t index, double value) const { base_[index] = value; }

 private:
  double* base_;
};

}  // namespace vorpak
