#include "python/text_column.hpp"

#include "core/keyed_hash.hpp"
#include "python/text_of_object.hpp"

namespace vorpak {
namespace {

// Small: a wide table has a column per few texts.
constexpr size_t kInitialSlots = 4;

}  // namespace

uint64_t TextColumn::new_id(std::string_view text) {
  texts_.push_back(text);
  return texts_.size() - 1;
}

void TextColumn::grow_contents() {
  std::vector<uint64_t> bigger(content_slots_.empty() ? kInitialSlots : content_slots_.size() * 2,
                               0);
  const size_t mask = bigger.size() - 1;
  for (uint64_t entry : content_slots_) {
    if (entry == 0) continue;
    size_t at = hashes_[entry - 1] & mask;
    while (bigger[at] != 0) at = (at + 1) & mask;
    bigger[at] = entry;
  }
  content_slots_.swap(bigger);
}

bool TextColumn::add_new_str(PyObject* str, uint64_t& id, bool track) {
  std::string_view utf8;
  if (!strict_utf8(str, utf8)) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    return add_object(str, id);  // lone surrogates: the repairing road
  }
  id = new_id(utf8);
  hashes_.push_back(0);
  if (track) {
    owners_.push_back(PyRef::borrow(str));
    by_object_.insert(reinterpret_cast<uint64_t>(str), id);
  }
  return true;
}

uint64_t TextColumn::add_text(std::string_view text) {
  if (key_ == 0) key_ = fresh_hash_key() | 1;
  if (2 * (content_count_ + 1) > content_slots_.size()) grow_contents();
  const uint64_t h = hash_bytes(text.data(), text.size(), key_);
  const size_t mask = content_slots_.size() - 1;
  size_t at = h & mask;
  for (; content_slots_[at] != 0; at = (at + 1) & mask) {
    const uint64_t id = content_slots_[at] - 1;
    if (hashes_[id] == h && texts_[id] == text) return id;
  }
  const uint64_t id = new_id(arena_.store(text));
  hashes_.push_back(h);
  content_slots_[at] = id + 1;
  ++content_count_;
  return id;
}

bool TextColumn::add_object(PyObject* obj, uint64_t& id) {
  ObjectText text;
  if (!text_of_object(obj, text)) return false;
  id = add_text(text.view);
  return true;
}

}  // namespace vorpak
