// The process-wide worker pool: one FIFO of pending calls guarded by one mutex.
//
// A call is a run_chunks invocation. It lives on its caller's stack and sits in the
// queue while it still has unclaimed chunks; threads claim its chunks one at a time,
// so pushing a call costs the same whatever its chunk count. The caller does not
// return before every chunk has been accounted for, which is what keeps the pointer
// in the queue valid.
//
// Calls started inside a chunk form a tree under the call started outside any
// chunk, its root, which outlives them all. Cancelling marks the root, and every
// call of the tree skips the chunks it has not handed out yet.
#include "core/thread_pool.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cxxabi.h>
#include <cstdlib>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <thread>

namespace vorpak::pool {
namespace {

// Work the calling thread does itself while the pool runs a call's chunks.
struct Side {
  void (*fn)(void*) = nullptr;
  void* ctx = nullptr;
  std::exception_ptr error;
};

// Runs a Side, keeping its exception for after the chunks have finished: they
// may still use what the caller's stack holds.
void run_side(Side& side) {
  if (side.fn == nullptr) return;
  try {
    side.fn(side.ctx);
  } catch (...) {
    side.error = std::current_exception();
  }
}

struct Call {
  void (*fn)(void*, size_t) = nullptr;
  void* ctx = nullptr;
  size_t chunks = 0;
  size_t next_chunk = 0;     // first chunk no thread has claimed yet
  size_t unfinished = 0;     // chunks not yet run (or skipped) to the end
  std::exception_ptr error;  // first exception a body threw
  bool waiter_is_worker = false;
  // Wakes a caller from outside the pool. A waiting worker sleeps on the pool's
  // work signal instead, since it must also wake for new chunks to help with.
  std::condition_variable done;
  Call* root = this;                   // the root of this call's tree
  std::atomic<bool> cancelled{false};  // read on the root only: the tree is cancelled
  std::exception_ptr poll_error;       // what the waiter's poll threw; its thread's alone
};

bool is_cancelled(const Call& call) { return call.root->cancelled.load(std::memory_order_relaxed); }

class Pool;

// The pool this thread works for, or null for every other thread. Compared by
// address, so a thread can never mistake itself for a worker of a newer pool.
thread_local Pool* tl_worker_of = nullptr;

// How many InlineScopes are alive on this thread.
thread_local size_t tl_inline_scopes = 0;

// Whether ready_for_exceptions has run on this thread.
thread_local bool tl_ready_for_exceptions = false;

// The call whose chunk this thread is running (the innermost, while a worker helps
// with other chunks during a nested wait), or null: calls started here join its tree.
thread_local Call* tl_running = nullptr;

// The innermost live WaitPoll's poll on this thread, or null.
thread_local bool (*tl_poll)(void*) = nullptr;
thread_local void* tl_poll_ctx = nullptr;

// Runs chunk k of `call` as this thread's running call; returns what it threw.
std::exception_ptr run_chunk(Call& call, size_t k) {
  Call* const outer = tl_running;
  tl_running = &call;
  std::exception_ptr error;
  try {
    call.fn(call.ctx, k);
  } catch (...) {
    error = std::current_exception();
  }
  tl_running = outer;
  return error;
}

// Reads `value` in a way the compiler must keep, so its thread-local storage is
// allocated now.
template <class T>
void touch(const T& value) {
  static_cast<void>(*static_cast<const volatile T*>(&value));
}

// Sets up, while memory is plentiful, what this thread needs to throw and catch.
// The first exception a thread throws makes libstdc++ fetch its per-thread state
// (__cxa_get_globals), and for a library loaded with dlopen(), as the Python
// module is, glibc allocates that thread-local storage, like this file's own
// thread_locals, on first touch; if that allocation fails glibc ends the process
// instead of failing the throw. A thread's first exception is often a bad_alloc,
// thrown exactly when memory has run out. The exception objects themselves then
// come from libstdc++'s emergency pool, reserved when it loads: room for a few
// hundred bad_allocs, more than kMaxThreads threads can have in flight at once
// (each call keeps one error and drops the others as they arrive).
void ready_for_exceptions() {
  // Declared const, so a call whose result went unused could be dropped.
  [[maybe_unused]] abi::__cxa_eh_globals* volatile globals = abi::__cxa_get_globals();
  touch(tl_worker_of);
  touch(tl_inline_scopes);
  touch(tl_running);
  touch(tl_poll);
  touch(tl_poll_ctx);
  tl_ready_for_exceptions = true;
}

class Pool {
 public:
  explicit Pool(size_t size) {
    // Workers inherit the creating thread's signal mask. Blocking asynchronous
    // signals keeps them (SIGINT above all) on threads that can act on them, such as
    // the interpreter's main thread; faults a worker itself causes stay deliverable.
    sigset_t blocked, previous;
    sigfillset(&blocked);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&blocked, sig);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    for (size_t i = 0; i < size; ++i) {
      try {
        // Detached and never joined: process exit must not wait for an idle worker.
        std::thread([this] { work_forever(); }).detach();
        ++workers_;
      } catch (...) {
        break;  // out of threads: run with those we got
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  size_t workers() const { return workers_; }

  // Queues `call` and returns once all its chunks have finished. A thread from
  // outside the pool runs `side` meanwhile (a worker, before its chunks).
  void run(Call& call, Side& side) {
    const bool helping = tl_worker_of == this;
    if (helping) run_side(side);
    call.waiter_is_worker = helping;
    std::unique_lock lock(mutex_);
    pending_.push_back(&call);
    if (call.chunks > 1) {
      work_.notify_all();
    } else if (!helping) {
      work_.notify_one();
    }
    if (!helping) {
      lock.unlock();
      run_side(side);
      lock.lock();
      wait_outside(lock, call);
      return;
    }
    // A worker that blocked here would take a thread away from the chunks it waits
    // for; with every worker nested this way nothing would run. So it works through
    // its own chunks first, then anyone's, and sleeps only when nothing is queued:
    // the chunks it still waits for are then running on other threads.
    while (call.unfinished != 0) {
      if (call.next_chunk < call.chunks) {
        run_one(lock, call);
      } else if (!pending_.empty()) {
        run_one(lock, *pending_.front());
      } else {
        work_.wait(lock);
      }
    }
  }

 private:
  [[noreturn]] void work_forever() {
    ready_for_exceptions();
    tl_worker_of = this;
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return !pending_.empty(); });
      run_one(lock, *pending_.front());
    }
  }

