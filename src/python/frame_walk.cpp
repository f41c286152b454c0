#include "python/frame_walk.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

#include "core/fresh_memory.hpp"
#include "core/short_text_index.hpp"
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
};

// Text ids of a pooled column, written row by row. Short texts are found by
// their words (see ShortTextIndex) before the column's own table is asked.
class RowIds {
 public:
  RowIds(CellWalk& walk, PooledColumn& job)
      : column_(walk.text_column(job.column)), ids_(job.ids->ids), job_(job) {
    ids_.resize(walk.nrows);
  }

  // Row i holds `text`, which is checked to be UTF-8 the first time it is met.
  void put_text(size_t i, std::string_view text) {
    const auto add = [&] {
      const uint64_t id = column_.add_text(text);
      if (id >= checked_) {  // a text met for the first time
        checked_ = id + 1;
        if (!check_utf8(text).ok(text.size())) job_.unreadable = true;
      }
      return id;
    };
    put(i, text.size() <= ShortTextIndex::kMaxSize ? short_texts_.id_of(text, add) : add());
  }
  // The id of the text a number above the column's first text reads as, as
  // when a walk over `values` turns the column there.
  uint64_t number_id(double x) {
    char buf[kNumberTextCapacity];
    return column_.add_text(std::string_view(buf, number_to_text(x, buf)));
  }
  void put(size_t i, uint64_t id) {
    if (id > UINT32_MAX) job_.unreadable = true;  // beyond any table that fits in memory
    ids_[i] = static_cast<uint32_t>(id);
  }
  TextColumn& column() { return column_; }

 private:
  TextColumn& column_;
  std::vector<uint32_t>& ids_;
  PooledColumn& job_;
  ShortTextIndex short_texts_;
  uint64_t checked_ = 0;
};

// An Arrow text column turns at its first text, or at once when a null is no
// number (pd.NA, when encoding); nulls above the first text are NaNs, as
// `values` holds them.
// If every row is a NaN null, the column stays numeric.
void fill_arrow_texts(PooledColumn& job, CellWalk& walk) {
  const size_t j = job.column;
  const ArrowTextColumn& texts = *job.source->texts;
  const CellMeaning* null = job.meanings.empty() ? nullptr : &job.meanings[0];
  const size_t first_text = null != nullptr && null->is_number ? texts.first_text_row() : 0;
  if (first_text == walk.nrows) {
    for (size_t i = 0; i < walk.nrows; ++i) walk.slot(i, j) = null->number;
    return;
  }
  walk.is_string[j] = 1;
  RowIds ids(walk, job);
  const uint64_t above_id = first_text > 0 ? ids.number_id(null->number) : kNoId;
  uint64_t null_id = kNoId;
  // One task reads a whole column, which may take seconds: it stops once its
  // call is cancelled. A long text is hashed whole, so it counts by its size.
  pool::CancelPoint point;
  texts.for_each([&](size_t i, std::string_view text) {
                   point.step(1 + text.size() / 64);
                   ids.put_text(i, text);
                 },
                 [&](size_t i) {
                   point.step();
                   if (i < first_text) return ids.put(i, above_id);
                   if (null_id == kNoId) null_id = ids.column().add_text(null->text.view);
                   ids.put(i, null_id);
                 });
}

// Rows per range of a categorical's own scans, which a long column splits
// among the pool's threads.
constexpr size_t kCodeRangeRows = 128 * 1024;

// The texts of categories held in Arrow memory, each checked to be UTF-8: a
// category that is not leaves the frame to `values`, as when it is converted.
// Checked whether used or not, as the conversion reads every category. Their
// buffers, held by the column's import, never change: no Python code need be
// held off while a worker reads them.
bool read_category_texts(PooledColumn& job) {
  const ArrowTextColumn& texts = *job.source->texts;
  job.category_texts.resize(texts.size());
  bool utf8 = true;
  pool::CancelPoint point;
  texts.for_each(
      [&](size_t k, std::string_view text) {
        point.step(1 + text.size() / 64);
        utf8 = utf8 && check_utf8(text).ok(text.size());
        job.category_texts[k] = text;
      },
      [&](size_t) { utf8 = false; });  // no null category was imported: never met
  return utf8;
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
  rows.stride = static_cast<ptrdiff_t>(width);
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
// and read once the pool has joined.
template <class Code>
bool mark_rows(const char* codes, size_t begin, size_t end, std::vector<uint8_t>& used,
               pool::CancelPoint& point) {
  const size_t count = used.size();
  for (size_t i = begin; i < end; ++i) {
    point.step();
    Code code;
    std::memcpy(&code, codes + i * sizeof(Code), sizeof code);
    const auto e = static_cast<size_t>(int64_t{code} + 1);
    if (e >= count) return false;
    std::atomic_ref<uint8_t> flag(used[e]);
    if (flag.load(std::memory_order_relaxed) == 0) flag.store(1, std::memory_order_relaxed);
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
  rows.id_above.assign(count, RowTextIds::kNoTextId);
  rows.id_below.assign(count, RowTextIds::kNoTextId);
  pool::CancelPoint point;
  char buf[kNumberTextCapacity];
  std::vector<std::string_view> texts;
  for (size_t e = 0; e < count; ++e) {
    point.step();
    if (used_above[e]) {
      rows.id_above[e] = column.add_text(std::string_view(buf, number_to_text(meanings.number(e), buf)));
    }
    if (used_below[e]) {
      rows.id_below[e] = texts.size();
      texts.push_back(job.arena.store(meanings.text(e)));
    }
  }
  const uint64_t first = column.add_read_texts(texts, std::vector<PyObject*>(texts.size(), nullptr));
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
  walk.is_string[job.column] = 1;
  job.ids->first_text = turn;
  give_text_ids(job, meanings, used_above, used_below, walk.text_column(job.column));
}

void fill_pooled_column(PooledColumn& job, CellWalk& walk) {
  if (job.source->kind == FrameColumn::Kind::kArrowTexts) return fill_arrow_texts(job, walk);
  fill_categorical(job, walk);
}

PyObject* object_at(PyArrayObject* array, size_t i) {
  PyObject* cell;
  std::memcpy(&cell, PyArray_BYTES(array) + static_cast<npy_intp>(i) * PyArray_STRIDE(array, 0),
              sizeof cell);
  return cell != nullptr ? cell : Py_None;  // NumPy reads an empty slot as None
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
    pool::parallel_for_alongside(
        pooled.size(), 1,
        [&](size_t begin, size_t end) {
          for (size_t k = begin; k < end; ++k) fill_pooled_column(pooled[k], walk);
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
