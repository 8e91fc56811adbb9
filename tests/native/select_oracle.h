// A literal selection: every pick rebuilds the selected list, asks every constraint through
// accepts() and the objective through gain(), and every test rescans everything. Slow on
// purpose; the optimised select() must agree with it on every field.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "engine/entry_order.h"
#include "engine/records.h"
#include "select/selection.h"

namespace korvane::oracle {

using Records = std::vector<const ScoredRecord*>;

inline Records records_at(std::span<const ScoredRecord> ranked, std::span<const size_t> positions) {
  Records records;
  for (size_t pos : positions) records.push_back(&ranked[pos]);
  return records;
}

inline bool has_cost_function(const SelectionProblem& problem) {
  return problem.cost != nullptr && static_cast<bool>(*problem.cost);
}

inline uint32_t cost_of(const SelectionProblem& problem, const ScoredRecord& record) {
  return has_cost_function(problem) ? (*problem.cost)(record.candidate()) : 0;
}

inline bool all_accept(const SelectionProblem& problem, const Records& selected,
                       const ScoredRecord& record) {
  for (const auto& constraint : problem.constraints) {
    if (!constraint->accepts(selected, record)) return false;
  }
  return true;
}

inline float value_of(const SelectionProblem& problem, const Records& selected,
                      const ScoredRecord& record) {
  if (problem.objective == nullptr) return record.fused;
  return record.fused + problem.objective->gain(selected, record);
}

inline float per_token(float value, uint32_t cost) {
  return cost == 0 ? std::numeric_limits<float>::infinity() : value / static_cast<float>(cost);
}

// The replacement rule of every greedy scan.
inline bool replaces(const std::optional<size_t>& best, float best_key, float key) {
  return !best.has_value() || !(best_key >= key);
}

inline bool is_feasible(const SelectionProblem& problem, std::span<const ScoredRecord> ranked,
                        std::span<const size_t> positions) {
  if (problem.k.has_value() && positions.size() > *problem.k) return false;
  if (problem.mode == SelectionMode::Tokens && has_cost_function(problem) && !positions.empty()) {
    uint64_t sum = 0;
    for (size_t pos : positions) sum += cost_of(problem, ranked[pos]);
    if (sum > problem.token_limit) return false;
  }
  for (size_t i = 0; i < positions.size(); ++i) {
    std::vector<size_t> others;
    for (size_t j = 0; j < positions.size(); ++j) {
      if (j != i) others.push_back(positions[j]);
    }
    const Records other_records = records_at(ranked, others);
    for (const auto& constraint : problem.constraints) {
      if (!constraint->accepts(other_records, ranked[positions[i]])) return false;
    }
  }
  return true;
}

struct TokenPass {
  std::vector<size_t> members;
  float total = 0.0f;
  bool took_whole_list = false;
};

inline TokenPass token_greedy(const SelectionProblem& problem, std::span<const ScoredRecord> ranked,
                              uint32_t limit, bool by_ratio) {
  TokenPass pass;
  std::vector<char> chosen(ranked.size(), 0);
  uint64_t used = 0;
  for (;;) {
    const Records selected = records_at(ranked, pass.members);
    std::optional<size_t> best;
    float best_key = 0.0f, best_value = 0.0f;
    for (size_t pos = 0; pos < ranked.size(); ++pos) {
      if (chosen[pos]) continue;
      const uint32_t cost = cost_of(problem, ranked[pos]);
      if (!(used + cost <= limit)) continue;
      if (!all_accept(problem, selected, ranked[pos])) continue;
      const float value = value_of(problem, selected, ranked[pos]);
      const float key = by_ratio ? per_token(value, cost) : value;
      if (replaces(best, best_key, key)) {
        best = pos;
        best_key = key;
        best_value = value;
      }
    }
    if (!best.has_value()) break;
    chosen[*best] = 1;
    pass.members.push_back(*best);
    used += cost_of(problem, ranked[*best]);
    pass.total += best_value;
  }
  pass.took_whole_list = pass.members.size() == ranked.size();
  return pass;
}

inline uint64_t matching(const Requirement& requirement, std::span<const ScoredRecord> ranked,
                         std::span<const size_t> positions) {
  uint64_t count = 0;
  for (size_t pos : positions) count += requirement.matches(ranked[pos].candidate());
  return count;
}

inline EngineError exchange_failed(const Requirement& requirement,
                                   std::span<const ScoredRecord> ranked) {
  uint64_t available = 0;
  for (const ScoredRecord& record : ranked) available += requirement.matches(record.candidate());
  return errors::RequirementExchangeFailed{requirement.id, requirement.n, available};
}

// Requirement repair; returns the error of the requirement that cannot be met.
inline std::optional<EngineError> repair(const SelectionProblem& problem,
                                         std::span<const ScoredRecord> ranked,
                                         std::vector<size_t>& members, bool& exchanged) {
  auto earlier_hold = [&](size_t i, const std::vector<size_t>& tentative) {
    for (size_t j = 0; j < i; ++j) {
      const Requirement& earlier = problem.requirements[j];
      if (matching(earlier, ranked, tentative) < earlier.n) return false;
    }
    return true;
  };
  auto ranks_before = [&](size_t a, size_t b) {
    return entry_better(ranked[a].fused, ranked[a].id(), ranked[b].fused, ranked[b].id());
  };
  for (size_t i = 0; i < problem.requirements.size(); ++i) {
    const Requirement& requirement = problem.requirements[i];
    while (matching(requirement, ranked, members) < requirement.n) {
      std::vector<size_t> incoming, outgoing;
      for (size_t pos = 0; pos < ranked.size(); ++pos) {
        const bool member = std::find(members.begin(), members.end(), pos) != members.end();
        if (!member && requirement.matches(ranked[pos].candidate())) incoming.push_back(pos);
      }
      for (size_t pos : members) {
        if (!requirement.matches(ranked[pos].candidate())) outgoing.push_back(pos);
      }
      std::stable_sort(incoming.begin(), incoming.end(), ranks_before);
      std::stable_sort(outgoing.begin(), outgoing.end(),
                       [&](size_t a, size_t b) { return ranks_before(b, a); });
      bool taken = false;
      for (size_t in : incoming) {
        if (problem.k.has_value() && members.size() < *problem.k) {
          std::vector<size_t> tentative = members;
          tentative.push_back(in);
          if (oracle::is_feasible(problem, ranked, tentative) && earlier_hold(i, tentative)) {
            members = tentative;
            taken = true;
            break;
          }
        }
        for (size_t out : outgoing) {
          std::vector<size_t> tentative;
          for (size_t pos : members) {
            if (pos != out) tentative.push_back(pos);
          }
          tentative.push_back(in);
          if (oracle::is_feasible(problem, ranked, tentative) && earlier_hold(i, tentative)) {
            members = tentative;
            taken = true;
            break;
          }
        }
        if (taken) break;
      }
      if (!taken) return exchange_failed(requirement, ranked);
      exchanged = true;
    }
  }
  for (const Requirement& requirement : problem.requirements) {
    if (matching(requirement, ranked, members) < requirement.n) {
      return exchange_failed(requirement, ranked);
    }
  }
  return std::nullopt;
}

inline std::optional<float> cut_margin(const SelectionProblem& problem,
                                       std::span<const ScoredRecord> ranked,
                                       const std::vector<size_t>& members) {
  if (members.empty()) return std::nullopt;
  const bool tokens = problem.mode == SelectionMode::Tokens;
  const size_t last = members.back();
  const std::vector<size_t> rest(members.begin(), members.end() - 1);
  const Records rest_records = records_at(ranked, rest);
  uint64_t rest_cost = 0;
  for (size_t pos : rest) rest_cost += cost_of(problem, ranked[pos]);
  const uint64_t remaining = problem.token_limit > rest_cost ? problem.token_limit - rest_cost : 0;
  auto value = [&](size_t pos) {
    const float v = value_of(problem, rest_records, ranked[pos]);
    if (!tokens) return v;
    return has_cost_function(problem) ? per_token(v, cost_of(problem, ranked[pos]))
                                      : std::numeric_limits<float>::infinity();
  };
  const float last_value = value(last);
  std::optional<float> best;
  for (size_t pos = 0; pos < ranked.size(); ++pos) {
    if (std::find(members.begin(), members.end(), pos) != members.end()) continue;
    if (tokens && has_cost_function(problem) && cost_of(problem, ranked[pos]) > remaining) continue;
    if (!all_accept(problem, rest_records, ranked[pos])) continue;
    const float v = value(pos);
    if (!best.has_value() || v > *best) best = v;
  }
  if (!best.has_value()) return std::nullopt;
  return last_value - *best;
}

inline Result<SelectionResult> select(const SelectionProblem& problem,
                                      std::span<const ScoredRecord> ranked) {
  const size_t n = ranked.size();
  SelectionResult result;
  if (problem.mode == SelectionMode::Count) {
    const uint64_t requested = problem.k.value_or(n);
    const uint64_t picks = std::min<uint64_t>(requested, n);
    std::vector<char> chosen(n, 0);
    while (result.selected.size() < picks) {
      const Records selected = records_at(ranked, result.selected);
      std::optional<size_t> best;
      float best_value = 0.0f;
      for (size_t pos = 0; pos < n; ++pos) {
        if (chosen[pos] || !all_accept(problem, selected, ranked[pos])) continue;
        const float value = value_of(problem, selected, ranked[pos]);
        if (replaces(best, best_value, value)) {
          best = pos;
          best_value = value;
        }
      }
      if (!best.has_value()) break;
      chosen[*best] = 1;
      result.selected.push_back(*best);
    }
    result.pool_exhausted = result.selected.size() < requested;
  } else {
    const uint32_t limit = problem.token_limit;
    TokenPass a = token_greedy(problem, ranked, limit, true);
    TokenPass b = token_greedy(problem, ranked, limit, false);
    TokenPass& taken = b.total > a.total ? b : a;
    std::optional<size_t> single;
    float single_value = 0.0f;
    for (size_t pos = 0; pos < n; ++pos) {
      if (cost_of(problem, ranked[pos]) > limit || !all_accept(problem, {}, ranked[pos])) continue;
      const float value = value_of(problem, {}, ranked[pos]);
      if (replaces(single, single_value, value)) {
        single = pos;
        single_value = value;
      }
    }
    if (single.has_value() && single_value > taken.total) {
      result.selected = {*single};
      result.single_item = true;
    } else {
      result.selected = taken.members;
    }
    result.pool_exhausted = a.took_whole_list;
  }

  if (auto error = repair(problem, ranked, result.selected, result.exchanged)) return *error;

  const Records final_records = records_at(ranked, result.selected);
  result.blocked_by.assign(n, std::nullopt);
  for (size_t pos = 0; pos < n; ++pos) {
    if (std::find(result.selected.begin(), result.selected.end(), pos) != result.selected.end()) {
      continue;
    }
    for (size_t c = 0; c < problem.constraints.size(); ++c) {
      if (!problem.constraints[c]->accepts(final_records, ranked[pos])) {
        result.blocked_by[pos] = c;
        break;
      }
    }
  }
  if (result.single_item) {
    result.raw_cut_margin = std::numeric_limits<float>::quiet_NaN();
  } else {
    result.raw_cut_margin = cut_margin(problem, ranked, result.selected);
  }
  return result;
}

}  // namespace korvane::oracle
