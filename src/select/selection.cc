#include "select/selection.h"

#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

#include "select/blocking.h"
#include "select/cut_margin.h"
#include "select/greedy.h"
#include "select/group_value.h"
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
  if (problem.k.has_value() && positions.size() > *problem.k) return false;
  if (problem.mode == SelectionMode::Tokens && problem.cost != nullptr && *problem.cost &&
      !positions.empty()) {
    uint64_t used = 0;
    for (size_t pos : positions) used += (*problem.cost)(ranked[pos].candidate());
    if (used > problem.token_limit) return false;
  }

  // Known kinds by counting over the set: each member must see fewer than max others of its
  // group (max 0 refuses every member), and fewer than max other members in all.
  bool opaque = false;
  for (const auto& constraint : problem.constraints) {
    if (const auto* per_group = dynamic_cast<const MaxPerGroup*>(constraint.get())) {
      if (positions.empty()) continue;
      if (per_group->max() == 0) return false;
      std::unordered_map<std::string_view, uint64_t> members_per_value;
      for (size_t pos : positions) {
        const std::string* value = group_value(ranked[pos].candidate(), per_group->key());
        if (value != nullptr && ++members_per_value[*value] > per_group->max()) return false;
      }
    } else if (const auto* total = dynamic_cast<const MaxTotal*>(constraint.get())) {
      if (positions.size() > total->max()) return false;
    } else {
      opaque = true;
    }
  }
  if (!opaque) return true;

  std::vector<const ScoredRecord*> others;
  for (size_t i = 0; i < positions.size(); ++i) {
    others.clear();
    for (size_t j = 0; j < positions.size(); ++j) {
      if (j != i) others.push_back(&ranked[positions[j]]);
    }
    for (const auto& constraint : problem.constraints) {
      if (dynamic_cast<const MaxPerGroup*>(constraint.get()) != nullptr ||
          dynamic_cast<const MaxTotal*>(constraint.get()) != nullptr) {
        continue;
      }
      if (!constraint->accepts(others, ranked[positions[i]])) return false;
    }
  }
  return true;
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
