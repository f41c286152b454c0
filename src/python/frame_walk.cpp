#include "python/frame_walk.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>

#include "core/fresh_memory.hpp"
#include "core/keyed_hash.hpp"
#include "core/range_texts.hpp"
#include "core/text_arena.hpp"
#include "core/thread_pool.hpp"
#include "core/utf8.hpp"
#include "python/interrupts.hpp"
#include "python/numpy_api.hpp"
#include "python/pooled_object_walk.hpp"
#include "python/table_access.hpp"
#include "python/text_of_object.hpp"
#include "python/typed_array_walks.hpp"

namespace vorpak {
namespace {

constexpr uint64_t kNoId = UINT64_MAX;

// What a cell that is a plain value amounts to, worked out once on this thread
// for every row that holds it: whether it converts to a number, and its str()
// text, which it has once its column holds text.
struct CellMeaning {
  bool is_number = false;
  double number = 0;
  ObjectText text;
};

// Runs no Python code of its own for an inert cell (see is_inert). A missing
// cell means NaN, and the marker NaN reads as once its column is text.
bool mean(PyObject* cell, const MissingCells& missing, CellMeaning& meaning) {
  if (missing.is_missing(cell)) {
    meaning.is_number = true;
    meaning.number = std::numeric_limits<double>::quiet_NaN();
    meaning.text.view = kNaNText;
    return true;
  }
  if (PyFloat_CheckExact(cell)) {
    meaning.is_number = true;
    meaning.number = PyFloat_AS_DOUBLE(cell);
  } else if (!PyUnicode_CheckExact(cell)) {
    const double value = PyFloat_AsDouble(cell);
    meaning.is_number = !(value == -1.0 && PyErr_Occurred());
    if (meaning.is_number) {
      meaning.number = value;
    } else if (!drop_ordinary_error()) {
      return false;
    }
  }
  return text_of_object(cell, meaning.text);
}

// Rows per range of a long Arrow text column, at the least: shorter ranges
// would spend more on their tables and their join than they save.
constexpr size_t kTextRangeRows = 64 * 1024;

// One row range of an Arrow text column, read on a thread of its own: its
// rows' ids in its own table of texts, which the join makes the column's.
struct TextRange {
  TextRange(size_t from, size_t to, uint64_t key) : begin(from), end(to), texts(key) {}
  size_t begin, end;
  size_t first_text = 0;  // its first row that holds a text; `end` if none
  bool lead = false;      // its rows above first_text, all null, have id 0
  bool unreadable = false;
  std::vector<uint32_t> ids;  // per row; the first range's are the column's own
  RangeTexts texts;
};

// An Arrow text column's ranges, and how many are yet to be read: the thread
// that reads the last one joins them.
struct TextRanges {
  std::vector<TextRange> ranges;
  std::atomic<size_t> unread{0};
};

// What the pool's part of the walk works from, prepared on this thread.
struct PooledColumn {
  size_t column = 0;
  const FrameColumn* source = nullptr;
  // Arrow texts: the null's. Categorical: per code + 1, or only the missing
  // value's where the categories are Arrow texts.
  std::vector<CellMeaning> meanings;
  RowTextIds* ids = nullptr;  // where the column's text ids go, once it turns
  bool unreadable = false;  // read once the pool has joined
  // Made on the pool: the texts of Arrow categories, and the copies of the
  // texts the column's ids stand for, which must outlive the frame's objects.
  std::vector<std::string_view> category_texts;
  TextArena arena;
  std::unique_ptr<TextRanges> text_ranges;  // Arrow texts: what the pool reads them in
};

// An Arrow text column turns at its first text, or at once when a null is no
// number (pd.NA, when encoding); nulls above the first text are NaNs, as
// `values` holds them. If every row is a NaN null, the column stays numeric.
//
// Each range numbers its texts in the order it meets them, as one walk from
// the top would number the column's, and checks each new one to be UTF-8. A
// range's first rows, if null, are above the column's first text or below it,
// which only the ranges above can tell: the first range knows (there is
// nothing above), and so does any once a null is no number; any other range
// gives them an id of their own whose text the join sets.
void read_text_range(PooledColumn& job, size_t nrows, TextRange& range, bool first) {
  const ArrowTextColumn& texts = *job.source->texts;
  const CellMeaning* null = job.meanings.empty() ? nullptr : &job.meanings[0];
  std::vector<uint32_t>& ids = first ? job.ids->ids : range.ids;
  ids.resize(first ? nrows : range.end - range.begin);
  // What the loop keeps track of lives here, not in the range, so that it can
  // stay in registers: the loop runs once per row.
  uint32_t* const out = ids.data();
  const size_t base = first ? 0 : range.begin;
  RangeTexts& table = range.texts;
  bool unreadable = false;
  size_t lead_end = range.begin;  // the rows above are nulls, and no text is met yet
  uint64_t null_id = kNoId;
  const auto put = [&](size_t i, uint64_t id) {
    if (id > UINT32_MAX) unreadable = true;  // beyond any table that fits in memory
    out[i - base] = static_cast<uint32_t>(id);
  };
  const auto unchecked = [](std::string_view) {};  // a null's text is str()'s, UTF-8 already
  // A range may hold millions of rows: it stops once its call is cancelled. A
  // long text is hashed whole, so it counts by its size.
  pool::CancelPoint point;
  texts.for_each_in(
      range.begin, range.end,
      [&](size_t i, std::string_view text) {
        point.step(1 + text.size() / 64);
        put(i, table.id_of(text, [&](std::string_view fresh) {
          if (!check_utf8(fresh).ok(fresh.size())) unreadable = true;
        }));
      },
      [&](size_t i) {
        point.step();
        if (i != lead_end) {  // below a text
          if (null_id == kNoId) null_id = table.id_of(null->text.view, unchecked);
          return put(i, null_id);
        }
        if (i == range.begin) {
          if (!null->is_number) {
            table.id_of(null->text.view, unchecked);
          } else if (first) {
            char buf[kNumberTextCapacity];
            table.id_of(std::string_view(buf, number_to_text(null->number, buf)), unchecked);
          } else {
            table.reserve();
          }
        }
        ++lead_end;
        put(i, 0);
      });
  range.first_text = lead_end;
  range.lead = lead_end > range.begin;
  range.unreadable = unreadable;
}

// Once every range is read: where the column turns, and the ranges' ids made
// the column's, on the pool.
void join_text_ranges(PooledColumn& job, CellWalk& walk) {
  std::vector<TextRange>& ranges = job.text_ranges->ranges;
  for (const TextRange& range : ranges) job.unreadable = job.unreadable || range.unreadable;
  if (job.unreadable) return;
  const size_t j = job.column;
  const CellMeaning* null = job.meanings.empty() ? nullptr : &job.meanings[0];
  size_t turning = 0;  // the range that holds the column's turn
  if (null != nullptr && null->is_number) {
    while (turning < ranges.size() && ranges[turning].first_text == ranges[turning].end) ++turning;
    if (turning == ranges.size()) {
      for (size_t i = 0; i < walk.nrows; ++i) walk.slot(i, j) = null->number;
      job.ids->ids = {};
      return;
    }
  }
  walk.mark_text(null != nullptr && null->is_number ? ranges[turning].first_text : 0, j);
  TextColumn& column = walk.text_column(j);
  if (ranges.size() == 1) {  // its ids are the column's already
    column.add_distinct_texts(ranges[0].texts.take_texts());
    job.arena.adopt(std::move(ranges[0].texts.arena()));
    job.text_ranges.reset();
    return;
  }
  std::vector<const RangeTexts*> tables;
  for (size_t k = 0; k < ranges.size(); ++k) {
    TextRange& range = ranges[k];
    if (k > 0 && range.lead && null->is_number) {
      char buf[kNumberTextCapacity];
      const std::string_view above(buf, number_to_text(null->number, buf));
      range.texts.set_text(0, k <= turning ? above : null->text.view);
    }
    tables.push_back(&range.texts);
  }
  std::vector<std::vector<uint64_t>> numbers;
  std::vector<std::string_view> texts = join_range_texts(tables, numbers);
  if (texts.size() - 1 > UINT32_MAX) {
    job.unreadable = true;
    return;
  }
  // The first range's texts come first and are distinct (it knew its first
  // rows' text): the join keeps their numbers, and its ids are the column's.
  std::vector<uint32_t>& ids = job.ids->ids;
  pool::parallel_for(walk.nrows - ranges[1].begin, kTextRangeRows, [&](size_t begin, size_t end) {
    pool::CancelPoint point;
    begin += ranges[1].begin;
    end += ranges[1].begin;
    for (size_t k = 1; k < ranges.size(); ++k) {
      const TextRange& range = ranges[k];
      for (size_t i = std::max(begin, range.begin); i < std::min(end, range.end); ++i) {
        point.step();
        ids[i] = static_cast<uint32_t>(numbers[k][range.ids[i - range.begin]]);
      }
    }
  });
  column.add_distinct_texts(std::move(texts));
  for (TextRange& range : ranges) job.arena.adopt(std::move(range.texts.arena()));
  job.text_ranges.reset();
}

// Rows per range of a categorical's own scans, which a long column splits
// among the pool's threads.
constexpr size_t kCodeRangeRows = 128 * 1024;

// Whether texts are all UTF-8, checked a run at a time where they lie end to
// end, as the texts of offset layouts do: a call per text cost more than the
// check itself for short texts. A run of UTF-8 is cut into texts of UTF-8
// exactly where no text starts with a continuation byte: each then starts a
// character, and ends where the next one starts.
class Utf8Runs {
 public:
  explicit Utf8Runs(pool::CancelPoint& point) : point_(point) {}
  void add(std::string_view text) {
    if (text.empty()) return;
    if (text.data() != end_ || end_ - begin_ > kRunBytes) check_run();
    if (begin_ == nullptr) begin_ = text.data();
    end_ = text.data() + text.size();
    ok_ = ok_ && (static_cast<uint8_t>(text[0]) & 0xC0) != 0x80;
  }
  bool all_utf8() {
    check_run();
    return ok_;
  }

