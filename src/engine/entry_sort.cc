#include "engine/entry_sort.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>

#include "engine/entry_order.h"
#include "engine/run_sort.h"

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
    sort_keeping_runs(keys.begin(), keys.end(), less);
    return;
  }
  const auto head_end = keys.begin() + static_cast<std::ptrdiff_t>(count);
  // A short head is kept in a heap that most keys only meet once, at its top: a comparison
  // the processor soon predicts, where a partition's comparisons stay a coin toss.
  if (count <= keys.size() / 16) {
    std::partial_sort(keys.begin(), head_end, keys.end(), less);
    return;
  }
  std::nth_element(keys.begin(), head_end, keys.end(), less);
  std::sort(keys.begin(), head_end, less);
}

// Whether every entry's identifier is an integer and the entries are few enough for a 32-bit
// index; then the largest identifier.
bool integer_ids(const std::vector<EntryRef>& entries, uint64_t* largest_id) {
  if (entries.size() > std::numeric_limits<uint32_t>::max()) return false;
  uint64_t largest = 0;
  for (const EntryRef& entry : entries) {
    if (!entry.id->is_integer()) return false;
    largest = std::max(largest, entry.id->integer());
  }
  *largest_id = largest;
  return true;
}

// Calls emit(index) with the indexes of the first `count` entries with integer identifiers
// in the entry order; false, with no call, when the entries are in order already and all of
// them are asked for. Keys are compared as unsigned words and read no
// record. When the identifier and the index fit in 32 bits together (small ids, a few
// thousand entries), one word holds it all.
template <class Emit>
bool integer_order(const std::vector<EntryRef>& entries, size_t count, uint64_t largest_id,
                   Emit emit) {
  const size_t n = entries.size();
  const int index_bits = std::bit_width(n);
  if (index_bits + std::bit_width(largest_id) <= 32) {
    std::vector<uint64_t> keys;
    keys.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      keys.push_back(descending_score_key(entries[i].score) << 32 |
                     entries[i].id->integer() << index_bits | static_cast<uint64_t>(i));
    }
    if (count >= n && std::is_sorted(keys.begin(), keys.end())) return false;
    arrange(keys, count, std::less<uint64_t>());
    const uint64_t index_mask = (uint64_t{1} << index_bits) - 1;
    for (size_t i = 0; i < std::min(count, n); ++i) emit(static_cast<size_t>(keys[i] & index_mask));
    return true;
  }
  std::vector<PackedKey> keys;
  keys.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t id = entries[i].id->integer();
    keys.push_back(PackedKey{descending_score_key(entries[i].score) << 32 | id >> 32,
                             id << 32 | static_cast<uint64_t>(i)});
  }
  if (count >= n && std::is_sorted(keys.begin(), keys.end())) return false;
  arrange(keys, count, std::less<PackedKey>());
  for (size_t i = 0; i < std::min(count, n); ++i) emit(keys[i].index());
  return true;
}

// The first `count` entries in the entry order; the others are let go.
void order_entries(std::vector<EntryRef>& entries, size_t count) {
  uint64_t largest_id = 0;
  if (!integer_ids(entries, &largest_id)) {
    arrange(entries, count, entry_first);
  } else {
    std::vector<EntryRef> sorted;
    sorted.reserve(std::min(count, entries.size()));
    auto take = [&](size_t index) { sorted.push_back(entries[index]); };
    if (integer_order(entries, count, largest_id, take)) entries = std::move(sorted);
  }
  if (entries.size() > count) entries.resize(count);
}

}  // namespace

void sort_entries(std::vector<EntryRef>& entries) {
  order_entries(entries, entries.size());
}

void keep_best_entries(std::vector<EntryRef>& entries, size_t count) {
  order_entries(entries, count);
}

void rank_entries(const std::vector<EntryRef>& entries, std::vector<uint32_t>& ranks) {
  uint64_t largest_id = 0;
  if (!integer_ids(entries, &largest_id)) {
    std::vector<EntryRef> sorted = entries;
    arrange(sorted, sorted.size(), entry_first);
    for (size_t r = 0; r < sorted.size(); ++r) {
      ranks[sorted[r].position] = static_cast<uint32_t>(r + 1);
    }
    return;
  }
  uint32_t rank = 0;
  auto place = [&](size_t index) { ranks[entries[index].position] = ++rank; };
  if (!integer_order(entries, entries.size(), largest_id, place)) {
    for (size_t i = 0; i < entries.size(); ++i) place(i);
  }
}

}  // namespace korvane
