// Objective: a set function whose marginal gain selection adds to each candidate's fused
// score. CoverageObjective rewards items of a candidate's cover list not yet covered.
#pragma once

#include <functional>
#include <span>
#include <string_view>

#include "engine/records.h"

namespace korvane {

class Objective {
 public:
  virtual ~Objective() = default;

  // The marginal gain of `candidate` on top of `selected` (pick order).
  virtual float gain(std::span<const ScoredRecord* const> selected,
                     const ScoredRecord& candidate) const = 0;
  virtual bool is_submodular() const = 0;
};

class CoverageObjective final : public Objective {
 public:
  using ItemWeight = std::function<float(std::string_view item)>;

  // Without a weight function every item weighs 1.0.
  explicit CoverageObjective(ItemWeight weight = {}) : weight_(std::move(weight)) {}

  // Sum, in cover-list order, of the weights of distinct items of the candidate that no
  // selected member covers; 32-bit float sum from 0.
  float gain(std::span<const ScoredRecord* const> selected,
             const ScoredRecord& candidate) const override;
  bool is_submodular() const override { return true; }

  const ItemWeight& weight() const { return weight_; }

 private:
  ItemWeight weight_;
};

}  // namespace korvane
