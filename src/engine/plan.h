// Plan: what every run of one validated configuration derives from it, worked out once: the
// stage-1 pool capacity, the admission axis, the cheap and expensive axes (the cheap ones
// as stage 1 reads them), the fusion weights. Immutable after construction, so runs may
// share it, on any thread. Keeps a reference to the engine, which must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/fusion.h"
#include "engine/outcome.h"

namespace korvane {

// A cheap axis as stage 1 evaluates it: a field axis reads the carried value straight from
// the block; any other scorer is asked with the whole candidate.
struct CheapAxis {
  size_t axis;
  const FieldScorer* field;  // null for any other scorer
  Scorer* scorer;
};

class Plan {
 public:
  // Precondition: validate(engine) succeeded.
  explicit Plan(const Engine& engine);

  Plan(const Plan&) = delete;
  Plan& operator=(const Plan&) = delete;

  const Engine& engine() const { return engine_; }
  const Fuser& fuser() const { return fuser_; }

  // M: the planned pool size K0 times the multiplier, in 64 bits, at least 1.
  uint64_t capacity() const { return capacity_; }
  // The single axis whose value ranks stage 1; none when the cheap axes are fused.
  std::optional<size_t> admission() const { return admission_; }
  // Axis positions by cost class, registration order.
  std::span<const size_t> cheap_axes() const { return cheap_axes_; }
  std::span<const size_t> expensive_axes() const { return expensive_axes_; }
  // The cheap axes as stage 1 evaluates them, registration order.
  std::span<const CheapAxis> stage_one_axes() const { return stage_one_axes_; }
  // Whether some cheap axis is asked with each row as a whole candidate.
  bool whole_rows() const { return whole_rows_; }
  // Per axis: 1 for a cheap axis that stores the value carried at its own position as it
  // is (NaN as absent).
  std::span<const uint8_t> carried_as_stored() const { return carried_as_stored_; }
  // Whether every cheap axis stores its carried value as it is.
  bool plain_stage_one() const { return plain_stage_one_; }
  // The ids of the set constraints, registration order.
  const std::vector<std::string>& constraint_ids() const { return labels_->constraints; }
  // The axis names and constraint ids, shared with the outcomes of every run of this plan.
  const std::shared_ptr<const RunLabels>& labels() const { return labels_; }

 private:
  const Engine& engine_;
  Fuser fuser_;
  uint64_t capacity_;
  std::optional<size_t> admission_;
  std::vector<size_t> cheap_axes_;
  std::vector<size_t> expensive_axes_;
  std::vector<CheapAxis> stage_one_axes_;
  bool whole_rows_ = false;
  std::vector<uint8_t> carried_as_stored_;
  bool plain_stage_one_ = false;
  std::shared_ptr<const RunLabels> labels_;
};

}  // namespace korvane
