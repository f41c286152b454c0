// The process-wide pool of worker threads and the parallel operations built on it.
//
// One pool per process, started on first use and never torn down (process exit
// must not wait on it; a forked child starts a fresh one). Its size follows
// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS (positive integers), then the
// processors this process may run on, and is never more than kMaxThreads.
//
// A thread outside the pool hands its chunks over and blocks until they are done.
// A worker that starts nested work runs pending chunks itself while it waits, so
// nesting never deadlocks, whatever the pool size. An exception thrown by a body is
// captured and rethrown on the thread that started the work, after every chunk of
// that call has finished. A waiting caller can cancel its call (see WaitPoll).
// Bodies must not touch Python objects.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <type_traits>
#include <vector>

namespace vorpak::pool {

// The most threads the pool starts, whatever the environment or the machine says.
// Every worker reserves a stack and a malloc arena, and all of them share one
// queue and one lock, so past a few hundred threads more workers add contention
// and memory, not speed. A bound also keeps every count derived from the thread
// count (chunks per thread, merge pieces) far from overflowing.
inline constexpr size_t kMaxThreads = 256;

// Number of threads work started here may spread over: the pool's size (it
// need not have started yet), or 1 inside an InlineScope.
size_t thread_count();

// While one is alive, parallel work started on this thread runs on this thread
// alone, chunk after chunk: for work so small that waking other threads costs
// more than it saves. No result depends on which thread ran a chunk, so this
// changes timing only.
class InlineScope {
 public:
  explicit InlineScope(bool active = true);
  ~InlineScope();
  InlineScope(const InlineScope&) = delete;
  InlineScope& operator=(const InlineScope&) = delete;

 private:
  bool active_;
};

// Thrown on the thread that started a call that was cancelled (see WaitPoll), once
// none of the call's chunks is running any more. Nested work that a chunk of a
// cancelled call starts throws it too, inside that chunk.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override;
};

// How often a waiting caller with a WaitPoll asks whether to stop.
inline constexpr std::chrono::milliseconds kPollInterval{20};

// While one is alive, this thread, waiting outside the pool for the chunks of a
// call it started, wakes every kPollInterval and calls poll(ctx): for a caller
// that must notice a request to stop (a signal, say) while the pool works. True
// cancels the call: chunks no thread has started are skipped, nested work started
// by the chunks still running skips its unstarted chunks too, and once every chunk
// is accounted for the call throws Cancelled. A body's exception takes precedence,
// then the side function's, then one thrown by the poll itself (which also
// cancels). The poll runs with no lock of the pool's held and is not asked again
// by parallel work it starts itself. It is never called while a side function
// runs, for a call that ends within the first interval, inside an InlineScope, or
// on a worker: a worker's wait is part of the chunk it runs. Scopes nest; the
// innermost one polls.
class WaitPoll {
 public:
  WaitPoll(bool (*poll)(void*), void* ctx);
  ~WaitPoll();
  WaitPoll(const WaitPoll&) = delete;
  WaitPoll& operator=(const WaitPoll&) = delete;

 private:
  bool (*previous_poll_)(void*);
  void* previous_ctx_;
};

// True while this thread runs a chunk of a call that has been cancelled (or whose
// outermost enclosing call has), so that a long loop in a body can stop early:
// the call ends in Cancelled anyway and nothing the body left undone is read. A
// relaxed atomic load.
bool cancel_requested();

// Whether long work running on this thread should stop: inside a chunk, whether
// its call has been cancelled (cancel_requested); on a thread outside the pool
// that has a WaitPoll, what its poll says, so that work this thread does itself
// (a parallel loop of one chunk runs inline, and so does everything between its
// parallel calls) stops as its waits would. False everywhere else.
bool stop_requested();

// For the long loops of pool work: counts their steps and, every so many, throws
// Cancelled if stop_requested(). Inside a chunk that ends it (its call ends in
// Cancelled anyway, so nothing the loop leaves undone is read); outside the pool
// the caller that set up the WaitPoll catches it, as it catches a cancelled
// call's. A step is at most a microsecond's work or so, so work stops within a
// few milliseconds, and the look, a thread-local read, costs nothing beside it.
class CancelPoint {
 public:
  void step(size_t steps = 1) {
    if (left_ > steps) {
      left_ -= steps;
      return;
    }
    left_ = kStepsBetweenLooks;
    if (stop_requested()) throw Cancelled();
  }

