// MemberCounters: a multiset of ranked-list positions summarised by counters (members per
// interned group for every per-group maximum, the member count, the summed cost, the
// matching members per requirement), so the known constraint kinds answer in constant time
// whatever the size of the set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/records.h"
#include "select/selection_index.h"

namespace korvane {

class MemberCounters {
 public:
  explicit MemberCounters(const SelectionIndex& index);

  void add(size_t pos);
  void remove(size_t pos);  // pos must have been added

  size_t size() const { return size_; }
  uint64_t cost_sum() const { return cost_sum_; }
  uint64_t matching(size_t requirement) const { return matching_[requirement]; }

  // For a per-group or total maximum c: whether c refuses `pos` joining the set. While
  // members are only added, a refusal stays a refusal.
  bool refuses(size_t c, size_t pos) const;
  // For a per-group or total maximum c: whether c accepts every member given the others.
  bool holds(size_t c) const;

 private:
  const SelectionIndex& index_;
  size_t size_ = 0;
  uint64_t cost_sum_ = 0;
  std::vector<std::vector<uint64_t>> per_group_;  // per constraint; empty unless PerGroup
  std::vector<uint64_t> over_;                    // groups above the maximum, per constraint
  std::vector<uint64_t> matching_;
};

// The first constraint, in registration order, that refuses `pos` joining the members
// counted by `counters` and listed (pick order) by `members`. Opaque constraints are asked
// through their own accepts(). `lasting` is set when the refusal came from a known kind and
// therefore holds for as long as members are only added.
struct Refusal {
  size_t constraint;
  bool lasting;
};
std::optional<Refusal> first_refusal(const SelectionIndex& index, const MemberCounters& counters,
                                     std::span<const ScoredRecord* const> members, size_t pos);

// is_feasible for the set counted by `counters`, whose members are `members` in set order.
bool counted_feasible(const SelectionIndex& index, const MemberCounters& counters,
                      std::span<const size_t> members);

}  // namespace korvane
