// RunOutcome: the native record of a finished run. Every input candidate is accounted for
// exactly once: as a RankedEntry or in one of the six drop counters.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "budget/budget_evidence.h"
#include "engine/candidate.h"
#include "engine/evidence.h"
#include "engine/kinds.h"

namespace korvane {

__extension__ typedef unsigned __int128 uint128;

struct RejectReason {
  RejectKind kind = RejectKind::Outranked;
  // The axis (not_scored), unary constraint id or set constraint id; empty otherwise.
  std::string name;

  bool carries_name() const { return kind <= RejectKind::SetConstraint; }
};

struct RejectedEntry {
  RejectReason reason;
  Candidate candidate;
  std::optional<float> fused;  // present when the candidate got as far as fusion
};

// Exact drop counts, indexed by RejectKind, in counter order.
struct RejectCounts {
  std::array<uint64_t, kRejectKindCount> counts{};

  uint64_t& operator[](RejectKind kind) { return counts[static_cast<size_t>(kind)]; }
  uint64_t operator[](RejectKind kind) const { return counts[static_cast<size_t>(kind)]; }
  uint64_t total() const {
    uint64_t sum = 0;
    for (uint64_t c : counts) sum += c;
    return sum;
  }
};

struct ScoreCell {
  std::string scorer;
  std::optional<float> value;  // the axis value after its normalizer; never imputed
};

struct RankedEntry {
  Candidate candidate;
  std::vector<ScoreCell> scores;  // one per registered axis
  FusionEvidence fusion;
  std::vector<std::string> constraints;  // every set constraint id, registration order
  uint32_t rank = 0;                     // 1-based
  float fused = 0.0f;
};

struct SelectionProperties {
  bool exact = false;
  std::optional<float> guarantee;
  uint32_t pool_size = 0;
  bool pool_exhausted = false;
  std::optional<float> cut_margin;  // present only when finite
};

struct ScorerTrace {
  std::string scorer;
  uint64_t calls = 0;
  uint64_t missing = 0;
  uint128 elapsed_nanos = 0;
};

struct RunTrace {
  uint64_t input_count = 0;
  uint32_t pool_capacity = 0;  // low 32 bits of M
  std::optional<std::string> admission_scorer;
  std::vector<ScorerTrace> scorers;      // one per registered axis
  std::optional<BudgetEvidence> budget;  // tail-mass budget only
};

struct RunOutcome {
  std::vector<RankedEntry> ranked;  // entry i has rank i + 1
  std::vector<RejectedEntry> rejected;
  RejectCounts rejected_counts;
  SelectionProperties selection;
  RunTrace trace;

  // Completeness: ranked entries plus all drop counts equal the input count.
  bool is_complete() const {
    return ranked.size() + rejected_counts.total() == trace.input_count;
  }
};

}  // namespace korvane
