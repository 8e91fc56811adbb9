// The entry order: the one ranking order used by the stage-1 pool, the per-axis ranks of
// reciprocal rank fusion and the final ranking. Higher score first, scores compared by the
// IEEE 754 total order (-NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN); equal scores by
// identifier (compare_ids). All sorts by this order are stable.
#pragma once

#include <bit>
#include <cstdint>

#include "engine/candidate_id.h"

namespace korvane {

// IEEE 754 totalOrder key: a < b in total order exactly when key(a) < key(b).
inline int32_t total_order_key(float x) {
  int32_t bits = std::bit_cast<int32_t>(x);
  return bits ^ static_cast<int32_t>(static_cast<uint32_t>(bits >> 31) >> 1);
}

// An unsigned key whose ascending order puts higher scores first by the total order, for
// sorts that pack the entry order into plain words (score in the high bits).
inline uint64_t descending_score_key(float x) {
  const uint32_t ascending = static_cast<uint32_t>(total_order_key(x)) ^ 0x80000000u;
  return static_cast<uint64_t>(~ascending);
}

// Negative, zero or positive as a is below, equal to or above b in the total order.
inline int total_order_compare(float a, float b) {
  int32_t ka = total_order_key(a), kb = total_order_key(b);
  return (ka > kb) - (ka < kb);
}

// Whether (score_a, id_a) comes strictly before (score_b, id_b) in the entry order.
inline bool entry_better(float score_a, const CandidateId& id_a, float score_b,
                         const CandidateId& id_b) {
  int by_score = total_order_compare(score_a, score_b);
  if (by_score != 0) return by_score > 0;
  return compare_ids(id_a, id_b) < 0;
}

}  // namespace korvane
