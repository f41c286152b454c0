// Reading UTF-8 texts from Arrow memory laid out as the C data interface
// describes it, and finding short texts by their words.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/arrow_text_column.hpp"
#include "core/short_text_index.hpp"

namespace vorpak {
namespace {

// An Arrow array made in the test, with the buffers it points to. Its release
// callback counts the releases, so that ownership can be checked.
struct TestArray {
  std::vector<uint8_t> validity;
  std::vector<int32_t> offsets32;
  std::vector<int64_t> offsets64;
  std::vector<char> views;  // 16 bytes per row
  std::vector<std::string> data_buffers;
  std::vector<int64_t> sizes;
  std::vector<const void*> buffers;
  int releases = 0;
  ArrowArray array{};

  static void release(ArrowArray* a) {
    ++static_cast<TestArray*>(a->private_data)->releases;
    a->release = nullptr;
  }
  void finish(int64_t length, int64_t offset, int64_t null_count) {
    array.length = length;
    array.offset = offset;
    array.null_count = null_count;
    array.n_buffers = static_cast<int64_t>(buffers.size());
    array.buffers = buffers.data();
    array.release = &TestArray::release;
    array.private_data = this;
  }
};

// rows: a text, or nullopt for a null. Offsets start at `offset` rows in.
template <class Offset>
void lay_out_offsets(TestArray& t, const std::vector<std::optional<std::string>>& rows,
                     std::vector<Offset>& offsets, int64_t offset) {
  std::string data;
  t.validity.assign((rows.size() + offset + 7) / 8, 0);
  offsets.assign(static_cast<size_t>(offset) + 1, 0);
  int64_t nulls = 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    const size_t bit = r + static_cast<size_t>(offset);
    if (rows[r]) {
      t.validity[bit / 8] |= uint8_t(1u << (bit % 8));
      data += *rows[r];
    } else {
      ++nulls;
    }
    offsets.push_back(static_cast<Offset>(data.size()));
  }
  t.data_buffers = {data};
  t.buffers = {t.validity.data(), offsets.data(), t.data_buffers[0].data()};
  t.finish(static_cast<int64_t>(rows.size()), offset, nulls);
}

void lay_out_views(TestArray& t, const std::vector<std::optional<std::string>>& rows) {
  t.data_buffers = {""};
  t.views.assign(16 * rows.size(), 0);
  t.validity.assign((rows.size() + 7) / 8, 0);
  int64_t nulls = 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    if (!rows[r]) {
      ++nulls;
      continue;
    }
    t.validity[r / 8] |= uint8_t(1u << (r % 8));
    const std::string& text = *rows[r];
    char* view = &t.views[16 * r];
    const int32_t length = static_cast<int32_t>(text.size());
    std::memcpy(view, &length, 4);
    if (text.size() <= 12) {
      std::memcpy(view + 4, text.data(), text.size());
      continue;
    }
    const int32_t buffer = 0, offset = static_cast<int32_t>(t.data_buffers[0].size());
    std::memcpy(view + 4, text.data(), 4);
    std::memcpy(view + 8, &buffer, 4);
    std::memcpy(view + 12, &offset, 4);
    t.data_buffers[0] += text;
  }
  t.sizes = {static_cast<int64_t>(t.data_buffers[0].size())};
  t.buffers = {t.validity.data(), t.views.data(), t.data_buffers[0].data(), t.sizes.data()};
  t.finish(static_cast<int64_t>(rows.size()), 0, nulls);
}

std::vector<std::optional<std::string>> read_all(const ArrowTextColumn& column) {
  std::vector<std::optional<std::string>> rows(column.size());
  column.for_each([&](size_t i, std::string_view text) { rows.at(i) = std::string(text); },
                  [&](size_t i) { rows.at(i) = std::nullopt; });
  return rows;
}

const std::vector<std::optional<std::string>> kRows = {
    std::nullopt, "", "a", "twelve bytes", "thirteen byte", std::nullopt,
    "é€😀",       "a text longer than any inline view", std::nullopt};

