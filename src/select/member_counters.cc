#include "select/member_counters.h"

#include <optional>

namespace korvane {

using Kind = SelectionIndex::Kind;

MemberCounters::MemberCounters(const SelectionIndex& index)
    : index_(index),
      per_group_(index.constraint_count()),
      over_(index.constraint_count(), 0),
      matching_(index.problem().requirements.size(), 0) {
  for (size_t c = 0; c < index.constraint_count(); ++c) {
    if (index.kind(c) == Kind::PerGroup) per_group_[c].assign(index.group_count(c), 0);
  }
}

void MemberCounters::add(size_t pos) {
  ++size_;
  cost_sum_ += index_.cost(pos);
  for (size_t c = 0; c < per_group_.size(); ++c) {
    if (index_.kind(c) != Kind::PerGroup) continue;
    uint32_t group = index_.group(c, pos);
    if (group == SelectionIndex::kNoGroup) continue;
    if (per_group_[c][group]++ == index_.max(c)) ++over_[c];
  }
  for (size_t r = 0; r < matching_.size(); ++r) matching_[r] += index_.matches(r, pos);
}

void MemberCounters::remove(size_t pos) {
  --size_;
  cost_sum_ -= index_.cost(pos);
  for (size_t c = 0; c < per_group_.size(); ++c) {
    if (index_.kind(c) != Kind::PerGroup) continue;
    uint32_t group = index_.group(c, pos);
    if (group == SelectionIndex::kNoGroup) continue;
    if (--per_group_[c][group] == index_.max(c)) --over_[c];
  }
  for (size_t r = 0; r < matching_.size(); ++r) matching_[r] -= index_.matches(r, pos);
}

bool MemberCounters::refuses(size_t c, size_t pos) const {
  const uint64_t max = index_.max(c);
  if (index_.kind(c) == Kind::Total) return size_ >= max;
  if (max == 0) return true;
  uint32_t group = index_.group(c, pos);
  return group != SelectionIndex::kNoGroup && per_group_[c][group] >= max;
}

bool MemberCounters::holds(size_t c) const {
  const uint64_t max = index_.max(c);
  if (index_.kind(c) == Kind::Total) return size_ <= max;
  // Every member is refused under max 0; otherwise a member sees count - 1 others of its
  // group, which must stay below max.
  return max == 0 ? size_ == 0 : over_[c] == 0;
}

std::optional<Refusal> first_refusal(const SelectionIndex& index, const MemberCounters& counters,
                                     std::span<const ScoredRecord* const> members, size_t pos) {
  const auto& constraints = index.problem().constraints;
  for (size_t c = 0; c < constraints.size(); ++c) {
    if (index.kind(c) == Kind::Opaque) {
      if (!constraints[c]->accepts(members, index.ranked()[pos])) return Refusal{c, false};
    } else if (counters.refuses(c, pos)) {
      return Refusal{c, true};
    }
  }
  return std::nullopt;
}

bool counted_feasible(const SelectionIndex& index, const MemberCounters& counters,
                      std::span<const size_t> members) {
  const SelectionProblem& problem = index.problem();
  if (problem.k.has_value() && counters.size() > *problem.k) return false;
  if (index.tokens() && index.has_cost() && counters.size() > 0 &&
      counters.cost_sum() > problem.token_limit) {
    return false;
  }
  for (size_t c = 0; c < index.constraint_count(); ++c) {
    if (index.kind(c) != Kind::Opaque && !counters.holds(c)) return false;
  }
  if (!index.has_opaque()) return true;

  std::vector<const ScoredRecord*> others;
  others.reserve(members.size());
  for (size_t i = 0; i < members.size(); ++i) {
    others.clear();
    for (size_t j = 0; j < members.size(); ++j) {
      if (j != i) others.push_back(&index.ranked()[members[j]]);
    }
    const ScoredRecord& member = index.ranked()[members[i]];
    for (size_t c = 0; c < index.constraint_count(); ++c) {
      if (index.kind(c) == Kind::Opaque &&
          !index.problem().constraints[c]->accepts(others, member)) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace korvane
