#include "core/text_tables.hpp"

#include <algorithm>
#include <utility>

namespace vorpak {
namespace {

std::string_view copy_in(SharedTexts& texts, std::string_view text) {
  if (!texts) texts = std::make_shared<TextArena>();
  return texts->store(text);
}

}  // namespace

EncodingTable::EncodingTable(std::initializer_list<value_type> entries) {
  reserve(entries.size());
  for (const auto& [text, code] : entries) insert_or_assign(text, code);
}

EncodingTable::EncodingTable(const EncodingTable& other) : texts_(other.texts_) {
  other.index_if_deferred();  // a copy needs no flag of its own
  map_ = other.map_;
}

EncodingTable& EncodingTable::operator=(EncodingTable other) noexcept {
  std::swap(map_, other.map_);
  std::swap(texts_, other.texts_);
  std::swap(indexed_, other.indexed_);
  return *this;
}

EncodingTable EncodingTable::from_distinct(std::vector<value_type> entries, SharedTexts texts) {
  EncodingTable table;
  table.map_ = FlatMap<std::string_view, std::optional<uint64_t>>::unindexed(std::move(entries));
  table.texts_ = std::move(texts);
  table.indexed_ = std::make_unique<std::once_flag>();
  return table;
}

void EncodingTable::index_if_deferred() const {
  if (indexed_) std::call_once(*indexed_, [this] { map_.index_all(); });
}

std::optional<uint64_t>& EncodingTable::add(std::string_view text) {
  index_if_deferred();
  const auto found = map_.find(text);
  if (found != map_.end()) return found->second;
  return map_.emplace(copy_in(texts_, text), std::nullopt).first->second;
}

void EncodingTable::insert_or_assign(std::string_view text, std::optional<uint64_t> code) {
  add(text) = code;
}

std::optional<uint64_t>& EncodingTable::operator[](std::string_view text) { return add(text); }

DecodingTable::DecodingTable(std::initializer_list<value_type> entries) {
  reserve(entries.size());
  for (const auto& [code, text] : entries) insert_or_assign(code, text);
}

DecodingTable DecodingTable::from_distinct(std::vector<value_type> entries, SharedTexts texts) {
  DecodingTable table;
  table.texts_ = std::move(texts);
  for (size_t c = 0; c < entries.size(); ++c) {
    if (entries[c].first != c) {
      table.by_hash_ = ByHash::from_distinct(std::move(entries));
      table.hashed_ = true;
      return table;
    }
  }
  table.in_code_order_.reserve(entries.size());
  for (const auto& [code, text] : entries) table.in_code_order_.push_back(text);
  return table;
}

DecodingTable DecodingTable::in_code_order(std::vector<std::string_view> texts_by_code,
                                           SharedTexts texts) {
  DecodingTable table;
  table.texts_ = std::move(texts);
  table.in_code_order_ = std::move(texts_by_code);
  return table;
}

DecodingTable::const_iterator DecodingTable::find(uint64_t code) const {
  if (!by_place()) return const_iterator(by_hash_.find(code));
  return const_iterator(in_code_order_.data(), std::min<uint64_t>(code, in_code_order_.size()));
}

const std::string_view* DecodingTable::find_text(uint64_t code) const {
  if (by_place()) return code < in_code_order_.size() ? &in_code_order_[code] : nullptr;
  const auto found = by_hash_.find(code);
  return found == by_hash_.end() ? nullptr : &found->second;
}

void DecodingTable::reserve(size_t n) {
  if (by_place()) {
    in_code_order_.reserve(n);
  } else {
    by_hash_.reserve(n);
  }
}

void DecodingTable::insert_or_assign(uint64_t code, std::string_view text) {
  if (by_place() && code < in_code_order_.size()) {
    in_code_order_[code] = copy_in(texts_, text);
    return;
  }
  if (by_place() && code == in_code_order_.size()) {
    in_code_order_.push_back(copy_in(texts_, text));
    return;
  }
  if (by_place()) move_to_hash_map();
  by_hash_.insert_or_assign(code, copy_in(texts_, text));
}

void DecodingTable::move_to_hash_map() {
  const size_t reserved = in_code_order_.capacity();
  std::vector<value_type> entries;
  entries.reserve(in_code_order_.size());
  for (uint64_t code = 0; code < in_code_order_.size(); ++code) {
    entries.emplace_back(code, in_code_order_[code]);
  }
  by_hash_ = ByHash::from_distinct(std::move(entries));
  by_hash_.reserve(reserved);
  in_code_order_ = {};
  hashed_ = true;
}

}  // namespace vorpak
