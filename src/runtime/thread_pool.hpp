// The process-wide pool of worker threads and the parallel operations built on it.
//
// One pool per process, started on first use and never torn down (process exit
// must not wait on it; a forked child starts a fresh one). Its size follows
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS (positive integers), then the
// processors this process may run on.
//
// A thread outside the pool hands its chunks over and blocks until they are done.
// A worker that starts nested work runs pending chunks itself while it waits, so
// nesting never deadlocks, whatever the pool size. An exception thrown by a body is
// captured and rethrown on the thread that started the work, after every chunk of
// that call has finished. Bodies must not touch Python objects.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vorpak::pool {

// Number of worker threads the pool has (or will have when it starts).
size_t thread_count();

// Type-erased core: runs fn(ctx, k) for every chunk k in [0, chunks) on the pool
// and returns when all have finished.
void run_chunks(size_t chunks, void (*fn)(void*, size_t), void* ctx);

// How many chunks to cut n items into, given the smallest sensible chunk.
size_t chunk_count(size_t n, size_t grain);

// body(begin, end) over consecutive ranges covering [0, n), each at least `grain`
// long but the last. Runs inline when there is only one chunk.
template <class Body>
void parallel_for(size_t n, size_t grain, Body&& body) {
  if (n == 0) return;
  const size_t chunks = chunk_count(n, grain);
  if (chunks <= 1) {
    body(size_t{0}, n);
    return;
  }
  struct Ctx {
    std::remove_reference_t<Body>* body;  // Body is a reference type for lvalue bodies
    size_t n, chunks;
  } ctx{&body, n, chunks};
  run_chunks(
      chunks,
      [](void* p, size_t k) {
        auto* c = static_cast<Ctx*>(p);
        const size_t begin = c->n * k / c->chunks;
        const size_t end = c->n * (k + 1) / c->chunks;
        (*c->body)(begin, end);
      },
      &ctx);
}

// out[i] = fn(in[i]); results are stored by position, so order never depends on
// which worker ran which item.
template <class In, class Out, class Fn>
void parallel_map(const In* in, Out* out, size_t n, size_t grain, Fn&& fn) {
  parallel_for(n, grain, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) out[i] = fn(in[i]);
  });
}

// Keeps fn(item) for every item where it yields a value (a std::optional-like
// result), gathering the kept values in input order.
template <class R, class In, class Fn>
std::vector<R> parallel_filter_collect(const In* in, size_t n, size_t grain, Fn&& fn) {
  const size_t chunks = std::max<size_t>(1, chunk_count(n, grain));
  std::vector<std::vector<R>> parts(chunks);
  parallel_for(chunks, 1, [&](size_t kb, size_t ke) {
    for (size_t k = kb; k < ke; ++k) {
      const size_t begin = n * k / chunks, end = n * (k + 1) / chunks;
      for (size_t i = begin; i < end; ++i) {
        if (auto kept = fn(in[i])) parts[k].push_back(std::move(*kept));
      }
    }
  });
  size_t total = 0;
  for (const auto& part : parts) total += part.size();
  std::vector<R> out;
  out.reserve(total);
  for (auto& part : parts) std::move(part.begin(), part.end(), std::back_inserter(out));
  return out;
}

// Sorts text views ascending by unsigned byte-wise comparison (shorter first on a
// common prefix); unstable, since equal views are interchangeable.
void parallel_sort(std::vector<std::string_view>& views);

}  // namespace vorpak::pool
