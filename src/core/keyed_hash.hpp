// Keyed hashing for the encoder's tables.
//
// Every table gets its own random key when its hasher is default-constructed, so
// iteration order differs between maps and between processes and nothing can come
// to depend on it. The key is drawn from a per-process random seed advanced by an
// atomic counter, which keeps construction cheap and thread-safe.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vorpak {

// 64x64 -> 128 multiply folded back to 64 bits: the mixing step of the hash.
inline uint64_t fold_multiply(uint64_t a, uint64_t b) {
  const __uint128_t r = static_cast<__uint128_t>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

inline uint64_t read_u64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline uint64_t read_tail(const char* p, size_t n) {  // n in 1..7
  uint64_t v = 0;
  std::memcpy(&v, p, n);
  return v;
}

// Fast keyed hash of a byte string; quality is what a hash table needs, not crypto.
inline uint64_t hash_bytes(const char* data, size_t len, uint64_t key) {
  constexpr uint64_t kP0 = 0xa0761d6478bd642full;
  constexpr uint64_t kP1 = 0xe7037ed1a0b428dbull;
  uint64_t h = key ^ fold_multiply(len ^ kP0, kP1);
  size_t i = 0;
  for (; i + 16 <= len; i += 16) {
    h = fold_multiply(read_u64(data + i) ^ kP0 ^ h, read_u64(data + i + 8) ^ kP1);
  }
  if (i + 8 <= len) {
    h = fold_multiply(read_u64(data + i) ^ kP0, h ^ kP1);
    i += 8;
  }
  if (i < len) h = fold_multiply(read_tail(data + i, len - i) ^ kP1, h ^ kP0);
  return fold_multiply(h ^ kP0, h ^ kP1 ^ len);
}

// A fresh random key for one table.
uint64_t fresh_hash_key();

// Hasher with its own random key; transparent so string tables can be searched
// with a string_view without building a std::string.
struct KeyedHash {
  using is_transparent = void;
  uint64_t key;

  KeyedHash() : key(fresh_hash_key()) {}

  size_t operator()(std::string_view s) const { return hash_bytes(s.data(), s.size(), key); }
  size_t operator()(const std::string& s) const { return hash_bytes(s.data(), s.size(), key); }
  size_t operator()(const char* s) const { return (*this)(std::string_view(s)); }
  size_t operator()(uint64_t v) const { return fold_multiply(v ^ key, 0x9e3779b97f4a7c15ull); }
};

struct TextEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const { return a == b; }
};

}  // namespace vorpak
