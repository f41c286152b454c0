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

#include "runtime/thread_pool.hpp"

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
