#include "python/text_column.hpp"

#include "core/keyed_hash.hpp"
#include "python/text_of_object.hpp"

namespace vorpak {

uint64_t TextColumn::new_id(std::string_view text, PyObject* str) {
  const uint64_t id = texts_.size();
  texts_.push_back(text);
  if (str != nullptr) {
    strs_.resize(id, nullptr);
    strs_.push_back(str);
  }
  return id;
}

bool TextColumn::add_new_str(PyObject* str, uint64_t& id, bool track) {
  std::string_view utf8;
  if (!strict_utf8(str, utf8)) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    return add_object(str, id);  // lone surrogates: the repairing road
  }
  id = new_id(utf8, str);
  identity_ids_ = true;
  if (track) {
    strs_met_by_cell_ = true;
    owners_.push_back(PyRef::borrow(str));
    by_object_.insert(reinterpret_cast<uint64_t>(str), id);
  }
  return true;
}

uint64_t TextColumn::add_text(std::string_view text) {
  if (key_ == 0) key_ = fresh_hash_key() | 1;
  const uint64_t h = hash_bytes(text.data(), text.size(), key_);
  const auto probe = by_content_.find_for_insert(text, h, contents());
  if (probe.found) return ContentSlots::id_of(by_content_[probe.at]);
  const uint64_t id = new_id(arena_.store(text), nullptr);
  hashes_.resize(id, 0);
  hashes_.push_back(h);
  by_content_.fill(probe.at, ContentSlots::slot_of(id));
  return id;
}

uint64_t TextColumn::add_read_texts(const std::vector<std::string_view>& texts,
                                    const std::vector<PyObject*>& strs) {
  const uint64_t first = texts_.size();
  identity_ids_ = identity_ids_ || !texts.empty();
  read_in_ranges_ = read_in_ranges_ || !texts.empty();
  texts_.insert(texts_.end(), texts.begin(), texts.end());
  strs_.resize(first, nullptr);
  strs_.insert(strs_.end(), strs.begin(), strs.end());
  return first;
}

uint64_t TextColumn::add_distinct_texts(std::vector<std::string_view>&& texts) {
  const uint64_t first = texts_.size();
  if (first == 0) {
    texts_ = std::move(texts);
  } else {
    texts_.insert(texts_.end(), texts.begin(), texts.end());
  }
  return first;
}

void TextColumn::release_texts() {
  std::vector<std::string_view>().swap(texts_);
  std::vector<uint64_t>().swap(hashes_);
  std::vector<PyObject*>().swap(strs_);
  by_object_ = AddressIndex();
  by_content_ = OpenTable<ContentSlots>();
  arena_ = TextArena();
}

bool TextColumn::add_object(PyObject* obj, uint64_t& id) {
  ObjectText text;
  if (!text_of_object(obj, text)) return false;
  id = add_text(text.view);
  return true;
}

}  // namespace vorpak
