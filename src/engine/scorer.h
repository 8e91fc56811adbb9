// Scorer: the object behind one score axis. FieldScorer reads the value each candidate
// carries; the binding adds a kind backed by a Python callable.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/axis.h"
#include "engine/candidate.h"

namespace korvane {

class Scorer {
 public:
  virtual ~Scorer() = default;

  virtual const std::string& name() const = 0;
  // The effective scale (Unit when normalized).
  virtual Scale scale() const = 0;
  virtual CostClass cost() const = 0;
  // One candidate's value, or absent. A NaN result counts as absent for the run.
  virtual std::optional<float> score(const Candidate& candidate) = 0;
  // Values for the pool records in pool order, meant to hold one entry per record; the run
  // checks the length.
  virtual std::vector<std::optional<float>> score_batch(std::span<const Candidate* const> pool) = 0;
};

class FieldScorer final : public Scorer {
 public:
  // `position` is the axis's registration index, the slot it reads in Candidate::values.
  FieldScorer(std::string name, size_t position, std::optional<Normalizer> normalizer,
              Scale declared, CostClass cost);

  const std::string& name() const override { return name_; }
  Scale scale() const override { return effective_scale(declared_, normalizer_); }
  CostClass cost() const override { return cost_; }
  std::optional<float> score(const Candidate& candidate) override;
  std::vector<std::optional<float>> score_batch(std::span<const Candidate* const> pool) override;

  // What score() reads and how it maps it, for a caller that evaluates many values at once.
  size_t position() const { return position_; }
  const std::optional<Normalizer>& normalizer() const { return normalizer_; }

 private:
  std::string name_;
  size_t position_;
  std::optional<Normalizer> normalizer_;
  Scale declared_;
  CostClass cost_;
};

}  // namespace korvane
