#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <ostream>
#include <random>
#include <sched.h>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "core/thread_pool.hpp"

namespace vp = vorpak::pool;

// ThreadSanitizer stops checking in the child of a threaded process, and a thread
// started there can collide with the ghosts of the parent's; there the children only
// exit, so the fork handlers still run and are checked on the parent's side.
#if defined(__SANITIZE_THREAD__)
#define VORPAK_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VORPAK_UNDER_TSAN 1
#endif
#endif
#ifdef VORPAK_UNDER_TSAN
constexpr bool kChildMayStartThreads = false;
#else
constexpr bool kChildMayStartThreads = true;
#endif

namespace {

// Sums 0 + 1 + ... + (a*b*c - 1) through three levels of nested parallel_for, so a
// lost or repeated chunk at any level changes the result.
uint64_t nested_sum(size_t a, size_t b, size_t c) {
  std::atomic<uint64_t> total{0};
  vp::parallel_for(a, 1, [&](size_t i0, size_t i1) {
    for (size_t i = i0; i < i1; ++i) {
      vp::parallel_for(b, 1, [&](size_t j0, size_t j1) {
        for (size_t j = j0; j < j1; ++j) {
          vp::parallel_for(c, 16, [&](size_t k0, size_t k1) {
            uint64_t local = 0;
            for (size_t k = k0; k < k1; ++k) local += (i * b + j) * c + k;
            total += local;
          });
        }
      });
    }
  });
  return total;
}

uint64_t expected_sum(uint64_t a, uint64_t b, uint64_t c) {
  const uint64_t n = a * b * c;
  return n * (n - 1) / 2;
}

// Runs `body` in a forked child, which must finish within half a minute; true if it
// returned true there.
bool passes_in_child(const std::function<bool()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(30);
    bool ok = false;
    try {
      ok = body();
    } catch (...) {
    }
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

size_t threads_in_process() {
  size_t count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

TEST(ThreadPool, NestedLoopsThreeDeep) {
  EXPECT_EQ(nested_sum(8, 16, 3000), expected_sum(8, 16, 3000));
}

TEST(ThreadPool, ManyOutsideCallersAtOnce) {
  std::vector<uint64_t> sums(16);
  std::vector<std::thread> callers;
  for (size_t t = 0; t < sums.size(); ++t) {
    callers.emplace_back([&sums, t] {
      for (int round = 0; round < 5; ++round) sums[t] += nested_sum(4, 6, 1000 + t);
    });
  }
  for (auto& caller : callers) caller.join();
  for (size_t t = 0; t < sums.size(); ++t) EXPECT_EQ(sums[t], 5 * expected_sum(4, 6, 1000 + t));
}

TEST(ThreadPool, OutsideCallerOnlyWaits) {
  std::mutex mutex;
  std::set<std::thread::id> ran_on;
  auto record = [&](size_t, size_t) {
    std::lock_guard lock(mutex);
    ran_on.insert(std::this_thread::get_id());
  };
  vp::parallel_for(64, 1, record);
  EXPECT_EQ(ran_on.count(std::this_thread::get_id()), 0u);
  EXPECT_LE(ran_on.size(), vp::thread_count());
  if (vp::thread_count() == 1) {
    EXPECT_EQ(ran_on.size(), 1u);
  }
}

TEST(ThreadPool, InlineScopeKeepsWorkOnTheCaller) {
  std::set<std::thread::id> ran_on;  // no lock: a second thread would be a race TSan reports
  std::vector<size_t> order;
  {
    const vp::InlineScope scope;
    EXPECT_EQ(vp::thread_count(), 1u);
    vp::parallel_for(64, 1, [&](size_t begin, size_t end) {
      ran_on.insert(std::this_thread::get_id());
      order.push_back(begin);
      static_cast<void>(end);
    });
    EXPECT_EQ(nested_sum(3, 4, 500), expected_sum(3, 4, 500));
    std::vector<std::string_view> views{"b", "a", "c"};
    vp::parallel_sort(views);
    EXPECT_EQ(views, (std::vector<std::string_view>{"a", "b", "c"}));
    EXPECT_THROW(vp::parallel_for(8, 1, [](size_t, size_t) { throw std::runtime_error("x"); }),
                 std::runtime_error);
  }
  EXPECT_EQ(ran_on, std::set<std::thread::id>{std::this_thread::get_id()});
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  const vp::InlineScope inactive(false);
  EXPECT_EQ(nested_sum(3, 4, 500), expected_sum(3, 4, 500));
}

TEST(ThreadPool, SideRunsOnTheCallerNextToTheChunks) {
  for (const bool inline_scope : {false, true}) {
    const vp::InlineScope scope(inline_scope);
    std::atomic<uint64_t> total{0};
    std::thread::id side_ran_on;
    vp::parallel_for_alongside(
        1000, 1,
        [&](size_t begin, size_t end) {
          for (size_t i = begin; i < end; ++i) total += i;
        },
        [&] { side_ran_on = std::this_thread::get_id(); });
    EXPECT_EQ(total, 1000u * 999u / 2);
    EXPECT_EQ(side_ran_on, std::this_thread::get_id());
  }
  // Nested in a worker, the side still runs exactly once.
  std::atomic<size_t> sides{0};
  vp::parallel_for(8, 1, [&](size_t begin, size_t end) {
    for (size_t k = begin; k < end; ++k) {
      vp::parallel_for_alongside(
          64, 1, [](size_t, size_t) {}, [&] { ++sides; });
    }
  });
  EXPECT_EQ(sides, 8u);
}

TEST(ThreadPool, SideAndChunkErrorsReachTheCaller) {
  std::atomic<size_t> ran{0};
  auto chunk_fails = [&](size_t, size_t) {
    ++ran;
    throw std::runtime_error("chunk");
  };
  auto side_fails = [] { throw std::logic_error("side"); };
  EXPECT_THROW(vp::parallel_for_alongside(64, 1, chunk_fails, side_fails), std::runtime_error);
  EXPECT_THROW(vp::parallel_for_alongside(
                   64, 1, [&](size_t, size_t) { ++ran; }, side_fails),
               std::logic_error);
  EXPECT_GE(ran.load(), 2u);
  bool side_ran = false;
  vp::parallel_for_alongside(
      0, 1, [](size_t, size_t) {}, [&] { side_ran = true; });
  EXPECT_TRUE(side_ran);
}

TEST(ThreadPool, ChunkCountEdges) {
  EXPECT_EQ(vp::chunk_count(0, 10), 0u);
  EXPECT_EQ(vp::chunk_count(5, 10), 1u);  // never zero chunks for some items
  EXPECT_EQ(vp::chunk_count(1, 0), 1u);   // a zero grain counts as one
}

// Counts so large that n * k or a multiple of the thread count would wrap: the
// chunks must still number between 1 and n and tile [0, n) exactly.
struct HugeRange {
  size_t n, grain;
};

void PrintTo(const HugeRange& r, std::ostream* os) { *os << "n=" << r.n << " grain=" << r.grain; }

class ThreadPoolHugeRanges : public testing::TestWithParam<HugeRange> {};

TEST_P(ThreadPoolHugeRanges, ChunksTileTheRange) {
  const auto [n, grain] = GetParam();
  const size_t chunks = vp::chunk_count(n, grain);
  ASSERT_GE(chunks, 1u);
  ASSERT_LE(chunks, n);
  ASSERT_LE(chunks, 4 * vp::kMaxThreads);
  std::mutex mutex;
  std::vector<std::pair<size_t, size_t>> ranges;
  vp::parallel_for(n, grain, [&](size_t begin, size_t end) {
    std::lock_guard lock(mutex);
    ranges.emplace_back(begin, end);
  });
  std::sort(ranges.begin(), ranges.end());
  ASSERT_EQ(ranges.size(), chunks);
  EXPECT_EQ(ranges.front().first, 0u);
  EXPECT_EQ(ranges.back().second, n);
  for (size_t k = 0; k < ranges.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_LT(ranges[k].first, ranges[k].second);
    if (k > 0) {
      EXPECT_EQ(ranges[k - 1].second, ranges[k].first);
    }
    // Near-equal: each chunk is the floor or the ceiling of n / chunks long.
    EXPECT_LE(ranges[k].second - ranges[k].first - n / chunks, 1u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ThreadPoolHugeRanges,
    testing::Values(HugeRange{SIZE_MAX, 1}, HugeRange{SIZE_MAX, 0}, HugeRange{SIZE_MAX - 1, 3},
                    HugeRange{size_t{1} << 62, 1}, HugeRange{(size_t{1} << 62) + 12345, 4096},
                    HugeRange{size_t{1} << 40, size_t{1} << 20}, HugeRange{SIZE_MAX, SIZE_MAX / 2},
                    HugeRange{SIZE_MAX, SIZE_MAX}, HugeRange{1000, SIZE_MAX}));

TEST(ThreadPool, MapStoresByPosition) {
  std::vector<uint64_t> in(100000), out(in.size());
  for (size_t i = 0; i < in.size(); ++i) in[i] = i * 7919 % 100003;
  vp::parallel_map(in.data(), out.data(), in.size(), 64, [](uint64_t x) { return x * 3 + 1; });
  for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i], in[i] * 3 + 1) << i;
}

TEST(ThreadPool, FilterCollectKeepsInputOrder) {
  std::vector<uint64_t> in(100000);
  for (size_t i = 0; i < in.size(); ++i) in[i] = i * 7919 % 100003;
  auto keep_odd = [](uint64_t x) { return x % 2 ? std::optional<uint64_t>(x * 10) : std::nullopt; };
  std::vector<uint64_t> expected;
  for (uint64_t x : in) {
    if (auto kept = keep_odd(x)) expected.push_back(*kept);
  }
  EXPECT_EQ(vp::parallel_filter_collect<uint64_t>(in.data(), in.size(), 32, keep_odd), expected);
}

// The caller must see the body's exception, and only once no chunk of that call is
// still running: the chunks borrow state from the caller's frame.
class ThreadPoolErrors : public testing::TestWithParam<bool> {};

TEST_P(ThreadPoolErrors, ReachCallerAfterEveryChunk) {
  const bool nested = GetParam();
  std::atomic<int> failures_seen{0};
  auto failing_call = [&] {
    std::atomic<int> in_flight{0};
    try {
      vp::parallel_for(32, 1, [&](size_t begin, size_t end) {
        // The failing chunk throws while its neighbours are still busy.
        const bool fails = begin <= 5 && 5 < end;
        ++in_flight;
        std::this_thread::sleep_for(std::chrono::milliseconds(fails ? 1 : 5));
        --in_flight;
        if (fails) throw std::runtime_error("item 5");
      });
    } catch (const std::runtime_error& e) {
      if (std::string(e.what()) == "item 5" && in_flight == 0) ++failures_seen;
    }
  };
  if (nested) {
    vp::parallel_for(4, 1, [&](size_t, size_t) { failing_call(); });
  } else {
    failing_call();
  }
  EXPECT_EQ(failures_seen, nested ? 4 : 1);
  EXPECT_EQ(nested_sum(4, 4, 500), expected_sum(4, 4, 500));  // the pool still works
}

INSTANTIATE_TEST_SUITE_P(FromOutsideAndNested, ThreadPoolErrors, testing::Bool());

// Unsigned byte order matters: bytes >= 0x80 must sort after ASCII.
class ThreadPoolSort : public testing::TestWithParam<size_t> {};

TEST_P(ThreadPoolSort, MatchesStdSort) {
  std::mt19937_64 rng(GetParam());
  const char alphabet[] = {'\0', 'a', 'b', '\x7f', '\x80', '\xc3', '\xff'};
  std::vector<std::string> strings(GetParam());
  for (auto& s : strings) {
    s.resize(rng() % 7);  // empty strings and short ones, so plenty of duplicates
    for (char& c : s) c = alphabet[rng() % sizeof alphabet];
  }
  std::vector<std::string_view> views(strings.begin(), strings.end()), expected = views;
  std::sort(expected.begin(), expected.end());
  // Also sort a copy from inside a worker, where the nested path is taken.
  std::vector<std::string_view> nested = views;
  vp::parallel_sort(views);
  vp::parallel_for(2, 1, [&](size_t begin, size_t) {
    if (begin == 1) vp::parallel_sort(nested);
  });
  EXPECT_TRUE(views == expected);
  EXPECT_TRUE(nested == expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ThreadPoolSort,
                         testing::Values(0, 1, 2, 100, 16383, 16384, 40001, 200000));

// ---- Cancelling a call from its waiting caller ----

using Clock = std::chrono::steady_clock;

// Chunk k of run_each's call is f(k): calls with more chunks than parallel_for cuts.
template <class F>
void run_each(size_t chunks, F& f) {
  vp::run_chunks(chunks, [](void* ctx, size_t k) { (*static_cast<F*>(ctx))(k); }, &f);
}

// A poll that counts its calls, noting the thread that makes them, and from the
// `stop_at`-th call on (never, if 0) asks to stop, or throws if `throws`.
struct CountingPoll {
  size_t stop_at = 0;
  bool throws = false;
  std::atomic<size_t> calls{0};
  std::atomic<bool> off_caller{false};
  std::thread::id caller = std::this_thread::get_id();

  static bool poll(void* self) {
    auto* p = static_cast<CountingPoll*>(self);
    if (std::this_thread::get_id() != p->caller) p->off_caller = true;
    const size_t n = ++p->calls;
    if (p->stop_at == 0 || n < p->stop_at) return false;
    if (p->throws) throw std::runtime_error("poll");
    return true;
  }
};

// Long enough that a waiting caller polls a few times.
constexpr auto kLongWait = 5 * vp::kPollInterval;
// What a body that waits for cancellation gives up after: a failure, not a hang.
constexpr auto kGiveUp = std::chrono::seconds(20);

// Chunks that wait for cancel_requested() occupy every worker until the call is
// cancelled; the rest must then be skipped, the running ones finish, and only then
// may the caller see the outcome.
class ThreadPoolCancel : public testing::TestWithParam<bool> {};

TEST_P(ThreadPoolCancel, StopsALongCallOnceItsChunksAreDone) {
  const bool poll_throws = GetParam();
  constexpr size_t kChunks = 1000;
  CountingPoll poll{.stop_at = 3, .throws = poll_throws};
  std::atomic<size_t> ran{0}, in_flight{0}, gave_up{0};
  auto chunk = [&](size_t) {
    ++ran;
    ++in_flight;
    const auto give_up = Clock::now() + kGiveUp;
    while (!vp::cancel_requested() && Clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    gave_up += !vp::cancel_requested();
    --in_flight;
  };
  size_t in_flight_at_throw = SIZE_MAX;
  {
    const vp::WaitPoll scope(&CountingPoll::poll, &poll);
    try {
      run_each(kChunks, chunk);
      ADD_FAILURE() << "the call was not cancelled";
    } catch (const vp::Cancelled&) {
      in_flight_at_throw = in_flight;
      EXPECT_FALSE(poll_throws);
    } catch (const std::runtime_error& e) {
      in_flight_at_throw = in_flight;
      EXPECT_TRUE(poll_throws);
      EXPECT_STREQ(e.what(), "poll");
    }
  }
  EXPECT_EQ(in_flight_at_throw, 0u);
  EXPECT_EQ(poll.calls, 3u);  // none after the one that stopped the call
  EXPECT_FALSE(poll.off_caller);
  EXPECT_EQ(gave_up, 0u);
  EXPECT_GE(ran, 1u);
  EXPECT_LE(ran, vp::thread_count());  // the others were skipped
  EXPECT_FALSE(vp::cancel_requested());
  EXPECT_EQ(nested_sum(4, 4, 500), expected_sum(4, 4, 500));  // the pool still works
}

INSTANTIATE_TEST_SUITE_P(PollReturnsTrueOrThrows, ThreadPoolCancel, testing::Bool());

// Nested calls started by the chunks of a cancelled call, `depth` levels down,
// skip their unstarted chunks and throw Cancelled inside the chunk that started
// them. Their chunks sleep rather than look at cancel_requested().
class ThreadPoolNestedCancel : public testing::TestWithParam<int> {};

TEST_P(ThreadPoolNestedCancel, ReachesNestedCalls) {
  const int depth = GetParam();
  constexpr size_t kFanOut = 4, kInnerChunks = 1000;
  std::atomic<size_t> inner_ran{0}, in_flight{0}, nested_cancelled{0}, started_cancelled{0};
  auto inner = [&](size_t) {
    ++inner_ran;
    ++in_flight;
    // Only a chunk claimed just before the cancel can start after it: one a thread.
    started_cancelled += vp::cancel_requested();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --in_flight;
  };
  std::function<void(int)> level = [&](int below) {
    if (below == 0) {
      run_each(kInnerChunks, inner);
      return;
    }
    auto next = [&](size_t) {
      try {
        level(below - 1);
      } catch (const vp::Cancelled&) {
        ++nested_cancelled;
        throw;
      }
    };
    run_each(kFanOut, next);
  };
  CountingPoll poll{.stop_at = 1};
  size_t in_flight_at_throw = SIZE_MAX;
  {
    const vp::WaitPoll scope(&CountingPoll::poll, &poll);
    EXPECT_THROW(
        {
          try {
            level(depth);
          } catch (const vp::Cancelled&) {
            in_flight_at_throw = in_flight;
            throw;
          }
        },
        vp::Cancelled);
  }
  EXPECT_EQ(in_flight_at_throw, 0u);
  EXPECT_EQ(poll.calls, 1u);
  EXPECT_GE(nested_cancelled, 1u);
  EXPECT_LE(started_cancelled, vp::thread_count());
  size_t total = kInnerChunks;
  for (int d = 0; d < depth; ++d) total *= kFanOut;
  EXPECT_LT(inner_ran, total / 2);
}

INSTANTIATE_TEST_SUITE_P(Depths, ThreadPoolNestedCancel, testing::Values(1, 2));

// A parallel_sort started in a chunk of a cancelled call stops too.
TEST(ThreadPool, CancelReachesANestedSort) {
  if (vp::thread_count() == 1) GTEST_SKIP() << "a one-thread pool sorts inline";
  std::vector<uint64_t> items(200000);
  std::mt19937_64 rng(7);
  for (auto& x : items) x = rng();
  std::atomic<size_t> comparisons{0};
  std::atomic<bool> sort_cancelled{false};
  auto chunk = [&](size_t k) {
    if (k != 0) return;
    std::vector<uint64_t> copy = items;
    try {
      // Slowed down so that the caller polls while it runs.
      vp::parallel_sort(copy, [&](uint64_t a, uint64_t b) {
        if (++comparisons % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
        return a < b;
      });
    } catch (const vp::Cancelled&) {
      sort_cancelled = true;
      throw;
    }
  };
  CountingPoll poll{.stop_at = 1};
  {
    const vp::WaitPoll scope(&CountingPoll::poll, &poll);
    EXPECT_THROW(run_each(2, chunk), vp::Cancelled);
  }
  EXPECT_TRUE(sort_cancelled);
  EXPECT_EQ(poll.calls, 1u);
}

// Long loops stop at their cancel points: inside a chunk once its call is
// cancelled, and on the caller itself (a loop run inline) once its poll says so.
TEST(ThreadPool, CancelPointsEndLoopsThatWouldRunOn) {
  const auto endless = [] {
    vp::CancelPoint point;
    for (const auto give_up = Clock::now() + kGiveUp; Clock::now() < give_up;) point.step();
  };
  CountingPoll poll{.stop_at = 2};
  const vp::WaitPoll scope(&CountingPoll::poll, &poll);
  EXPECT_THROW(vp::parallel_for(2, 1, [&](size_t, size_t) { endless(); }), vp::Cancelled);
  EXPECT_THROW(endless(), vp::Cancelled);  // asks the poll, whose calls go on counting
  EXPECT_EQ(poll.calls, 3u);
}

TEST(ThreadPool, CancelPointsWithoutAPollNeverStop) {
  vp::CancelPoint point;
  for (int i = 0; i < 100000; ++i) point.step();
  SUCCEED();
}

// A poll that always answers no is asked while the caller waits and changes
// nothing: not the results, not cancel_requested(), not how errors arrive.
TEST(ThreadPool, PollThatNeverStopsChangesNothing) {
  CountingPoll poll;
  const vp::WaitPoll scope(&CountingPoll::poll, &poll);
  std::atomic<bool> saw_cancel{false};
  std::atomic<uint64_t> sum{0};
  const auto until = Clock::now() + kLongWait;
  vp::parallel_for(64, 1, [&](size_t begin, size_t end) {
    // Chunks that end together, at the earliest `until`, whatever the thread count.
    std::this_thread::sleep_until(until);
    for (size_t i = begin; i < end; ++i) sum += nested_sum(2, 3, 100 + i);
    saw_cancel = saw_cancel || vp::cancel_requested();
  });
  uint64_t expected = 0;
  for (size_t i = 0; i < 64; ++i) expected += expected_sum(2, 3, 100 + i);
  EXPECT_EQ(sum, expected);
  EXPECT_FALSE(saw_cancel);
  EXPECT_GE(poll.calls, 1u);
  EXPECT_FALSE(poll.off_caller);

  const auto fail_until = Clock::now() + kLongWait;
  EXPECT_THROW(vp::parallel_for(8, 1,
                                [&](size_t begin, size_t) {
                                  std::this_thread::sleep_until(fail_until);
                                  if (begin == 0) throw std::out_of_range("chunk 0");
                                }),
               std::out_of_range);
  std::vector<std::string_view> views{"d", "b", "a", "c"};
  vp::parallel_sort(views);
  EXPECT_EQ(views, (std::vector<std::string_view>{"a", "b", "c", "d"}));
}

// Where no caller waits outside the pool for a while, or no scope is alive, the
// poll is never asked.
enum class NoWait { kScopeEnded, kSideOutlastsChunks, kInline, kWorkerScope };

void PrintTo(NoWait w, std::ostream* os) {
  constexpr const char* kNames[] = {"scope ended", "side outlasts chunks", "inline",
                                    "scope on a worker"};
  *os << kNames[static_cast<int>(w)];
}

class ThreadPoolNoPoll : public testing::TestWithParam<NoWait> {};

TEST_P(ThreadPoolNoPoll, PollIsNotCalled) {
  CountingPoll poll{.stop_at = 1};  // would cancel, so a stray poll also shows as Cancelled
  // A call that lasts kLongWait, whatever the thread count.
  auto long_call = [] {
    const auto until = Clock::now() + kLongWait;
    vp::parallel_for(8, 1, [&](size_t, size_t) { std::this_thread::sleep_until(until); });
  };
  switch (GetParam()) {
    case NoWait::kScopeEnded: {
      { const vp::WaitPoll scope(&CountingPoll::poll, &poll); }
      long_call();
      break;
    }
    case NoWait::kSideOutlastsChunks: {
      // The caller's side runs longer than the chunks, which are then done before
      // the caller would begin to wait.
      const vp::WaitPoll scope(&CountingPoll::poll, &poll);
      std::atomic<size_t> done{0};
      const auto until = Clock::now() + kLongWait;
      vp::parallel_for_alongside(
          8, 1,
          [&](size_t, size_t) {
            std::this_thread::sleep_until(until);
            ++done;
          },
          [&] {
            const size_t chunks = vp::chunk_count(8, 1);
            const auto give_up = Clock::now() + kGiveUp;
            while (done < chunks && Clock::now() < give_up) {
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            // Time for the last chunk to be counted as finished.
            std::this_thread::sleep_for(kLongWait);
          });
      break;
    }
    case NoWait::kInline: {
      const vp::WaitPoll scope(&CountingPoll::poll, &poll);
      const vp::InlineScope inline_scope;
      long_call();
      break;
    }
    case NoWait::kWorkerScope: {
      vp::parallel_for(2, 1, [&](size_t, size_t) {
        const vp::WaitPoll scope(&CountingPoll::poll, &poll);
        long_call();
      });
      break;
    }
  }
  EXPECT_EQ(poll.calls, 0u);
}

INSTANTIATE_TEST_SUITE_P(Situations, ThreadPoolNoPoll,
                         testing::Values(NoWait::kScopeEnded, NoWait::kSideOutlastsChunks,
                                         NoWait::kInline, NoWait::kWorkerScope));

// Scopes nest: the innermost polls, and the outer one is back once it ends.
TEST(ThreadPool, InnermostWaitPollPolls) {
  auto long_call = [] {
    const auto until = Clock::now() + kLongWait;
    vp::parallel_for(8, 1, [&](size_t, size_t) { std::this_thread::sleep_until(until); });
  };
  CountingPoll outer, inner;
  const vp::WaitPoll outer_scope(&CountingPoll::poll, &outer);
  {
    const vp::WaitPoll inner_scope(&CountingPoll::poll, &inner);
    long_call();
  }
  EXPECT_EQ(outer.calls, 0u);
  EXPECT_GE(inner.calls, 1u);
  const size_t inner_calls = inner.calls;
  long_call();
  EXPECT_GE(outer.calls, 1u);
  EXPECT_EQ(inner.calls, inner_calls);
}

// Cancelling one caller's call leaves other callers' calls, sharing the pool's
// workers with it, to run to the end with their own results.
TEST(ThreadPool, CancelStopsOnlyTheCallersOwnCall) {
  std::atomic<bool> cancelled_done{false};
  std::atomic<int> rounds{0}, wrong{0};
  std::thread other([&] {
    do {
      if (nested_sum(4, 4, 300) != expected_sum(4, 4, 300)) ++wrong;
      ++rounds;
    } while (!cancelled_done);
  });
  CountingPoll poll{.stop_at = 2};
  auto chunk = [&](size_t) {
    const auto give_up = Clock::now() + kGiveUp;
    while (!vp::cancel_requested() && Clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  {
    const vp::WaitPoll scope(&CountingPoll::poll, &poll);
    EXPECT_THROW(run_each(64, chunk), vp::Cancelled);
  }
  cancelled_done = true;
  other.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_GE(rounds, 1);
}

TEST(ThreadPool, ForkedChildGetsAFreshPool) {
  ASSERT_EQ(nested_sum(4, 4, 1000), expected_sum(4, 4, 1000));
  // Keep the pool busy while forking, so its lock is likely held at the fork.
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop) nested_sum(2, 4, 2000);
  });
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(passes_in_child([] {
      return !kChildMayStartThreads || nested_sum(4, 8, 1000) == expected_sum(4, 8, 1000);
    }));
  }
  stop = true;
  busy.join();
}

struct EnvCase {
  const char* num_threads;
  const char* rs_num_cpus;
  size_t expected;  // 0: the CPUs this process may use
};

void PrintTo(const EnvCase& c, std::ostream* os) {
  *os << "RAYON_NUM_THREADS=" << (c.num_threads ? c.num_threads : "(unset)")
      << " RAYON_RS_NUM_CPUS=" << (c.rs_num_cpus ? c.rs_num_cpus : "(unset)");
}

class ThreadPoolSize : public testing::TestWithParam<EnvCase> {};

// Each case runs in a fresh child, which sizes its own pool; the thread count is
// checked both before any thread exists (none may be started by asking) and after.
TEST_P(ThreadPoolSize, FollowsEnvironment) {
  if (!kChildMayStartThreads) GTEST_SKIP() << "the child starts threads";
  const EnvCase c = GetParam();
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  const size_t expected =
      c.expected ? c.expected : std::min(static_cast<size_t>(CPU_COUNT(&set)), vp::kMaxThreads);
  EXPECT_TRUE(passes_in_child([&] {
    auto put = [](const char* name, const char* value) {
      value ? setenv(name, value, 1) : unsetenv(name);
    };
    put("RAYON_NUM_THREADS", c.num_threads);
    put("RAYON_RS_NUM_CPUS", c.rs_num_cpus);
    const size_t before = threads_in_process();
    if (vp::thread_count() != expected || threads_in_process() != before) return false;
    return nested_sum(3, 3, 500) == expected_sum(3, 3, 500) &&
           threads_in_process() == before + expected;
  }));
}

INSTANTIATE_TEST_SUITE_P(Variables, ThreadPoolSize,
                         testing::Values(EnvCase{"3", "5", 3}, EnvCase{"0", "5", 5},
                                         EnvCase{"5x", nullptr, 0}, EnvCase{"", "6", 6},
                                         EnvCase{" 5", "+6", 0}, EnvCase{nullptr, "-1", 0},
                                         EnvCase{"99999999999999999999999", "4", 4},
                                         EnvCase{nullptr, nullptr, 0},
                                         // Sizes beyond the cap start kMaxThreads threads; 2**62
                                         // is where four threads per chunk wrapped to zero.
                                         EnvCase{"4611686018427387904", nullptr, vp::kMaxThreads},
                                         EnvCase{"10000", "2", vp::kMaxThreads},
                                         EnvCase{nullptr, "18446744073709551615", vp::kMaxThreads},
                                         EnvCase{"257", nullptr, vp::kMaxThreads},
                                         EnvCase{"256", nullptr, 256}));

}  // namespace
