// Fusion: one stage-2 survivor's axis values become one fused score with one evidence term
// per registered axis (weighted_sum, rrf or max). Also the fused cheap score that ranks
// stage 1 under weighted_sum and max when no single admission axis applies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/engine.h"
#include "engine/evidence.h"
#include "engine/records.h"

namespace korvane {

// Per-axis ranks for rrf: ranks[axis][survivor], 1-based; 0 for a survivor without a value
// on the axis.
using AxisRanks = std::vector<std::vector<uint32_t>>;

// Orders a source proposed for some axes (CandidateSource::proposed_order), and what maps
// them onto the survivors: survivor s came at input position arrival[s].
struct ProposedOrders {
  std::span<const uint64_t> arrival;
  std::span<const std::vector<uint32_t>> by_axis;  // an empty order: none for that axis
  uint64_t input_count = 0;
  // Per axis (or empty): 1 where the order is known to be the entry order of the
  // survivors' values, every survivor with a value listed (Shortlist::proposals_checked).
  std::span<const uint8_t> checked;
};

// The fusion settings of one run, resolved once. Keeps a reference to the engine.
class Fuser {
 public:
  explicit Fuser(const Engine& engine);

  FusionMethod method() const { return method_; }

  // Raw weight of an axis under weighted_sum: 1.0 for an empty weights list, else the first
  // entry naming the axis, else 0.0.
  float raw_weight(size_t axis) const { return raw_weights_[axis]; }

  // The value an axis contributes for a survivor: the stored value, or the impute value
  // under the impute policy; absent otherwise.
  std::optional<float> value_of(const std::optional<float>& stored) const;

  // Over every axis (cheap and expensive): participants sorted by the entry order on
  // (value, id), stable; position p gets rank p + 1. An axis with a proposed order that is
  // exactly that order is ranked from it, without a sort.
  AxisRanks rrf_ranks(std::span<const PoolRecord> survivors,
                      const ProposedOrders* proposed = nullptr) const;

  // The evidence of survivor `position`; `ranks` is read only under rrf.
  FusionEvidence fuse(const AxisValues& values, size_t position, const AxisRanks& ranks) const;
  // fused_score(fuse(values, position, ranks)), to the bit, without building the evidence.
  float fused(const AxisValues& values, size_t position, const AxisRanks& ranks) const {
    if (method_ != FusionMethod::Rrf) return fused_from_terms(values, position, ranks);
    // rrf's terms alone: 1 / (rank + k) for each ranked axis, summed in axis order.
    float sum = -0.0f;
    for (const std::vector<uint32_t>& axis_ranks : ranks) {
      const uint32_t rank = axis_ranks[position];
      if (rank != 0) sum += 1.0f / (static_cast<float>(rank) + rrf_k_);
    }
    return sum;
  }
  // rrf's terms by rank, for ranks 0 to max_rank: 1 / (rank + k), and -0.0 for rank 0 (not
  // ranked), which leaves any sum as it was. Kept on the thread from one run to the next
  // while small; empty when max_rank is too large to keep, and then fused() computes them.
  std::span<const float> rrf_terms(size_t max_rank) const;
  // fused() under rrf with the terms of rrf_terms(), which cover every rank in `ranks`.
  static float rrf_fused(size_t position, const AxisRanks& ranks, std::span<const float> terms) {
    float sum = -0.0f;
    for (const std::vector<uint32_t>& axis_ranks : ranks) sum += terms[axis_ranks[position]];
    return sum;
  }

  // Stage-1 admission score fused from the cheap axes (weighted_sum and max only):
  // max takes the largest participating value, weighted_sum sum(w * v) / sum(w) (0.0 when
  // sum(w) is not above 0); -inf when no cheap axis participates.
  float cheap_admission_score(std::span<const std::optional<float>> values) const;

 private:
  // Writes the ranks on `axis` from a proposed order (input positions; survivor_at maps a
  // position to its survivor + 1) when it lists all `participants` in the entry order;
  // false, with `ranks` all 0, when it does not.
  // Ranks the participants on `axis` by sorting them.
  void rank_by_sorting(std::span<const PoolRecord> survivors, size_t axis,
                       std::vector<uint32_t>& ranks) const;
  // `ids` and `values` are the survivors' integer ids and their stored values on `axis`.
  bool ranks_as_proposed(std::span<const uint64_t> ids,
                         std::span<const std::optional<float>> values, size_t participants,
                         std::span<const uint32_t> order, std::span<const uint32_t> survivor_at,
                         std::vector<uint32_t>& ranks) const;

  // fused() by folding each_term's terms, for every method.
  float fused_from_terms(const AxisValues& values, size_t position, const AxisRanks& ranks) const;
  // Calls term(axis, input, weight, contribution) for each axis in registration order, an
  // empty input for a skipped term: the one place the fusion arithmetic is written.
  template <class Term>
  void each_term(const AxisValues& values, size_t position, const AxisRanks& ranks,
                 Term&& term) const;

  const Engine& engine_;
  FusionMethod method_;
  float rrf_k_ = 0.0f;
  std::vector<float> raw_weights_;
  std::vector<size_t> cheap_axes_;
};

// max: the largest contribution of the terms not skipped, 0.0 when all are skipped.
// weighted_sum and rrf: the contributions not skipped summed in order from -0.0.
float fused_score(const FusionEvidence& evidence);

}  // namespace korvane
