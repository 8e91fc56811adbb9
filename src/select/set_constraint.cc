#include "select/set_constraint.h"

#include "select/group_value.h"

namespace korvane {

bool MaxPerGroup::accepts(std::span<const ScoredRecord* const> selected,
                          const ScoredRecord& candidate) const {
  if (max_ == 0) return false;
  const std::string* value = group_value(candidate.candidate(), key_);
  if (value == nullptr || selected.empty()) return true;
  uint64_t same = 0;
  for (const ScoredRecord* member : selected) {
    const std::string* other = group_value(member->candidate(), key_);
    if (other != nullptr && *other == *value && ++same >= max_) return false;
  }
  return true;
}

bool MaxTotal::accepts(std::span<const ScoredRecord* const> selected,
                       const ScoredRecord& /*candidate*/) const {
  return selected.size() < max_;
}

}  // namespace korvane
