// The handle through which the column jobs reach the shared output buffer.
#pragma once

#include <cstddef>
#include <memory>

namespace vorpak {

// Holds only the buffer's start address and owns nothing: the driver owns the
// buffer, creates one shared handle before the jobs and drops it after them, and
// every job only borrows it. Each job writes the cells of its own column alone,
// so the writes need no lock.
class SendPtr {
 public:
  explicit SendPtr(double* base) : base_(base) {}
  static std::shared_ptr<const SendPtr> make(double* base) {
    return std::make_shared<const SendPtr>(base);
  }
  void write(size_t index, double value) const { base_[index] = value; }

 private:
  double* base_;
};

}  // namespace vorpak
