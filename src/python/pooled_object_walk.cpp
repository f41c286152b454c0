#include "python/pooled_object_walk.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "core/address_numbering.hpp"
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
bool pooled_walk_fits(size_t, size_t) { return false; }
Walked try_pooled_object_columns(const ObjectColumns&, CellWalk&) { return Walked::kGaveUp; }
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

// How a column's strs are told apart, judged from a sample of the column (see
// judge_columns). Where the objects repeat (one str shared by equal cells),
// the range numbers each cell's str by its address as it reads it, and the
// calling thread reads each distinct str once afterwards: there a table of
// texts would cost more than it saves. Where their texts repeat but the
// objects do not (a str per cell, as readers make them), each cell's text is
// looked up in the range's table. Where neither repeats, and the strs lie in
// row order (see made_in_row_order), each cell's text is read by the worker as
// it is, with no look-up at all: ranking the column merges the rare equal
// texts, and no thread is left to read millions of strs alone. Where neither
// repeats and the strs lie in another order, each cell is filed by its
// address alone, as the row-major walk does: numbering then sorts the
// addresses, and the strs are read in the order they lie in memory.
enum class Dedupe : uint8_t { kByObject, kByText, kEachCell, kByAddressOrder };

// One column's texts in one row range.
class RangeColumn {
 public:
  size_t turn = std::numeric_limits<size_t>::max();  // first row of the range holding text
  std::vector<size_t> later_numbers;  // rows past `turn` holding a number, bool or missing cell
  std::vector<PyObject*> strs;        // the first exact str of each text; null if none
  AddressNumbers addresses;           // the strs numbered by address (Dedupe::kByObject)
  Dedupe dedupe = Dedupe::kByObject;

  // The local id of the text of exact str `str` (not filed by address). A short
  // text is known again by its code units, which name it exactly within its
  // kind (an ASCII str's are its UTF-8, and a Latin-1 str's hold a byte no
  // ASCII text has, so these two kinds share one index). `read` gives its UTF-8
  // only when it is new, and whether it was repaired: false (and the walk gives
  // up) where a worker cannot read it. `keep` makes a new text outlive the call.
  template <class Read, class Keep>
  bool id_of_str(PyObject* str, Read read, Keep keep, uint32_t& id) {
#if PY_VERSION_HEX < 0x030C0000
    if (!PyUnicode_IS_READY(str)) return false;  // readying it allocates
#endif
    const auto length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    const unsigned kind = PyUnicode_KIND(str);
    const std::string_view units(static_cast<const char*>(PyUnicode_DATA(str)), length * kind);
    std::string_view text;
    bool repaired = false;
    if (units.size() <= ShortTextIndex::kMaxSize) {
      bool readable = true;
      ShortTextIndex& index = kind == 1 ? latin1_ : kind == 2 ? ucs2_ : ucs4_;
      id = static_cast<uint32_t>(index.id_of(units, [&] {
        readable = read(str, text, repaired);
        return readable ? append(keep(str, text), 0, repaired ? nullptr : str) : 0;
      }));
      return readable;
    }
    if (!read(str, text, repaired)) return false;
    PyObject* source = repaired ? nullptr : str;
    id = id_of_text(text, source, [&] { return keep(str, text); });
    return true;
  }

  // Asks for the index slot of a short str's text ahead of its id_of_str; reads
  // the str as id_of_str does, so only what a worker may read.
  void prefetch_str(PyObject* str) const {
    if (Py_TYPE(str) != &PyUnicode_Type) return;
#if PY_VERSION_HEX < 0x030C0000
    if (!PyUnicode_IS_READY(str)) return;
#endif
    const unsigned kind = PyUnicode_KIND(str);
    const auto size = static_cast<size_t>(PyUnicode_GET_LENGTH(str)) * kind;
    if (size > ShortTextIndex::kMaxSize) return;
    const ShortTextIndex& index = kind == 1 ? latin1_ : kind == 2 ? ucs2_ : ucs4_;
    index.prefetch(std::string_view(static_cast<const char*>(PyUnicode_DATA(str)), size));
  }

  // A fresh local id for the text of exact str `str`, with no look-up.
  template <class Read, class Keep>
  bool id_of_cell(PyObject* str, Read read, Keep keep, uint32_t& id) {
    std::string_view text;
    bool repaired = false;
    if (!read(str, text, repaired)) return false;
    id = append(keep(str, text), 0, repaired ? nullptr : str);
    return true;
  }

