// The two-stage run: stream the source through the bounded stage-1 pool, then score the
// pool's expensive axes, fuse, threshold, rank, fix the budget and select.
#pragma once

#include <span>

#include "engine/candidate_source.h"
#include "engine/engine.h"
#include "engine/outcome.h"
#include "engine/plan.h"
#include "engine/result.h"
#include "engine/scorer.h"
#include "engine/shortlist.h"

namespace korvane {

// Runs a validated configuration. `scorers`, when not empty, holds one entry per axis: a
// non-null entry stands in for the engine's scorer of that axis in this run only (a scorer
// that keeps per-run state). On any error every record of the run is released and only the
// error is returned.
Result<RunOutcome> run(const Plan& plan, CandidateSource& source,
                       std::span<Scorer* const> scorers = {});

// Stage 2 of a run whose stage 1 left `shortlist`; `scorers` as for run.
Result<RunOutcome> run_shortlist(const Plan& plan, Shortlist shortlist,
                                 std::span<Scorer* const> scorers = {});

// Validates first; nothing is read from the source when validation fails.
Result<RunOutcome> run(const Engine& engine, CandidateSource& source);

}  // namespace korvane