 private:
  // Long enough to make a call's cost nothing, short enough to look at the
  // cancel flag often.
  static constexpr ptrdiff_t kRunBytes = 256 * 1024;
  void check_run() {
    if (begin_ == nullptr) return;
    const std::string_view run(begin_, static_cast<size_t>(end_ - begin_));
    point_.step(1 + run.size() / 64);
    ok_ = ok_ && check_utf8(run).ok(run.size());
    begin_ = end_ = nullptr;
  }
  pool::CancelPoint& point_;
  const char* begin_ = nullptr;
  const char* end_ = nullptr;
  bool ok_ = true;
};

// The texts of categories held in Arrow memory, each checked to be UTF-8: a
// category that is not leaves the frame to `values`, as when it is converted.
// Checked whether used or not, as the conversion reads every category. Their
// buffers, held by the column's import, never change: no Python code need be
// held off while a worker reads them.
bool read_category_texts(PooledColumn& job) {
  const ArrowTextColumn& texts = *job.source->texts;
  job.category_texts.resize(texts.size());
  bool no_null = true;
  pool::CancelPoint point;
  Utf8Runs runs(point);
  texts.for_each(
      [&](size_t k, std::string_view text) {
        point.step();
        runs.add(text);
        job.category_texts[k] = text;
      },
      [&](size_t) { no_null = false; });  // no null category was imported: never met
  return runs.all_utf8() && no_null;
}

// What entry e (code + 1) of a pooled categorical stands for: the meanings
// prepared on the calling thread, or past the missing value's, the texts of
// Arrow categories, none of which reads as a number.
class EntryMeanings {
 public:
  explicit EntryMeanings(const PooledColumn& job) : job_(job) {}
  size_t count() const {
    return job_.source->texts ? 1 + job_.category_texts.size() : job_.meanings.size();
  }
  bool is_number(size_t e) const { return e < job_.meanings.size() && job_.meanings[e].is_number; }
  double number(size_t e) const { return job_.meanings[e].number; }
  std::string_view text(size_t e) const {
    return e < job_.meanings.size() ? job_.meanings[e].text.view : job_.category_texts[e - 1];
  }

