#include "select/greedy.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "select/member_counters.h"
#include "select/member_gain.h"

namespace korvane {

namespace {

// A member list grown one pick at a time.
//
// The plain way to the next pick scans the open records in ranking order. Records that can
// never be picked again (chosen, out of budget, refused by a known constraint kind) leave
// the open list for good.
//
// When every constraint is of a known kind and no record's value can rise as members are
// added, the picks come from a heap of keys computed at some earlier member count instead:
// each is an upper bound of the current key, so a key at the top that is current beats
// every other record. Ordering the heap by key, then by position, gives the same pick as
// the scan's rule (equal keys keep the earlier position) as long as no key is NaN; a NaN can
// only appear in the first evaluation, and then the pass keeps to the scan. Fixed keys that
// already fall in position order (a plain ranking) are that heap's pop order as they stand,
// so they are walked in place.
class GreedyState {
 public:
  explicit GreedyState(const SelectionIndex& index)
      : index_(index),
        counters_(index),
        gain_(index),
        open_(index.size()),
        heap_mode_(!index.has_opaque() && index.values_only_fall()),
        fixed_keys_(index.problem().objective == nullptr) {
    std::iota(open_.begin(), open_.end(), size_t{0});
  }

  struct Pick {
    size_t position;
    float value;
  };

  // The next pick. `fits(pos)` false removes a record for good; `key(pos, value)` orders
  // the accepted records and must not rise when `value` falls.
  template <class Fits, class Key>
  std::optional<Pick> next(Fits fits, Key key) {
    if (heap_mode_ && !heap_built_) build_heap(fits, key);
    return heap_mode_ ? pop_best(fits, key) : scan(fits, key);
  }

  void take(size_t pos) {
    members_.push_back(pos);
    records_.push_back(&index_.ranked()[pos]);
    counters_.add(pos);
    gain_.add(pos);
  }

  std::vector<size_t>& members() { return members_; }
  uint64_t used() const { return counters_.cost_sum(); }

 private:
  struct Entry {
    float key;
    float value;
    size_t position;
    size_t stamp;  // member count when key and value were computed
  };
  // Heap order: the greater key first, then the earlier position.
  static bool below(const Entry& a, const Entry& b) {
    if (a.key != b.key) return a.key < b.key;
    return a.position > b.position;
  }

  // Whether `pos` may join now; refusals by known kinds last while members are only added.
  template <class Fits>
  bool open_now(Fits& fits, size_t pos) const {
    return fits(pos) && !first_refusal(index_, counters_, records_, pos).has_value();
  }

  template <class Fits, class Key>
  void build_heap(Fits& fits, Key& key) {
    heap_built_ = true;
    heap_.reserve(open_.size());
    for (size_t pos : open_) {
      if (!open_now(fits, pos)) continue;
      const float value = gain_.value(records_, pos);
      const float record_key = key(pos, value);
      if (std::isnan(value) || std::isnan(record_key)) {
        heap_mode_ = false;
        heap_ = {};
        return;
      }
      in_order_ = in_order_ && (heap_.empty() || heap_.back().key >= record_key);
      heap_.push_back({record_key, value, pos, members_.size()});
    }
    in_order_ = in_order_ && fixed_keys_;
    if (!in_order_) std::make_heap(heap_.begin(), heap_.end(), below);
  }

  // The heap's pops when the entries stand in that order already.
  template <class Fits>
  std::optional<Pick> walk_in_order(Fits& fits) {
    while (next_in_order_ < heap_.size()) {
      const Entry& entry = heap_[next_in_order_++];
      if (entry.stamp != members_.size() && !open_now(fits, entry.position)) continue;
      return Pick{entry.position, entry.value};
    }
    return std::nullopt;
  }

