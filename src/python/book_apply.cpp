#include "python/book_apply.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/thread_pool.hpp"
#include "python/input_normalisation.hpp"
#include "python/interrupts.hpp"
#include "python/output_reconstruction.hpp"
#include "python/panic.hpp"

namespace vorpak {
namespace {

template <class Map>
auto* find_table(const FittedTables* tables, const Map FittedTables::*which, size_t column) {
  using Table = const typename Map::mapped_type;
  if (tables == nullptr) return static_cast<Table*>(nullptr);
  const auto found = (tables->*which).find(column);
  return found == (tables->*which).end() ? nullptr : &found->second;
}

bool check_width(const FittedTables* book, size_t width, size_t ncols) {
  if (width != kAnyWidth) {
    if (ncols == width) return true;
    PyErr_Format(PyExc_ValueError, "the table has %zu columns, but the book was fitted on %zu",
                 ncols, width);
    return false;
  }
  if (book == nullptr || book->encoded_columns.empty()) return true;
  const uint64_t last = *std::max_element(book->encoded_columns.begin(),
                                          book->encoded_columns.end());
  if (last < ncols) return true;
  PyErr_Format(PyExc_ValueError, "the table has %zu columns, but the book codes column %llu",
               ncols, static_cast<unsigned long long>(last));
  return false;
}

// Recodes every column; the first unknown cell (by column, then row) when
// unknown texts raise.
std::optional<std::pair<size_t, UnknownCell>> recode_columns(const CellGrid& grid,
                                                             const FittedTables* book,
                                                             const FittedTables* fresh,
                                                             const std::vector<size_t>& first_text,
                                                             const UnknownTexts& unknown) {
  std::vector<std::optional<UnknownCell>> found(grid.ncols);
  pool::parallel_for(grid.ncols, 1, [&](size_t begin, size_t end) {
    for (size_t j = begin; j < end; ++j) {
      const EncodingTable* stored = find_table(book, &FittedTables::encoding_tables, j);
      const DecodingTable* read = find_table(fresh, &FittedTables::decoding_tables, j);
      if (read != nullptr) {
        const size_t turn = j < first_text.size() ? first_text[j] : 0;
        found[j] = recode_text_column(grid, j, *read, stored, turn, unknown);
      } else if (stored != nullptr) {
        found[j] = recode_number_column(grid, j, *stored, unknown);
      }
    }
  });
  for (size_t j = 0; j < found.size(); ++j) {
    if (found[j]) return std::make_pair(j, std::move(*found[j]));
  }
  return std::nullopt;
}

// ValueError(message, column, row, text): the caller names the column and the
// row as its container does.
Raised raise_unknown(size_t column, const UnknownCell& cell) {
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(
      cell.text.data(), static_cast<Py_ssize_t>(cell.text.size()), "replace"));
  if (!text) return {};
  PyRef args = PyRef::steal(Py_BuildValue("(NnnO)",
                                          PyUnicode_FromFormat("unknown text %R in column %zu, row %zu",
                                                               text.get(), column, cell.row),
                                          static_cast<Py_ssize_t>(column),
                                          static_cast<Py_ssize_t>(cell.row), text.get()));
  if (args) PyErr_SetObject(PyExc_ValueError, args.get());
  return {};
}

enum class Applied { kDone, kFailed, kInterrupted };

Applied apply_once(PyObject* obj, const FittedTables* book, size_t width,
                   const UnknownTexts& unknown, PyRef& result) {
  Normalised input;
  if (!read_table(obj, StringEncoding::Label, input, ReadFor::kEncode)) return Applied::kFailed;
  if (!check_width(book, width, input.matrix.ncols)) return Applied::kFailed;
  std::optional<std::pair<size_t, UnknownCell>> missed;
  try {
    const InterruptibleWaits waits;
    missed = recode_columns(grid_of(input.matrix), book, input.info.get(),
                            input.first_text_rows, unknown);
  } catch (const pool::Cancelled&) {
    return Applied::kInterrupted;
  }
  if (missed) return raise_unknown(missed->first, missed->second), Applied::kFailed;
  result = build_result(std::move(input.matrix), std::move(input.out), nullptr);
  return result ? Applied::kDone : Applied::kFailed;
}

}  // namespace

PyRef apply_book(PyObject* obj, const FittedTables* book, size_t width,
                 const UnknownTexts& unknown) {
  for (;;) {
    PyRef result;
    switch (apply_once(obj, book, width, unknown, result)) {
      case Applied::kDone: return result;
      case Applied::kFailed: return {};
      case Applied::kInterrupted:
        // A handler that returns has run Python code, which may have changed
        // the table, and the codes are half translated: read it again.
        if (!handle_signals()) return {};
    }
  }
}

PyRef decode_through(PyObject* obj, const FittedTables* book, const KeptStrs* kept) {
  // Decoding only reads the input's numbers while it builds a new object array
  // (no Python code runs meanwhile), so a float64 input need not be copied;
  // and its missing cells are missing codes, whatever holds them.
  Normalised input;
  if (!read_table(obj, StringEncoding::Label, input, ReadFor::kDecode)) return {};
  input.info.reset();  // decoding uses the stored state, never the input's own
  return build_result(std::move(input.matrix), std::move(input.out), book, kept);
}

}  // namespace vorpak
