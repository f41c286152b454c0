#include "text_column.hpp"

#include "../runtime/keyed_hash.hpp"
#include "text_of_object.hpp"

namespace vorpak {
namespace {

constexpr size_t kInitialSlots = 64;

uint64_t hash_pointer(const void* p) {
  return fold_multiply(reinterpret_cast<uintptr_t>(p), 0x9e3779b97f4a7c15ull);
}

}  // namespace

uint64_t TextColumn::new_id(std::string_view text) {
  texts_.push_back(text);
  return texts_.size() - 1;
}

void TextColumn::grow(std::vector<uint64_t>& slots, bool by_object) {
  std::vector<uint64_t> bigger(slots.empty() ? kInitialSlots : slots.size() * 2, 0);
  const size_t mask = bigger.size() - 1;
  for (uint64_t entry : slots) {
    if (entry == 0) continue;
    const uint64_t id = entry - 1;
    size_t at = (by_object ? hash_pointer(objects_[id]) : hashes_[id]) & mask;
    while (bigger[at] != 0) at = (at + 1) & mask;
    bigger[at] = entry;
  }
  slots.swap(bigger);
}

bool TextColumn::add_str(PyObject* str, uint64_t& id) {
  if (2 * (object_count_ + 1) > object_slots_.size()) grow(object_slots_, true);
  const size_t mask = object_slots_.size() - 1;
  size_t at = hash_pointer(str) & mask;
  for (; object_slots_[at] != 0; at = (at + 1) & mask) {
    if (objects_[object_slots_[at] - 1] == str) {
      id = object_slots_[at] - 1;
      return true;
    }
  }
  std::string_view utf8;
  if (!strict_utf8(str, utf8)) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    return add_object(str, id);  // lone surrogates: the repairing road
  }
  owners_.push_back(PyRef::borrow(str));
  id = new_id(utf8);
  hashes_.push_back(0);
  objects_.push_back(str);
  object_slots_[at] = id + 1;
  ++object_count_;
  return true;
}

uint64_t TextColumn::add_text(std::string_view text) {
  if (key_ == 0) key_ = fresh_hash_key() | 1;
  if (2 * (content_count_ + 1) > content_slots_.size()) grow(content_slots_, false);
  const uint64_t h = hash_bytes(text.data(), text.size(), key_);
  const size_t mask = content_slots_.size() - 1;
  size_t at = h & mask;
  for (; content_slots_[at] != 0; at = (at + 1) & mask) {
    const uint64_t id = content_slots_[at] - 1;
    if (hashes_[id] == h && texts_[id] == text) return id;
  }
  const uint64_t id = new_id(arena_.store(text));
  hashes_.push_back(h);
  objects_.push_back(nullptr);
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
