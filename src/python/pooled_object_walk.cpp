#include "python/pooled_object_walk.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/code_points_utf8.hpp"
#include "core/keyed_hash.hpp"
#include "core/open_table.hpp"
#include "core/short_text_index.hpp"
#include "core/text_arena.hpp"
#include "core/thread_pool.hpp"
#include "python/interrupts.hpp"
#include "python/no_python_stretch.hpp"

namespace vorpak {

// How worker threads may read Python objects here, and why it is sound.
//
// With an interpreter lock, the thread that calls encode holds it from the
// start of this walk to its end, and runs no Python code meanwhile (the walk is
// inside a NoPythonStretch, and the calling thread only waits for the pool, its
// poll reading a signal flag). No other thread can run Python code or touch an
// object without that lock, so no object changes and none is freed while the
// workers run. The workers therefore read, never write, only what is immutable
// in an object anyway: a cell's type pointer (which is all that tells a missing
// cell, see MissingCells), an exact float's value, an exact
// int's digits, an exact str's kind, length and code points. They never call
// into the C API (which may allocate, raise, cache or count references), never
// touch a reference count, and leave every cell that needs more to the calling
// thread, or give up. Without an interpreter lock (Py_GIL_DISABLED) another
// thread could change or free a cell at any moment, so such builds never take
// this walk.
#ifdef Py_GIL_DISABLED
bool pooled_walk_fits(const Geometry&, size_t, size_t) { return false; }
Walked try_pooled_object_walk(const Geometry&, CellWalk&) { return Walked::kGaveUp; }
#else

namespace {

// Rows per range, at the least; fewer would spend more on tables than on rows.
constexpr size_t kMinRangeRows = 16 * 1024;
// Each range keeps a few words per column: wider tables take the row-major walk.
constexpr size_t kMaxColumns = 4096;

// A slot of a range's cell that is a number below the range's first text, to be
// filed by the calling thread: +0.0, an even bit pattern that no text id (odd)
// can have.
constexpr uint64_t kLeftToCaller = 0;

// One column's texts in one row range, each distinct text once.
class RangeColumn {
 public:
  size_t turn = std::numeric_limits<size_t>::max();  // first row of the range holding text
  std::vector<size_t> later_numbers;  // rows past `turn` holding a number, bool or missing cell
  std::vector<PyObject*> strs;        // the first exact str of each text; null if none

  // The local id of `text`; `stored` copies it where it must outlive the call.
  template <class Store>
  uint32_t id_of(std::string_view text, PyObject* str, Store stored) {
    if (text.size() <= ShortTextIndex::kMaxSize) {
      return static_cast<uint32_t>(
          short_texts_.id_of(text, [&] { return new_id(text, str, stored); }));
    }
    return new_id(text, str, stored);
  }
  const std::vector<std::string_view>& texts() const { return texts_; }

 private:
  // Short texts are found by their words first (see ShortTextIndex); a short
  // text reaches the content table only the first time it is met.
  template <class Store>
  uint32_t new_id(std::string_view text, PyObject* str, Store stored) {
    if (key_ == 0) key_ = fresh_hash_key() | 1;
    const uint64_t h = hash_bytes(text.data(), text.size(), key_);
    const auto probe = by_content_.find_for_insert(text, h, Slots::Context{texts_, hashes_});
    if (probe.found) return Slots::id_of(by_content_[probe.at]);
    const auto id = static_cast<uint32_t>(texts_.size());
    texts_.push_back(stored(text));
    hashes_.push_back(h);
    strs.push_back(str);
    by_content_.fill(probe.at, Slots::slot_of(id));
    return id;
  }

  using Slots = TextIdSlots<uint32_t>;
  ShortTextIndex short_texts_;
  std::vector<std::string_view> texts_;
  std::vector<uint64_t> hashes_;
  OpenTable<Slots> by_content_;
  uint64_t key_ = 0;
};

struct RowRange {
  size_t begin = 0, end = 0;
  std::vector<RangeColumn> columns;
  TextArena arena;     // the texts that had to be encoded
  std::string buffer;  // where a str's UTF-8 is made before it is looked up
};

// An exact int whose value a worker can read without the C API raising: its
// magnitude is far below a double's range. (Through CPython 3.11 an int's size
// is its digit count; later versions hide it, and only compact ints qualify.)
bool readable_int(PyObject* cell, double& value) {
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(cell))) return false;
  value = static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(cell)));
  return true;
#else
  const Py_ssize_t digits = Py_SIZE(cell);
  if (digits < -30 || digits > 30) return false;  // 30 digits of 30 bits: below 2^900
  value = PyLong_AsDouble(cell);  // reads the digits; cannot overflow, so cannot raise
  return true;
#endif
}

