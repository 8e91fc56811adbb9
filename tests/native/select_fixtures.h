// Builders for selection tests: ranked lists from plain record descriptions, and a
// selection problem that owns what SelectionProblem only views.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/entry_order.h"
#include "engine/records.h"
#include "select/selection.h"

namespace korvane::testing {

struct RecordSpec {
  // An id is given as an integer, a text or a CandidateId.
  template <class Id>
  RecordSpec(Id id, float fused, std::vector<std::optional<std::string>> groups = {},
             std::vector<std::string> cover = {}, uint32_t cost = 0)
      : id(to_id(std::move(id))),
        fused(fused),
        groups(std::move(groups)),
        cover(std::move(cover)),
        cost(cost) {}

  template <class Id>
  static CandidateId to_id(Id id) {
    if constexpr (std::is_integral_v<Id>) {
      return CandidateId(static_cast<uint64_t>(id));
    } else if constexpr (std::is_same_v<Id, CandidateId>) {
      return id;
    } else {
      return CandidateId(std::string(id));
    }
  }

  CandidateId id;
  float fused;
  std::vector<std::optional<std::string>> groups;
  std::vector<std::string> cover;
  uint32_t cost;
};

// A scored record points at its pool record; the fixtures' records live as long as the test
// binary, at stable addresses.
inline PoolRecord& fixture_record() {
  static std::deque<PoolRecord> records;
  return records.emplace_back();
}

inline ScoredRecord make_record(RecordSpec spec) {
  ScoredRecord record;
  record.record = &fixture_record();
  record.record->candidate.id = std::move(spec.id);
  record.record->candidate.groups = std::move(spec.groups);
  record.record->candidate.cover = std::move(spec.cover);
  record.record->candidate.cost = spec.cost;
  record.fused = spec.fused;
  return record;
}

// The records in ranking order (stable sort by the entry order).
inline std::vector<ScoredRecord> make_ranked(std::vector<RecordSpec> specs) {
  std::stable_sort(specs.begin(), specs.end(), [](const RecordSpec& a, const RecordSpec& b) {
    return entry_better(a.fused, a.id, b.fused, b.id);
  });
  std::vector<ScoredRecord> ranked;
  ranked.reserve(specs.size());
  for (RecordSpec& spec : specs) ranked.push_back(make_record(std::move(spec)));
  return ranked;
}

struct OwnedProblem {
  std::optional<uint64_t> k;
  SelectionMode mode = SelectionMode::Count;
  uint32_t token_limit = 0;
  std::vector<std::unique_ptr<SetConstraint>> constraints;
  std::vector<Requirement> requirements;
  std::unique_ptr<Objective> objective;
  CostFunction cost;

  static OwnedProblem top_k(uint64_t k) {
    OwnedProblem problem;
    problem.k = k;
    return problem;
  }
  // Tokens mode with the cost read from the candidate, as the binding installs it.
  static OwnedProblem tokens(uint32_t limit) {
    OwnedProblem problem;
    problem.mode = SelectionMode::Tokens;
    problem.token_limit = limit;
    problem.cost = [](const Candidate& candidate) { return candidate.cost; };
    return problem;
  }

  OwnedProblem& per_group(std::string id, size_t key, uint64_t max) {
    constraints.push_back(std::make_unique<MaxPerGroup>(std::move(id), key, max));
    return *this;
  }
  OwnedProblem& total(uint64_t max, std::string id = "max_total") {
    constraints.push_back(std::make_unique<MaxTotal>(std::move(id), max));
    return *this;
  }
  OwnedProblem& require(std::string id, size_t key, std::string value, uint64_t n) {
    requirements.push_back(Requirement{std::move(id), key, std::move(value), n});
    return *this;
  }
  OwnedProblem& coverage() {
    objective = std::make_unique<CoverageObjective>();
    return *this;
  }

  SelectionProblem view() const {
    SelectionProblem problem;
    problem.k = k;
    problem.mode = mode;
    problem.token_limit = token_limit;
    problem.constraints = constraints;
    problem.requirements = requirements;
    problem.objective = objective.get();
    problem.cost = cost ? &cost : nullptr;
    return problem;
  }
};

// Ids of the selected records, in pick order.
inline std::vector<std::string> selected_ids(const std::vector<ScoredRecord>& ranked,
                                             const SelectionResult& result) {
  std::vector<std::string> ids;
  for (size_t pos : result.selected) ids.push_back(ranked[pos].id().display());
  return ids;
}

}  // namespace korvane::testing
