#include "core/arrow_text_column.hpp"

#include <algorithm>
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

Result<ArrowTextColumn::Taken> ArrowTextColumn::add_chunk(OwnedArrowArray chunk) {
  const ArrowArray& a = chunk.get();
  if (auto fault = shape_fault(a)) return *fault;
  if (a.length == 0) return Taken::kAdded;
  const auto* validity = static_cast<const uint8_t*>(a.buffers[0]);
  // The interface lets the bitmap be absent only where nothing is null, so an
  // unknown count (-1) without one is none, as Arrow's own importer reads it.
  if (validity == nullptr && a.null_count > 0) {
    return Failure{"its null count is " + std::to_string(a.null_count) +
                   " but it has no validity bitmap"};
  }
  // A producer may leave the count unknown (-1): then count from the bitmap.
  size_t nulls = 0;
  if (validity != nullptr && a.null_count != 0) {
    for (int64_t k = 0; k < a.length; ++k) {
      const int64_t bit = a.offset + k;
      nulls += !((validity[bit >> 3] >> (bit & 7)) & 1);
    }
    if (a.null_count > 0 && nulls != static_cast<size_t>(a.null_count)) {
      return Failure{"its null count is " + std::to_string(a.null_count) +
                     " but its validity bitmap marks " + std::to_string(nulls)};
    }
  }
  if (nulls == 0) validity = nullptr;
  int64_t span = 0;
  std::optional<Failure> fault;
  switch (layout_) {
    case Layout::kOffsets32: fault = offsets_fault<int32_t>(a, span); break;
    case Layout::kOffsets64: fault = offsets_fault<int64_t>(a, span); break;
    case Layout::kViews: fault = views_fault(a, validity); break;
  }
  if (fault) return *fault;
  if (layout_ != Layout::kViews && a.buffers[2] == nullptr) {
    // A data buffer of no bytes may be left out; its texts, all empty, are
    // left to the general road rather than read at offsets into nothing.
    if (span == 0) return Taken::kLeftOut;
    return Failure{"its offsets span " + std::to_string(span) + " bytes but it has no data buffer"};
  }
  chunks_.push_back(Chunk{std::move(chunk), size_, validity});
  size_ += static_cast<size_t>(a.length);
  null_count_ += nulls;
  return Taken::kAdded;
}

// The counts, and the buffers every row's reading needs. The interface gives no
// buffer sizes but a views layout's data buffers'; the rest is the producer's
// word that each buffer is as long as its layout and the length make it.
std::optional<Failure> ArrowTextColumn::shape_fault(const ArrowArray& a) const {
  if (a.length < 0 || a.offset < 0 || a.null_count < -1) {
    return Failure{"its length " + std::to_string(a.length) + ", offset " +
                   std::to_string(a.offset) + " or null count " + std::to_string(a.null_count) +
                   " is below zero"};
  }
  // Every row's view is read at 16 bytes a row: no index or byte count may overflow.
  if (a.offset > (INT64_MAX >> 4) - a.length - 1) return Failure{"its offset and length overflow"};
  // Offsets layouts have validity, offsets and data; views have validity,
  // views, any number of data buffers and their sizes.
  const bool views = layout_ == Layout::kViews;
  if (a.buffers == nullptr || (views ? a.n_buffers < 3 : a.n_buffers != 3)) {
    return Failure{"it has " + std::to_string(a.buffers == nullptr ? 0 : a.n_buffers) +
                   " buffers where its type has " + (views ? "at least 3" : "3")};
  }
  if (a.length > 0 && a.buffers[1] == nullptr) {
    return Failure{views ? "it has no views buffer" : "it has no offsets buffer"};
  }
  return std::nullopt;
}

// Each row's offsets must not fall, from a first offset of zero or above: then
// every text lies between the first offset and the last, which the layout makes
// the data buffer hold. One pass, with the row found only once one falls.
template <class Offset>
std::optional<Failure> ArrowTextColumn::offsets_fault(const ArrowArray& a, int64_t& span) const {
  const Offset* offsets = static_cast<const Offset*>(a.buffers[1]) + a.offset;
  if (offsets[0] < 0) {
    return Failure{"its offsets start below zero, at " + std::to_string(offsets[0]) + ", at " +
                   row_name(0)};
  }
  constexpr int64_t kBlock = 4096;
  for (int64_t begin = 0; begin < a.length; begin += kBlock) {
    const int64_t end = std::min(a.length, begin + kBlock);
    Offset fell = 0;  // of the offsets' own type, so that the loop vectorises
    for (int64_t k = begin; k < end; ++k) fell |= Offset(offsets[k + 1] < offsets[k]);
    if (fell == 0) continue;
    int64_t k = begin;
    while (offsets[k + 1] >= offsets[k]) ++k;
    return Failure{"its offsets fall back at " + row_name(k) + ", from " +
                   std::to_string(offsets[k]) + " to " + std::to_string(offsets[k + 1])};
  }
  span = int64_t{offsets[a.length]} - offsets[0];
  return std::nullopt;
}

// A view's bytes must lie inside the data buffer it names: the last buffer
// holds each data buffer's size, so this can be checked before anything is read.
std::optional<Failure> ArrowTextColumn::views_fault(const ArrowArray& a,
                                                    const uint8_t* validity) const {
  const int64_t data_buffers = a.n_buffers - 3;
  const auto* sizes = static_cast<const int64_t*>(a.buffers[a.n_buffers - 1]);
  if (data_buffers > 0 && sizes == nullptr) {
    return Failure{"it has no buffer of its data buffers' sizes"};
  }
  const auto* views = static_cast<const char*>(a.buffers[1]);
  for (int64_t k = 0; k < a.length; ++k) {
    const int64_t at = a.offset + k;
    if (validity != nullptr && !((validity[at >> 3] >> (at & 7)) & 1)) continue;  // a null's view is unused
    const char* view = views + 16 * at;
    int32_t length, buffer, offset;
    std::memcpy(&length, view, 4);
    if (length < 0) return Failure{"the view of " + row_name(k) + " has a length below zero"};
    if (length <= 12) continue;
    std::memcpy(&buffer, view + 8, 4);
    std::memcpy(&offset, view + 12, 4);
    if (buffer < 0 || buffer >= data_buffers || a.buffers[2 + buffer] == nullptr) {
      return Failure{"the view of " + row_name(k) + " names data buffer " + std::to_string(buffer) +
                     " of " + std::to_string(data_buffers)};
    }
    if (offset < 0 || int64_t{offset} + length > sizes[buffer]) {
      return Failure{"the view of " + row_name(k) + " reaches outside its data buffer (bytes " +
                     std::to_string(offset) + " to " + std::to_string(int64_t{offset} + length) +
                     " of " + std::to_string(sizes[buffer]) + ")"};
    }
  }
  return std::nullopt;
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