  // The local id of a text that is no str's (it lives beyond the call).
  uint32_t id_of_constant(std::string_view text) {
    if (dedupe == Dedupe::kEachCell) return append(text, 0, nullptr);
    return id_of_text(text, nullptr, [&] { return text; });
  }
  const std::vector<std::string_view>& texts() const { return texts_; }
  // Once the column has taken this range's texts: they take a few words a
  // cell where every cell has its own, and the next columns need the room.
  void forget_texts() {
    std::vector<std::string_view>().swap(texts_);
    std::vector<uint64_t>().swap(hashes_);
    std::vector<PyObject*>().swap(strs);
    addresses = AddressNumbers();
    by_content_ = OpenTable<Slots>();
    latin1_ = ShortTextIndex();
    ucs2_ = ShortTextIndex();
    ucs4_ = ShortTextIndex();
  }

 private:
  // The id of `text` by content; `lasting` gives the text to keep if it is new.
  template <class Lasting>
  uint32_t id_of_text(std::string_view text, PyObject* str, Lasting lasting) {
    if (key_ == 0) key_ = fresh_hash_key() | 1;
    const uint64_t h = hash_bytes(text.data(), text.size(), key_);
    const auto probe = by_content_.find_for_insert(text, h, Slots::Context{texts_, hashes_});
    if (probe.found) return Slots::id_of(by_content_[probe.at]);
    const uint32_t id = append(lasting(), h, str);
    by_content_.fill(probe.at, Slots::slot_of(id));
    return id;
  }

  uint32_t append(std::string_view text, uint64_t h, PyObject* str) {
    const auto id = static_cast<uint32_t>(texts_.size());
    texts_.push_back(text);
    if (dedupe != Dedupe::kEachCell) hashes_.push_back(h);  // never looked up by content
    strs.push_back(str);
    return id;
  }

