#include "engine/plan.h"

#include <algorithm>
#include <memory>
#include <type_traits>
#include <utility>
#include <variant>

#include "engine/invariant.h"

namespace korvane {

namespace {

uint64_t pool_capacity(const Engine& engine) {
  uint64_t planned = std::visit(
      [](const auto& budget) -> uint64_t {
        using B = std::decay_t<decltype(budget)>;
        if constexpr (std::is_same_v<B, Budget::TopK>) {
          return budget.k;
        } else if constexpr (std::is_same_v<B, Budget::TailMass>) {
          return budget.fallback_k == 0 ? 1 : budget.fallback_k;
        } else {
          return budget.max;
        }
      },
      engine.budget.kind);
  uint64_t capacity = planned * uint64_t{engine.pool_multiplier};
  return capacity == 0 ? 1 : capacity;
}

std::optional<size_t> admission_axis(const Engine& engine) {
  if (engine.admission) {
    auto named = std::find_if(engine.axes.begin(), engine.axes.end(),
                              [&](const AxisDescriptor& a) { return a.name == *engine.admission; });
    KORVANE_INVARIANT(named != engine.axes.end() && named->cost == CostClass::Cheap,
                      "validate 가 이미 확인했다");
    return static_cast<size_t>(named - engine.axes.begin());
  }
  if (engine.fusion.method() == FusionMethod::Rrf) {
    auto cheap = std::find_if(engine.axes.begin(), engine.axes.end(),
                              [](const AxisDescriptor& a) { return a.cost == CostClass::Cheap; });
    KORVANE_INVARIANT(cheap != engine.axes.end(), "validate 가 이미 확인했다");
    return static_cast<size_t>(cheap - engine.axes.begin());
  }
  return std::nullopt;
}

}  // namespace

Plan::Plan(const Engine& engine)
    : engine_(engine),
      fuser_(engine),
      capacity_(pool_capacity(engine)),
      admission_(admission_axis(engine)) {
  for (size_t axis = 0; axis < engine.axes.size(); ++axis) {
    (engine.axes[axis].cost == CostClass::Cheap ? cheap_axes_ : expensive_axes_).push_back(axis);
  }
  // A field axis with no normaliser that reads its own position stores its carried value as
  // it is; when every cheap axis does, stage 1 reads the block plainly.
  carried_as_stored_.assign(engine.axes.size(), 0);
  plain_stage_one_ = true;
  for (size_t axis : cheap_axes_) {
    Scorer* scorer = engine.scorers[axis].get();
    const auto* field = dynamic_cast<const FieldScorer*>(scorer);
    stage_one_axes_.push_back(CheapAxis{axis, field, scorer});
    const bool as_carried = field != nullptr && !field->normalizer() && field->position() == axis;
    whole_rows_ |= field == nullptr;
    plain_stage_one_ = plain_stage_one_ && as_carried;
    carried_as_stored_[axis] = static_cast<uint8_t>(as_carried);
  }
  auto labels = std::make_shared<RunLabels>();
  labels->axes.reserve(engine.axes.size());
  for (const AxisDescriptor& axis : engine.axes) labels->axes.push_back(axis.name);
  labels->constraints.reserve(engine.set_constraints.size());
  for (const auto& constraint : engine.set_constraints) {
    labels->constraints.push_back(constraint->id());
  }
  labels_ = std::move(labels);
}

}  // namespace korvane
