#include "select/objective.h"

#include <string>
#include <string_view>
#include <unordered_set>

namespace korvane {

float CoverageObjective::gain(std::span<const ScoredRecord* const> selected,
                              const ScoredRecord& candidate) const {
  std::unordered_set<std::string_view> covered;
  for (const ScoredRecord* member : selected) {
    for (const std::string& item : member->candidate().cover) covered.insert(item);
  }
  std::unordered_set<std::string_view> seen;
  float sum = 0.0f;
  for (const std::string& item : candidate.candidate().cover) {
    if (covered.contains(item) || !seen.insert(item).second) continue;
    sum += weight_ ? weight_(item) : 1.0f;
  }
  return sum;
}

}  // namespace korvane