  template <class Fits, class Key>
  std::optional<Pick> pop_best(Fits& fits, Key& key) {
    if (in_order_) return walk_in_order(fits);
    while (!heap_.empty()) {
      std::pop_heap(heap_.begin(), heap_.end(), below);
      Entry& entry = heap_.back();
      if (entry.stamp != members_.size()) {
        if (!open_now(fits, entry.position)) {
          heap_.pop_back();
          continue;
        }
        // Without an objective the key is the same at any member count: the entry would
        // come straight back to the top.
        if (!fixed_keys_) {
          entry.value = gain_.value(records_, entry.position);
          entry.key = key(entry.position, entry.value);
          entry.stamp = members_.size();
          std::push_heap(heap_.begin(), heap_.end(), below);
          continue;
        }
      }
      const Pick pick{entry.position, entry.value};
      heap_.pop_back();
      return pick;
    }
    return std::nullopt;
  }

  // One pass over the open records in ranking order: a record replaces the best unless the
  // best's key is greater than or equal to its own.
  template <class Fits, class Key>
  std::optional<Pick> scan(Fits& fits, Key& key) {
    std::optional<Pick> best;
    float best_key = 0.0f;
    size_t best_slot = 0;
    size_t kept = 0;
    for (size_t slot = 0; slot < open_.size(); ++slot) {
      const size_t pos = open_[slot];
      if (!fits(pos)) continue;
      std::optional<Refusal> refusal = first_refusal(index_, counters_, records_, pos);
      if (refusal.has_value() && refusal->lasting) continue;
      open_[kept++] = pos;
      if (refusal.has_value()) continue;
      const float value = gain_.value(records_, pos);
      const float record_key = key(pos, value);
      if (!best.has_value() || !(best_key >= record_key)) {
        best = Pick{pos, value};
        best_key = record_key;
        best_slot = kept - 1;
      }
    }
    open_.resize(kept);
    if (best.has_value()) open_.erase(open_.begin() + static_cast<ptrdiff_t>(best_slot));
    return best;
  }

  const SelectionIndex& index_;
  MemberCounters counters_;
  MemberGain gain_;
  std::vector<size_t> open_;
  std::vector<size_t> members_;
  std::vector<const ScoredRecord*> records_;
  bool heap_mode_;
  const bool fixed_keys_;  // no objective: a record's value and key never change
  bool heap_built_ = false;
  bool in_order_ = true;  // fixed keys that never rise along the positions: no heap needed
  size_t next_in_order_ = 0;
  std::vector<Entry> heap_;
};

auto always_fits = [](size_t) { return true; };
auto by_value = [](size_t, float value) { return value; };

}  // namespace

std::vector<size_t> count_greedy(const SelectionIndex& index, uint64_t requested) {
  const uint64_t picks = std::min<uint64_t>(requested, index.size());
  if (picks == 0) return {};
  GreedyState state(index);
  while (state.members().size() < picks) {
    auto pick = state.next(always_fits, by_value);
    if (!pick.has_value()) break;
    state.take(pick->position);
  }
  return std::move(state.members());
}

TokenPass token_greedy(const SelectionIndex& index, uint32_t limit, bool by_ratio) {
  GreedyState state(index);
  TokenPass pass;
  auto fits = [&](size_t pos) { return state.used() + index.cost(pos) <= limit; };
  // Division by a positive cost keeps the order of values, so ratio keys fall with them.
  auto key = [&](size_t pos, float value) {
    if (!by_ratio) return value;
    const uint32_t cost = index.cost(pos);
    return cost == 0 ? std::numeric_limits<float>::infinity() : value / static_cast<float>(cost);
  };
  while (auto pick = state.next(fits, key)) {
    state.take(pick->position);
    pass.total += pick->value;
  }
  pass.members = std::move(state.members());
  pass.took_whole_list = pass.members.size() == index.size();
  return pass;
}

std::optional<SingleItem> best_single_item(const SelectionIndex& index, uint32_t limit) {
  GreedyState state(index);
  auto pick = state.next([&](size_t pos) { return index.cost(pos) <= limit; }, by_value);
  if (!pick.has_value()) return std::nullopt;
  return SingleItem{pick->position, pick->value};
}

}  // namespace korvane
