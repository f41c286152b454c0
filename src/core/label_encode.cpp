#include "core/label_encode.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "core/keyed_hash.hpp"
#include "core/open_table.hpp"
#include "core/thread_pool.hpp"

namespace vorpak {
namespace {

constexpr uint64_t kMissingCodeBits = 0x7FF8000000000000ull;  // quiet NaN, positive sign
constexpr size_t kCellGrain = 32 * 1024;

// Open-addressing set of the distinct texts of one column. Each cell learns the
// index of its distinct text, so sorting and code assignment only ever touch the
// distinct texts; the cells are hashed exactly once.
template <class Index>
class DistinctTexts {
 public:
  explicit DistinctTexts(size_t expected) {
    table_.resize(Table::capacity_for(expected), context());
    hashes_.reserve(expected < 1024 ? expected : 1024);
  }

  uint64_t hash(std::string_view text) const { return hash_bytes(text.data(), text.size(), key_); }

  // Asks for the slot of a text hashed to h ahead of its intern().
  void prefetch(uint64_t h) const { table_.prefetch(h); }

  Index intern(std::string_view text, uint64_t h) {
    const auto probe = table_.find_for_insert(text, h, context());
    if (probe.found) return Slots::id_of(table_[probe.at]);
    const Index index = static_cast<Index>(texts_.size());
    texts_.push_back(text);
    hashes_.push_back(h);
    table_.fill(probe.at, Slots::slot_of(index));
    return index;
  }

  std::vector<std::string_view>& texts() { return texts_; }

 private:
  using Slots = TextIdSlots<Index>;
  using Table = OpenTable<Slots>;

  typename Slots::Context context() const { return {texts_, hashes_}; }

  uint64_t key_ = fresh_hash_key();
  Table table_;
  std::vector<std::string_view> texts_;
  std::vector<uint64_t> hashes_;
};

// The first eight bytes of a text as a big-endian number, zero-padded.
uint64_t prefix_of(std::string_view text) {
  unsigned char bytes[8] = {};
  if (!text.empty()) std::memcpy(bytes, text.data(), text.size() < 8 ? text.size() : 8);
  uint64_t prefix = 0;
  for (unsigned char byte : bytes) prefix = (prefix << 8) | byte;
  return prefix;
}

// Each text's index among the distinct texts, which are gathered in the order
// they are first met.
template <class Index>
std::vector<Index> intern_all(const std::vector<std::string_view>& texts,
                              DistinctTexts<Index>& distinct, pool::CancelPoint& point) {
  // The texts come from a column's distinct sources, so most are distinct: the
  // set is sized for all of them, and a text's slot is fetched while the texts
  // before it are interned.
  constexpr size_t kAhead = 16;
  const size_t n = texts.size();
  std::vector<uint64_t> hashes;
  hashes.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    point.step(1 + texts[i].size() / 64);  // a long text costs by its size
    hashes.push_back(distinct.hash(texts[i]));
  }
  std::vector<Index> cell_to_distinct;
  cell_to_distinct.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    point.step();
    if (i + kAhead < n) distinct.prefetch(hashes[i + kAhead]);
    cell_to_distinct.push_back(distinct.intern(texts[i], hashes[i]));
  }
  return cell_to_distinct;
}

// The distinct texts in ascending byte order, each with its first-seen index,
// so the code of every distinct text is known without looking it up again.
// Each carries its first eight bytes as a big-endian number: comparing those
// decides most pairs in one instruction, and byte order is kept because a
// shorter prefix is padded with zeros and the full texts break every tie.
template <class Index>
struct SortEntry {
  uint64_t prefix;
  std::string_view text;
  Index index;
};

template <class Index>
std::vector<SortEntry<Index>> sort_texts(const std::vector<std::string_view>& distinct,
                                         pool::CancelPoint& point) {
  std::vector<SortEntry<Index>> sorted;
  sorted.reserve(distinct.size());
  for (size_t d = 0; d < distinct.size(); ++d) {
    point.step();
    sorted.push_back({prefix_of(distinct[d]), distinct[d], static_cast<Index>(d)});
  }
  pool::parallel_sort(sorted, [](const SortEntry<Index>& a, const SortEntry<Index>& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : a.text < b.text;
  });
  return sorted;
}

// Codes given to distinct texts met in ascending byte order. The table's texts
// are copied in that order, so a table read in code order (decoding,
// pickling) reads its texts' bytes front to back.
struct CodeAssignment {
  explicit CodeAssignment(size_t count) : distinct_code(count) { entries.reserve(count); }

  void add(std::string_view text, size_t d, pool::CancelPoint& point) {
    point.step(1 + text.size() / 64);
    const std::string_view kept = kept_texts->store(text);
    if (is_missing_marker(text)) {
      entries.emplace_back(kept, std::nullopt);
      distinct_code[d] = std::bit_cast<double>(kMissingCodeBits);
    } else {
      entries.emplace_back(kept, next_code);
      distinct_code[d] = static_cast<double>(next_code++);
    }
  }