 private:
  const PooledColumn& job_;
};

// Row ranges of a long column, run side by side; body(begin, end, point).
template <class Body>
void for_row_ranges(size_t nrows, Body&& body) {
  pool::parallel_for(nrows, kCodeRangeRows, [&](size_t begin, size_t end) {
    pool::CancelPoint point;
    body(begin, end, point);
  });
}

// The codes are pandas' own, which any Python code may change: the codes are
// written from a copy taken now, while no Python code runs, so that they agree
// with what the fill makes of them. Each range is copied, then looked through
// for the first row whose category is no number (or that has none): the
// column turns there. nrows if none.
size_t copy_codes_find_turn(PooledColumn& job, const EntryMeanings& meanings, size_t nrows) {
  auto* array = reinterpret_cast<PyArrayObject*>(job.source->array.get());
  RowTextIds& rows = *job.ids;
  const size_t width = static_cast<size_t>(PyDataType_ELSIZE(PyArray_DESCR(array)));
  const char* from = PyArray_BYTES(array);
  const npy_intp stride = PyArray_STRIDE(array, 0);
  rows.own_codes.resize(nrows * width);
  rows.codes = rows.own_codes.data();
  rows.width = static_cast<unsigned>(width);
  std::atomic<size_t> turn{nrows};
  for_row_ranges(nrows, [&](size_t begin, size_t end, pool::CancelPoint& point) {
    char* to = rows.own_codes.data();
    if (stride == static_cast<npy_intp>(width)) {  // pandas keeps its codes contiguous
      std::memcpy(to + begin * width, from + begin * width, (end - begin) * width);
    } else {
      for (size_t i = begin; i < end; ++i) {
        point.step();
        std::memcpy(to + i * width, from + static_cast<npy_intp>(i) * stride, width);
      }
    }
    size_t i = begin;
    for (; i < end && i < turn.load(std::memory_order_relaxed); ++i) {
      point.step();
      if (!meanings.is_number(rows.entry(i))) break;
    }
    size_t seen = turn.load(std::memory_order_relaxed);
    while (i < end && i < seen && !turn.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
    }
  });
  return turn.load();
}

// Flags in `used` the entries (code + 1) of rows [begin, end). False at a code
// that has no category. Ranges share the flags: each is set, never cleared,
// and read once the pool has joined. Rows go in blocks, each checked whole
// first, so that the loop that flags them does a store a row. Where the
// categories are not many beside the rows, the range flags them in bits of its
// own, which stay in the core's cache, and hands them on once (flags shared by
// threads that set them a row at a time measured twice as slow); and once each
// category is flagged, a block's bounds tell all that is left to know: whether
// it has a missing value.
template <class Code>
bool mark_rows(const char* codes, size_t begin, size_t end, std::vector<uint8_t>& used,
               pool::CancelPoint& point) {
  constexpr size_t kBlockRows = 4096;
  const size_t count = used.size();
  const bool own_bits = count <= 8 * (end - begin);
  std::vector<uint64_t> bits(own_bits ? (count + 63) / 64 : 0);
  // Counting the categories left costs a look at each word of bits, after each block.
  const bool count_left = own_bits && count <= 8 * kBlockRows;
  bool each_category = false;
  for (size_t block = begin; block < end; block += kBlockRows) {
    const size_t block_end = std::min(end, block + kBlockRows);
    point.step(block_end - block);
    const CodeBounds bounds = code_bounds<Code>(codes, block, block_end);
    if (!bounds.have_entries(count)) return false;
    if (each_category) {
      bits[0] |= bounds.low == -1 ? 1 : 0;
      continue;
    }
    for (size_t i = block; i < block_end; ++i) {
      Code code;
      std::memcpy(&code, codes + i * sizeof(Code), sizeof code);
      const auto e = static_cast<size_t>(int64_t{code} + 1);
      if (own_bits) {
        bits[e >> 6] |= uint64_t{1} << (e & 63);
        continue;
      }
      std::atomic_ref<uint8_t> flag(used[e]);
      if (flag.load(std::memory_order_relaxed) == 0) flag.store(1, std::memory_order_relaxed);
    }
    if (count_left) {
      size_t flagged = 0;
      for (uint64_t word : bits) flagged += static_cast<size_t>(std::popcount(word));
      each_category = flagged - (bits[0] & 1) == count - 1;  // every entry past the missing one
    }
  }
  for (size_t w = 0; w < bits.size(); ++w) {
    for (uint64_t word = bits[w]; word != 0; word &= word - 1) {
      const size_t e = 64 * w + static_cast<size_t>(std::countr_zero(word));
      std::atomic_ref<uint8_t>(used[e]).store(1, std::memory_order_relaxed);
    }
  }
  return true;
}

// Which entries the rows above the turn use, and which the rows below: only
// those get a text. False if a row's code has no category (only `values` can
// tell what that is).
bool mark_used(const RowTextIds& rows, size_t count, size_t turn, size_t nrows,
               std::vector<uint8_t>& used_above, std::vector<uint8_t>& used_below) {
  used_above.assign(count, 0);
  used_below.assign(count, 0);
  std::atomic<bool> strays{false};
  with_code_type(rows.width, [&](auto type) {
    using Code = decltype(type);
    for_row_ranges(nrows, [&](size_t begin, size_t end, pool::CancelPoint& point) {
      const size_t middle = std::clamp(turn, begin, end);
      if (!mark_rows<Code>(rows.codes, begin, middle, used_above, point) ||
          !mark_rows<Code>(rows.codes, middle, end, used_below, point)) {
        strays.store(true, std::memory_order_relaxed);
      }
    });
  });
  return !strays.load();
}

void write_numbers(const PooledColumn& job, const EntryMeanings& meanings, CellWalk& walk) {
  const RowTextIds& rows = *job.ids;
  for_row_ranges(walk.nrows, [&](size_t begin, size_t end, pool::CancelPoint& point) {
    for (size_t i = begin; i < end; ++i) {
      point.step();
      walk.slot(i, job.column) = meanings.number(rows.entry(i));
    }
  });
}

// Each used entry gets a text id: its number's text above the turn, its own
// text below. Categories are distinct, and so, nearly always, are their texts:
// they are added without a look-up (equal texts, as of 1 and "1", are merged
// when ranked), as copies, since the frame's objects may be gone by then.
void give_text_ids(PooledColumn& job, const EntryMeanings& meanings,
                   const std::vector<uint8_t>& used_above, const std::vector<uint8_t>& used_below,
                   TextColumn& column) {
  RowTextIds& rows = *job.ids;
  const size_t count = meanings.count();
  const bool any_above =
      std::any_of(used_above.begin(), used_above.end(), [](uint8_t used) { return used != 0; });
  // Where no row is above the first text, a million categories write no id above.
  if (any_above) rows.id_above.assign(count, RowTextIds::kNoTextId);
  rows.id_below.assign(count, RowTextIds::kNoTextId);
  // Arrow categories are distinct texts. With no number's text beside them,
  // and the missing value's text (entry 0) given to an equal category if there
  // is one, the column's texts are all distinct, and ranking looks none up.
  const bool distinct = job.source->texts && !any_above;
  pool::CancelPoint point;
  char buf[kNumberTextCapacity];
  std::vector<std::string_view> texts;
  texts.reserve(count);
  for (size_t e = 0; e < count; ++e) {
    point.step();
    if (used_above[e]) {
      rows.id_above[e] = column.add_text(std::string_view(buf, number_to_text(meanings.number(e), buf)));
    }
    if (used_below[e] && !(distinct && e == 0)) {
      rows.id_below[e] = texts.size();
      texts.push_back(job.arena.store(meanings.text(e)));
    }
  }
  if (distinct && used_below[0]) {
    const auto equal = std::find(texts.begin(), texts.end(), meanings.text(0));
    rows.id_below[0] = static_cast<uint64_t>(equal - texts.begin());
    if (equal == texts.end()) texts.push_back(job.arena.store(meanings.text(0)));
  }
  const uint64_t first = distinct ? column.add_distinct_texts(std::move(texts))
                                  : column.add_read_texts(texts, std::vector<PyObject*>(texts.size(), nullptr));
  for (uint64_t& id : rows.id_below) id += id != RowTextIds::kNoTextId ? first : 0;
}

// A categorical column turns at the first row whose category is no number;
// the categories of the rows above read as numbers there. Its codes stay
// where they are: each used category gets a text id (two if it is used both
// above and below the first text), and the codes are mapped when written.
void fill_categorical(PooledColumn& job, CellWalk& walk) {
  if (job.source->texts && !read_category_texts(job)) {
    job.unreadable = true;
    return;
  }
  const EntryMeanings meanings(job);
  const size_t turn = copy_codes_find_turn(job, meanings, walk.nrows);
  std::vector<uint8_t> used_above, used_below;
  if (!mark_used(*job.ids, meanings.count(), turn, walk.nrows, used_above, used_below)) {
    job.unreadable = true;
    return;
  }
  if (turn == walk.nrows) return write_numbers(job, meanings, walk);
  walk.mark_text(turn, job.column);
  job.ids->first_text = turn;
  give_text_ids(job, meanings, used_above, used_below, walk.text_column(job.column));
}

// A piece of the pool's work: a categorical whole (its scans split on their
// own), or one range of an Arrow text column.
struct Piece {
  PooledColumn* job;
  size_t range;
};

// An Arrow text column is cut into ranges where it is long enough to pay, and
// only while the pooled columns are fewer than the threads: all the pieces of
// all the columns share the threads.
std::vector<Piece> plan_pieces(std::vector<PooledColumn>& pooled, size_t nrows) {
  const size_t threads = pool::thread_count();
  const size_t share = (threads + pooled.size() - 1) / pooled.size();
  const size_t count = std::max<size_t>(1, std::min(share, nrows / kTextRangeRows));
  std::vector<Piece> pieces;
  for (PooledColumn& job : pooled) {
    if (job.source->kind != FrameColumn::Kind::kArrowTexts) {
      pieces.push_back({&job, 0});
      continue;
    }
    job.text_ranges = std::make_unique<TextRanges>();
    const uint64_t key = fresh_hash_key();
    for (size_t r = 0; r < count; ++r) {
      job.text_ranges->ranges.emplace_back(pool::chunk_begin(nrows, r, count),
                                           pool::chunk_begin(nrows, r + 1, count), key);
      pieces.push_back({&job, r});
    }
    job.text_ranges->unread.store(count);
  }
  return pieces;
}

void fill_piece(const Piece& piece, CellWalk& walk) {
  PooledColumn& job = *piece.job;
  if (job.source->kind != FrameColumn::Kind::kArrowTexts) return fill_categorical(job, walk);
  TextRanges& work = *job.text_ranges;
  read_text_range(job, walk.nrows, work.ranges[piece.range], piece.range == 0);
  if (work.unread.fetch_sub(1, std::memory_order_acq_rel) == 1) join_text_ranges(job, walk);
}

PyObject* object_at(PyArrayObject* array, size_t i) {
  return object_in_slot(PyArray_BYTES(array) + static_cast<npy_intp>(i) * PyArray_STRIDE(array, 0));
}

// The meaning of every cell a pooled column may hold. A column with a category
// that would run Python code of its own is walked cell by cell instead, where
// that code runs for every cell, as it does in a walk over `values`. The cell
// a missing value reads as is pandas' own marker (NaN, pd.NA, NaT), whose
// reading has no effects, so it is read once whatever its type.
enum class Prepared { kPooled, kCellByCell, kFailed };

Prepared prepare_pooled(const FrameColumn& source, const MissingCells& missing, PooledColumn& job) {
  PyArrayObject* cells = nullptr;
  size_t count = 0;
  if (source.kind == FrameColumn::Kind::kCategorical) {
    cells = reinterpret_cast<PyArrayObject*>(source.cells_of_codes.get());
    count = static_cast<size_t>(PyArray_DIM(cells, 0));
  } else if (source.array) {  // the object a null reads as
    count = 1;
  }
  job.meanings = std::vector<CellMeaning>(count);
  // Millions of categories take a while. The cells are this call's own (see
  // FrameColumn), so a signal's handler may run between them.
  SignalPacer pacer;
  for (size_t e = 0; e < count; ++e) {
    if (pacer.due() && !handle_signals()) return Prepared::kFailed;
    PyObject* cell = cells != nullptr ? object_at(cells, e) : source.array.get();
    const bool missing_marker = e == 0;
    if (!missing_marker && !is_inert(cell)) return Prepared::kCellByCell;
    if (!mean(cell, missing, job.meanings[e])) {
      return drop_ordinary_error() ? Prepared::kCellByCell : Prepared::kFailed;
    }
  }
  job.source = &source;
  return Prepared::kPooled;
}

// ---------------------------------------------------------------------------
// NumPy columns, on this thread while the pool fills the others.

// Blocks of rows, each walked column by column, keep the block of the
// row-major buffer in cache. A column with a cell that would run Python code
// is left, and marked, for the cell-by-cell walk.
Walked walk_array_columns(const std::vector<FrameColumn>& columns, const std::vector<size_t>& listed,
                          CellWalk& walk, std::vector<uint8_t>& by_cell) {
  const NoPythonStretch stretch;
  constexpr size_t kRowBlock = 2048;
  SignalPacer pacer;
  for (size_t begin = 0; begin < walk.nrows; begin += kRowBlock) {
    const size_t end = std::min(walk.nrows, begin + kRowBlock);
    if (pacer.due((end - begin) * listed.size()) && interrupt_arrived()) return Walked::kGaveUp;
    for (size_t j : listed) {
      if (by_cell[j]) continue;
      auto* array = reinterpret_cast<PyArrayObject*>(columns[j].array.get());
      if (PyArray_DESCR(array)->type_num != NPY_OBJECT) {
        copy_numeric_column(PyArray_DESCR(array), PyArray_BYTES(array), PyArray_STRIDE(array, 0), j,
                            walk, begin, end);
        continue;
      }
      for (size_t i = begin; i < end; ++i) {
        PyObject* cell = object_at(array, i);
        const CellReference held(cell);
        if (!walk.files_inertly(cell)) {
          by_cell[j] = 1;
          break;
        }
        if (!walk.put_cell(i, j, cell)) return give_up_on_error();
      }
    }
  }
  return Walked::kDone;
}

// ---------------------------------------------------------------------------
// Columns whose cells run Python code of their own, one cell at a time.

// Forgets what a first look at column j filed.
void reset_column(CellWalk& walk, size_t j) {
  walk.is_string[j] = 0;
  walk.first_text_row[j] = walk.nrows;
  walk.has_addresses[j] = 0;
  walk.texts[j].reset();
}

// The object columns of a long frame are read on the pool, as those of an
// object array are; where that gives up, this thread walks them again. Only
// taken while no column needs Python code (see walk_frame_columns): the pool
// may know strs by address, or by views of their text, until the tables are
// built, which holds only while no Python code runs in between.
Walked walk_object_columns(const std::vector<FrameColumn>& columns, const std::vector<size_t>& listed,
                           CellWalk& walk, std::vector<uint8_t>& by_cell) {
  ObjectColumns cells;
  cells.columns.reserve(listed.size());
  for (size_t j : listed) {
    auto* array = reinterpret_cast<PyArrayObject*>(columns[j].array.get());
    cells.columns.push_back({PyArray_BYTES(array), PyArray_STRIDE(array, 0), j});
  }
  switch (try_pooled_object_columns(cells, walk)) {
    case Walked::kDone:
      // A column may be a fresh array that only this call holds, the one owner
      // of the strs the walk knows.
      for (size_t j : listed) walk.keep_alive.push_back(PyRef::borrow(columns[j].array.get()));
      return Walked::kDone;
    case Walked::kFailed: return Walked::kFailed;
    case Walked::kGaveUp: break;
  }
  if (PyErr_Occurred()) return Walked::kFailed;
  for (size_t j : listed) reset_column(walk, j);
  return walk_array_columns(columns, listed, walk, by_cell);
}

// The cells of column j as an object array that only this call holds, so
// that no code a cell runs can change or free the others.
PyRef private_cells(const FrameColumn& column) {
  if (column.kind == FrameColumn::Kind::kCategorical) {
    PyRef codes = PyRef::steal(PyArray_Cast(reinterpret_cast<PyArrayObject*>(column.array.get()), NPY_INTP));
    if (!codes) return {};
    auto* c = reinterpret_cast<PyArrayObject*>(codes.get());
    auto* data = static_cast<npy_intp*>(PyArray_DATA(c));
    const npy_intp n = PyArray_DIM(c, 0);
    const npy_intp count = PyArray_DIM(reinterpret_cast<PyArrayObject*>(column.cells_of_codes.get()), 0);
    for (npy_intp i = 0; i < n; ++i) {
      if (data[i] + 1 < 0 || data[i] + 1 >= count) return {};
      data[i] += 1;
    }
    return PyRef::steal(PyArray_TakeFrom(reinterpret_cast<PyArrayObject*>(column.cells_of_codes.get()),
                                         codes.get(), 0, nullptr, NPY_RAISE));
  }
  return PyRef::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(column.array.get()), NPY_CORDER));
}

