// MemberGain: the objective's marginal gain for a candidate joining a growing member list.
// For the coverage objective the covered items are kept as counts per interned item, so a
// gain costs the candidate's own cover length; any other objective is asked through its
// own gain() with the member list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/records.h"
#include "select/selection_index.h"

namespace korvane {

class MemberGain {
 public:
  explicit MemberGain(const SelectionIndex& index);

  void add(size_t pos);

  // The objective's gain for `pos` on top of `members` (pick order; the positions added so
  // far). Precondition: an objective is present.
  float gain(std::span<const ScoredRecord* const> members, size_t pos) const;

  // The pick value: fused score alone without an objective, else fused score + gain.
  float value(std::span<const ScoredRecord* const> members, size_t pos) const {
    const float fused = index_.ranked()[pos].fused;
    return index_.problem().objective == nullptr ? fused : fused + gain(members, pos);
  }

 private:
  const SelectionIndex& index_;
  std::vector<uint32_t> covered_;  // members listing each item
};

}  // namespace korvane