  // A caller from outside the pool waits for its call, asking its WaitPoll, if it
  // has one, at every interval whether to stop. Entered and left with the lock held.
  void wait_outside(std::unique_lock<std::mutex>& lock, Call& call) {
    const auto finished = [&] { return call.unfinished == 0; };
    bool (*const poll)(void*) = tl_poll;
    void* const poll_ctx = tl_poll_ctx;
    while (poll != nullptr && !is_cancelled(call)) {
      if (call.done.wait_for(lock, kPollInterval, finished)) return;
      // The poll may run any code of the caller's, parallel work included, which
      // must neither find the lock held nor poll again.
      lock.unlock();
      tl_poll = nullptr;
      bool stop = true;
      try {
        stop = poll(poll_ctx);
      } catch (...) {
        call.poll_error = std::current_exception();
      }
      tl_poll = poll;
      tl_poll_ctx = poll_ctx;
      lock.lock();
      if (stop) cancel(call);
    }
    call.done.wait(lock, finished);
  }

  // Marks the tree of `call` cancelled and counts off the chunks of `call` that no
  // thread has claimed; the tree's other calls skip theirs as threads claim them.
  // Called with the lock held.
  void cancel(Call& call) {
    call.root->cancelled.store(true, std::memory_order_relaxed);
    if (call.next_chunk == call.chunks) return;
    call.unfinished -= call.chunks - call.next_chunk;
    call.next_chunk = call.chunks;
    pending_.erase(std::find(pending_.begin(), pending_.end(), &call));
  }