bool walk_cell_by_cell(const PyRef& cells, size_t j, CellWalk& walk) {
  if (!handle_signals()) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(cells.get());
  SignalPacer pacer;
  for (size_t i = 0; i < walk.nrows; ++i) {
    if (pacer.due() && !handle_signals()) return false;
    PyRef cell = PyRef::borrow(object_at(array, i));
    if (!walk.put_cell(i, j, cell.get())) return cell_error(cell.get());
  }
  return true;
}

// ---------------------------------------------------------------------------

bool holds_objects(const FrameColumn& column) {
  return column.kind == FrameColumn::Kind::kArray &&
         PyArray_DESCR(reinterpret_cast<PyArrayObject*>(column.array.get()))->type_num == NPY_OBJECT;
}

// The object columns to read on the pool: all of them in a long frame where
// no column needs Python code so far, else none.
std::vector<size_t> pooled_object_columns(const std::vector<FrameColumn>& columns, size_t nrows,
                                          const std::vector<uint8_t>& by_cell) {
  std::vector<size_t> listed;
  if (std::find(by_cell.begin(), by_cell.end(), 1) != by_cell.end()) return listed;
  for (size_t j = 0; j < columns.size(); ++j) {
    if (holds_objects(columns[j])) listed.push_back(j);
  }
  if (!pooled_walk_fits(nrows, listed.size())) listed.clear();
  return listed;
}

