#include "core/keyed_hash.hpp"

#include <atomic>
#include <chrono>
#include <random>

namespace vorpak {
namespace {

uint64_t splitmix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

uint64_t process_seed() {
  uint64_t seed =
      static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
  try {
    std::random_device device;
    seed ^= (static_cast<uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // No entropy source: the clock alone still varies the order between runs.
  }
  return splitmix64(seed);
}

}  // namespace

uint64_t fresh_hash_key() {
  static const uint64_t seed = process_seed();
  static std::atomic<uint64_t> counter{0};
  return splitmix64(seed + counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace vorpak
