#include "core/pickled_form.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/utf8.hpp"

namespace vorpak {
namespace {

// Fixed widths of the scalar fields.
constexpr size_t kTagSize = 1;
constexpr size_t kWordSize = 8;  // counts, positions, codes and text lengths
constexpr size_t kStrategySize = 4;

// A count read from the input is a claim, not a fact: no container is sized for
// more entries than fit in this budget until the entries have really arrived.
constexpr size_t kReserveBudget = size_t{1} << 20;

template <typename Entry>
size_t reserve_hint(uint64_t count) {
  // Hash tables also get an index of about two 8-byte slots per entry.
  constexpr uint64_t kMaxEntries = std::max<size_t>(1, kReserveBudget / (sizeof(Entry) + 16));
  return static_cast<size_t>(std::min(count, kMaxEntries));
}

template <typename T>
T to_little_endian(T v) {
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (sizeof(T) == 8) return __builtin_bswap64(v);
    if constexpr (sizeof(T) == 4) return __builtin_bswap32(v);
  }
  return v;
}

// ---------------------------------------------------------------------------
// Writing

size_t text_size(std::string_view text) { return kWordSize + text.size(); }

size_t info_size(const FittedTables& info) {
  size_t n = kWordSize + kWordSize * info.encoded_columns.size();
  n += kWordSize;
  for (const auto& [position, table] : info.encoding_tables) {
    n += 2 * kWordSize;  // position, entry count
    for (const auto& [text, code] : table) {
      n += text_size(text) + kTagSize + (code ? kWordSize : 0);
    }
  }
  n += kWordSize;
  for (const auto& [position, table] : info.decoding_tables) {
    n += 2 * kWordSize;
    for (const auto& [code, text] : table) n += kWordSize + text_size(text);
  }
  return n;
}

class Writer {
 public:
  explicit Writer(char* out) : out_(out) {}

  // Where the next byte goes; parts written elsewhere move it on.
  char* position() const { return out_; }
  void move_to(char* to) { out_ = to; }

  void u8(uint8_t v) { *out_++ = static_cast<char>(v); }
  void u32(uint32_t v) { put(to_little_endian(v)); }
  void u64(uint64_t v) { put(to_little_endian(v)); }
  void text(std::string_view s) {
    u64(s.size());
    std::memcpy(out_, s.data(), s.size());
    out_ += s.size();
  }

 private:
  template <typename T>
  void put(T v) {
    std::memcpy(out_, &v, sizeof v);
    out_ += sizeof v;
  }

  char* out_;
};

// One order for everything written, so that equal states give equal bytes in
// every process: the column maps iterate in the order of their random hash keys,
// and a table iterates in the order it was filled. Only pointers are ordered;
// no text is copied.

// A map's columns by ascending position (positions are its keys, so distinct).
template <typename Tables>
std::vector<const typename Tables::value_type*> columns_in_order(const Tables& tables) {
  std::vector<const typename Tables::value_type*> order;
  order.reserve(tables.size());
  for (const auto& column : tables) order.push_back(&column);
  std::sort(order.begin(), order.end(), [](auto a, auto b) { return a->first < b->first; });
  return order;
}

using EncodingEntry = EncodingTable::value_type;
using DecodingEntry = DecodingTable::value_type;

std::string_view text_of(const EncodingEntry& entry) { return entry.first; }
std::string_view text_of(const DecodingEntry& entry) { return entry.second; }

bool by_text(const EncodingEntry* a, const EncodingEntry* b) {
  return a->first < b->first;  // texts compare as unsigned bytes
}

// Fits number a table's codes 0..n-1, so each coded entry's place is its code
// and one pass puts them in order. A state read from bytes may hold any codes,
// gaps and repeats included; those are sorted instead, each code beside its
// entry's address so that most comparisons touch no entry. Entries that share
// a code (only read states have them) go by text, so that the order still
// depends on the entries alone.
template <typename Entry>
void sort_by_code(std::vector<std::pair<uint64_t, const Entry*>>& keyed) {
  std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : text_of(*a.second) < text_of(*b.second);
  });
}

// An encoding table's coded entries by code, then the entries without a code
// (the missing-value markers) by the bytes of their text.
std::vector<const EncodingEntry*> entries_in_order(const EncodingTable& table) {
  std::vector<const EncodingEntry*> order(table.size(), nullptr);
  std::vector<const EncodingEntry*> uncoded;
  bool placed = true;  // every code so far is below the table's size and new
  uint64_t largest = 0;
  for (const EncodingEntry& entry : table) {
    if (!entry.second) {
      uncoded.push_back(&entry);
    } else if (const uint64_t code = *entry.second; placed && code < order.size() && !order[code]) {
      order[code] = &entry;
      largest = std::max(largest, code);
    } else {
      placed = false;
    }
  }
  const size_t coded = table.size() - uncoded.size();
  // Distinct codes all below their count are exactly 0..coded-1.
  if (!placed || (coded > 0 && largest >= coded)) {
    std::vector<std::pair<uint64_t, const EncodingEntry*>> keyed;
    keyed.reserve(coded);
    for (const EncodingEntry& entry : table) {
      if (entry.second) keyed.emplace_back(*entry.second, &entry);
    }
    sort_by_code(keyed);
    for (size_t i = 0; i < coded; ++i) order[i] = keyed[i].second;
  }
  std::sort(uncoded.begin(), uncoded.end(), by_text);
  std::copy(uncoded.begin(), uncoded.end(), order.begin() + static_cast<ptrdiff_t>(coded));
  return order;
}