  std::shared_ptr<TextArena> kept_texts = std::make_shared<TextArena>();
  std::vector<EncodingTable::value_type> entries;  // distinct texts
  std::vector<double> distinct_code;                // per first-seen index
  uint64_t next_code = 0;
};

// Texts that seldom repeat, sorted as they are: each run of equal texts takes
// the code its first one gets.
template <class Index>
LabelEncoded encode_sorted_with_repeats(const std::vector<std::string_view>& texts,
                                        pool::CancelPoint& point) {
  CodeAssignment assigned(texts.size());
  const SortEntry<Index>* run = nullptr;
  for (const SortEntry<Index>& entry : sort_texts<Index>(texts, point)) {
    if (run != nullptr && run->prefix == entry.prefix && run->text == entry.text) {
      point.step();
      assigned.distinct_code[entry.index] = assigned.distinct_code[run->index];
      continue;
    }
    assigned.add(entry.text, entry.index, point);
    run = &entry;
  }
  LabelEncoded result;
  result.table =
      EncodingTable::from_distinct(std::move(assigned.entries), std::move(assigned.kept_texts));
  result.codes = std::move(assigned.distinct_code);
  return result;
}

// Codes depend only on the set of distinct texts: they are numbered in ascending
// byte order, skipping the markers, whatever the row order or thread count.
template <class Index>
LabelEncoded encode_with(const std::vector<std::string_view>& texts, Repeats repeats) {
  const size_t n = texts.size();
  // A column of millions of texts takes this job a second or more: each loop
  // looks at the cancel flag as it goes.
  pool::CancelPoint point;
  if (repeats == Repeats::kFew) {
    bool ascending = true;  // then distinct: the texts as they stand
    for (size_t i = 1; i < n && ascending; ++i) {
      point.step();
      ascending = texts[i - 1] < texts[i];
    }
    if (!ascending) return encode_sorted_with_repeats<Index>(texts, point);
    repeats = Repeats::kNone;
  }
  // The vectors are filled as they grow, not zeroed first: touching hundreds of
  // megabytes ahead of the loops would be a stretch with no look at the flag.
  // Texts known to be distinct are their own distinct texts, in order.
  DistinctTexts<Index> distinct(repeats == Repeats::kNone ? 0 : n);
  std::vector<Index> cell_to_distinct;
  if (repeats == Repeats::kMaybe) cell_to_distinct = intern_all(texts, distinct, point);

  const std::vector<std::string_view>& first_seen =
      repeats == Repeats::kNone ? texts : distinct.texts();
  CodeAssignment assigned(first_seen.size());
  // Texts often come in order already (a categorical's categories, a column
  // read from sorted data), or nearly (a categorical's missing value's text,
  // put after its categories): the run in order is coded as it stands, and a
  // few texts after it are sorted on their own and merged in.
  const size_t count = first_seen.size();
  size_t run = count == 0 ? 0 : 1;
  for (; run < count; ++run) {
    point.step();
    if (!(first_seen[run - 1] < first_seen[run])) break;
  }
  if (count - run <= run / 16) {
    std::vector<Index> after(count - run);
    for (size_t k = 0; k < after.size(); ++k) after[k] = static_cast<Index>(run + k);
    std::sort(after.begin(), after.end(), [&](Index a, Index b) {
      point.step();
      return first_seen[a] < first_seen[b];
    });
    size_t d = 0;
    for (const Index straggler : after) {
      for (; d < run && first_seen[d] < first_seen[straggler]; ++d) {
        assigned.add(first_seen[d], d, point);
      }
      assigned.add(first_seen[straggler], straggler, point);
    }
    for (; d < run; ++d) assigned.add(first_seen[d], d, point);
  } else {
    for (const auto& [prefix, text, d] : sort_texts<Index>(first_seen, point)) {
      assigned.add(text, d, point);
    }
  }

  LabelEncoded result;
  result.table =
      EncodingTable::from_distinct(std::move(assigned.entries), std::move(assigned.kept_texts));
  if (repeats == Repeats::kNone) {
    result.codes = std::move(assigned.distinct_code);
    return result;
  }
  result.codes.resize(n);
  pool::parallel_map(cell_to_distinct.data(), result.codes.data(), n, kCellGrain,
                     [&](Index d) { return assigned.distinct_code[d]; });
  return result;
}

}  // namespace

bool is_missing_marker(std::string_view text) {
  return text == "nan" || text == "NaN" || text == "<NA>";
}

LabelEncoded label_encode(const std::vector<std::string_view>& texts, Repeats repeats) {
  if (texts.size() < std::numeric_limits<uint32_t>::max()) {
    return encode_with<uint32_t>(texts, repeats);
  }
  return encode_with<uint64_t>(texts, repeats);
}

}  // namespace vorpak