// The UTF-8 of an exact str as a worker reads it, or false when that takes the
// C API: on 3.11 a legacy str not yet made ready (readying allocates), and a
// code point beyond U+10FFFF, whose error only Python can make.
bool read_str(PyObject* str, RowRange& range, std::string_view& text, bool& repaired) {
#if PY_VERSION_HEX < 0x030C0000
  if (!PyUnicode_IS_READY(str)) return false;
#endif
  const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
  repaired = false;
  if (PyUnicode_IS_COMPACT_ASCII(str)) {  // its data is UTF-8 already
    text = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)), length);
    return true;
  }
  switch (code_points_to_utf8(PyUnicode_DATA(str), PyUnicode_KIND(str), length, range.buffer)) {
    case CodePointsUtf8::kBeyond: return false;
    case CodePointsUtf8::kRepaired: repaired = true; break;
    case CodePointsUtf8::kValid: break;
  }
  text = range.buffer;
  return true;
}

// Reads one row range on a worker (see above). Its cells' slots get a number, a
// local text id (odd) or kLeftToCaller. False at a cell that needs Python code.
// Blocks of rows are read column by column, so that one column's table at a
// time is in cache, and the block's cell pointers stay there meanwhile.
bool read_range(const Geometry& g, const CellGrid& grid, const MissingCells& missing,
                RowRange& range, const std::atomic<bool>& given_up) {
  const auto stored = [&](std::string_view text) { return range.arena.store(text); };
  const auto as_is = [](std::string_view text) { return text; };  // lives in its str
  constexpr size_t kBlockRows = 2048;
  constexpr size_t kAhead = 8;  // cells whose objects are asked for ahead of their reading
  for (size_t block = range.begin; block < range.end; block += kBlockRows) {
    if (given_up.load(std::memory_order_relaxed) || pool::cancel_requested()) return false;
    const size_t block_end = std::min(range.end, block + kBlockRows);
    for (size_t j = 0; j < grid.ncols; ++j) {
      RangeColumn& column = range.columns[j];
      for (size_t i = block; i < block_end; ++i) {
        if (i + kAhead < block_end) __builtin_prefetch(stored_object(g, i + kAhead, j));
        PyObject* cell = stored_object(g, i, j);
        double& slot = grid.at(i, j);
        const PyTypeObject* type = Py_TYPE(cell);
        double number = 0;
        uint32_t id;
        if (type == &PyUnicode_Type) {
          std::string_view text;
          bool repaired = false;
          if (!read_str(cell, range, text, repaired)) return false;
          const bool ascii = PyUnicode_IS_COMPACT_ASCII(cell);
          id = ascii ? column.id_of(text, cell, as_is)
                     : column.id_of(text, repaired ? nullptr : cell, stored);
        } else if (type == &PyFloat_Type || type == &PyBool_Type || missing.is_missing(cell) ||
                   (type == &PyLong_Type && readable_int(cell, number))) {
          if (column.turn <= i) {  // text below: the calling thread files it as text
            column.later_numbers.push_back(i);
            slot = std::bit_cast<double>(kLeftToCaller);
          } else if (type == &PyFloat_Type) {
            slot = PyFloat_AS_DOUBLE(cell);
          } else if (type == &PyBool_Type) {
            slot = cell == Py_True ? 1.0 : 0.0;
          } else {
            slot = type == &PyLong_Type ? number : std::numeric_limits<double>::quiet_NaN();
          }
          continue;
        } else if (cell == Py_None) {  // no number, so text: str(None)
          id = column.id_of("None", nullptr, as_is);
        } else {
          return false;
        }
        if (column.turn > i) column.turn = i;
        slot = std::bit_cast<double>((uint64_t{id} << 1) | 1);
      }
    }
  }
  return true;
}

// Cells [from, to) of column j: numbers below the column's first text, filed
// as the row-major walk files them there, by their str().
bool file_by_object(const Geometry& g, CellWalk& walk, size_t j, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (!walk.put_text(i, j, stored_object(g, i, j))) return false;
  }
  return true;
}

// Local ids become the column's: range k's ids of column j start at
// first_id[k][j]. Only the slots at or past the range's own first text of the
// column hold ids (odd); those left to the calling thread there are even.
void renumber_on_pool(const std::vector<RowRange>& ranges,
                      const std::vector<std::vector<uint64_t>>& first_id, CellWalk& walk) {
  pool::parallel_for(ranges.size(), 1, [&](size_t first, size_t last) {
    for (size_t k = first; k < last; ++k) {
      for (size_t j = 0; j < walk.ncols; ++j) {
        const uint64_t shift = first_id[k][j] << 1;
        if (shift == 0) continue;
        const size_t from = std::max(ranges[k].begin, ranges[k].columns[j].turn);
        for (size_t i = from; i < ranges[k].end; ++i) {
          double& slot = walk.slot(i, j);
          const uint64_t bits = std::bit_cast<uint64_t>(slot);
          if (bits & 1) slot = std::bit_cast<double>(bits + shift);
        }
      }
    }
  });
}