  using Slots = TextIdSlots<uint32_t>;
  ShortTextIndex latin1_, ucs2_, ucs4_;
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
bool read_range(const ObjectColumns& cells, const CellGrid& grid, const MissingCells& missing,
                RowRange& range, const std::atomic<bool>& given_up) {
  const auto read = [&](PyObject* str, std::string_view& text, bool& repaired) {
    return read_str(str, range, text, repaired);
  };
  // An ASCII str's UTF-8 is its own, which lives as long as the table; any
  // other is copied.
  const auto keep = [&](PyObject* str, std::string_view text) {
    return PyUnicode_IS_COMPACT_ASCII(str) ? text : range.arena.store(text);
  };
  constexpr size_t kBlockRows = 2048;
  constexpr size_t kAhead = 16;  // cells whose objects are asked for ahead of their reading
  constexpr size_t kSlotAhead = 8;  // cells whose texts' index slots are asked for ahead
  for (size_t block = range.begin; block < range.end; block += kBlockRows) {
    if (given_up.load(std::memory_order_relaxed) || pool::stop_requested()) return false;
    const size_t block_end = std::min(range.end, block + kBlockRows);
    for (size_t c = 0; c < cells.size(); ++c) {
      RangeColumn& column = range.columns[c];
      const ObjectColumns::Column& source = cells.columns[c];
      const bool by_text = column.dedupe == Dedupe::kByText;
      for (size_t i = block; i < block_end; ++i) {
        if (i + kAhead < block_end) __builtin_prefetch(source.at(i + kAhead));
        if (by_text && i + kSlotAhead < block_end) column.prefetch_str(source.at(i + kSlotAhead));
        PyObject* cell = source.at(i);
        double& slot = grid.at(i, source.walk_column);
        const PyTypeObject* type = Py_TYPE(cell);
        double number = 0;
        uint32_t id;
        if (type == &PyUnicode_Type) {
          if (column.dedupe == Dedupe::kByObject || column.dedupe == Dedupe::kByAddressOrder) {
            if (column.turn > i) column.turn = i;
            const auto address = reinterpret_cast<uint64_t>(cell);
            const uint64_t filed =
                column.dedupe == Dedupe::kByObject ? column.addresses.number_of(address) << 1 : address;
            slot = std::bit_cast<double>(filed);  // even: no id
            continue;
          }
          const bool read_one = column.dedupe == Dedupe::kEachCell
                                    ? column.id_of_cell(cell, read, keep, id)
                                    : column.id_of_str(cell, read, keep, id);
          if (!read_one) return false;
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
          id = column.id_of_constant("None");
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

// Cells [from, to) of a column: numbers below the column's first text, filed
// as the row-major walk files them there, by their str().
bool file_by_object(const ObjectColumns::Column& source, CellWalk& walk, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    if (!walk.put_text(i, source.walk_column, source.at(i))) return false;
  }
  return true;
}

// Local ids become the column's: range k's ids of column c start at
// first_id[k][c]. Only the slots at or past the range's own first text of the
// column hold ids (odd); those left to the calling thread there are even.
void renumber_on_pool(const ObjectColumns& cells, const std::vector<RowRange>& ranges,
                      const std::vector<std::vector<uint64_t>>& first_id, CellWalk& walk) {
  pool::parallel_for(ranges.size(), 1, [&](size_t first, size_t last) {
    for (size_t k = first; k < last; ++k) {
      for (size_t c = 0; c < cells.size(); ++c) {
        const uint64_t shift = first_id[k][c] << 1;
        if (shift == 0) continue;
        const size_t j = cells.columns[c].walk_column;
        const size_t from = std::max(ranges[k].begin, ranges[k].columns[c].turn);
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
bool join_ranges(const ObjectColumns& cells, std::vector<RowRange>& ranges, CellWalk& walk) {
  constexpr size_t kNone = std::numeric_limits<size_t>::max();
  std::vector<std::vector<uint64_t>> first_id(ranges.size(), std::vector<uint64_t>(cells.size()));
  std::vector<size_t> turn(cells.size(), kNone);
  std::vector<std::pair<size_t, NumberedInChunks>> numbered;  // the walk's once the join is done
  for (size_t c = 0; c < cells.size(); ++c) {
    const size_t j = cells.columns[c].walk_column;
    for (const RowRange& range : ranges) turn[c] = std::min(turn[c], range.columns[c].turn);
    if (turn[c] == kNone) continue;  // numbers only
    walk.turn(turn[c], j);
    // Its strs' addresses are numbered and read once each, as those the
    // row-major walk files.
    const Dedupe dedupe = ranges.front().columns[c].dedupe;
    if (dedupe == Dedupe::kByObject || dedupe == Dedupe::kByAddressOrder) walk.has_addresses[j] = 1;
    if (dedupe == Dedupe::kByObject) {
      NumberedInChunks& chunks = numbered.emplace_back(j, NumberedInChunks()).second;
      for (RowRange& range : ranges) chunks.push_back(range.columns[c].addresses.take());
    }
    TextColumn& texts = walk.text_column(j);
    for (size_t k = 0; k < ranges.size(); ++k) {
      RangeColumn& column = ranges[k].columns[c];
      first_id[k][c] = texts.add_read_texts(column.texts(), column.strs);
      column.forget_texts();
    }
  }
  renumber_on_pool(cells, ranges, first_id, walk);
  for (size_t c = 0; c < cells.size(); ++c) {
    if (turn[c] == kNone) continue;
    const ObjectColumns::Column& source = cells.columns[c];
    for (const RowRange& range : ranges) {
      const RangeColumn& column = range.columns[c];
      const size_t from = std::max(range.begin, turn[c]);
      if (!file_by_object(source, walk, from, std::max(from, std::min(range.end, column.turn)))) {
        return false;
      }
      for (size_t i : column.later_numbers) {
        if (!walk.put_text(i, source.walk_column, source.at(i))) return false;
      }
    }
  }
  std::move(numbered.begin(), numbered.end(), std::back_inserter(walk.numbered_addresses));
  return true;
}

}  // namespace

// Whether a sample's repeats say the column repeats each of its values four
// times or more on average. `repeats` is sampled values less distinct ones,
// of `sampled` values spread evenly over a column of `total`: while the
// column's distinct values D outnumber the sample, repeats are about the
// pairs of equal values, sampled^2 / 2D.
bool repeats_enough(size_t repeats, size_t sampled, size_t total) {
  return 2 * repeats >= sampled || repeats * total >= 2 * sampled * sampled;
}

size_t count_distinct(std::vector<uint64_t>& values) {
  std::sort(values.begin(), values.end());
  return static_cast<size_t>(std::unique(values.begin(), values.end()) - values.begin());
}

// Whether most sampled strs lie in memory in the order of their rows, as
// those made one by one while the table was read do. Reading each cell's text
// in row order then walks memory forwards; where the strs lie in another order
// (picked from a list of words, say), reading each once in address order, as
// the calling thread does after the address walk, is kinder to the caches.
bool made_in_row_order(const std::vector<uint64_t>& objects) {
  size_t forwards = 0;
  for (size_t k = 1; k < objects.size(); ++k) forwards += objects[k] > objects[k - 1];
  return 4 * forwards >= 3 * (objects.size() - 1);
}

// How each column's strs are best told apart (see Dedupe), from a sample of
// its rows spread evenly over it: cheap beside the walk, and blind to the
// order of the rows.
std::vector<Dedupe> judge_columns(const ObjectColumns& cells, size_t nrows) {
  constexpr size_t kSampleRows = 4096;
  const size_t rows = std::min(nrows, kSampleRows);
  const uint64_t key = fresh_hash_key();
  std::vector<Dedupe> judged(cells.size(), Dedupe::kByObject);
  std::vector<uint64_t> objects, texts;
  for (size_t c = 0; c < cells.size(); ++c) {
    objects.clear();
    texts.clear();
    for (size_t k = 0; k < rows; ++k) {
      PyObject* cell = cells.columns[c].at(k * nrows / rows);
      if (!PyUnicode_CheckExact(cell)) continue;
#if PY_VERSION_HEX < 0x030C0000
      if (!PyUnicode_IS_READY(cell)) continue;
#endif
      objects.push_back(reinterpret_cast<uint64_t>(cell));
      // The code units and kind name the text; a clash of hashes only makes
      // the texts look more repeated than they are.
      const auto bytes = static_cast<size_t>(PyUnicode_GET_LENGTH(cell)) * PyUnicode_KIND(cell);
      texts.push_back(hash_bytes(static_cast<const char*>(PyUnicode_DATA(cell)), bytes,
                                 key ^ PyUnicode_KIND(cell)));
    }
    const size_t strs = objects.size();
    if (strs < 64) continue;  // a column of numbers, mostly
    const size_t total = nrows * strs / rows;
    const bool in_row_order = made_in_row_order(objects);  // before count_distinct sorts them
    const size_t object_repeats = strs - count_distinct(objects);
    if (repeats_enough(object_repeats, strs, total)) {
      // Past some tens of thousands of distinct strs (about strs^2 / 2 repeats,
      // see repeats_enough) a range's table of them outgrows the core's cache,
      // and sorting their addresses numbers them faster.
      constexpr size_t kNumberedInRangeUpTo = 32 * 1024;
      if (2 * object_repeats * kNumberedInRangeUpTo < strs * strs) judged[c] = Dedupe::kByAddressOrder;
      continue;
    }
    if (repeats_enough(strs - count_distinct(texts), strs, total)) {
      judged[c] = Dedupe::kByText;
    } else {
      judged[c] = in_row_order ? Dedupe::kEachCell : Dedupe::kByAddressOrder;
    }
  }
  return judged;
}

bool pooled_walk_fits(size_t nrows, size_t ncols) {
  return ncols <= kMaxColumns && nrows >= 2 * kMinRangeRows;
}

Walked try_pooled_object_columns(const ObjectColumns& cells, CellWalk& walk) {
  const NoPythonStretch stretch;
  const size_t count = std::min(pool::thread_count(), pool::chunk_count(walk.nrows, kMinRangeRows));
  std::vector<RowRange> ranges(count);
  const std::vector<Dedupe> judged = judge_columns(cells, walk.nrows);
  for (size_t k = 0; k < count; ++k) {
    ranges[k].begin = pool::chunk_begin(walk.nrows, k, count);
    ranges[k].end = pool::chunk_begin(walk.nrows, k + 1, count);
    ranges[k].columns.resize(cells.size());
    for (size_t c = 0; c < cells.size(); ++c) ranges[k].columns[c].dedupe = judged[c];
  }
  std::atomic<bool> given_up{false};
  try {
    const InterruptibleWaits waits;
    pool::parallel_for(count, 1, [&](size_t first, size_t last) {
      for (size_t k = first; k < last; ++k) {
        if (!read_range(cells, walk.grid, walk.missing, ranges[k], given_up)) {
          given_up.store(true);
        }
      }
    });
  } catch (const pool::Cancelled&) {
    return Walked::kGaveUp;  // an interrupt: the column walk handles it
  }
  if (given_up.load()) return Walked::kGaveUp;
  if (!join_ranges(cells, ranges, walk)) return give_up_on_error();
  for (RowRange& range : ranges) walk.arenas.push_back(std::move(range.arena));
  return Walked::kDone;
}

Walked try_pooled_object_walk(const Geometry& g, CellWalk& walk) {
  ObjectColumns cells;
  cells.columns.reserve(walk.ncols);
  for (size_t j = 0; j < walk.ncols; ++j) {
    cells.columns.push_back({g.at(0, j), g.row_stride, j});
  }
  CellWalk attempt(walk.grid, walk.missing);
  const Walked walked = try_pooled_object_columns(cells, attempt);
  if (walked == Walked::kDone) walk = std::move(attempt);
  return walked;
}

#endif

}  // namespace vorpak
