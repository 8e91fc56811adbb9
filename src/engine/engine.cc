#include "engine/engine.h"

#include <string_view>
#include <unordered_set>

namespace korvane {

Engine Engine::scorer(std::shared_ptr<Scorer> axis) && {
  // The descriptor is taken from the scorer itself so the two lists cannot disagree.
  axes.push_back(AxisDescriptor{axis->name(), axis->scale(), axis->cost()});
  scorers.push_back(std::move(axis));
  return std::move(*this);
}

Engine Engine::with_admission(std::string axis) && {
  admission = std::move(axis);
  return std::move(*this);
}

Engine Engine::with_threshold(float value) && {
  threshold = value;
  return std::move(*this);
}

Engine Engine::unary_min(UnaryMin constraint) && {
  unary_constraints.push_back(std::move(constraint));
  return std::move(*this);
}

Engine Engine::constraint(std::unique_ptr<SetConstraint> constraint) && {
  set_constraints.push_back(std::move(constraint));
  return std::move(*this);
}

Engine Engine::require(Requirement requirement) && {
  requirements.push_back(std::move(requirement));
  return std::move(*this);
}

Engine Engine::with_objective(std::unique_ptr<Objective> value) && {
  objective = std::move(value);
  return std::move(*this);
}

Engine Engine::with_cost(CostFunction value) && {
  cost = std::move(value);
  return std::move(*this);
}

namespace {

const AxisDescriptor* find_axis(const std::vector<AxisDescriptor>& axes, std::string_view name) {
  for (const AxisDescriptor& axis : axes) {
    if (axis.name == name) return &axis;
  }
  return nullptr;
}

Status check_budget(const Engine& engine) {
  const auto& kind = engine.budget.kind;
  if (const auto* top = std::get_if<Budget::TopK>(&kind)) {
    if (top->k == 0) return EngineError(errors::InvalidBudget{std::string(kTopKBudgetText)});
  } else if (const auto* tail = std::get_if<Budget::TailMass>(&kind)) {
    // Written so that a NaN epsilon fails.
    if (!(tail->epsilon >= 0.0f && tail->epsilon < 1.0f)) {
      return EngineError(errors::InvalidBudget{std::string(kTailMassBudgetText)});
    }
  } else if (!engine.cost) {
    return EngineError(errors::InvalidBudget{std::string(kTokensBudgetText)});
  }
  return Status::Ok();
}

}  // namespace

// The order of the checks is part of the contract: the first failing one is reported.
Status validate(const Engine& engine) {
  if (engine.scorers.empty()) return EngineError(errors::NoScorers{});

  const bool rrf = std::holds_alternative<Fusion::Rrf>(engine.fusion.kind);
  std::unordered_set<std::string_view> seen;
  for (const AxisDescriptor& axis : engine.axes) {
    if (!seen.insert(axis.name).second) return EngineError(errors::DuplicateScorer{axis.name});
    if (!rrf && axis.scale != Scale::Unit) {
      return EngineError(
          errors::ScaleFusionMismatch{axis.name, axis.scale, engine.fusion.method()});
    }
  }

  // `seen` now holds every axis name, so each weight is looked up in constant time.
  if (const auto* sum = std::get_if<Fusion::WeightedSum>(&engine.fusion.kind)) {
    for (const auto& [name, weight] : sum->weights) {
      if (!seen.contains(name)) return EngineError(errors::UnknownWeightScorer{name});
    }
  }

  if (engine.admission) {
    const AxisDescriptor* axis = find_axis(engine.axes, *engine.admission);
    if (axis == nullptr) return EngineError(errors::UnknownAdmissionScorer{*engine.admission});
    if (axis->cost == CostClass::Expensive) {
      return EngineError(errors::ExpensiveAdmissionScorer{*engine.admission});
    }
  } else if (rrf) {
    bool any_cheap = false;
    for (const AxisDescriptor& axis : engine.axes) any_cheap |= axis.cost == CostClass::Cheap;
    if (!any_cheap) return EngineError(errors::RrfWithoutCheapScorer{});
  }

  if (engine.pool_multiplier == 0) return EngineError(errors::ZeroPoolMultiplier{});

  return check_budget(engine);
}

}  // namespace korvane