// Joins the ranges into the walk's columns, as the row-major walk would have
// filed them: a column's first text turns it (the numbers above become texts),
// each range's texts get ids of the column, and the numbers below the turn are
// read by their str(). Calling thread only, with no Python code run.
bool join_ranges(const Geometry& g, std::vector<RowRange>& ranges, CellWalk& walk) {
  constexpr size_t kNone = std::numeric_limits<size_t>::max();
  std::vector<std::vector<uint64_t>> first_id(ranges.size(), std::vector<uint64_t>(walk.ncols));
  std::vector<size_t> turn(walk.ncols, kNone);
  for (size_t j = 0; j < walk.ncols; ++j) {
    for (const RowRange& range : ranges) turn[j] = std::min(turn[j], range.columns[j].turn);
    if (turn[j] == kNone) continue;  // numbers only
    walk.turn(turn[j], j);
    TextColumn& texts = walk.text_column(j);
    for (size_t k = 0; k < ranges.size(); ++k) {
      const RangeColumn& column = ranges[k].columns[j];
      first_id[k][j] = texts.add_read_texts(column.texts(), column.strs);
    }
  }
  renumber_on_pool(ranges, first_id, walk);
  for (size_t j = 0; j < walk.ncols; ++j) {
    if (turn[j] == kNone) continue;
    for (const RowRange& range : ranges) {
      const RangeColumn& column = range.columns[j];
      const size_t from = std::max(range.begin, turn[j]);
      if (!file_by_object(g, walk, j, from, std::max(from, std::min(range.end, column.turn)))) {
        return false;
      }
      for (size_t i : column.later_numbers) {
        if (!walk.put_text(i, j, stored_object(g, i, j))) return false;
      }
    }
  }
  return true;
}

}  // namespace

// Whether the str cells at the top of some column are mostly objects of their
// own, as readers make them, while their texts repeat. Where strs are shared
// (one object per text), the row-major walk files them by address, and where
// nearly every text is new, it reads each once; both cost less there than
// reading every cell's text on the pool.
bool strs_distinct_texts_repeated(const Geometry& g, size_t nrows, size_t ncols) {
  const size_t rows = std::min(nrows, std::max<size_t>(64, (size_t{1} << 16) / ncols));
  std::vector<PyObject*> seen;
  std::unordered_set<std::string_view> contents;
  seen.reserve(rows);
  for (size_t j = 0; j < ncols; ++j) {
    seen.clear();
    contents.clear();
    for (size_t i = 0; i < rows; ++i) {
      PyObject* cell = stored_object(g, i, j);
      if (!PyUnicode_CheckExact(cell)) continue;
      seen.push_back(cell);
#if PY_VERSION_HEX < 0x030C0000
      if (!PyUnicode_IS_READY(cell)) continue;
#endif
      // The raw code units stand for the text: enough to tell repeats apart.
      contents.emplace(static_cast<const char*>(PyUnicode_DATA(cell)),
                       static_cast<size_t>(PyUnicode_GET_LENGTH(cell)) * PyUnicode_KIND(cell));
    }
    std::sort(seen.begin(), seen.end());
    const size_t strs = seen.size();
    const auto objects = static_cast<size_t>(std::unique(seen.begin(), seen.end()) - seen.begin());
    if (strs >= 64 && 2 * objects > strs && 4 * contents.size() < strs) return true;
  }
  return false;
}

bool pooled_walk_fits(const Geometry& g, size_t nrows, size_t ncols) {
  return pool::thread_count() > 1 && ncols <= kMaxColumns && nrows >= 2 * kMinRangeRows &&
         strs_distinct_texts_repeated(g, nrows, ncols);
}

Walked try_pooled_object_walk(const Geometry& g, CellWalk& walk) {
  const NoPythonStretch stretch;
  const size_t count = std::min(pool::thread_count(), pool::chunk_count(walk.nrows, kMinRangeRows));
  std::vector<RowRange> ranges(count);
  for (size_t k = 0; k < count; ++k) {
    ranges[k].begin = pool::chunk_begin(walk.nrows, k, count);
    ranges[k].end = pool::chunk_begin(walk.nrows, k + 1, count);
    ranges[k].columns.resize(walk.ncols);
  }
  CellWalk attempt(walk.grid, walk.missing);
  std::atomic<bool> given_up{false};
  try {
    const InterruptibleWaits waits;
    pool::parallel_for(count, 1, [&](size_t first, size_t last) {
      for (size_t k = first; k < last; ++k) {
        if (!read_range(g, walk.grid, walk.missing, ranges[k], given_up)) {
          given_up.store(true);
        }
      }
    });
  } catch (const pool::Cancelled&) {
    return Walked::kGaveUp;  // an interrupt: the column walk handles it
  }
  if (given_up.load()) return Walked::kGaveUp;
  if (!join_ranges(g, ranges, attempt)) return give_up_on_error();
  for (RowRange& range : ranges) attempt.arenas.push_back(std::move(range.arena));
  walk = std::move(attempt);
  return Walked::kDone;
}

#endif

}  // namespace vorpak