Walked first_look(std::vector<FrameColumn>& columns, CellWalk& walk, std::vector<PooledColumn>& pooled,
                  std::vector<uint8_t>& by_cell) {
  const std::vector<size_t> on_pool = pooled_object_columns(columns, walk.nrows, by_cell);
  std::vector<size_t> listed;
  for (size_t j = 0; j < columns.size(); ++j) {
    const bool pooled_objects = !on_pool.empty() && holds_objects(columns[j]);
    if (columns[j].kind == FrameColumn::Kind::kArray && !pooled_objects) listed.push_back(j);
  }
  Walked walked = Walked::kDone;
  auto side = [&] { walked = walk_array_columns(columns, listed, walk, by_cell); };
  if (pooled.empty()) {
    populate_alongside(walk.out, walk.nrows * walk.ncols * sizeof(double), side);
  } else {
    const std::vector<Piece> pieces = plan_pieces(pooled, walk.nrows);
    pool::parallel_for_alongside(
        pieces.size(), 1,
        [&](size_t begin, size_t end) {
          for (size_t k = begin; k < end; ++k) fill_piece(pieces[k], walk);
        },
        side);
  }
  for (const PooledColumn& job : pooled) {
    if (job.unreadable) return Walked::kGaveUp;
  }
  if (walked != Walked::kDone || on_pool.empty()) return walked;
  return walk_object_columns(columns, on_pool, walk, by_cell);
}

}  // namespace

