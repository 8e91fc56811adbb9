// RunOutcome: the native record of a finished run. Every input candidate is accounted for
// exactly once: as a RankedEntry or in one of the six drop counters.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "budget/budget_evidence.h"
#include "engine/candidate.h"
#include "engine/chunked_list.h"
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

// What a kept drop keeps of its candidate: no values, groups or cover, which no reader of a
// drop looks at, so that a run that keeps every drop holds little per drop.
struct DroppedCandidate {
  CandidateId id;
  ObjectHandle object;
};

struct RejectedEntry {
  RejectReason reason;
  DroppedCandidate candidate;
  std::optional<float> fused;  // present when the candidate got as far as fusion
};

// Kept drops in drop order. A run may keep millions, so they never move as the list grows.
using RejectedEntries = ChunkedList<RejectedEntry>;

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

// The names a run's entries refer to by position, made once per configuration and shared
// by every entry of every run, so an entry carries no copies of them.
struct RunLabels {
  std::vector<std::string> axes;         // registered axis names, registration order
  std::vector<std::string> constraints;  // set constraint ids, registration order
};

struct RankedEntry {
  Candidate candidate;  // its id, object, values and cost; groups and cover are not kept
  // One per registered axis (named by RunLabels::axes): the value after its normalizer,
  // never imputed.
  AxisValues scores;
  FusionEvidence fusion;
  uint32_t rank = 0;  // 1-based
  float fused = 0.0f;
  // The entry passed every set constraint of RunLabels::constraints.
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
  std::shared_ptr<const RunLabels> labels;
  RejectedEntries rejected;
  RejectCounts rejected_counts;
  SelectionProperties selection;
  RunTrace trace;

  // Completeness: ranked entries plus all drop counts equal the input count.
  bool is_complete() const { return ranked.size() + rejected_counts.total() == trace.input_count; }
};

}  // namespace korvane