// A decoding table's entries by code; codes are its keys, so distinct, and all
// below the table's size only when they are 0..n-1. Copies of its entries: a
// table in code order, which a fit makes, keeps its texts alone and is written
// without this.
std::vector<DecodingEntry> entries_in_order(const DecodingTable& table) {
  std::vector<DecodingEntry> order(table.size());
  for (const DecodingEntry entry : table) {
    if (entry.first >= order.size()) {
      order.assign(table.begin(), table.end());
      std::sort(order.begin(), order.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      break;
    }
    order[entry.first] = entry;
  }
  return order;
}

const DecodingEntry* address_of(const DecodingEntry& entry) { return &entry; }
const EncodingEntry* address_of(const EncodingEntry* entry) { return entry; }

void write_entry(const EncodingEntry& entry, Writer& w) {
  const auto& [text, code] = entry;
  w.text(text);
  w.u8(code ? 1 : 0);
  if (code) w.u64(*code);
}

void write_entry(const DecodingEntry& entry, Writer& w) {
  w.u64(entry.first);
  w.text(entry.second);
}

// A table's entries are written as they come for as long as they come in the
// written order, which is how a fit fills them (and how a state this writer
// wrote reads back): then no order is built at all. At the first entry out of
// order the table is written anew from its start, in an order built for it;
// either way it takes the same bytes, so nothing after it moves.
//
// Each returns where its table ends. The loops write through a Writer of their
// own whose address never leaves them: the compiler can then keep its position
// in a register, where one reached by reference must be reloaded after every
// byte written, as the bytes might overlap it.
template <typename Table>
char* write_in_order(const Table& table, char* start) {
  // Out of storage order each entry, and then its text, is a cache miss in a
  // large table: both are fetched a few entries ahead, so that the misses
  // overlap instead of following one another.
  constexpr size_t kAhead = 8;
  const auto order = entries_in_order(table);
  const size_t n = order.size();
  Writer w(start);
  for (size_t i = 0; i < n; ++i) {
    if (i + 2 * kAhead < n) __builtin_prefetch(address_of(order[i + 2 * kAhead]));
    if (i + kAhead < n) __builtin_prefetch(text_of(*address_of(order[i + kAhead])).data());
    write_entry(*address_of(order[i]), w);
  }
  return w.position();
}

char* write_table(const EncodingTable& table, char* start) {
  Writer w(start);
  std::vector<const EncodingEntry*> uncoded;  // held back: they go last
  uint64_t next_code = 0;
  for (const EncodingEntry& entry : table) {
    if (!entry.second) {
      uncoded.push_back(&entry);
    } else if (*entry.second == next_code) {
      write_entry(entry, w);
      ++next_code;
    } else {
      return write_in_order(table, start);
    }
  }
  std::sort(uncoded.begin(), uncoded.end(), by_text);
  for (const EncodingEntry* entry : uncoded) write_entry(*entry, w);
  return w.position();
}

char* write_table(const DecodingTable& table, char* start) {
  Writer w(start);
  uint64_t next_code = 0;
  for (const DecodingEntry entry : table) {
    if (entry.first != next_code) return write_in_order(table, start);
    write_entry(entry, w);
    ++next_code;
  }
  return w.position();
}

template <typename Tables>
void write_tables(const Tables& tables, Writer& w) {
  w.u64(tables.size());
  for (const auto* column : columns_in_order(tables)) {
    const auto& [position, table] = *column;
    w.u64(position);
    w.u64(table.size());
    w.move_to(write_table(table, w.position()));
  }
}

void write_info(const FittedTables& info, Writer& w) {
  w.u64(info.encoded_columns.size());
  for (uint64_t position : info.encoded_columns) w.u64(position);
  write_tables(info.encoding_tables, w);
  write_tables(info.decoding_tables, w);
}

// ---------------------------------------------------------------------------
// Reading

// Forward-only view of the input. Every read checks the remaining length before
// touching memory, so counts and lengths near 2^64 can neither overflow pointer
// arithmetic nor read past the end. A read that fails returns false and keeps
// its message, which failure() hands over; all later work is abandoned, so each
// step below only passes the false on.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : rest_(bytes) {}

  Failure failure() { return Failure{std::move(error_)}; }

  bool u8(uint8_t& v) {
    if (rest_.empty()) return end_of_input();
    v = static_cast<uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return true;
  }
  bool u32(uint32_t& v) { return get(v); }
  bool u64(uint64_t& v) { return get(v); }

  // A one-byte enum tag: only 0 and 1 name a variant.
  bool tag(bool& present) {
    uint8_t t = 0;
    if (!u8(t)) return false;
    if (t > 1) {
      error_ = "tag for enum is not valid, found " + std::to_string(t);
      return false;
    }
    present = t == 1;
    return true;
  }

  // The text is a view of the input, which the caller copies where it keeps it.
  bool text(std::string_view& s) {
    uint64_t length = 0;
    if (!u64(length)) return false;
    if (length > rest_.size()) {
      // The length is checked as a whole before any byte is read, so this is
      // reported differently from running out inside a fixed-width field.
      error_ = "io error: ";
      return false;
    }
    const std::string_view bytes = rest_.substr(0, static_cast<size_t>(length));
    const Utf8Check check = check_utf8(bytes);
    if (!check.ok(bytes.size())) {
      error_ = "string is not valid utf8: ";
      if (check.error_len == 0) {
        error_ += "incomplete utf-8 byte sequence from index " + std::to_string(check.valid_up_to);
      } else {
        error_ += "invalid utf-8 sequence of " + std::to_string(check.error_len) +
                  " bytes from index " + std::to_string(check.valid_up_to);
      }
      return false;
    }
    s = bytes;
    rest_.remove_prefix(bytes.size());
    return true;
  }

 private:
  template <typename T>
  bool get(T& v) {
    if (rest_.size() < sizeof v) return end_of_input();
    std::memcpy(&v, rest_.data(), sizeof v);
    v = to_little_endian(v);
    rest_.remove_prefix(sizeof v);
    return true;
  }

  bool end_of_input() {
    error_ = "io error: unexpected end of file";
    return false;
  }

  std::string_view rest_;
  std::string error_;
};

