#include "python/string_column_driver.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "core/address_numbering.hpp"
#include "core/column_job.hpp"
#include "core/thread_pool.hpp"
#include "python/cell_walk.hpp"
#include "python/frame_columns.hpp"
#include "python/frame_walk.hpp"
#include "python/interrupts.hpp"
#include "python/kept_strs.hpp"
#include "python/numpy_api.hpp"
#include "python/object_walks.hpp"
#include "python/plain_dtypes.hpp"
#include "python/table_access.hpp"
#include "python/typed_array_walks.hpp"

namespace vorpak {
namespace {

bool walk_cells(PyObject* table, CellWalk& walk) {
  if (has_numpy_item_access(table, walk.nrows, walk.ncols)) {
    auto* array = reinterpret_cast<PyArrayObject*>(table);
    const PyArray_Descr* d = PyArray_DESCR(array);
    if (d->type_num == NPY_OBJECT) return walk_object_array(table, walk);
    if (is_plain_numeric(d)) return walk_numeric_array(array, walk);
    if (is_plain_unicode(d)) return walk_unicode_array(table, walk);
  }
  return walk_by_item_access(table, walk);
}

bool walk_table(PyObject* obj, const Container& out, CellWalk& walk) {
  if (out.kind == Container::Kind::Array) {
    return walk.nrows == 0 || walk.ncols == 0 || walk_cells(obj, walk);
  }
  std::vector<FrameColumn> columns;
  if (walk.nrows > 0 && frame_columns(obj, walk.nrows, walk.ncols, columns)) {
    switch (walk_frame_columns(columns, walk)) {
      case Walked::kDone: return true;
      case Walked::kFailed: return false;
      case Walked::kGaveUp: break;
    }
  }
  if (PyErr_Occurred() || !handle_signals()) return false;  // an interrupt met finding the columns
  PyRef values = PyRef::steal(PyObject_GetAttrString(obj, "values"));
  if (!values) return raise_fault_from_pending("cannot read the values of the DataFrame");
  if (walk.nrows == 0 || walk.ncols == 0) return true;
  if (!walk_cells(values.get(), walk)) return false;
  // `values` may be a fresh array, the only owner of its strs, which the walk
  // may know by address alone until they are read.
  walk.keep_alive.push_back(std::move(values));
  return true;
}

// ---------------------------------------------------------------------------

// How a stretch in which no Python code may run ended: an interrupt ends it
// early, to be handled once it is over.
enum class Stretch { kDone, kFailed, kInterrupted };

// Turns the str addresses filed by the walk into text ids: for each column the
// pool numbered, the id of each of its distinct addresses. The pool numbers
// each column's distinct addresses; then this thread, which kept the
// interpreter all along (so every str is still alive), reads the text of each
// distinct str once.
Stretch resolve_addresses(CellWalk& walk, AddressNumbering& numbering,
                          std::vector<std::vector<uint64_t>>& address_ids) {
  // A str not yet read is kept alive only by the table, and Python code run by a
  // collection (a lone surrogate's encoding error starts one) could drop it.
  const NoPythonStretch stretch;
  std::vector<size_t> columns;
  for (size_t j = 0; j < walk.ncols; ++j) {
    if (walk.has_addresses[j]) columns.push_back(j);
  }
  // Those the pool numbered as it read them, in the same order.
  std::vector<NumberedInChunks> numbered;
  std::sort(walk.numbered_addresses.begin(), walk.numbered_addresses.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  auto next = walk.numbered_addresses.begin();
  for (size_t j : columns) {
    while (next != walk.numbered_addresses.end() && next->first < j) ++next;
    const bool numbered_here = next != walk.numbered_addresses.end() && next->first == j;
    numbered.push_back(numbered_here ? std::move(next->second) : NumberedInChunks());
  }
  numbering = number_addresses(walk.grid, std::move(columns), std::move(numbered));
  address_ids.resize(numbering.columns.size());
  SignalPacer pacer;
  for (size_t c = 0; c < numbering.columns.size(); ++c) {
    TextColumn& texts = walk.text_column(numbering.columns[c]);
    std::vector<uint64_t>& ids = address_ids[c];
    ids.reserve(numbering.distinct[c].size());
    for (uint64_t address : numbering.distinct[c]) {
      if (pacer.due() && interrupt_arrived()) return Stretch::kInterrupted;
      uint64_t id = 0;
      if (!texts.add_distinct_str(reinterpret_cast<PyObject*>(address), id)) {
        raise_fault_from_pending("cant convert to str");
        return Stretch::kFailed;
      }
      ids.push_back(id);
    }
  }
  return Stretch::kDone;
}

// One job per string column builds its tables; then the codes go into the
// buffer. Everything per column here is per string column: a wide table of
// numbers costs nothing. Each column keeps the first str it met for each code:
// the jobs find them, and this thread, which has run no Python code since the
// walk (so each is still alive), takes one reference per code.
std::unique_ptr<FittedTables> run_column_jobs(CellWalk& walk, const AddressNumbering& numbering,
                                              std::vector<std::vector<uint64_t>>& address_ids,
                                              KeptStrs& kept) {
  // The lists are in column order, so each string column finds its place among
  // the numbered columns, and among those with ids kept by row, by walking them
  // side by side.
  std::vector<StringColumnJob> jobs;
  size_t listed = 0;
  size_t by_row = 0;
  for (size_t j = 0; j < walk.ncols; ++j) {
    if (!walk.is_string[j]) continue;
    StringColumnJob job;
    job.column = j;
    job.texts = &walk.text_column(j).texts();
    job.repeats = walk.text_column(j).repeats();
    while (listed < numbering.columns.size() && numbering.columns[listed] < j) ++listed;
    if (listed < numbering.columns.size() && numbering.columns[listed] == j) {
      job.listed = listed;
      job.address_ids = &address_ids[listed];
    }
    const auto& kept_ids = walk.row_text_ids;
    while (by_row < kept_ids.size() && kept_ids[by_row].first < j) ++by_row;
    if (by_row < kept_ids.size() && kept_ids[by_row].first == j) {
      job.row_ids = &kept_ids[by_row].second;
    }
    jobs.push_back(job);
  }

  std::vector<ColumnTables> string_columns(jobs.size());
  std::vector<TextColumn*> text_columns;
  for (const StringColumnJob& job : jobs) text_columns.push_back(&walk.text_column(job.column));
  std::vector<std::vector<PyObject*>> firsts(jobs.size());
  // A column's texts and address ids are done with once its job is: each is
  // freed as its job ends, not with the walk, so that a table of millions of
  // distinct texts never holds them beside all of its columns' tables.
  pool::parallel_for(jobs.size(), 1, [&](size_t begin, size_t end) {
    for (size_t s = begin; s < end; ++s) {
      string_columns[s] = encode_column(jobs[s]);
      firsts[s] = first_str_of_code(text_columns[s]->strs(), string_columns[s].code_of_id,
                                    string_columns[s].decoding.size());
      text_columns[s]->release_texts();
      if (jobs[s].listed != StringColumnJob::kNotListed) {
        std::vector<uint64_t>().swap(address_ids[jobs[s].listed]);
      }
    }
  });
  // The tables hold copies of every text now, and the texts read on the pool
  // are views into these.
  std::vector<TextArena>().swap(walk.arenas);
  for (size_t s = 0; s < jobs.size(); ++s) {
    if (!firsts[s].empty()) kept.keep(jobs[s].column, hold_strs(firsts[s]));
  }
  JobContext ctx;
  ctx.grid = walk.grid;
  ctx.numbering = &numbering;
  write_codes(jobs, string_columns, ctx);

  auto info = std::make_unique<FittedTables>();
  info->encoded_columns.reserve(string_columns.size());
  info->encoding_tables.reserve(string_columns.size());
  info->decoding_tables.reserve(string_columns.size());
  for (ColumnTables& column : string_columns) {
    info->encoded_columns.push_back(column.column);
    info->encoding_tables.emplace(column.column, std::move(column.encoding));
    info->decoding_tables.emplace(column.column, std::move(column.decoding));
  }
  return info;
}

// Below this many cells a whole encode takes a few hundred microseconds at
// most, less than waking the pool's threads and waiting for them costs.
constexpr size_t kInlineBelowCells = size_t{1} << 16;

Stretch encode_once(PyObject* obj, const Container& out, ReadFor purpose, WorkingMatrix& matrix,
                    std::unique_ptr<FittedTables>& info, KeptStrs& kept,
                    std::vector<size_t>& first_text_rows) {
  size_t nrows = 0, ncols = 0;
  if (!read_shape(obj, nrows, ncols)) return Stretch::kFailed;
  // A frame's cells are laid out column by column, as pandas keeps a block, so
  // that the frame made of them takes the buffer without transposing it.
  WorkingMatrix buffer;
  const bool by_column = out.kind == Container::Kind::DataFrame;
  if (!new_working_matrix(nrows, ncols, by_column, buffer)) return Stretch::kFailed;
  const pool::InlineScope small_table(buffer.size() < kInlineBelowCells);

  MissingCells missing;
  PyRef na;
  if (!MissingCells::for_reading(purpose, missing, na)) return Stretch::kFailed;
  CellWalk walk(grid_of(buffer), missing);
  AddressNumbering numbering;
  std::vector<std::vector<uint64_t>> address_ids;
  // Every wait for the pool in this call, the walk's included, looks for Ctrl-C.
  try {
    const InterruptibleWaits waits;
    if (!walk_table(obj, out, walk)) return Stretch::kFailed;
    const Stretch resolved = resolve_addresses(walk, numbering, address_ids);
    if (resolved != Stretch::kDone) return resolved;
    KeptStrs fresh;
    info = run_column_jobs(walk, numbering, address_ids, fresh);
    kept = std::move(fresh);
  } catch (const pool::Cancelled&) {
    return Stretch::kInterrupted;
  }
  matrix = std::move(buffer);
  first_text_rows = std::move(walk.first_text_row);
  return Stretch::kDone;
}

}  // namespace

bool encode_object_array(PyObject* obj, const Container& out, ReadFor purpose,
                         WorkingMatrix& matrix, std::unique_ptr<FittedTables>& info,
                         KeptStrs& kept, std::vector<size_t>& first_text_rows) {
  for (;;) {
    switch (encode_once(obj, out, purpose, matrix, info, kept, first_text_rows)) {
      case Stretch::kDone: return true;
      case Stretch::kFailed: return false;
      case Stretch::kInterrupted:
        // The handler's KeyboardInterrupt ends the call. A handler that returns
        // has run Python code, which may have changed the table: start again.
        if (!handle_signals()) return false;
        break;
    }
  }
}

}  // namespace vorpak