  // Claims the next chunk of `call` and runs it with the lock released. Entered and
  // left with the lock held.
  void run_one(std::unique_lock<std::mutex>& lock, Call& call) {
    const size_t k = call.next_chunk++;
    if (call.next_chunk == call.chunks) {
      if (pending_.front() == &call) {
        pending_.pop_front();
      } else {
        pending_.erase(std::find(pending_.begin(), pending_.end(), &call));
      }
    }
    // Once a body has failed the call's result is that exception, and once its tree
    // is cancelled it is Cancelled, so the rest of its chunks are only counted off.
    const bool skip = call.error != nullptr || is_cancelled(call);
    lock.unlock();
    std::exception_ptr error;
    if (!skip) error = run_chunk(call, k);
    lock.lock();
    if (error && !call.error) call.error = std::move(error);
    // Notify before the lock is dropped: the moment the waiter can see zero it may
    // return and destroy `call`, so nothing here may touch it after unlocking.
    if (--call.unfinished == 0) {
      if (call.waiter_is_worker) {
        work_.notify_all();
      } else {
        call.done.notify_one();
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable work_;  // chunks were queued, or a waiting worker's call finished
  std::deque<Call*> pending_;     // calls with unclaimed chunks, oldest first
  size_t workers_ = 0;
};

// The pool is created on first use and leaked on purpose: a destructor would have to
// stop and join threads at process exit. After fork() the child forgets it (its
// threads do not exist there and its mutex may be held by one of them) and starts a
// new one when next needed. `g_create` orders creation against fork().
pthread_mutex_t g_create = PTHREAD_MUTEX_INITIALIZER;
std::atomic<Pool*> g_pool{nullptr};
std::atomic<size_t> g_size{0};  // 0 until thread_count() first runs

// A positive decimal integer spelled with digits only, as the RAYON_* variables take.
size_t positive_from_env(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return 0;
  size_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    const size_t digit = static_cast<size_t>(*p - '0');
    if (value > (std::numeric_limits<size_t>::max() - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value;
}

// CPUs this process may run on, which under taskset or a container quota can be far
// fewer than the machine has.
size_t usable_cpus() {
  for (int cpus = 1024; cpus <= (1 << 18); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const size_t bytes = CPU_ALLOC_SIZE(cpus);
    const int rc = sched_getaffinity(0, bytes, set);
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    const int err = errno;
    CPU_FREE(set);
    if (rc == 0) return count > 0 ? static_cast<size_t>(count) : 1;
    if (err != EINVAL) break;  // EINVAL: the kernel's mask is wider than ours
  }
  return std::max<size_t>(1, std::thread::hardware_concurrency());
}

size_t configured_size() {
  size_t n = positive_from_env("RAYON_NUM_THREADS");
  if (n == 0) n = positive_from_env("RAYON_RS_NUM_CPUS");
  if (n == 0) n = usable_cpus();
  return std::min(n, kMaxThreads);
}

Pool& the_pool() {
  if (Pool* pool = g_pool.load(std::memory_order_acquire)) return *pool;
  pthread_mutex_lock(&g_create);
  Pool* pool = g_pool.load(std::memory_order_relaxed);
  if (pool == nullptr) {
    try {
      pool = new Pool(thread_count());
    } catch (...) {
      pthread_mutex_unlock(&g_create);
      throw;
    }
    g_pool.store(pool, std::memory_order_release);
  }
  pthread_mutex_unlock(&g_create);
  return *pool;
}

// A fork() while another thread is creating the pool would leave the child with a
// half-built pool or a locked g_create, so fork waits for creation to finish.
void before_fork() { pthread_mutex_lock(&g_create); }
void after_fork_in_parent() { pthread_mutex_unlock(&g_create); }
void after_fork_in_child() {
  // The forking thread locked g_create in before_fork and is the only thread here.
  pthread_mutex_unlock(&g_create);
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_size.store(0, std::memory_order_relaxed);
  tl_worker_of = nullptr;  // in case a worker forked: it is no worker of the next pool
}

// Registered at load time rather than with the pool, so that no fork() can fall
// between the pool's creation and the handlers that must know about it.
[[maybe_unused]] const int g_fork_handlers =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

// Runs every chunk on the calling thread with the same error rules as the pool, for
// an InlineScope or a process that could not start a single worker.
void run_inline(Call& call) {
  for (size_t k = 0; k < call.chunks && !is_cancelled(call); ++k) {
    if (std::exception_ptr error = run_chunk(call, k)) {
      call.error = std::move(error);
      return;
    }
  }
}

}  // namespace

const char* Cancelled::what() const noexcept { return "parallel call cancelled"; }

WaitPoll::WaitPoll(bool (*poll)(void*), void* ctx)
    : previous_poll_(tl_poll), previous_ctx_(tl_poll_ctx) {
  tl_poll = poll;
  tl_poll_ctx = ctx;
}

WaitPoll::~WaitPoll() {
  tl_poll = previous_poll_;
  tl_poll_ctx = previous_ctx_;
}

bool cancel_requested() {
  const Call* running = tl_running;
  return running != nullptr && is_cancelled(*running);
}

bool stop_requested() {
  if (const Call* running = tl_running) return is_cancelled(*running);
  bool (*const poll)(void*) = tl_poll;
  if (poll == nullptr || tl_worker_of != nullptr) return false;
  // As in a wait: the poll is not asked again by anything it runs itself.
  tl_poll = nullptr;
  struct Restore {
    bool (*poll)(void*);
    ~Restore() { tl_poll = poll; }
  } restore{poll};
  return poll(tl_poll_ctx);
}

InlineScope::InlineScope(bool active) : active_(active) {
  if (active_) ++tl_inline_scopes;
}

InlineScope::~InlineScope() {
  if (active_) --tl_inline_scopes;
}

size_t thread_count() {
  if (tl_inline_scopes > 0) return 1;
  size_t n = g_size.load(std::memory_order_relaxed);
  if (n == 0) {
    n = configured_size();
    g_size.store(n, std::memory_order_relaxed);
  }
  return n;
}

size_t chunk_count(size_t n, size_t grain) {
  if (n == 0) return 0;
  if (grain == 0) grain = 1;
  const size_t by_grain = n / grain + (n % grain != 0 ? 1 : 0);
  // A few chunks per thread evens out uneven chunk costs without paying for many
  // tiny ones. The thread count is at most kMaxThreads, so this cannot wrap.
  return std::min(by_grain, 4 * thread_count());
}

void run_chunks_alongside(size_t chunks, void (*fn)(void*, size_t), void* ctx,
                          void (*side_fn)(void*), void* side_ctx) {
  // The caller rethrows what a chunk threw, often a bad_alloc while memory is
  // short, and catches what its own side or inline chunks throw.
  if (!tl_ready_for_exceptions) ready_for_exceptions();
  Side side{side_fn, side_ctx, nullptr};
  Call call;
  call.fn = fn;
  call.ctx = ctx;
  call.chunks = chunks;
  call.unfinished = chunks;
  if (tl_running != nullptr) call.root = tl_running->root;
  if (chunks == 0) {
    run_side(side);
  } else if (tl_inline_scopes > 0) {
    run_side(side);
    run_inline(call);  // without starting the pool: a small job may be all there is
  } else if (Pool& pool = the_pool(); pool.workers() == 0) {
    run_side(side);
    run_inline(call);
  } else {
    pool.run(call, side);
  }
  if (call.error) std::rethrow_exception(call.error);
  if (side.error) std::rethrow_exception(side.error);
  if (call.poll_error) std::rethrow_exception(call.poll_error);
  if (is_cancelled(call)) throw Cancelled();
}

void run_chunks(size_t chunks, void (*fn)(void*, size_t), void* ctx) {
  run_chunks_alongside(chunks, fn, ctx, nullptr, nullptr);
}

}  // namespace vorpak::pool
