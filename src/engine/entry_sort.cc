#include "engine/entry_sort.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "engine/entry_order.h"

namespace korvane {

namespace {

// Score descending, then identifier, then index (in position order), as two unsigned words.
struct PackedKey {
  uint64_t high;  // the score's order, flipped, then the identifier's high half
  uint64_t low;   // the identifier's low half, then the index

  bool operator<(const PackedKey& other) const {
    return high != other.high ? high < other.high : low < other.low;
  }
};

bool entry_first(const EntryRef& a, const EntryRef& b) {
  const int by_score = total_order_compare(a.score, b.score);
  if (by_score != 0) return by_score > 0;
  if (const int by_id = compare_ids(*a.id, *b.id); by_id != 0) return by_id < 0;
  return a.position < b.position;
}

bool packable(const std::vector<EntryRef>& entries) {
  for (const EntryRef& entry : entries) {
    if (!entry.id->is_integer()) return false;
  }
  return entries.size() <= std::numeric_limits<uint32_t>::max();
}

PackedKey packed_key(const EntryRef& entry, size_t index) {
  const uint32_t ascending = static_cast<uint32_t>(total_order_key(entry.score)) ^ 0x80000000u;
  const uint64_t id = entry.id->integer();
  return PackedKey{static_cast<uint64_t>(~ascending) << 32 | id >> 32,
                   id << 32 | static_cast<uint64_t>(index)};
}

// The entries in the order of their keys' indexes.
void reorder(std::vector<EntryRef>& entries, const std::vector<PackedKey>& keys) {
  std::vector<EntryRef> sorted;
  sorted.reserve(entries.size());
  for (const PackedKey& key : keys) sorted.push_back(entries[static_cast<uint32_t>(key.low)]);
  entries = std::move(sorted);
}

}  // namespace

void sort_entries(std::vector<EntryRef>& entries) {
  if (!packable(entries)) {
    if (!std::is_sorted(entries.begin(), entries.end(), entry_first)) {
      std::sort(entries.begin(), entries.end(), entry_first);
    }
    return;
  }
  std::vector<PackedKey> keys;
  keys.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) keys.push_back(packed_key(entries[i], i));
  if (std::is_sorted(keys.begin(), keys.end())) return;
  std::sort(keys.begin(), keys.end());
  reorder(entries, keys);
}

void sort_best_entries(std::vector<EntryRef>& entries, size_t count) {
  if (count >= entries.size()) {
    sort_entries(entries);
    return;
  }
  if (!packable(entries)) {
    std::nth_element(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(count),
                     entries.end(), entry_first);
    std::sort(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(count), entry_first);
    return;
  }
  std::vector<PackedKey> keys;
  keys.reserve(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) keys.push_back(packed_key(entries[i], i));
  const auto head_end = keys.begin() + static_cast<std::ptrdiff_t>(count);
  std::nth_element(keys.begin(), head_end, keys.end());
  std::sort(keys.begin(), head_end);
  reorder(entries, keys);
}

}  // namespace korvane
