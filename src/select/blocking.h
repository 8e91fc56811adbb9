// Blocking attribution: for every record left out, the first constraint in registration
// order that refuses it given the final members.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "select/selection_index.h"

namespace korvane {

// One entry per ranked position; absent for members and for records no constraint refuses.
std::vector<std::optional<size_t>> blocking_constraints(const SelectionIndex& index,
                                                        std::span<const size_t> members);

}  // namespace korvane
