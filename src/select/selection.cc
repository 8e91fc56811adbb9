#include "select/selection.h"

#include <limits>

#include "select/blocking.h"
#include "select/cut_margin.h"
#include "select/greedy.h"
#include "select/member_counters.h"
#include "select/requirement_repair.h"
#include "select/selection_index.h"

namespace korvane {

namespace {

// The token budget: pass A by value per token, pass B by value, then the best single item.
void select_by_tokens(const SelectionIndex& index, SelectionResult& result) {
  const uint32_t limit = index.problem().token_limit;
  TokenPass by_ratio = token_greedy(index, limit, true);
  TokenPass by_value = token_greedy(index, limit, false);
  result.pool_exhausted = by_ratio.took_whole_list;
  TokenPass& taken = by_value.total > by_ratio.total ? by_value : by_ratio;
  std::optional<SingleItem> single = best_single_item(index, limit);
  if (single.has_value() && single->value > taken.total) {
    result.selected = {single->position};
    result.single_item = true;
  } else {
    result.selected = std::move(taken.members);
  }
}

}  // namespace

Result<SelectionResult> select(const SelectionProblem& problem,
                               std::span<const ScoredRecord> ranked) {
  const SelectionIndex index(problem, ranked);
  SelectionResult result;

  if (index.tokens()) {
    select_by_tokens(index, result);
  } else {
    const uint64_t requested = problem.k.value_or(ranked.size());
    result.selected = count_greedy(index, requested);
    result.pool_exhausted = result.selected.size() < requested;
  }

  Status repaired = repair_requirements(index, result.selected, result.exchanged);
  if (!repaired.ok()) return repaired.error();

  result.blocked_by = blocking_constraints(index, result.selected);
  if (result.single_item) {
    result.raw_cut_margin = std::numeric_limits<float>::quiet_NaN();
  } else {
    result.raw_cut_margin = raw_cut_margin(index, result.selected);
  }
  return result;
}

bool is_feasible(const SelectionProblem& problem, std::span<const ScoredRecord> ranked,
                 std::span<const size_t> positions) {
  for (size_t pos : positions) {
    if (pos >= ranked.size()) return false;
  }
  const SelectionIndex index(problem, ranked);
  MemberCounters counters(index);
  for (size_t pos : positions) counters.add(pos);
  return counted_feasible(index, counters, positions);
}

SelectionGuarantee selection_guarantee(const SelectionProblem& problem,
                                       const SelectionResult& result) {
  if (result.exchanged) return {false, std::nullopt};
  const Objective* objective = problem.objective;
  if (objective != nullptr && !objective->is_submodular()) return {false, std::nullopt};
  const size_t constraints = problem.constraints.size();
  size_t matroids = 0;
  for (const auto& constraint : problem.constraints) matroids += constraint->is_matroid();
  if (matroids != constraints) return {false, std::nullopt};

  const bool count = problem.mode == SelectionMode::Count;
  if (objective == nullptr) {
    if (count) {
      if (constraints <= 1) return {true, std::nullopt};
      return {false, 1.0f / static_cast<float>(constraints)};
    }
    if (constraints == 0) return {false, 0.5f};
    return {false, std::nullopt};
  }
  if (count) {
    if (constraints == 0) return {false, 0.63212055f};
    if (constraints == 1) return {false, 0.5f};
    return {false, 1.0f / static_cast<float>(constraints + 1)};
  }
  if (constraints == 0) return {false, 0.31606027f};
  return {false, std::nullopt};
}

}  // namespace korvane