 private:
  static constexpr size_t kStepsBetweenLooks = 4096;
  size_t left_ = kStepsBetweenLooks;
};

// Type-erased core: runs fn(ctx, k) for every chunk k in [0, chunks) on the pool
// and returns when all have finished, or throws Cancelled once none is running if
// the call was cancelled.
void run_chunks(size_t chunks, void (*fn)(void*, size_t), void* ctx);

// The same, while the calling thread runs side(side_ctx) (a thread of the pool
// runs it first): for work only the caller may do, such as making Python
// objects, next to work any thread may do. Returns when both are done; an
// exception from either is rethrown then, the chunks' first.
void run_chunks_alongside(size_t chunks, void (*fn)(void*, size_t), void* ctx,
                          void (*side_fn)(void*), void* side_ctx);

// How many chunks to cut n items into, given the smallest sensible chunk: in
// [1, n] for n > 0, and 0 for n == 0.
size_t chunk_count(size_t n, size_t grain);

// Where chunk k (0 <= k <= chunks) starts when [0, n) is cut into `chunks`
// near-equal ranges: n * k / chunks, worked out in 128 bits so that the product
// cannot wrap however large n is.
inline size_t chunk_begin(size_t n, size_t k, size_t chunks) {
  return static_cast<size_t>(static_cast<unsigned __int128>(n) * k / chunks);
}

namespace detail {

// Chunk k of `chunks` equal ranges over [0, n), handed to body(begin, end).
template <class Body>
struct RangeChunks {
  Body* body;  // Body may be const: lambdas are often passed as const references
  size_t n, chunks;

  static void run(void* self, size_t k) {
    const auto* c = static_cast<const RangeChunks*>(self);
    (*c->body)(chunk_begin(c->n, k, c->chunks), chunk_begin(c->n, k + 1, c->chunks));
  }
};

}  // namespace detail

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
  detail::RangeChunks<std::remove_reference_t<Body>> ctx{&body, n, chunks};
  run_chunks(chunks, &decltype(ctx)::run, &ctx);
}

