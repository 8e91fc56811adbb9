// The records a run moves through stage 2: a pool member with its axis values, and the
// same after fusion.
#pragma once

#include <optional>
#include <vector>

#include "engine/candidate.h"
#include "engine/evidence.h"

namespace korvane {

struct PoolRecord {
  Candidate candidate;
  // What each axis's scorer returned (NaN stored as absent). Imputation never writes here.
  AxisValues axis_values;

  const CandidateId& id() const { return candidate.id; }
};

// A stage-2 survivor in its rank. The record stays where the run's survivors hold it, which
// outlive the ranking, so ranking moves a pointer rather than the record.
struct ScoredRecord {
  PoolRecord* record = nullptr;
  // Its evidence is built only for the records that end selected, straight into the outcome.
  float fused = 0.0f;
  size_t survivor = 0;  // position among the stage-2 survivors, where its rrf ranks are kept

  const CandidateId& id() const { return record->candidate.id; }
  const Candidate& candidate() const { return record->candidate; }
};

}  // namespace korvane