bool read_encoding_table(Reader& r, EncodingTable& table) {
  uint64_t count = 0;
  if (!r.u64(count)) return false;
  table.reserve(reserve_hint<EncodingTable::value_type>(count));
  for (uint64_t i = 0; i < count; ++i) {
    std::string_view text;
    bool has_code = false;
    std::optional<uint64_t> code;
    if (!r.text(text) || !r.tag(has_code)) return false;
    if (has_code && !r.u64(code.emplace())) return false;
    table.insert_or_assign(text, code);
  }
  return true;
}

bool read_decoding_table(Reader& r, DecodingTable& table) {
  uint64_t count = 0;
  if (!r.u64(count)) return false;
  table.reserve(reserve_hint<DecodingTable::value_type>(count));
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t code = 0;
    std::string_view text;
    if (!r.u64(code) || !r.text(text)) return false;
    table.insert_or_assign(code, text);
  }
  return true;
}

// Reads a map of per-column tables; `read_table` reads one table's entries.
template <typename Tables, typename ReadTable>
bool read_tables(Reader& r, Tables& tables, ReadTable read_table) {
  uint64_t count = 0;
  if (!r.u64(count)) return false;
  tables.reserve(reserve_hint<typename Tables::value_type>(count));
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t position = 0;
    typename Tables::mapped_type table;
    if (!r.u64(position) || !read_table(r, table)) return false;
    tables.insert_or_assign(position, std::move(table));
  }
  return true;
}

bool read_info(Reader& r, FittedTables& info) {
  uint64_t count = 0;
  if (!r.u64(count)) return false;
  info.encoded_columns.reserve(reserve_hint<uint64_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t position = 0;
    if (!r.u64(position)) return false;
    info.encoded_columns.push_back(position);
  }
  return read_tables(r, info.encoding_tables, read_encoding_table) &&
         read_tables(r, info.decoding_tables, read_decoding_table);
}

}  // namespace

size_t pickled_size(const EncoderState& state) {
  size_t n = kTagSize + kStrategySize;
  if (state.fitted) n += info_size(*state.fitted);
  return n;
}

void write_pickled_form(const EncoderState& state, char* out) {
  Writer w(out);
  w.u8(state.fitted ? 1 : 0);
  if (state.fitted) write_info(*state.fitted, w);
  w.u32(static_cast<uint32_t>(state.strategy));
}

Result<EncoderState> read_pickled_form(std::string_view bytes) {
  Reader r(bytes);
  bool present = false;
  if (!r.tag(present)) return r.failure();
  std::unique_ptr<FittedTables> info;
  if (present) {
    info = std::make_unique<FittedTables>();
    if (!read_info(r, *info)) return r.failure();
  }
  uint32_t strategy = 0;
  if (!r.u32(strategy)) return r.failure();
  if (strategy != static_cast<uint32_t>(StringEncoding::Label)) {
    return Failure{"invalid value: integer `" + std::to_string(strategy) +
                   "`, expected variant index 0 <= i < 1"};
  }
  EncoderState state;
  state.fitted = std::move(info);
  state.strategy = StringEncoding::Label;
  return state;
}

}  // namespace vorpak
