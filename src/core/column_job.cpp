#include "core/column_job.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/label_encode.hpp"
#include "core/thread_pool.hpp"

namespace vorpak {
namespace {

// Rows whose codes are written together, a few hundred KB of a row-major grid.
constexpr size_t kBlockRows = 2048;

// The code each entry (code + 1) of a categorical has on one side of the
// column's first text. Where the categories come sorted and every one is used,
// as pandas infers them from the values, each entry past the missing value's
// has its category's own code, and the rows are written with no look-up.
struct EntryCodes {
  std::vector<double> codes;
  bool own = false;  // codes[e] == e - 1 for every e >= 1

  explicit EntryCodes(std::vector<double> of_entry) : codes(std::move(of_entry)) {
    for (size_t e = 1; e < codes.size(); ++e) {
      if (codes[e] != static_cast<double>(e - 1)) return;  // NaN where unused
    }
    own = codes.size() > 1;
  }
};

// The codes of rows [begin, end) of a column read through a categorical's
// codes of type Code, by the code each entry has above and below the column's
// first text. The walk checked every entry against the table when it gave the
// codes their ids, and the codes must not change after; one outside the table
// now means they did, a fault of this module: it ends the call as an internal
// fault (the pool hands the exception to the calling thread) rather than
// reading past the table.
template <class Code>
void write_entry_codes(const RowTextIds& rows, const EntryCodes& above, const EntryCodes& below,
                       const CellGrid& grid, size_t j, size_t begin, size_t end) {
  const auto write = [&](const EntryCodes& entries, size_t from, size_t to) {
    if (!code_bounds<Code>(rows.codes, from, to).have_entries(entries.codes.size())) {
      throw std::logic_error("a category code changed after it was checked");
    }
    const auto code_at = [&](size_t i) {
      Code code;
      std::memcpy(&code, rows.codes + i * sizeof(Code), sizeof code);
      return code;
    };
    const double* code_of_entry = entries.codes.data();
    const auto write_all = [&](auto code_of_row) {
      if (grid.row_step == 1) {  // a frame's column: a plain run the compiler can unroll
        double* out = &grid.at(0, j);
        for (size_t i = from; i < to; ++i) out[i] = code_of_row(code_at(i));
        return;
      }
      for (size_t i = from; i < to; ++i) grid.at(i, j) = code_of_row(code_at(i));
    };
    if (entries.own) {
      const double missing = code_of_entry[0];
      write_all([=](Code code) { return code < 0 ? missing : static_cast<double>(code); });
    } else {
      write_all([=](Code code) { return code_of_entry[static_cast<size_t>(int64_t{code} + 1)]; });
    }
  };
  const size_t turn = std::clamp(rows.first_text, begin, end);
  write(above, begin, turn);
  write(below, turn, end);
}

void write_entry_codes(const RowTextIds& rows, const EntryCodes& above, const EntryCodes& below,
                       const CellGrid& grid, size_t j, size_t begin, size_t end) {
  with_code_type(rows.width, [&](auto type) {
    write_entry_codes<decltype(type)>(rows, above, below, grid, j, begin, end);
  });
}

// A fit's codes are 0..n-1 in the byte order of the encoding table's entries,
// so its coded entries, as they come, are the decoding table in code order;
// both tables view the same bytes.
DecodingTable build_decoding_table(const EncodingTable& encoding) {
  pool::CancelPoint point;
  std::vector<std::string_view> texts_by_code;
  texts_by_code.reserve(encoding.size());
  for (const auto& [text, code] : encoding) {
    point.step();
    if (code) texts_by_code.push_back(text);
  }
  return DecodingTable::in_code_order(std::move(texts_by_code), encoding.texts());
}

}  // namespace

ColumnTables encode_column(const StringColumnJob& job) {
  LabelEncoded encoded = label_encode(*job.texts, job.repeats);
  DecodingTable decoding = build_decoding_table(encoded.table);
  std::vector<double> code_of_address;
  if (job.address_ids != nullptr) {
    pool::CancelPoint point;
    code_of_address.reserve(job.address_ids->size());
    for (uint64_t id : *job.address_ids) {
      point.step();
      code_of_address.push_back(encoded.codes[id]);
    }
  }
  return ColumnTables{job.column, std::move(encoded.table), std::move(decoding),
                      std::move(encoded.codes), std::move(code_of_address)};
}

void write_codes(const std::vector<StringColumnJob>& jobs, const std::vector<ColumnTables>& columns,
                 const JobContext& ctx) {
  if (columns.empty()) return;
  const CellGrid& grid = ctx.grid;
  const AddressNumbering& numbering = *ctx.numbering;
  // The code of each category, above and below the first text, of the columns
  // read through their codes.
  std::vector<EntryCodes> code_above, code_below;
  code_above.reserve(columns.size());
  code_below.reserve(columns.size());
  const std::vector<uint64_t> no_ids;
  for (size_t s = 0; s < columns.size(); ++s) {
    const RowTextIds* rows = jobs[s].row_ids;
    const bool by_codes = rows != nullptr && rows->ids.empty();
    const auto code_of = [&](const std::vector<uint64_t>& ids) {
      std::vector<double> codes;
      codes.reserve(ids.size());
      for (uint64_t id : ids) {
        codes.push_back(id == RowTextIds::kNoTextId ? std::nan("") : columns[s].code_of_id[id]);
      }
      return EntryCodes(std::move(codes));
    };
    code_above.push_back(code_of(by_codes ? rows->id_above : no_ids));
    code_below.push_back(code_of(by_codes ? rows->id_below : no_ids));
  }
  // Chunk by chunk, as the addresses were numbered.
  pool::parallel_for(numbering.chunks, 1, [&](size_t first, size_t last) {
    std::vector<std::vector<double>> code_of_local(columns.size());
    std::vector<const double*> code_of_number(columns.size());
    pool::CancelPoint point;
    for (size_t k = first; k < last; ++k) {
      for (size_t s = 0; s < columns.size(); ++s) {
        const size_t c = jobs[s].listed;
        // A column numbered by sorting numbers its distinct addresses directly.
        if (c != StringColumnJob::kNotListed && numbering.by_sorting[c]) {
          code_of_number[s] = columns[s].code_of_address.data();
          continue;
        }
        code_of_local[s].clear();
        if (c != StringColumnJob::kNotListed) {
          for (uint64_t g : numbering.global[k][c]) {
            code_of_local[s].push_back(columns[s].code_of_address[g]);
          }
        }
        code_of_number[s] = code_of_local[s].data();
      }
      // Blocks of rows, column by column within a block: the block stays in
      // cache in either order of the grid.
      const size_t end = numbering.chunk_begin(k + 1, grid.nrows);
      for (size_t block = numbering.chunk_begin(k, grid.nrows); block < end; block += kBlockRows) {
        const size_t block_end = std::min(end, block + kBlockRows);
        point.step((block_end - block) * columns.size());
        for (size_t s = 0; s < columns.size(); ++s) {
          const double* code_of_id = columns[s].code_of_id.data();
          const size_t j = columns[s].column;
          if (const RowTextIds* rows = jobs[s].row_ids) {
            if (rows->ids.empty()) {
              write_entry_codes(*rows, code_above[s], code_below[s], grid, j, block, block_end);
              continue;
            }
            for (size_t i = block; i < block_end; ++i) grid.at(i, j) = code_of_id[rows->ids[i]];
            continue;
          }
          for (size_t i = block; i < block_end; ++i) {
            double& cell = grid.at(i, j);
            const uint64_t bits = std::bit_cast<uint64_t>(cell);
            cell = bits & 1 ? code_of_id[bits >> 1] : code_of_number[s][bits >> 1];
          }
        }
      }
    }
  });
}

size_t number_to_text(double x, char* buf) {
  if (std::isnan(x)) {
    std::memcpy(buf, kNaNText.data(), kNaNText.size());
    return kNaNText.size();
  }
  if (std::isinf(x)) {
    const char* text = x < 0 ? "-inf" : "inf";
    const size_t len = std::strlen(text);
    std::memcpy(buf, text, len);
    return len;
  }
  // Scientific notation without a precision gives the shortest digits that read
  // back exactly (nearest to x on ties), the digits of Python's repr. Fixed
  // notation would not do: for large magnitudes it prints the exact binary value
  // (1e300 as 1000000000000000052504...). The digits are laid out positionally.
  char sci[64];
  const auto parsed =
      std::to_chars(sci, sci + sizeof sci, std::fabs(x), std::chars_format::scientific);
  const std::string_view text(sci, static_cast<size_t>(parsed.ptr - sci));
  const size_t e_at = text.find('e');
  std::string digits(text.substr(0, e_at));
  if (digits.size() > 1) digits.erase(1, 1);  // drop the point after the first digit
  int exponent = 0;
  std::from_chars(text.data() + e_at + 1 + (text[e_at + 1] == '+'), text.data() + text.size(),
                  exponent);

  size_t len = 0;
  auto put = [&](char c) { buf[len++] = c; };
  if (std::signbit(x)) put('-');
  const int ndigits = static_cast<int>(digits.size());
  if (exponent < 0) {
    put('0');
    put('.');
    for (int k = 0; k < -exponent - 1; ++k) put('0');
    for (char c : digits) put(c);
  } else if (exponent >= ndigits - 1) {
    for (char c : digits) put(c);
    for (int k = 0; k < exponent - (ndigits - 1); ++k) put('0');
  } else {
    for (int k = 0; k <= exponent; ++k) put(digits[k]);
    put('.');
    for (int k = exponent + 1; k < ndigits; ++k) put(digits[k]);
  }
  return len;
}

}  // namespace vorpak
