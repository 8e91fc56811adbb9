#include "engine/entry_sort.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>

#include "engine/entry_order.h"
#include "engine/prefix_sort.h"

namespace korvane {

namespace {

// Score descending, then identifier, then index (in position order), as two unsigned words.
struct PackedKey {
  uint64_t high;  // the score's order, flipped, then the identifier's high half
  uint64_t low;   // the identifier's low half, then the index

  bool operator<(const PackedKey& other) const {
    return high != other.high ? high < other.high : low < other.low;
  }
  uint32_t index() const { return static_cast<uint32_t>(low); }
};

bool entry_first(const EntryRef& a, const EntryRef& b) {
  const int by_score = total_order_compare(a.score, b.score);
  if (by_score != 0) return by_score > 0;
  if (const int by_id = compare_ids(*a.id, *b.id); by_id != 0) return by_id < 0;
  return a.position < b.position;
}

// The first `count` entries in order (all of them, when count is the size: then entries
// already in order are left after one linear check), the others after them.
template <class Key, class Less>
void arrange(std::vector<Key>& keys, size_t count, Less less) {
  if (count >= keys.size()) {
    sort_from_sorted_prefix(keys.begin(), keys.end(), less);
    return;
  }
  const auto head_end = keys.begin() + static_cast<std::ptrdiff_t>(count);
  std::nth_element(keys.begin(), head_end, keys.end(), less);
  std::sort(keys.begin(), head_end, less);
}

// The entries in the order of their keys' indexes.
template <class Key, class IndexOf>
void reorder(std::vector<EntryRef>& entries, const std::vector<Key>& keys, IndexOf index_of) {
  std::vector<EntryRef> sorted;
  sorted.reserve(entries.size());
  for (const Key& key : keys) sorted.push_back(entries[index_of(key)]);
  entries = std::move(sorted);
}

void order_entries(std::vector<EntryRef>& entries, size_t count) {
  const size_t n = entries.size();
  bool integers = n <= std::numeric_limits<uint32_t>::max();
  uint64_t largest_id = 0;
  for (const EntryRef& entry : entries) {
    if (!entry.id->is_integer()) {
      integers = false;
      break;
    }
    largest_id = std::max(largest_id, entry.id->integer());
  }
  if (!integers) {
    arrange(entries, count, entry_first);
    return;
  }
  // Keys are compared as unsigned words and read no record. When the identifier and the
  // index fit in 32 bits together (small ids, a few thousand entries), one word holds it all.
  const int index_bits = std::bit_width(n);
  if (index_bits + std::bit_width(largest_id) <= 32) {
    std::vector<uint64_t> keys(n);
    for (size_t i = 0; i < n; ++i) {
      keys[i] = descending_score_key(entries[i].score) << 32 |
                entries[i].id->integer() << index_bits | static_cast<uint64_t>(i);
    }
    if (count >= n && std::is_sorted(keys.begin(), keys.end())) return;
    arrange(keys, count, std::less<uint64_t>());
    const uint64_t index_mask = (uint64_t{1} << index_bits) - 1;
    reorder(entries, keys, [&](uint64_t key) { return static_cast<size_t>(key & index_mask); });
    return;
  }
  std::vector<PackedKey> keys(n);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t id = entries[i].id->integer();
    keys[i] = PackedKey{descending_score_key(entries[i].score) << 32 | id >> 32,
                        id << 32 | static_cast<uint64_t>(i)};
  }
  if (count >= n && std::is_sorted(keys.begin(), keys.end())) return;
  arrange(keys, count, std::less<PackedKey>());
  reorder(entries, keys, [](const PackedKey& key) { return key.index(); });
}

}  // namespace

void sort_entries(std::vector<EntryRef>& entries) {
  order_entries(entries, entries.size());
}

void sort_best_entries(std::vector<EntryRef>& entries, size_t count) {
  order_entries(entries, count);
}

}  // namespace korvane
