#include "select/member_gain.h"

namespace korvane {

MemberGain::MemberGain(const SelectionIndex& index) : index_(index) {
  if (index.fast_coverage()) covered_.assign(index.item_count(), 0);
}

void MemberGain::add(size_t pos) {
  if (!index_.fast_coverage()) return;
  for (uint32_t item : index_.items(pos)) ++covered_[item];
}

float MemberGain::gain(std::span<const ScoredRecord* const> members, size_t pos) const {
  if (!index_.fast_coverage())
    return index_.problem().objective->gain(members, index_.ranked()[pos]);
  // The distinct items in list order add the same weights in the same order as a walk of
  // the raw list that skips covered and already seen items.
  float sum = 0.0f;
  for (uint32_t item : index_.items(pos)) {
    if (covered_[item] == 0) sum += index_.weight(item);
  }
  return sum;
}

}  // namespace korvane
