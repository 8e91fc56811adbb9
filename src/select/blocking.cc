#include "select/blocking.h"

#include "select/member_counters.h"

namespace korvane {

std::vector<std::optional<size_t>> blocking_constraints(const SelectionIndex& index,
                                                        std::span<const size_t> members) {
  std::vector<std::optional<size_t>> blocked(index.size());
  if (index.constraint_count() == 0 || index.size() == 0) return blocked;
  MemberCounters counters(index);
  std::vector<char> is_member(index.size(), 0);
  std::vector<const ScoredRecord*> records;
  records.reserve(members.size());
  for (size_t pos : members) {
    counters.add(pos);
    is_member[pos] = 1;
    records.push_back(&index.ranked()[pos]);
  }
  for (size_t pos = 0; pos < index.size(); ++pos) {
    if (is_member[pos]) continue;
    if (auto refusal = first_refusal(index, counters, records, pos)) {
      blocked[pos] = refusal->constraint;
    }
  }
  return blocked;
}

}  // namespace korvane