// parallel_for over [0, n), while this thread runs side() (see run_chunks_alongside).
template <class Body, class Side>
void parallel_for_alongside(size_t n, size_t grain, Body&& body, Side&& side) {
  const size_t chunks = chunk_count(n, grain);
  detail::RangeChunks<std::remove_reference_t<Body>> ctx{&body, n, chunks};
  run_chunks_alongside(
      chunks, &decltype(ctx)::run, &ctx,
      [](void* p) { (*static_cast<std::remove_reference_t<Side>*>(p))(); },
      const_cast<void*>(static_cast<const void*>(&side)));  // read back with its own constness
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
    CancelPoint point;
    for (size_t k = kb; k < ke; ++k) {
      const size_t begin = chunk_begin(n, k, chunks), end = chunk_begin(n, k + 1, chunks);
      for (size_t i = begin; i < end; ++i) {
        point.step();
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

namespace detail {

// Below this a single std::sort beats handing runs to other threads.
inline constexpr size_t kSortInlineBelow = 16384;
inline constexpr size_t kMinSortRun = 4096;
inline constexpr size_t kMinMergePiece = 8192;

// How many of the first `d` elements of merge(a, b) come from `a`, breaking ties
// toward `a` exactly as std::merge does. Pieces of one merge cut at these points
// therefore fit together without gaps or overlaps, even across runs of equal elements.
template <class T, class Less>
size_t merge_split(const T* a, size_t na, const T* b, size_t nb, size_t d, Less less) {
  size_t lo = d > nb ? d - nb : 0;
  size_t hi = std::min(d, na);
  while (lo < hi) {
    const size_t i = lo + (hi - lo) / 2;
    if (!less(b[d - i - 1], a[i])) {
      lo = i + 1;  // a[i] precedes b[d - i - 1], so more than i come from a
    } else {
      hi = i;
    }
  }
  return lo;
}

// A sort's scratch space of n default-made Ts, made a piece per chunk on the
// pool: for millions of texts it is hundreds of megabytes, whose first touch
// (the kernel zeroes each page) is no stretch for one thread with no look at
// the cancel flag.
template <class T>
class ScratchBuffer {
  static_assert(std::is_trivially_destructible_v<T>, "a cancelled fill leaves nothing to destroy");

 public:
  explicit ScratchBuffer(size_t n) : data_(std::allocator<T>().allocate(n)), n_(n) {
    try {
      parallel_for(n, kMinMergePiece, [&](size_t begin, size_t end) {
        std::uninitialized_default_construct(data_ + begin, data_ + end);
      });
    } catch (...) {
      std::allocator<T>().deallocate(data_, n_);
      throw;
    }
  }
  ~ScratchBuffer() { std::allocator<T>().deallocate(data_, n_); }
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;

  T* data() { return data_; }

 private:
  T* data_;
  size_t n_;
};

}  // namespace detail

// Sorts `items` by `less` on the pool; unstable. Small inputs or a one-thread
// pool sort inline. Text views sort ascending by unsigned bytes (shorter first
// on a common prefix).
template <class T, class Less = std::less<T>>
void parallel_sort(std::vector<T>& items, Less less = Less()) {
  const size_t n = items.size();
  const size_t threads = thread_count();
  // A run or a merge piece may take tens of milliseconds, so each one counts its
  // comparisons and stops once its call is cancelled.
  const auto checked = [&less](CancelPoint& point) {
    return [&less, &point](const T& a, const T& b) {
      point.step();
      return less(a, b);
    };
  };
  if (n < detail::kSortInlineBelow || threads == 1) {
    CancelPoint point;
    std::sort(items.begin(), items.end(), checked(point));
    return;
  }

  // Sort runs side by side, then merge neighbouring runs pairwise, round by round,
  // between `items` and a scratch buffer. Each merge is cut into pieces so even the
  // last round, a single merge, keeps every thread busy.
  const size_t runs = chunk_count(n, detail::kMinSortRun);
  std::vector<size_t> bounds(runs + 1);
  for (size_t r = 0; r <= runs; ++r) bounds[r] = chunk_begin(n, r, runs);
  parallel_for(runs, 1, [&](size_t first, size_t last) {
    CancelPoint point;
    for (size_t r = first; r < last; ++r) {
      std::sort(items.begin() + bounds[r], items.begin() + bounds[r + 1], checked(point));
    }
  });

  detail::ScratchBuffer<T> scratch(n);
  T* src = items.data();
  T* dst = scratch.data();
  const size_t piece_size = std::max(detail::kMinMergePiece, n / (2 * threads) + 1);
  struct Piece {
    size_t begin, mid, end;     // merging src[begin, mid) with src[mid, end)
    size_t out_begin, out_end;  // the part of that merge this piece writes
  };
  std::vector<Piece> pieces;
  while (bounds.size() > 2) {
    pieces.clear();
    std::vector<size_t> merged_bounds{0};
    for (size_t r = 0; r + 1 < bounds.size(); r += 2) {
      const size_t begin = bounds[r], mid = bounds[r + 1];
      // An odd run out is merged with nothing, i.e. copied across.
      const size_t end = r + 2 < bounds.size() ? bounds[r + 2] : mid;
      const size_t len = end - begin;
      const size_t count = std::max<size_t>(1, len / piece_size);
      for (size_t p = 0; p < count; ++p) {
        pieces.push_back(
            {begin, mid, end, chunk_begin(len, p, count), chunk_begin(len, p + 1, count)});
      }
      merged_bounds.push_back(end);
    }
    parallel_for(pieces.size(), 1, [&](size_t first, size_t last) {
      CancelPoint point;
      for (size_t p = first; p < last; ++p) {
        const Piece& piece = pieces[p];
        const T* a = src + piece.begin;
        const T* b = src + piece.mid;
        const size_t na = piece.mid - piece.begin, nb = piece.end - piece.mid;
        const size_t a0 = detail::merge_split(a, na, b, nb, piece.out_begin, less);
        const size_t a1 = detail::merge_split(a, na, b, nb, piece.out_end, less);
        std::merge(a + a0, a + a1, b + (piece.out_begin - a0), b + (piece.out_end - a1),
                   dst + piece.begin + piece.out_begin, checked(point));
      }
    });
    std::swap(src, dst);
    bounds = std::move(merged_bounds);
  }
  if (src != items.data()) {
    parallel_for(n, detail::kMinMergePiece, [&](size_t begin, size_t end) {
      std::copy(src + begin, src + end, items.data() + begin);
    });
  }
}

}  // namespace vorpak::pool
