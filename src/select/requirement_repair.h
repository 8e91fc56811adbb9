// Requirement repair: after the greedy, bring every lower-bound requirement up to its count
// by adding or exchanging one member at a time, keeping the count bound, the token limit,
// every set constraint and every earlier requirement satisfied.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/result.h"
#include "select/selection_index.h"

namespace korvane {

// Rewrites `members` (pick order; a swap removes the outgoing member and appends the
// incoming one). Sets `exchanged` when any add or swap was taken. Fails with
// errors::RequirementExchangeFailed naming the first requirement that cannot be met.
Status repair_requirements(const SelectionIndex& index, std::vector<size_t>& members,
                           bool& exchanged);

}  // namespace korvane