TEST(ArrowTextColumn, ReadsEveryLayoutWithNullsAndAnOffset) {
  for (int64_t offset : {0, 3, 9}) {
    TestArray narrow, wide;
    lay_out_offsets(narrow, kRows, narrow.offsets32, offset);
    lay_out_offsets(wide, kRows, wide.offsets64, offset);
    ArrowTextColumn a(ArrowTextColumn::Layout::kOffsets32), b(ArrowTextColumn::Layout::kOffsets64);
    ASSERT_TRUE(a.add_chunk(OwnedArrowArray(narrow.array)));
    ASSERT_TRUE(b.add_chunk(OwnedArrowArray(wide.array)));
    EXPECT_EQ(read_all(a), kRows);
    EXPECT_EQ(read_all(b), kRows);
    EXPECT_EQ(a.null_count(), 3u);
    EXPECT_EQ(a.first_null_row(), 0u);
    EXPECT_EQ(a.first_text_row(), 1u);
  }
  TestArray views;
  lay_out_views(views, kRows);
  ArrowTextColumn c(ArrowTextColumn::Layout::kViews);
  ASSERT_TRUE(c.add_chunk(OwnedArrowArray(views.array)));
  EXPECT_EQ(read_all(c), kRows);
}

TEST(ArrowTextColumn, ChunksFollowEachOtherAndAreReleasedOnce) {
  TestArray first, second, empty;
  const std::vector<std::optional<std::string>> head(kRows.begin(), kRows.begin() + 4);
  const std::vector<std::optional<std::string>> tail(kRows.begin() + 4, kRows.end());
  lay_out_offsets(first, head, first.offsets32, 1);
  lay_out_offsets(empty, {}, empty.offsets32, 0);
  lay_out_offsets(second, tail, second.offsets32, 0);
  {
    ArrowTextColumn column(ArrowTextColumn::Layout::kOffsets32);
    ASSERT_TRUE(column.add_chunk(OwnedArrowArray(first.array)));
    ASSERT_TRUE(column.add_chunk(OwnedArrowArray(empty.array)));
    ASSERT_TRUE(column.add_chunk(OwnedArrowArray(second.array)));
    EXPECT_EQ(read_all(column), kRows);
    EXPECT_EQ(column.first_null_row(), 0u);
    ArrowTextColumn moved = std::move(column);
    EXPECT_EQ(moved.size(), kRows.size());
    EXPECT_EQ(first.releases + second.releases, 0);
    EXPECT_EQ(empty.releases, 1);  // nothing to read in it: let go at once
  }
  EXPECT_EQ(first.releases, 1);
  EXPECT_EQ(second.releases, 1);
  EXPECT_EQ(empty.releases, 1);
}

// Every range of rows of every layout, over chunks that start at an offset: a
// range reads exactly its rows, in order, whichever chunks hold them.
TEST(ArrowTextColumn, ReadsAnyRangeOfRowsAcrossChunks) {
  const std::vector<std::optional<std::string>> head(kRows.begin(), kRows.begin() + 4),
      tail(kRows.begin() + 4, kRows.end());
  TestArray parts[5];
  lay_out_offsets(parts[0], head, parts[0].offsets32, 3);
  lay_out_offsets(parts[1], tail, parts[1].offsets32, 1);
  lay_out_offsets(parts[2], head, parts[2].offsets64, 0);
  lay_out_offsets(parts[3], tail, parts[3].offsets64, 5);
  lay_out_views(parts[4], kRows);
  using Layout = ArrowTextColumn::Layout;
  ArrowTextColumn columns[] = {ArrowTextColumn(Layout::kOffsets32),
                               ArrowTextColumn(Layout::kOffsets64), ArrowTextColumn(Layout::kViews)};
  for (int k = 0; k < 5; ++k) ASSERT_TRUE(columns[k / 2].add_chunk(OwnedArrowArray(parts[k].array)));
  for (const ArrowTextColumn& column : columns) {
    for (size_t begin = 0; begin <= kRows.size(); ++begin) {
      for (size_t end = begin; end <= kRows.size() + 1; ++end) {
        std::vector<std::pair<size_t, std::optional<std::string>>> got, want;
        column.for_each_in(
            begin, end, [&](size_t i, std::string_view t) { got.emplace_back(i, std::string(t)); },
            [&](size_t i) { got.emplace_back(i, std::nullopt); });
        for (size_t i = begin; i < std::min(end, kRows.size()); ++i) want.emplace_back(i, kRows[i]);
        EXPECT_EQ(got, want) << begin << ".." << end;
      }
    }
  }
}

