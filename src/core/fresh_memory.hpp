// Faulting in a large fresh buffer on the pool while the caller works on it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <sys/mman.h>

#include "core/thread_pool.hpp"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it with EINVAL
#endif

namespace vorpak {

// The first write to each page of fresh memory faults into the kernel, which
// zeroes the page: for a buffer of tens of megabytes a good part of the work
// done on it. Here the workers fault the buffer's pages in, front to back,
// while this thread runs `work`, which fills the buffer from the front and so
// mostly finds its pages ready. The kernel populates pages without writing to
// them, so the workers never race with `work`'s own writes; a kernel without
// that service leaves `work` to take its faults itself.
inline void populate_alongside(void* data, size_t bytes, const std::function<void()>& work) {
  constexpr uintptr_t kPage = 4096;
  constexpr uintptr_t kBlock = uintptr_t{2} << 20;  // one huge page
  const auto first = (reinterpret_cast<uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const auto last = (reinterpret_cast<uintptr_t>(data) + bytes) & ~(kPage - 1);
  if (bytes < 4 * kBlock || last <= first) {
    work();
    return;
  }
  pool::parallel_for_alongside(
      1, 1,
      [&](size_t, size_t) {
        // Stops where a cancelled call stops: `work` takes any fault it still meets.
        for (uintptr_t from = first; from < last && !pool::cancel_requested(); from += kBlock) {
          const uintptr_t to = std::min<uintptr_t>(last, from + kBlock);
          madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
        }
      },
      work);
}

}  // namespace vorpak
