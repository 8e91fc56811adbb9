// The records a run moves through stage 2: a pool member with its axis values, and the
// same after fusion.
#pragma once

#include <optional>
#include <vector>

#include "engine/candidate.h"
#include "engine/evidence.h"

namespace korvane {

// One optional value per registered axis, registration order: what the axis's scorer
// returned (NaN stored as absent). Imputation never writes here.
using AxisValues = std::vector<std::optional<float>>;

struct PoolRecord {
  Candidate candidate;
  AxisValues axis_values;

  const CandidateId& id() const { return candidate.id; }
};

struct ScoredRecord {
  PoolRecord record;
  // Its evidence is built only for the records that end selected, straight into the outcome.
  float fused = 0.0f;
  size_t survivor = 0;  // position among the stage-2 survivors, where its rrf ranks are kept

  const CandidateId& id() const { return record.candidate.id; }
  const Candidate& candidate() const { return record.candidate; }
};

}  // namespace korvane
