// Shortlist: what stage 1 of a run leaves for stage 2. The pool's members by value, best
// first, each with its admission score and its position in the input; the input count and
// the per-axis figures of the cheap axes; the exact counts of the stage-1 drops and the
// drops the retention policy keeps. Shortlists of consecutive parts of one stream merge into
// the shortlist of the whole stream.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/candidate_source.h"
#include "engine/outcome.h"
#include "engine/plan.h"
#include "engine/records.h"

namespace korvane {

struct Shortlist {
  // Best first by admission score, then id, then arrival (but see stage_one_for_run).
  std::vector<PoolRecord> members;
  std::vector<float> admission;   // per member
  std::vector<uint64_t> arrival;  // per member: its position in the input, from 0
  uint64_t input_count = 0;
  std::vector<ScorerTrace> axes;  // one per registered axis; elapsed in nanoseconds
  RejectCounts counts;
  RejectedEntries rejected;  // the retained drops, in drop order
  // The orders the source proposed, per axis (CandidateSource::proposed_order), for the
  // stage 2 of the same run; empty when there are none. Neither merged nor encoded.
  std::vector<std::vector<uint32_t>> proposed_orders;
  // Per axis with a proposal: 1 when it is known to be the entry order of the survivors'
  // stage-1 values there (CandidateSource::proposal_checked, on an axis that stores the
  // value carried as it is, under the skip policy), so that stage 2 need not check it.
  std::vector<uint8_t> proposals_checked;
  // Whether no member owns anything to let go (CandidateSource::completes_natively), for
  // the stage 2 of the same run.
  bool members_native = false;
};

// Stage 1 over the whole source: the filters, the cheap axes and the bounded pool.
Shortlist stage_one(const Plan& plan, CandidateSource& source);

// The same for a shortlist that goes straight on to stage 2 of the same run. When that run
// cannot show the pool's order (the source's ids are distinct, no axis is expensive and no
// further drop is kept), the members come in any order; stage 2 gives the same outcome.
Shortlist stage_one_for_run(const Plan& plan, CandidateSource& source);

// The shortlist of the parts' inputs one after another, in the order given: their counts
// and figures add up, their retained drops come first (as the retention policy still
// allows), then the pools compete as in one stream and every member that leaves the merged
// pool is dropped as out_of_pool. Equal to stage_one over the concatenated input, but for
// which drops a sample keeps and their order.
Shortlist merge(const Plan& plan, std::vector<Shortlist> parts);

}  // namespace korvane
