#include "python/text_slot_fill.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>

#include "core/thread_pool.hpp"
#include "core/cell_code.hpp"

namespace vorpak {
namespace {

// Fewer slots than this per worker are not worth a hand-over.
constexpr size_t kMinSlotsPerChunk = size_t{1} << 16;

// Adds n references at once, as n Py_INCREFs would (an immortal object's count
// stays as it is). One by one where a count is not a plain number to add to:
// without a GIL (split counts), in debug builds (which total every increment),
// and near 2^31, where some versions keep only 32 bits of a set count while an
// increment would make the object immortal.
void add_references(PyObject* obj, size_t n) {
#if defined(Py_GIL_DISABLED) || defined(Py_REF_DEBUG)
  constexpr bool kOneByOne = true;
#else
  constexpr bool kOneByOne = false;
#endif
  const auto count = static_cast<size_t>(Py_REFCNT(obj));
  if (kOneByOne || n >= INT32_MAX || count >= INT32_MAX - n) {
    for (size_t k = 0; k < n; ++k) Py_INCREF(obj);
    return;
  }
  Py_SET_REFCNT(obj, static_cast<Py_ssize_t>(count + n));
}

// Where each chunk counts the uses of column c's strs: code k at
// offsets[c] + k, `missing` at offsets[c + 1] - 1.
std::vector<size_t> counter_offsets(const std::vector<ColumnStrs>& columns) {
  std::vector<size_t> offsets{0};
  for (const ColumnStrs& column : columns) {
    offsets.push_back(offsets.back() + column.by_code.size() + 1);
  }
  return offsets;
}

}  // namespace

bool fill_text_slots(PyObject** slots, const WorkingMatrix& m,
                     const std::vector<ColumnStrs>& columns, PyObject* missing,
                     const std::function<void()>& alongside) {
  const size_t outer = m.column_major ? m.ncols : m.nrows;
  const size_t inner = m.column_major ? m.nrows : m.ncols;
  const std::vector<size_t> offsets = counter_offsets(columns);
  const size_t per_chunk = offsets.back();
  // Many codes make many counters: then one chunk per thread, and at most as
  // many counters in all as the matrix has cells. The products of chunks and
  // counters are compared as quotients, which cannot wrap.
  size_t chunks = std::min(outer, pool::chunk_count(m.size(), kMinSlotsPerChunk));
  if (chunks < 2) return false;
  if (per_chunk > m.size() / 8 / chunks) chunks = std::min(chunks, pool::thread_count());
  if (chunks < 2 || per_chunk > m.size() / chunks) return false;
  const size_t largest_chunk = (outer / chunks + (outer % chunks != 0)) * inner;  // cells, at most
  if (largest_chunk >= UINT32_MAX) return false;

  // Workers copy pointer values and count; only this thread, which holds the
  // interpreter, touches the objects themselves, once the pool is done. Nothing
  // a worker does can fail, and the references are added even when `alongside`
  // throws, so no slot is ever left without its reference.
  std::vector<uint32_t> counts(chunks * per_chunk, 0);
  // Where column c's row i goes: first_slot[c][i * slot_step[c]].
  std::vector<ptrdiff_t> strs_of(m.ncols, -1);
  std::vector<PyObject**> first_slot(columns.size());
  std::vector<size_t> slot_step(columns.size(), 1);
  for (size_t c = 0; c < columns.size(); ++c) {
    const size_t j = columns[c].column;
    strs_of[j] = static_cast<ptrdiff_t>(c);
    if (columns[c].slots != nullptr) {
      first_slot[c] = columns[c].slots;
    } else {
      first_slot[c] = slots + (m.column_major ? j * m.nrows : j);
      slot_step[c] = m.column_major ? 1 : m.ncols;
    }
  }
  auto put = [&](size_t cell, size_t row, size_t c, uint32_t* chunk_counts) {
    const std::vector<PyObject*>& by_code = columns[c].by_code;
    const auto code = code_of_cell(m.cells[cell]);
    size_t which = by_code.size();
    PyObject* str = missing;
    if (code && *code < by_code.size() && by_code[*code] != nullptr) {
      which = static_cast<size_t>(*code);
      str = by_code[which];
    }
    first_slot[c][row * slot_step[c]] = str;
    ++chunk_counts[offsets[c] + which];
  };
  const auto fill_chunks = [&](size_t first, size_t last) {
    for (size_t k = first; k < last; ++k) {
      uint32_t* chunk_counts = counts.data() + k * per_chunk;
      const size_t end = pool::chunk_begin(outer, k + 1, chunks);
      for (size_t a = pool::chunk_begin(outer, k, chunks); a < end; ++a) {
        if (m.column_major) {
          if (strs_of[a] < 0) continue;
          for (size_t b = 0; b < inner; ++b) put(a * inner + b, b, strs_of[a], chunk_counts);
        } else {
          for (size_t c = 0; c < columns.size(); ++c) {
            put(a * inner + columns[c].column, a, c, chunk_counts);
          }
        }
      }
    }
  };
  std::exception_ptr side_error;
  pool::parallel_for_alongside(chunks, 1, fill_chunks, [&] {
    try {
      alongside();
    } catch (...) {
      side_error = std::current_exception();
    }
  });

  for (size_t c = 0; c < columns.size(); ++c) {
    const std::vector<PyObject*>& by_code = columns[c].by_code;
    for (size_t which = 0; which <= by_code.size(); ++which) {
      size_t total = 0;
      for (size_t k = 0; k < chunks; ++k) total += counts[k * per_chunk + offsets[c] + which];
      if (total > 0) add_references(which < by_code.size() ? by_code[which] : missing, total);
    }
  }
  if (side_error) std::rethrow_exception(side_error);
  return true;
}

}  // namespace vorpak
