// Bump allocator for the bytes of texts that no Python object holds.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace vorpak {

// Texts stay where they were put until the arena goes away, so views into it stay
// valid however much is added later.
class TextArena {
 public:
  std::string_view store(std::string_view text) {
    if (text.empty()) return std::string_view("", 0);  // never a null data(), which memcpy may not take
    if (text.size() > room_) grow(text.size());
    char* at = next_;
    std::memcpy(at, text.data(), text.size());
    next_ += text.size();
    room_ -= text.size();
    return {at, text.size()};
  }
  // Takes over the texts `other` holds, which stay where they are.
  void adopt(TextArena&& other) {
    for (auto& block : other.blocks_) blocks_.push_back(std::move(block));
    other = TextArena();
  }

 private:
  // Blocks double from a small first one, so that a column of a few short texts
  // (a wide table has many) costs a few bytes, and a column of many texts few
  // allocations.
  static constexpr size_t kFirstBlockSize = 64;
  static constexpr size_t kLargestBlockSize = 64 * 1024;

  void grow(size_t need) {
    const size_t block = std::min(kLargestBlockSize, std::max(kFirstBlockSize, 2 * last_block_));
    const size_t size = need > block / 4 ? need : block;
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    next_ = blocks_.back().get();
    room_ = size;
    last_block_ = block;
  }

  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t last_block_ = 0;
  char* next_ = nullptr;
  size_t room_ = 0;
};

}  // namespace vorpak
