#include "select/cut_margin.h"

#include <limits>
#include <vector>

#include "select/member_counters.h"
#include "select/member_gain.h"

namespace korvane {

std::optional<float> raw_cut_margin(const SelectionIndex& index, std::span<const size_t> members) {
  if (members.empty()) return std::nullopt;
  const size_t last = members.back();
  const std::span<const size_t> rest = members.first(members.size() - 1);

  MemberCounters counters(index);
  MemberGain gain(index);
  std::vector<const ScoredRecord*> records;
  std::vector<char> is_member(index.size(), 0);
  for (size_t pos : rest) {
    counters.add(pos);
    gain.add(pos);
    records.push_back(&index.ranked()[pos]);
  }
  for (size_t pos : members) is_member[pos] = 1;

  const bool tokens = index.tokens();
  const uint64_t limit = index.problem().token_limit;
  const uint64_t remaining = counters.cost_sum() < limit ? limit - counters.cost_sum() : 0;
  auto value_of = [&](size_t pos) {
    const float value = gain.value(records, pos);
    if (!tokens) return value;
    const uint32_t cost = index.cost(pos);
    return cost == 0 ? std::numeric_limits<float>::infinity() : value / static_cast<float>(cost);
  };

  const float last_value = value_of(last);
  std::optional<float> best;
  for (size_t pos = 0; pos < index.size(); ++pos) {
    if (is_member[pos]) continue;
    if (tokens && index.has_cost() && index.cost(pos) > remaining) continue;
    if (first_refusal(index, counters, records, pos).has_value()) continue;
    const float value = value_of(pos);
    // A NaN newcomer never displaces the running maximum.
    if (!best.has_value() || value > *best) best = value;
  }
  if (!best.has_value()) return std::nullopt;
  return last_value - *best;
}

}  // namespace korvane
