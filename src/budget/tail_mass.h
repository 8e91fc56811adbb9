// The tail-mass budget: fit a truncated Zipf law to the ranked scores and derive K as the
// smallest count whose tail mass is at most epsilon. Z(s, m) = sum of i^-s for i = 1..m,
// summed in double precision in ascending i.
#pragma once

#include <cstdint>
#include <span>

#include "budget/budget_evidence.h"

namespace korvane {

// Z(s, m); Z(s, 0) = 0. Past kLiteralZipfTerms terms the rest is added in closed form
// (budget/zipf_tail.h), so any m returns promptly.
double zipf_partial_sum(double s, uint64_t m);

// The mass beyond the top k of v ranks under a Zipf law with exponent s (taken at single
// precision): 0 when k >= v or Z(s, v) <= 0, else 1 - Z(s, k) / Z(s, v) rounded to float.
float tail_mass(float s, uint64_t k, uint64_t v);

// `scores` are the fused scores in ranking order (rank i at index i - 1). Never fails: an
// unsuitable input falls back to fallback_k with its reason.
BudgetEvidence derive_tail_mass_k(std::span<const double> scores, float epsilon,
                                  uint32_t fallback_k, float min_fit);

}  // namespace korvane
