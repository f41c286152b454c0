#include "pickled_form.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

#include "../runtime/utf8.hpp"

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

size_t text_size(const std::string& text) { return kWordSize + text.size(); }

size_t info_size(const EncodingInfo& info) {
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

  void u8(uint8_t v) { *out_++ = static_cast<char>(v); }
  void u32(uint32_t v) { put(to_little_endian(v)); }
  void u64(uint64_t v) { put(to_little_endian(v)); }
  void text(const std::string& s) {
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

void write_info(const EncodingInfo& info, Writer& w) {
  w.u64(info.encoded_columns.size());
  for (uint64_t position : info.encoded_columns) w.u64(position);

  w.u64(info.encoding_tables.size());
  for (const auto& [position, table] : info.encoding_tables) {
    w.u64(position);
    w.u64(table.size());
    for (const auto& [text, code] : table) {
      w.text(text);
      w.u8(code ? 1 : 0);
      if (code) w.u64(*code);
    }
  }

  w.u64(info.decoding_tables.size());
  for (const auto& [position, table] : info.decoding_tables) {
    w.u64(position);
    w.u64(table.size());
    for (const auto& [code, text] : table) {
      w.u64(code);
      w.text(text);
    }
  }
}

// ---------------------------------------------------------------------------
// Reading

// Forward-only view of the input. Every read checks the remaining length before
// touching memory, so counts and lengths near 2^64 can neither overflow pointer
// arithmetic nor read past the end; the first failure records its message and
// all later work is abandoned.
class Reader {
 public:
  Reader(std::string_view bytes, std::string& error) : rest_(bytes), error_(error) {}

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

  bool text(std::string& s) {
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
    s.assign(bytes);
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
  std::string& error_;
};

bool read_encoding_table(Reader& r, EncodingTable& table) {
  uint64_t count = 0;
  if (!r.u64(count)) return false;
  table.reserve(reserve_hint<EncodingTable::value_type>(count));
  for (uint64_t i = 0; i < count; ++i) {
    std::string text;
    bool has_code = false;
    std::optional<uint64_t> code;
    if (!r.text(text) || !r.tag(has_code)) return false;
    if (has_code && !r.u64(code.emplace())) return false;
    table.insert_or_assign(std::move(text), code);
  }
  return true;
}

bool read_decoding_table(Reader& r, DecodingTable& table) {
  uint64_t count = 0;
  if (!r.u64(count)) return false;
  table.reserve(reserve_hint<DecodingTable::value_type>(count));
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t code = 0;
    std::string text;
    if (!r.u64(code) || !r.text(text)) return false;
    table.insert_or_assign(code, std::move(text));
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

bool read_info(Reader& r, EncodingInfo& info) {
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

size_t pickled_size(const Encoder& record) {
  size_t n = kTagSize + kStrategySize;
  if (record.encoding_info) n += info_size(*record.encoding_info);
  return n;
}

void write_pickled_form(const Encoder& record, char* out) {
  Writer w(out);
  w.u8(record.encoding_info ? 1 : 0);
  if (record.encoding_info) write_info(*record.encoding_info, w);
  w.u32(static_cast<uint32_t>(record.encoding));
}

bool read_pickled_form(std::string_view bytes, Encoder& out, std::string& error) {
  Reader r(bytes, error);
  bool present = false;
  if (!r.tag(present)) return false;
  std::unique_ptr<EncodingInfo> info;
  if (present) {
    info = std::make_unique<EncodingInfo>();
    if (!read_info(r, *info)) return false;
  }
  uint32_t strategy = 0;
  if (!r.u32(strategy)) return false;
  if (strategy != static_cast<uint32_t>(StringEncoding::Label)) {
    error = "invalid value: integer `" + std::to_string(strategy) +
            "`, expected variant index 0 <= i < 1";
    return false;
  }
  out.encoding_info = std::move(info);
  out.encoding = StringEncoding::Label;
  return true;
}

}  // namespace vorpak
