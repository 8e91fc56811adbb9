// The raw cut margin: the value of the last member minus the best value among the records
// left out that could have taken its place given the members before it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "select/selection_index.h"

namespace korvane {

// Absent for an empty selection and when no record could have taken the last place. In
// tokens mode values are per token (+inf for cost 0 or without a cost function), and a
// challenger must fit into the limit left by the members before the last.
std::optional<float> raw_cut_margin(const SelectionIndex& index, std::span<const size_t> members);

}  // namespace korvane
