// Engine: the native configuration of a run, assembled by builder operations and read,
// never changed, by the run. validate() refuses an inconsistent configuration with the
// first problem found.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "engine/axis.h"
#include "engine/result.h"
#include "engine/scorer.h"
#include "select/objective.h"
#include "select/requirement.h"
#include "select/selection.h"
#include "select/set_constraint.h"

namespace korvane {

struct Fusion {
  struct WeightedSum {
    // May be empty (every axis weighs 1.0); the first entry with a name wins.
    std::vector<std::pair<std::string, float>> weights;
  };
  struct Rrf {
    float k = 60.0f;
  };
  struct Max {};

  std::variant<WeightedSum, Rrf, Max> kind = Rrf{};

  FusionMethod method() const { return static_cast<FusionMethod>(kind.index()); }
};

struct Budget {
  struct TopK {
    uint32_t k = 10;
  };
  struct TailMass {
    float epsilon = 0.0f;
    uint32_t fallback_k = 0;
  };
  struct Tokens {
    uint32_t max = 0;
  };

  std::variant<TopK, TailMass, Tokens> kind = TopK{};
};

struct RejectionRetention {
  enum class Policy : uint8_t { Keep, Count, Sample };
  Policy policy = Policy::Keep;
  uint64_t n = 0;  // Sample only

  static RejectionRetention Keep() { return {Policy::Keep, 0}; }
  static RejectionRetention Count() { return {Policy::Count, 0}; }
  static RejectionRetention Sample(uint64_t n) { return {Policy::Sample, n}; }
};

struct Missing {
  MissingPolicy policy = MissingPolicy::Skip;
  float impute_value = 0.0f;  // Impute only
};

// A stage-1 filter: passes a candidate whose carried value at `axis` is present and >= min.
struct UnaryMin {
  std::string id;
  size_t axis = 0;
  float min = 0.0f;
};

// Defaults are those of a new Python Engine(): rrf with k 60, skip, TopK 10, multiplier 32,
// min_fit 0.9, retention Keep, nothing registered.
struct Engine {
  RejectionRetention rejections;
  std::vector<std::shared_ptr<Scorer>> scorers;  // parallel to axes
  std::vector<AxisDescriptor> axes;
  std::vector<UnaryMin> unary_constraints;
  std::vector<std::unique_ptr<SetConstraint>> set_constraints;
  std::vector<Requirement> requirements;
  Fusion fusion;
  std::optional<float> threshold;
  Missing missing;
  std::unique_ptr<Objective> objective;
  CostFunction cost;  // empty when none is installed
  std::optional<std::string> admission;
  Budget budget;
  uint32_t pool_multiplier = 32;
  float min_fit = 0.9f;

  // Builder operations: each returns the engine with one setting replaced or one item
  // appended. None checks anything; validate() does.
  Engine scorer(std::shared_ptr<Scorer> axis) &&;
  Engine with_fusion(Fusion value) && { return std::move(*this).set(&Engine::fusion, value); }
  Engine with_missing(Missing value) && { return std::move(*this).set(&Engine::missing, value); }
  Engine with_admission(std::string axis) &&;
  Engine with_pool_multiplier(uint32_t value) && {
    return std::move(*this).set(&Engine::pool_multiplier, value);
  }
  Engine with_budget(Budget value) && { return std::move(*this).set(&Engine::budget, value); }
  Engine with_min_fit(float value) && { return std::move(*this).set(&Engine::min_fit, value); }
  Engine with_threshold(float value) &&;
  Engine with_rejections(RejectionRetention value) && {
    return std::move(*this).set(&Engine::rejections, value);
  }
  Engine unary_min(UnaryMin constraint) &&;
  Engine constraint(std::unique_ptr<SetConstraint> constraint) &&;
  Engine require(Requirement requirement) &&;
  // Installs the objective, dropping any earlier one.
  Engine with_objective(std::unique_ptr<Objective> objective) &&;
  Engine with_cost(CostFunction cost) &&;

 private:
  template <class Field, class Value>
  Engine set(Field Engine::*field, Value value) && {
    this->*field = std::move(value);
    return std::move(*this);
  }
};

// Checks the configuration in the fixed order and returns the first problem found.
Status validate(const Engine& engine);

}  // namespace korvane