TEST(ArrowTextColumn, UnknownNullCountIsCountedFromTheBitmap) {
  TestArray t;
  lay_out_offsets(t, kRows, t.offsets64, 2);
  t.array.null_count = -1;
  ArrowTextColumn column(ArrowTextColumn::Layout::kOffsets64);
  ASSERT_TRUE(column.add_chunk(OwnedArrowArray(t.array)));
  EXPECT_EQ(column.null_count(), 3u);
}

// Each fault is named, with its row; a data buffer left out for want of bytes is
// no fault. 64-bit offsets share the code.
TEST(ArrowTextColumn, RefusesChunksItCannotReadSafely) {
  const std::vector<std::pair<std::function<void(TestArray&)>, std::string>> cases = {
      {[](TestArray& t) { t.offsets32[4] = 0; }, "fall back at row 3, from 1 to 0"},
      {[](TestArray& t) { t.offsets32[0] = -1; }, "below zero, at -1, at row 0"},
      {[](TestArray& t) { t.buffers[0] = nullptr; }, "is 3 but it has no validity"},
      {[](TestArray& t) { t.array.null_count = 2; }, "validity bitmap marks 3"},
      {[](TestArray& t) { t.buffers[2] = nullptr; }, "span 69 bytes but it has no data"},
      {[](TestArray& t) { t.array.offset = INT64_MAX - 3; }, "offset and length overflow"},
  };
  for (const auto& [spoil, message] : cases) {
    TestArray t;
    lay_out_offsets(t, kRows, t.offsets32, 0);
    spoil(t);
    ArrowTextColumn column(ArrowTextColumn::Layout::kOffsets32);
    const auto taken = column.add_chunk(OwnedArrowArray(t.array));
    EXPECT_NE(taken ? std::string::npos : taken.error().find(message), std::string::npos) << message;
    EXPECT_EQ(t.releases, 1);  // a refused chunk is still released
  }
  TestArray no_bytes;
  lay_out_offsets(no_bytes, {"", ""}, no_bytes.offsets32, 0);
  no_bytes.buffers[2] = nullptr;
  const auto left_out = ArrowTextColumn().add_chunk(OwnedArrowArray(no_bytes.array));
  EXPECT_EQ(left_out.value(), ArrowTextColumn::Taken::kLeftOut);
  EXPECT_EQ(ArrowTextColumn::layout_of("u"), ArrowTextColumn::Layout::kOffsets32);
  EXPECT_EQ(ArrowTextColumn::layout_of("U"), ArrowTextColumn::Layout::kOffsets64);
  EXPECT_EQ(ArrowTextColumn::layout_of("vu"), ArrowTextColumn::Layout::kViews);
  EXPECT_FALSE(ArrowTextColumn::layout_of("z"));
  EXPECT_FALSE(ArrowTextColumn::layout_of(nullptr));
}

// Every text up to 16 bytes over a small alphabet, with embedded NULs, and
// texts that share their first and last words: each gets one id, and finds it.
TEST(ShortTextIndex, TellsEveryShortTextApart) {
  std::vector<std::string> texts = {""};
  const std::string alphabet("ab\0\xff", 4);
  for (size_t size = 1; size <= 3; ++size) {
    for (size_t k = 0, n = 1 << (2 * size); k < n; ++k) {
      std::string t;
      for (size_t c = 0; c < size; ++c) t += alphabet[(k >> (2 * c)) & 3];
      texts.push_back(t);
    }
  }
  for (size_t size = 4; size <= ShortTextIndex::kMaxSize; ++size) {
    for (size_t at = 0; at < size; ++at) {
      std::string t(size, 'x');
      t[at] = 'y';
      texts.push_back(t);
      texts.push_back(std::string(size, 'x'));
    }
  }
  ShortTextIndex index;
  std::map<std::string, uint64_t> model;
  for (int round = 0; round < 2; ++round) {
    for (const std::string& t : texts) {
      const uint64_t fresh = model.size();
      const uint64_t id = index.id_of(t, [&] { return fresh; });
      const auto [it, added] = model.emplace(t, id);
      EXPECT_EQ(it->second, id) << "text of " << t.size() << " bytes";
      if (added) {
        EXPECT_EQ(id, fresh);
      }
    }
  }
  EXPECT_EQ(model.size(), std::set<std::string>(texts.begin(), texts.end()).size());
}

}  // namespace
}  // namespace vorpak
