#include "core/book_recoding.hpp"

#include <atomic>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <vector>

#include "core/column_job.hpp"
#include "core/thread_pool.hpp"

namespace vorpak {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr size_t kNoRow = std::numeric_limits<size_t>::max();
constexpr size_t kRowsPerChunk = size_t{1} << 14;
constexpr size_t kCodesPerChunk = size_t{1} << 12;

// The lowest row any chunk saw an unknown text in, kept without a lock.
class FirstUnknownRow {
 public:
  void saw(size_t row) {
    size_t seen = row_.load(std::memory_order_relaxed);
    while (row < seen && !row_.compare_exchange_weak(seen, row, std::memory_order_relaxed)) {
    }
  }
  size_t row() const { return row_.load(std::memory_order_relaxed); }

 private:
  std::atomic<size_t> row_{kNoRow};
};

// What each fresh code becomes: its stored code (NaN for a marker), or, for a
// column that held numbers when fitted, the number its text was written from.
struct Translation {
  std::vector<double> value;
  std::vector<uint8_t> known;
};

bool read_number_text(std::string_view text, double& number) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number);
  return error == std::errc() && stop == end;
}

Translation translate_codes(const DecodingTable& fresh, const EncodingTable* stored) {
  const size_t codes = fresh.size();
  Translation t{std::vector<double>(codes, kNaN), std::vector<uint8_t>(codes, 0)};
  pool::parallel_for(codes, kCodesPerChunk, [&](size_t begin, size_t end) {
    pool::CancelPoint cancel;
    for (size_t c = begin; c < end; ++c) {
      cancel.step();
      const std::string_view* text = fresh.find_text(c);
      if (text == nullptr) continue;  // a fresh fit numbers its texts 0..n-1
      if (stored == nullptr) {
        t.known[c] = read_number_text(*text, t.value[c]);
        continue;
      }
      const auto found = stored->find(*text);
      if (found == stored->end()) continue;
      t.known[c] = 1;
      if (found->second) t.value[c] = static_cast<double>(*found->second);
    }
  });
  return t;
}

}  // namespace

std::optional<UnknownCell> recode_text_column(const CellGrid& grid, size_t column,
                                              const DecodingTable& fresh,
                                              const EncodingTable* stored, size_t first_text_row,
                                              const UnknownTexts& unknown) {
  const Translation t = translate_codes(fresh, stored);
  FirstUnknownRow first;
  pool::parallel_for(grid.nrows, kRowsPerChunk, [&](size_t begin, size_t end) {
    pool::CancelPoint cancel;
    for (size_t i = begin; i < end; ++i) {
      cancel.step();
      double& cell = grid.at(i, column);
      if (std::isnan(cell)) continue;  // a marker: NaN whatever was fitted
      const auto code = static_cast<size_t>(cell);
      const bool as_number_above = stored == nullptr && i < first_text_row;
      if (t.known[code] && (stored != nullptr || as_number_above)) {
        cell = t.value[code];
      } else if (!unknown.raise) {
        cell = unknown.value;
      } else {
        first.saw(i);
        return;  // later rows of this chunk cannot come first
      }
    }
  });
  if (first.row() == kNoRow) return std::nullopt;
  const double code = grid.at(first.row(), column);
  return UnknownCell{first.row(), std::string(*fresh.find_text(static_cast<uint64_t>(code)))};
}

std::optional<UnknownCell> recode_number_column(const CellGrid& grid, size_t column,
                                                const EncodingTable& stored,
                                                const UnknownTexts& unknown) {
  FirstUnknownRow first;
  pool::parallel_for(grid.nrows, kRowsPerChunk, [&](size_t begin, size_t end) {
    pool::CancelPoint cancel;
    char buf[kNumberTextCapacity];
    for (size_t i = begin; i < end; ++i) {
      cancel.step();
      double& cell = grid.at(i, column);
      if (std::isnan(cell)) continue;
      const auto found = stored.find(std::string_view(buf, number_to_text(cell, buf)));
      if (found != stored.end()) {
        cell = found->second ? static_cast<double>(*found->second) : kNaN;
      } else if (!unknown.raise) {
        cell = unknown.value;
      } else {
        first.saw(i);
        return;
      }
    }
  });
  if (first.row() == kNoRow) return std::nullopt;
  char buf[kNumberTextCapacity];
  const double number = grid.at(first.row(), column);
  return UnknownCell{first.row(), std::string(buf, number_to_text(number, buf))};
}

}  // namespace vorpak