Walked walk_frame_columns(std::vector<FrameColumn>& columns, CellWalk& walk) {
  CellWalk attempt(walk.grid, walk.missing);
  std::vector<uint8_t> by_cell(walk.ncols, 0);
  std::vector<PooledColumn> pooled;
  size_t count = 0;
  for (const FrameColumn& column : columns) count += column.kind != FrameColumn::Kind::kArray;
  pooled = std::vector<PooledColumn>(count);
  size_t k = 0;
  for (size_t j = 0; j < columns.size(); ++j) {
    if (columns[j].kind == FrameColumn::Kind::kArray) continue;
    PooledColumn& job = pooled[k];
    switch (prepare_pooled(columns[j], walk.missing, job)) {
      case Prepared::kFailed: return Walked::kFailed;
      case Prepared::kCellByCell:
        if (columns[j].texts) return Walked::kGaveUp;  // Arrow texts have no cells to walk
        by_cell[j] = 1;
        continue;
      case Prepared::kPooled:
        job.column = j;
        attempt.text_column(j);  // made here, not by the workers
        ++k;
    }
  }
  pooled.resize(k);
  attempt.row_text_ids.reserve(k);  // the jobs point into it
  for (PooledColumn& job : pooled) {
    attempt.row_text_ids.emplace_back(job.column, RowTextIds());
    job.ids = &attempt.row_text_ids.back().second;
  }
  const Walked walked = first_look(columns, attempt, pooled, by_cell);
  if (walked != Walked::kDone) return walked;
  for (PooledColumn& job : pooled) attempt.arenas.push_back(std::move(job.arena));
  // A cell's own code may change any column of the frame. Every column left to
  // this walk is copied before the first such cell runs, so that each column
  // reads as the frame was when the other columns were read, in any column order.
  std::vector<PyRef> private_copies(columns.size());
  for (size_t j = 0; j < columns.size(); ++j) {
    if (!by_cell[j]) continue;
    private_copies[j] = private_cells(columns[j]);
    if (!private_copies[j]) {
      raise_fault_from_pending("cannot read the cells of a DataFrame column");
      return Walked::kFailed;
    }
  }
  for (size_t j = 0; j < columns.size(); ++j) {
    if (!by_cell[j]) continue;
    reset_column(attempt, j);
    if (!walk_cell_by_cell(private_copies[j], j, attempt)) return Walked::kFailed;
    private_copies[j] = PyRef();  // its objects may be the last of their kind: let them go now
  }
  walk = std::move(attempt);
  return Walked::kDone;
}

}  // namespace vorpak
