#include "core/range_texts.hpp"

#include <algorithm>

#include "core/thread_pool.hpp"

namespace vorpak {
namespace {

// Texts per share of the join, at the least: fewer are joined faster by one
// thread than woken threads would take to start.
constexpr size_t kMinShareTexts = 16 * 1024;

// A text of the join is named by its range and its place there. The top bit
// marks an entry of `ids` that still names the first meeting of its text
// rather than holding the text's number.
constexpr unsigned kPlaceBits = 38;
constexpr unsigned kRangeBits = 10;  // ranges are never more than a few per thread
constexpr uint64_t kNameMask = (uint64_t{1} << (kPlaceBits + kRangeBits)) - 1;
constexpr uint64_t kNamed = uint64_t{1} << 63;

uint64_t name_of(size_t range, size_t place) { return (uint64_t{range} << kPlaceBits) | place; }
size_t range_of(uint64_t name) { return static_cast<size_t>((name & kNameMask) >> kPlaceBits); }
size_t place_of(uint64_t name) { return static_cast<size_t>(name & ((uint64_t{1} << kPlaceBits) - 1)); }

// A share's table of the texts it has met: a slot holds the name of the text's
// first meeting, with bits of its hash above the name, so that most probes of
// a table of millions of texts skip the text's own hash, which lies elsewhere
// in memory. The top bit is set in every slot that is in use.
struct FirstMeetings {
  using Slot = uint64_t;
  struct Context {
    const std::vector<const RangeTexts*>& ranges;
  };

  static Slot slot_of(uint64_t name, uint64_t h) { return kNamed | (tag_of(h) & ~kNameMask) | name; }
  static constexpr Slot empty() { return 0; }
  static bool is_empty(Slot slot) { return slot == 0; }
  static bool matches(Slot slot, std::string_view text, uint64_t h, const Context& context) {
    if (((slot ^ tag_of(h)) & ~kNameMask & ~kNamed) != 0) return false;
    const RangeTexts& range = *context.ranges[range_of(slot)];
    const size_t place = place_of(slot);
    return range.hashes()[place] == h && range.texts()[place] == text;
  }
  static uint64_t hash_of(Slot slot, const Context& context) {
    return context.ranges[range_of(slot)]->hashes()[place_of(slot)];
  }

 private:
  // Hash bits that neither the slot's place in the table (the low bits) nor
  // the share (the top ones) has spent.
  static uint64_t tag_of(uint64_t h) { return h << 16; }
};

// Which share joins a text: by the top bits of its hash, which the tables,
// placing slots by the low bits, leave alone.
size_t share_of(uint64_t h, size_t shares) {
  return static_cast<size_t>(((h >> 32) * shares) >> 32);
}

}  // namespace

std::vector<std::string_view> join_range_texts(const std::vector<const RangeTexts*>& ranges,
                                               std::vector<std::vector<uint64_t>>& ids) {
  const size_t count = ranges.size();
  ids.resize(count);
  size_t total = 0;
  for (const RangeTexts* range : ranges) total += range->texts().size();
  pool::parallel_for(count, 1, [&](size_t first, size_t last) {
    for (size_t k = first; k < last; ++k) ids[k].resize(ranges[k]->texts().size());
  });

  // Each share walks the ranges in order, looking up the texts that are its own:
  // a text is first met where its share first finds it, and every later meeting
  // names that one. A text's meetings all fall to one share, so the shares need
  // no lock; each writes only its own texts' entries.
  const size_t shares = std::max<size_t>(1, std::min(pool::thread_count(), total / kMinShareTexts));
  std::vector<std::vector<size_t>> firsts(shares, std::vector<size_t>(count, 0));
  pool::parallel_for(shares, 1, [&](size_t first, size_t last) {
    pool::CancelPoint point;
    for (size_t s = first; s < last; ++s) {
      OpenTable<FirstMeetings> table;
      const FirstMeetings::Context context{ranges};
      // Sized for texts that are all distinct, where growing would cost most;
      // texts that repeat across ranges make tables small anyway.
      table.resize(OpenTable<FirstMeetings>::capacity_for(total / shares), context);
      for (size_t k = 0; k < count; ++k) {
        const std::vector<uint64_t>& hashes = ranges[k]->hashes();
        const std::vector<std::string_view>& texts = ranges[k]->texts();
        for (size_t l = 0; l < texts.size(); ++l) {
          if (share_of(hashes[l], shares) != s) continue;
          point.step();
          const auto probe = table.find_for_insert(texts[l], hashes[l], context);
          if (probe.found) {
            ids[k][l] = kNamed | (table[probe.at] & kNameMask);
            continue;
          }
          table.fill(probe.at, FirstMeetings::slot_of(name_of(k, l), hashes[l]));
          ids[k][l] = kNamed | name_of(k, l);
          ++firsts[s][k];
        }
      }
    }
  });

  // The texts first met in a range are numbered in the range's order, after
  // those of the ranges above.
  std::vector<uint64_t> number_from(count + 1, 0);
  for (size_t k = 0; k < count; ++k) {
    number_from[k + 1] = number_from[k];
    for (size_t s = 0; s < shares; ++s) number_from[k + 1] += firsts[s][k];
  }
  std::vector<std::string_view> joined(number_from[count]);
  pool::parallel_for(count, 1, [&](size_t first, size_t last) {
    pool::CancelPoint point;
    for (size_t k = first; k < last; ++k) {
      uint64_t next = number_from[k];
      for (size_t l = 0; l < ids[k].size(); ++l) {
        point.step();
        if (ids[k][l] != (kNamed | name_of(k, l))) continue;
        joined[next] = ranges[k]->texts()[l];
        ids[k][l] = next++;
      }
    }
  });
  // Every other meeting takes the number of its first, which the pass above
  // gave, and which this one never writes.
  pool::parallel_for(count, 1, [&](size_t first, size_t last) {
    pool::CancelPoint point;
    for (size_t k = first; k < last; ++k) {
      for (uint64_t& id : ids[k]) {
        point.step();
        if (id & kNamed) id = ids[range_of(id)][place_of(id)];
      }
    }
  });
  return joined;
}

}  // namespace vorpak
