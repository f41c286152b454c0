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

// Codes depend only on the set of distinct texts: they are numbered in ascending
// byte order, skipping the markers, whatever the row order or thread count.
template <class Index>
LabelEncoded encode_with(const std::vector<std::string_view>& texts, Repeats repeats) {
  const size_t n = texts.size();
  // A column of millions of texts takes this job a second or more: each loop
  // looks at the cancel flag as it goes.
  pool::CancelPoint point;
  // The vectors are filled as they grow, not zeroed first: touching hundreds of
  // megabytes ahead of the loops would be a stretch with no look at the flag.
  // Texts known to be distinct are their own distinct texts, in order.
  DistinctTexts<Index> distinct(repeats == Repeats::kNone ? 0 : n);
  std::vector<Index> cell_to_distinct;
  if (repeats == Repeats::kMaybe) cell_to_distinct = intern_all(texts, distinct, point);

  // Sort the distinct texts, each with its first-seen index, so the code of
  // every distinct text is known without looking it up again. Each carries its
  // first eight bytes as a big-endian number: comparing those decides most
  // pairs in one instruction, and byte order is kept because a shorter prefix
  // is padded with zeros and the full texts break every tie.
  const std::vector<std::string_view>& first_seen =
      repeats == Repeats::kNone ? texts : distinct.texts();
  struct Entry {
    uint64_t prefix;
    std::string_view text;
    Index index;
  };
  std::vector<Entry> sorted;
  sorted.reserve(first_seen.size());
  for (size_t d = 0; d < first_seen.size(); ++d) {
    point.step();
    sorted.push_back({prefix_of(first_seen[d]), first_seen[d], static_cast<Index>(d)});
  }
  const auto before = [](const Entry& a, const Entry& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : a.text < b.text;
  };
  // Texts often come in order already (a categorical's categories, a column
  // read from sorted data): one pass, which stops at the first pair out of
  // order, spares them the sort.
  const auto out_of_order = std::adjacent_find(sorted.begin(), sorted.end(),
                                               [&](const Entry& a, const Entry& b) {
                                                 point.step();
                                                 return before(b, a);
                                               });
  // A few texts past a long run in order (a categorical's missing value's text,
  // put after its categories) are sorted on their own and merged in.
  if (out_of_order != sorted.end()) {
    const auto tail = out_of_order + 1;
    const auto checked = [&](const Entry& a, const Entry& b) {
      point.step();
      return before(a, b);
    };
    if (sorted.end() - tail <= (tail - sorted.begin()) / 16) {
      std::sort(tail, sorted.end(), checked);
      std::inplace_merge(sorted.begin(), tail, sorted.end(), checked);
    } else {
      pool::parallel_sort(sorted, before);
    }
  }

  // The table's texts are copied in byte order, so a table read in code order
  // (decoding, pickling) reads its texts' bytes front to back.
  auto kept_texts = std::make_shared<TextArena>();
  std::vector<EncodingTable::value_type> entries;
  entries.reserve(sorted.size());
  std::vector<double> distinct_code(first_seen.size());
  uint64_t next_code = 0;
  for (const auto& [prefix, text, d] : sorted) {
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
  LabelEncoded result;
  // the texts are distinct
  result.table = EncodingTable::from_distinct(std::move(entries), std::move(kept_texts));

  if (repeats == Repeats::kNone) {
    result.codes = std::move(distinct_code);
    return result;
  }
  result.codes.resize(n);
  pool::parallel_map(cell_to_distinct.data(), result.codes.data(), n, kCellGrain,
                     [&](Index d) { return distinct_code[d]; });
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
