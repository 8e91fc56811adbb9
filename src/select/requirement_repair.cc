#include "select/requirement_repair.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "select/member_counters.h"

namespace korvane {

namespace {

EngineError exchange_failed(const SelectionIndex& index, size_t r) {
  const Requirement& requirement = index.problem().requirements[r];
  uint64_t available = 0;
  for (size_t pos = 0; pos < index.size(); ++pos) available += index.matches(r, pos);
  return errors::RequirementExchangeFailed{requirement.id, requirement.n, available};
}

class Repair {
 public:
  Repair(const SelectionIndex& index, std::vector<size_t>& members)
      : index_(index), members_(members), counters_(index), is_member_(index.size(), 0) {
    for (size_t pos : members_) {
      counters_.add(pos);
      is_member_[pos] = 1;
    }
  }

  uint64_t matching(size_t r) const { return counters_.matching(r); }

  // One accepted add or swap for requirement r; false when none is possible.
  bool step(size_t r) {
    std::vector<size_t> incoming;
    for (size_t pos = 0; pos < index_.size(); ++pos) {
      if (!is_member_[pos] && index_.matches(r, pos)) incoming.push_back(pos);
    }
    std::vector<size_t> outgoing;
    for (size_t pos : members_) {
      if (!index_.matches(r, pos)) outgoing.push_back(pos);
    }
    std::sort(outgoing.begin(), outgoing.end(), std::greater<>());

    const auto& k = index_.problem().k;
    for (size_t in : incoming) {
      if (k.has_value() && members_.size() < *k && taken(r, in, std::nullopt)) return true;
      for (size_t out : outgoing) {
        if (taken(r, in, out)) return true;
      }
    }
    return false;
  }

 private:
  // Tests the member list without `out` and with `in` appended; keeps it when it is
  // feasible and every requirement before r still holds.
  bool taken(size_t r, size_t in, std::optional<size_t> out) {
    counters_.add(in);
    if (out.has_value()) counters_.remove(*out);
    bool ok = true;
    for (size_t earlier = 0; earlier < r && ok; ++earlier) {
      ok = counters_.matching(earlier) >= index_.problem().requirements[earlier].n;
    }
    if (ok) {
      if (index_.has_opaque()) {
        tentative_.clear();
        for (size_t pos : members_) {
          if (!out.has_value() || pos != *out) tentative_.push_back(pos);
        }
        tentative_.push_back(in);
      }
      ok = counted_feasible(index_, counters_, tentative_);
    }
    if (!ok) {
      if (out.has_value()) counters_.add(*out);
      counters_.remove(in);
      return false;
    }
    if (out.has_value()) {
      members_.erase(std::find(members_.begin(), members_.end(), *out));
      is_member_[*out] = 0;
    }
    members_.push_back(in);
    is_member_[in] = 1;
    return true;
  }

  const SelectionIndex& index_;
  std::vector<size_t>& members_;
  MemberCounters counters_;
  std::vector<char> is_member_;
  std::vector<size_t> tentative_;  // built only for constraints answered by accepts()
};

}  // namespace

Status repair_requirements(const SelectionIndex& index, std::vector<size_t>& members,
                           bool& exchanged) {
  const auto requirements = index.problem().requirements;
  if (requirements.empty()) return Status::Ok();
  Repair repair(index, members);
  for (size_t r = 0; r < requirements.size(); ++r) {
    while (repair.matching(r) < requirements[r].n) {
      if (!repair.step(r)) return exchange_failed(index, r);
      exchanged = true;
    }
  }
  // Every step keeps the earlier requirements, so this recount is a safety net.
  for (size_t r = 0; r < requirements.size(); ++r) {
    if (repair.matching(r) < requirements[r].n) return exchange_failed(index, r);
  }
  return Status::Ok();
}

}  // namespace korvane
