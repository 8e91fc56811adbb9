#include "select/greedy.h"

#include <algorithm>
#include <limits>
#include <numeric>

#include "select/member_counters.h"
#include "select/member_gain.h"

namespace korvane {

namespace {

// A member list grown one pick at a time. Records that can never be picked again (chosen,
// out of budget, or refused by a known constraint kind) leave the candidate list, which
// stays in ranking order.
class GreedyState {
 public:
  explicit GreedyState(const SelectionIndex& index)
      : index_(index), counters_(index), gain_(index), open_(index.size()) {
    std::iota(open_.begin(), open_.end(), size_t{0});
  }

  struct Pick {
    size_t position;
    float value;
  };

  // One scan over the open records. `fits(pos)` false removes a record for good;
  // `key(pos, value)` orders the accepted ones.
  template <class Fits, class Key>
  std::optional<Pick> scan(Fits fits, Key key) {
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

  void take(size_t pos) {
    members_.push_back(pos);
    records_.push_back(&index_.ranked()[pos]);
    counters_.add(pos);
    gain_.add(pos);
  }

  std::vector<size_t>& members() { return members_; }
  uint64_t used() const { return counters_.cost_sum(); }

 private:
  const SelectionIndex& index_;
  MemberCounters counters_;
  MemberGain gain_;
  std::vector<size_t> open_;
  std::vector<size_t> members_;
  std::vector<const ScoredRecord*> records_;
};

}  // namespace

std::vector<size_t> count_greedy(const SelectionIndex& index, uint64_t requested) {
  const uint64_t picks = std::min<uint64_t>(requested, index.size());
  GreedyState state(index);
  while (state.members().size() < picks) {
    auto pick = state.scan([](size_t) { return true; }, [](size_t, float value) { return value; });
    if (!pick.has_value()) break;
    state.take(pick->position);
  }
  return std::move(state.members());
}

TokenPass token_greedy(const SelectionIndex& index, uint32_t limit, bool by_ratio) {
  GreedyState state(index);
  TokenPass pass;
  auto fits = [&](size_t pos) { return state.used() + index.cost(pos) <= limit; };
  auto key = [&](size_t pos, float value) {
    if (!by_ratio) return value;
    const uint32_t cost = index.cost(pos);
    return cost == 0 ? std::numeric_limits<float>::infinity() : value / static_cast<float>(cost);
  };
  while (auto pick = state.scan(fits, key)) {
    state.take(pick->position);
    pass.total += pick->value;
  }
  pass.members = std::move(state.members());
  pass.took_whole_list = pass.members.size() == index.size();
  return pass;
}

std::optional<SingleItem> best_single_item(const SelectionIndex& index, uint32_t limit) {
  GreedyState state(index);
  auto pick = state.scan([&](size_t pos) { return index.cost(pos) <= limit; },
                         [](size_t, float value) { return value; });
  if (!pick.has_value()) return std::nullopt;
  return SingleItem{pick->position, pick->value};
}

}  // namespace korvane
