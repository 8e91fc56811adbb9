#include "engine/entry_sort.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

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

// How integer_order went.
enum class IntegerOrder { kTextIds, kInOrder, kEmitted };

// The first `count` keys in order, their indexes (index_of) handed to emit; kInOrder, with
// no call, when the keys are in order already and all of them are asked for.
template <class Key, class IndexOf, class Emit>
IntegerOrder emit_in_order(std::vector<Key>& keys, size_t count, IndexOf index_of, Emit emit) {
  if (count >= keys.size() && std::is_sorted(keys.begin(), keys.end())) {
    return IntegerOrder::kInOrder;
  }
  arrange(keys, count, std::less<Key>());
  for (size_t i = 0; i < std::min(count, keys.size()); ++i) emit(index_of(keys[i]));
  return IntegerOrder::kEmitted;
}

// Calls emit(index) with the indexes of the first `count` entries in the entry order when
// every identifier is an integer; kTextIds, with no call, when one is a text. Keys are
// compared as unsigned words and read no record. Most ids fit beside the index in 32 bits,
// and then one word holds a key: those are made on that guess, and the first id that does
// not fit sends the entries to two-word keys.
template <class Emit>
IntegerOrder integer_order(const std::vector<EntryRef>& entries, size_t count, Emit emit) {
  const size_t n = entries.size();
  if (n > std::numeric_limits<uint32_t>::max()) return IntegerOrder::kTextIds;
  const int index_bits = std::bit_width(n);
  if (index_bits < 32) {
    const uint64_t id_limit = uint64_t{1} << (32 - index_bits);
    std::vector<uint64_t> keys;
    keys.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      const CandidateId& id = *entries[i].id;
      if (!id.is_integer() || id.integer() >= id_limit) break;
      keys.push_back(descending_score_key(entries[i].score) << 32 | id.integer() << index_bits |
                     static_cast<uint64_t>(i));
    }
    if (keys.size() == n) {
      const uint64_t index_mask = (uint64_t{1} << index_bits) - 1;
      auto index_of = [&](uint64_t key) { return static_cast<size_t>(key & index_mask); };
      return emit_in_order(keys, count, index_of, emit);
    }
  }
  std::vector<PackedKey> keys;
  keys.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const CandidateId& id = *entries[i].id;
    if (!id.is_integer()) return IntegerOrder::kTextIds;
    keys.push_back(PackedKey{descending_score_key(entries[i].score) << 32 | id.integer() >> 32,
                             id.integer() << 32 | static_cast<uint64_t>(i)});
  }
  return emit_in_order(
      keys, count, [](const PackedKey& key) { return key.index(); }, emit);
}

// The first `count` entries in the entry order; the others are let go.
void order_entries(std::vector<EntryRef>& entries, size_t count) {
  std::vector<EntryRef> sorted;
  sorted.reserve(std::min(count, entries.size()));
  auto take = [&](size_t index) { sorted.push_back(entries[index]); };
  switch (integer_order(entries, count, take)) {
    case IntegerOrder::kTextIds:
      arrange(entries, count, entry_first);
      break;
    case IntegerOrder::kInOrder:
      break;
    case IntegerOrder::kEmitted:
      entries = std::move(sorted);
      break;
  }
  if (entries.size() > count) entries.resize(count);
}

}  // namespace

void sort_entries(std::vector<EntryRef>& entries) {
  order_entries(entries, entries.size());
}

void keep_best_entries(std::vector<EntryRef>& entries, size_t count) {
  // Only an entry scoring at least the count-th best score can be among the first count.
  // That score is found without reading an identifier, and the entries below it are let
  // go, in order, so that identifiers are read for the few left: each lies in a record of
  // its own, and reading them all costs a cache miss apiece.
  if (count > 0 && count <= entries.size() / 8) {
    std::vector<uint32_t> keys(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      keys[i] = static_cast<uint32_t>(descending_score_key(entries[i].score));
    }
    // A heap of the head, which most keys meet once at its top (see arrange).
    const auto head_end = keys.begin() + static_cast<std::ptrdiff_t>(count);
    std::partial_sort(keys.begin(), head_end, keys.end());
    const uint32_t worst = keys[count - 1];
    std::erase_if(entries, [&](const EntryRef& entry) {
      return static_cast<uint32_t>(descending_score_key(entry.score)) > worst;
    });
  }
  order_entries(entries, count);
}

void rank_entries(const std::vector<EntryRef>& entries, std::vector<uint32_t>& ranks) {
  uint32_t rank = 0;
  auto place = [&](size_t index) { ranks[entries[index].position] = ++rank; };
  switch (integer_order(entries, entries.size(), place)) {
    case IntegerOrder::kTextIds: {
      std::vector<EntryRef> sorted = entries;
      arrange(sorted, sorted.size(), entry_first);
      for (const EntryRef& entry : sorted) ranks[entry.position] = ++rank;
      break;
    }
    case IntegerOrder::kInOrder:
      for (size_t i = 0; i < entries.size(); ++i) place(i);
      break;
    case IntegerOrder::kEmitted:
      break;
  }
}

}  // namespace korvane
