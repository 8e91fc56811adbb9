// The two-stage run: stream the source through the bounded stage-1 pool, then score the
// pool's expensive axes, fuse, threshold, rank, fix the budget and select.
#pragma once

#include "engine/candidate_source.h"
#include "engine/engine.h"
#include "engine/outcome.h"
#include "engine/result.h"

namespace korvane {

// Validates first; nothing is pulled from the source when validation fails. On any error
// every record of the run is released and only the error is returned.
Result<RunOutcome> run(const Engine& engine, CandidateSource& source);

}  // namespace korvane
