// A column of UTF-8 texts held in Arrow memory, read in place chunk by chunk.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/arrow_c_abi.hpp"
#include "core/result.hpp"

namespace vorpak {

// One Arrow array that this process now owns: released when dropped, as the
// C data interface asks of whoever moved the struct out of its producer.
class OwnedArrowArray {
 public:
  OwnedArrowArray() { std::memset(&array_, 0, sizeof array_); }
  // Takes over `from`, leaving it released (its release callback cleared).
  explicit OwnedArrowArray(ArrowArray& from) : array_(from) { from.release = nullptr; }
  OwnedArrowArray(OwnedArrowArray&& other) noexcept : array_(other.array_) {
    other.array_.release = nullptr;
  }
  OwnedArrowArray& operator=(OwnedArrowArray&& other) noexcept;
  OwnedArrowArray(const OwnedArrowArray&) = delete;
  OwnedArrowArray& operator=(const OwnedArrowArray&) = delete;
  ~OwnedArrowArray() { release(); }

  const ArrowArray& get() const { return array_; }
  void release();

 private:
  ArrowArray array_;
};

class ArrowTextColumn {
 public:
  // The three Arrow layouts of UTF-8 text: 32-bit offsets ("u"), 64-bit
  // offsets ("U"), and 16-byte views into variadic buffers ("vu").
  enum class Layout { kOffsets32, kOffsets64, kViews };
  static std::optional<Layout> layout_of(const char* format);

  explicit ArrowTextColumn(Layout layout = Layout::kOffsets32) : layout_(layout) {}

  // What became of a chunk that is sound Arrow: kAdded, or kLeftOut when it is
  // in a form this reader leaves to others (the column is then as it was).
  enum class Taken { kAdded, kLeftOut };
  // Adds the next chunk once it is checked to be read only where its layout
  // says; a failure, leaving the column as it was, names what is wrong with it.
  Result<Taken> add_chunk(OwnedArrowArray chunk);

  size_t size() const { return size_; }
  size_t null_count() const { return null_count_; }
  Layout layout() const { return layout_; }
  // The first row that holds null, or size() if none does.
  size_t first_null_row() const;
  // The first row that holds a text, or size() if none does.
  size_t first_text_row() const;

  // Calls text(row, view) for each row that holds a text and null(row) for
  // each that does not, in row order. The views point into Arrow memory and
  // live as long as this column.
  template <class OnText, class OnNull>
  void for_each(OnText&& text, OnNull&& null) const {
    for_each_in(0, size_, text, null);
  }
  // The same for rows [begin, end) alone, so that ranges of one column can be
  // read side by side: a range starts in the chunk that holds its first row.
  template <class OnText, class OnNull>
  void for_each_in(size_t begin, size_t end, OnText&& text, OnNull&& null) const;

 private:
  struct Chunk {
    OwnedArrowArray owned;
    size_t first_row;  // of the whole column
    const uint8_t* validity;  // null when every row holds a text
  };
  static bool is_valid(const Chunk& c, int64_t k) {
    const int64_t bit = c.owned.get().offset + k;
    return c.validity == nullptr || (c.validity[bit >> 3] >> (bit & 7)) & 1;
  }
  // The text at index `at` of a chunk's buffers (its offset included), and the
  // walk of its rows [from, to): for a layout known outside the loop, with the
  // buffers read out of the array once, as the loop runs once per row.
  template <Layout kLayout>
  static std::string_view text_at(const void* const* buffers, const void* index, const char* data,
                                  int64_t at);
  template <Layout kLayout, class OnText, class OnNull>
  static void walk_chunk(const Chunk& c, int64_t from, int64_t to, OnText& text, OnNull& null);
  std::optional<Failure> shape_fault(const ArrowArray& a) const;
  template <class Offset>
  std::optional<Failure> offsets_fault(const ArrowArray& a, int64_t& span) const;
  std::optional<Failure> views_fault(const ArrowArray& a, const uint8_t* validity) const;
  // Row k of the chunk being added, named by its row in the whole column.
  std::string row_name(int64_t k) const {
    return "row " + std::to_string(size_ + static_cast<size_t>(k));
  }
  size_t first_row_where(bool want_valid) const;

  Layout layout_;
  std::vector<Chunk> chunks_;
  size_t size_ = 0;
  size_t null_count_ = 0;
};

template <ArrowTextColumn::Layout kLayout>
std::string_view ArrowTextColumn::text_at(const void* const* buffers, const void* index,
                                          const char* data, int64_t at) {
  if constexpr (kLayout != Layout::kViews) {
    using Offset = std::conditional_t<kLayout == Layout::kOffsets32, int32_t, int64_t>;
    const auto* offsets = static_cast<const Offset*>(index);
    return {data + offsets[at], static_cast<size_t>(offsets[at + 1] - offsets[at])};
  } else {
    // A view is its length, then up to 12 bytes inline, or else a 4-byte
    // prefix, the index of the data buffer and the offset in it.
    const char* view = static_cast<const char*>(index) + 16 * at;
    int32_t length, buffer, offset;
    std::memcpy(&length, view, 4);
    if (length <= 12) return {view + 4, static_cast<size_t>(length)};
    std::memcpy(&buffer, view + 8, 4);
    std::memcpy(&offset, view + 12, 4);
    return {static_cast<const char*>(buffers[2 + buffer]) + offset, static_cast<size_t>(length)};
  }
}

template <ArrowTextColumn::Layout kLayout, class OnText, class OnNull>
void ArrowTextColumn::walk_chunk(const Chunk& c, int64_t from, int64_t to, OnText& text,
                                 OnNull& null) {
  const ArrowArray& a = c.owned.get();
  const void* const* buffers = a.buffers;
  const void* const index = buffers[1];
  const auto* const data = static_cast<const char*>(buffers[2]);
  const uint8_t* const validity = c.validity;
  const int64_t offset = a.offset;
  const size_t first_row = c.first_row;
  for (int64_t k = from; k < to; ++k) {
    const int64_t at = offset + k;
    const size_t row = first_row + static_cast<size_t>(k);
    if (validity == nullptr || (validity[at >> 3] >> (at & 7)) & 1) {
      text(row, text_at<kLayout>(buffers, index, data, at));
    } else {
      null(row);
    }
  }
}

template <class OnText, class OnNull>
void ArrowTextColumn::for_each_in(size_t begin, size_t end, OnText&& text, OnNull&& null) const {
  end = std::min(end, size_);
  if (begin >= end) return;
  // The last chunk that starts at or before `begin`: chunks are in row order
  // and none is empty, so it holds that row.
  auto c = std::upper_bound(chunks_.begin(), chunks_.end(), begin,
                            [](size_t row, const Chunk& chunk) { return row < chunk.first_row; });
  for (--c; c != chunks_.end() && c->first_row < end; ++c) {
    const auto from = static_cast<int64_t>(std::max(begin, c->first_row) - c->first_row);
    const auto to =
        static_cast<int64_t>(std::min(end - c->first_row, static_cast<size_t>(c->owned.get().length)));
    switch (layout_) {
      case Layout::kOffsets32: walk_chunk<Layout::kOffsets32>(*c, from, to, text, null); break;
      case Layout::kOffsets64: walk_chunk<Layout::kOffsets64>(*c, from, to, text, null); break;
      case Layout::kViews: walk_chunk<Layout::kViews>(*c, from, to, text, null); break;
    }
  }
}

}  // namespace vorpak
