// Selection: choosing the members from the ranked list under the budget, the set
// constraints, the requirements and the objective.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/candidate.h"
#include "engine/records.h"
#include "engine/result.h"
#include "select/objective.h"
#include "select/requirement.h"
#include "select/set_constraint.h"

namespace korvane {

// A candidate's cost in tokens.
using CostFunction = std::function<uint32_t(const Candidate&)>;

enum class SelectionMode : uint8_t { Count, Tokens };

// Views into the engine configuration, valid for the duration of one select() call.
struct SelectionProblem {
  std::optional<uint64_t> k;  // count bound; absent in tokens mode
  SelectionMode mode = SelectionMode::Count;
  uint32_t token_limit = 0;  // tokens mode only
  std::span<const std::unique_ptr<SetConstraint>> constraints;
  std::span<const Requirement> requirements;
  const Objective* objective = nullptr;
  const CostFunction* cost = nullptr;  // none when null or empty
};

struct SelectionResult {
  // Positions in the ranked list, in pick order; ranks are assigned in exactly this order.
  std::vector<size_t> selected;
  // One entry per position: index into SelectionProblem::constraints of the first
  // constraint refusing that record given the final selection; absent for members and for
  // records no constraint refuses.
  std::vector<std::optional<size_t>> blocked_by;
  // The raw cut margin; may be NaN or infinite.
  std::optional<float> raw_cut_margin;
  bool pool_exhausted = false;
  bool exchanged = false;    // requirement repair added or swapped a member
  bool single_item = false;  // tokens mode: the best single item won
};

// Runs the greedy of the problem's mode, then requirement repair, blocking attribution and
// the cut margin. Fails only with errors::RequirementExchangeFailed.
Result<SelectionResult> select(const SelectionProblem& problem,
                               std::span<const ScoredRecord> ranked);

// Whether the set of positions is feasible: within k, within the token limit (tokens mode
// with a cost function, non-empty set), and every member accepted by every constraint given
// the other members.
bool is_feasible(const SelectionProblem& problem, std::span<const ScoredRecord> ranked,
                 std::span<const size_t> positions);

// The `exact` and `guarantee` selection properties for a finished selection.
struct SelectionGuarantee {
  bool exact = false;
  std::optional<float> guarantee;
};
SelectionGuarantee selection_guarantee(const SelectionProblem& problem,
                                       const SelectionResult& result);

}  // namespace korvane
