// A column's two fitted tables, text -> code and code -> text, which own the
// bytes of their texts.
//
// A fit may keep millions of distinct texts per column. Each text is stored once,
// packed into a TextArena that both tables of its column share, and the tables
// hold views into it: no allocation per text, no second copy for decoding, and
// a short text costs its bytes instead of a 32-byte std::string in each table.
// Texts given to a table from outside are copied in, so no entry views memory
// that its table does not keep alive.
#pragma once

#include <cstdint>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "core/flat_map.hpp"
#include "core/keyed_hash.hpp"
#include "core/text_arena.hpp"

namespace vorpak {

// The bytes behind a column's texts. Only ever added to, so views stay valid;
// shared, so that either table may outlive the other.
using SharedTexts = std::shared_ptr<TextArena>;

// A column's text -> code map. Missing-value markers are present without a code.
class EncodingTable {
 public:
  using value_type = std::pair<std::string_view, std::optional<uint64_t>>;
  using const_iterator = std::vector<value_type>::const_iterator;

  EncodingTable() = default;
  EncodingTable(std::initializer_list<value_type> entries);
  EncodingTable(const EncodingTable& other);
  EncodingTable(EncodingTable&&) noexcept = default;
  EncodingTable& operator=(EncodingTable other) noexcept;

  // Entries whose texts are distinct, which no one checks, viewing bytes that
  // `texts` holds. Indexed on the first look-up: a fitted table is written,
  // pickled and decoded through its codes without one, and building its index
  // would be a sixth of a fit of millions of categories.
  static EncodingTable from_distinct(std::vector<value_type> entries, SharedTexts texts);

  size_t size() const { return map_.size(); }
  bool empty() const { return map_.empty(); }
  const_iterator begin() const { return map_.begin(); }
  const_iterator end() const { return map_.end(); }
  // Safe from several threads at once, the first of them indexing the table.
  const_iterator find(std::string_view text) const {
    index_if_deferred();
    return map_.find(text);
  }

  void reserve(size_t n) {
    index_if_deferred();
    map_.reserve(n);
  }
  // Adds the entry, or replaces the code of a present text; a new text is copied in.
  void insert_or_assign(std::string_view text, std::optional<uint64_t> code);
  // The code of `text`, added without one if absent.
  std::optional<uint64_t>& operator[](std::string_view text);

  const SharedTexts& texts() const { return texts_; }

 private:
  std::optional<uint64_t>& add(std::string_view text);
  void index_if_deferred() const;

  // Mutable for the index alone, which the first look-up builds under indexed_.
  mutable FlatMap<std::string_view, std::optional<uint64_t>> map_;
  SharedTexts texts_;
  // Present while the index is deferred; once_flag can be neither moved nor copied.
  std::unique_ptr<std::once_flag> indexed_;
};

// A column's code -> text map; holds only texts that have a code.
//
// A fit numbers its texts 0..n-1, so only the texts are kept, in code order, and
// a code's text is found by its place, with no index and no code stored beside
// it. Codes of any other shape (a state read from bytes may have gaps and any
// order) go to a hash map instead.
class DecodingTable {
  using ByHash = FlatMap<uint64_t, std::string_view, KeyedHash, std::equal_to<>>;

 public:
  using value_type = std::pair<uint64_t, std::string_view>;

  // Yields entries by value: a table in code order stores none.
  class const_iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = DecodingTable::value_type;
    using difference_type = std::ptrdiff_t;
    using reference = value_type;
    struct pointer {
      value_type entry;
      const value_type* operator->() const { return &entry; }
    };

    const_iterator() = default;
    value_type operator*() const { return texts_ ? value_type(place_, texts_[place_]) : *hashed_; }
    pointer operator->() const { return {**this}; }
    const_iterator& operator++() {
      if (texts_) {
        ++place_;
      } else {
        ++hashed_;
      }
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator was = *this;
      ++*this;
      return was;
    }
    bool operator==(const const_iterator& other) const {
      return texts_ ? place_ == other.place_ : hashed_ == other.hashed_;
    }

   private:
    friend class DecodingTable;
    const_iterator(const std::string_view* texts, uint64_t place) : texts_(texts), place_(place) {}
    explicit const_iterator(ByHash::const_iterator hashed) : hashed_(hashed) {}

    const std::string_view* texts_ = nullptr;  // the texts in code order, or null when hashed
    uint64_t place_ = 0;
    ByHash::const_iterator hashed_{};
  };

  DecodingTable() = default;
  DecodingTable(std::initializer_list<value_type> entries);

  // Entries with distinct codes, viewing bytes that `texts` holds.
  static DecodingTable from_distinct(std::vector<value_type> entries, SharedTexts texts);
  // The same for the texts of codes 0..n-1, in that order.
  static DecodingTable in_code_order(std::vector<std::string_view> texts_by_code,
                                     SharedTexts texts);

  size_t size() const { return by_place() ? in_code_order_.size() : by_hash_.size(); }
  bool empty() const { return size() == 0; }
  const_iterator begin() const {
    return by_place() ? const_iterator(in_code_order_.data(), 0) : const_iterator(by_hash_.begin());
  }
  const_iterator end() const {
    return by_place() ? const_iterator(in_code_order_.data(), in_code_order_.size())
                      : const_iterator(by_hash_.end());
  }
  const_iterator find(uint64_t code) const;
  // The text of `code`, or null: where the table keeps it, as long as the table
  // stays unchanged.
  const std::string_view* find_text(uint64_t code) const;

  void reserve(size_t n);
  // Adds the entry, or replaces the text of a present code; the text is copied in.
  void insert_or_assign(uint64_t code, std::string_view text);

 private:
  bool by_place() const { return !hashed_; }
  void move_to_hash_map();

  std::vector<std::string_view> in_code_order_;  // the text of code c, while not hashed_
  ByHash by_hash_;
  bool hashed_ = false;
  SharedTexts texts_;
};

}  // namespace vorpak
