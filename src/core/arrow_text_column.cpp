#include "core/arrow_text_column.hpp"

#include <cstring>

namespace vorpak {

OwnedArrowArray& OwnedArrowArray::operator=(OwnedArrowArray&& other) noexcept {
  if (this != &other) {
    release();
    array_ = other.array_;
    other.array_.release = nullptr;
  }
  return *this;
}

void OwnedArrowArray::release() {
  if (array_.release != nullptr) array_.release(&array_);  // the callback clears it
  array_.release = nullptr;
}

std::optional<ArrowTextColumn::Layout> ArrowTextColumn::layout_of(const char* format) {
  if (format == nullptr) return std::nullopt;
  if (std::strcmp(format, "u") == 0) return Layout::kOffsets32;
  if (std::strcmp(format, "U") == 0) return Layout::kOffsets64;
  if (std::strcmp(format, "vu") == 0) return Layout::kViews;
  return std::nullopt;
}

bool ArrowTextColumn::add_chunk(OwnedArrowArray chunk) {
  const ArrowArray& a = chunk.get();
  if (a.length < 0 || a.offset < 0 || a.null_count < -1 || a.buffers == nullptr) return false;
  if (a.length == 0) return true;
  // Offsets layouts have validity, offsets and data; views have validity,
  // views, any number of data buffers and their sizes.
  const bool shaped = layout_ == Layout::kViews ? a.n_buffers >= 3 && a.buffers[1] != nullptr
                                                : a.n_buffers == 3 && a.buffers[1] != nullptr &&
                                                      a.buffers[2] != nullptr;
  if (!shaped) return false;
  const auto* validity = static_cast<const uint8_t*>(a.buffers[0]);
  // A producer may leave the count unknown (-1): then count from the bitmap.
  size_t nulls = 0;
  if (validity != nullptr && a.null_count != 0) {
    for (int64_t k = 0; k < a.length; ++k) {
      const int64_t bit = a.offset + k;
      nulls += !((validity[bit >> 3] >> (bit & 7)) & 1);
    }
  }
  if (nulls == 0) validity = nullptr;
  if (layout_ == Layout::kViews && !views_in_bounds(a, validity)) return false;
  chunks_.push_back(Chunk{std::move(chunk), size_, validity});
  size_ += static_cast<size_t>(a.length);
  null_count_ += nulls;
  return true;
}

// A view's bytes must lie inside the data buffer it names: the last buffer
// holds each data buffer's size, so this can be checked before anything is read.
bool ArrowTextColumn::views_in_bounds(const ArrowArray& a, const uint8_t* validity) {
  const int64_t data_buffers = a.n_buffers - 3;
  const auto* sizes = static_cast<const int64_t*>(a.buffers[a.n_buffers - 1]);
  if (data_buffers > 0 && sizes == nullptr) return false;
  const auto* views = static_cast<const char*>(a.buffers[1]);
  for (int64_t k = 0; k < a.length; ++k) {
    const int64_t at = a.offset + k;
    if (validity != nullptr && !((validity[at >> 3] >> (at & 7)) & 1)) continue;  // a null's view is unused
    const char* view = views + 16 * at;
    int32_t length, buffer, offset;
    std::memcpy(&length, view, 4);
    if (length < 0) return false;
    if (length <= 12) continue;
    std::memcpy(&buffer, view + 8, 4);
    std::memcpy(&offset, view + 12, 4);
    if (buffer < 0 || buffer >= data_buffers || offset < 0 ||
        a.buffers[2 + buffer] == nullptr ||
        int64_t{offset} + length > sizes[buffer]) {
      return false;
    }
  }
  return true;
}

size_t ArrowTextColumn::first_row_where(bool want_valid) const {
  for (const Chunk& c : chunks_) {
    const int64_t length = c.owned.get().length;
    for (int64_t k = 0; k < length; ++k) {
      if (is_valid(c, k) == want_valid) return c.first_row + static_cast<size_t>(k);
    }
  }
  return size_;
}

size_t ArrowTextColumn::first_null_row() const {
  return null_count_ == 0 ? size_ : first_row_where(false);
}

size_t ArrowTextColumn::first_text_row() const {
  return null_count_ == size_ ? size_ : first_row_where(true);
}

}  // namespace vorpak
