// The distinct texts of a column's row ranges, each range numbering its own as
// it meets them on a thread of its own, and the joining of those numbers into
// the column's, as one walk from the top would have given them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/keyed_hash.hpp"
#include "core/open_table.hpp"
#include "core/short_text_index.hpp"
#include "core/text_arena.hpp"

namespace vorpak {

// One range's texts, by content: short texts are found by their words (see
// ShortTextIndex), longer ones by their hash. Every text keeps its hash, made
// with a key that the ranges of one column share, so that the join hashes
// nothing again; and a copy, so that it outlives the memory it was read from.
class RangeTexts {
 public:
  explicit RangeTexts(uint64_t key) : key_(key) {}

  // The id of `text`; on_new(text) is called when the range first meets it.
  template <class OnNew>
  uint64_t id_of(std::string_view text, OnNew&& on_new) {
    const auto add = [&](uint64_t h) {
      on_new(text);
      return append(arena_.store(text), h);
    };
    if (text.size() <= ShortTextIndex::kMaxSize) {
      return short_texts_.id_of(text, [&] { return add(hash(text)); });
    }
    const uint64_t h = hash(text);
    const auto probe = long_texts_.find_for_insert(text, h, Slots::Context{texts_, hashes_});
    if (probe.found) return Slots::id_of(long_texts_[probe.at]);
    const uint64_t id = add(h);
    long_texts_.fill(probe.at, Slots::slot_of(id));
    return id;
  }
  // The next id, for a text the range cannot know yet; never found by id_of.
  // set_text gives it its text before the join.
  uint64_t reserve() { return append({}, 0); }
  void set_text(uint64_t id, std::string_view text) {
    texts_[id] = arena_.store(text);
    hashes_[id] = hash(text);
  }

  const std::vector<std::string_view>& texts() const { return texts_; }
  // The texts for whoever keeps them past the range, which is left without them.
  std::vector<std::string_view> take_texts() { return std::move(texts_); }
  const std::vector<uint64_t>& hashes() const { return hashes_; }
  // Where the copies are; whoever keeps the texts past the range takes it.
  TextArena& arena() { return arena_; }

 private:
  using Slots = TextIdSlots<uint64_t>;

  uint64_t hash(std::string_view text) const { return hash_bytes(text.data(), text.size(), key_); }
  uint64_t append(std::string_view text, uint64_t h) {
    texts_.push_back(text);
    hashes_.push_back(h);
    return texts_.size() - 1;
  }

  uint64_t key_;
  ShortTextIndex short_texts_;
  OpenTable<Slots> long_texts_;
  std::vector<std::string_view> texts_;
  std::vector<uint64_t> hashes_;
  TextArena arena_;
};

// Numbers the texts of consecutive row ranges, which share one hash key, as
// one walk through the ranges in order would: each distinct text once, in the
// order it is first met. A range may hold a text twice (one it reserved, see
// above). ids[k][l] becomes the number of range k's l-th text, and the texts
// are returned in number order, viewing the ranges' own. Runs on the pool: the
// texts are split among its threads by their hashes, so that a column of
// millions of distinct texts is joined side by side too. At most 1024 ranges,
// of fewer than 2^38 texts each.
std::vector<std::string_view> join_range_texts(const std::vector<const RangeTexts*>& ranges,
                                               std::vector<std::vector<uint64_t>>& ids);

}  // namespace vorpak
