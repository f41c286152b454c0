// Bump allocator for the bytes of texts that no Python object holds.
#pragma once

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
    if (text.empty()) return {};
    if (text.size() > room_) grow(text.size());
    char* at = next_;
    std::memcpy(at, text.data(), text.size());
    next_ += text.size();
    room_ -= text.size();
    return {at, text.size()};
  }

 private:
  static constexpr size_t kBlockSize = 64 * 1024;

  void grow(size_t need) {
    const size_t size = need > kBlockSize / 4 ? need : kBlockSize;
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    next_ = blocks_.back().get();
    room_ = size;
  }

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  size_t room_ = 0;
};

}  // namespace vorpak
