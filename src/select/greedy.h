// The greedy passes: count mode, one token-budget pass, and the best single item. Each pick
// takes the best accepted record of a scan in ranking order; a record replaces the current
// best unless the best's key is greater than or equal to its own, so equal keys keep the
// earlier position and a NaN on either side replaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "select/selection_index.h"

namespace korvane {

// Members in pick order, at most min(requested, n) of them.
std::vector<size_t> count_greedy(const SelectionIndex& index, uint64_t requested);

struct TokenPass {
  std::vector<size_t> members;  // pick order
  float total = 0.0f;           // summed values (not keys), in pick order
  bool took_whole_list = false;
};

// Picks while a record fits into `limit`, keyed by value per token (+inf for cost 0) when
// `by_ratio`, else by value.
TokenPass token_greedy(const SelectionIndex& index, uint32_t limit, bool by_ratio);

struct SingleItem {
  size_t position;
  float value;
};

// The best record costing at most `limit` that every constraint accepts on its own.
std::optional<SingleItem> best_single_item(const SelectionIndex& index, uint32_t limit);

}  // namespace korvane
