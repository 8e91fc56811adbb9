#include "python/run_plan.h"

#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>

#include "engine/scorer.h"
#include "python/engine_type.h"
#include "python/errors.h"
#include "python/settings_fingerprint.h"
#include "select/objective.h"
#include "select/requirement.h"
#include "select/set_constraint.h"

namespace korvane::python {

namespace {

constexpr std::string_view kNoAxesMessage =
    "축이 하나도 없다. Engine.scorer 로 최소 하나를 등록해야 한다";
constexpr std::string_view kUnknownAxisPrefix = "등록되지 않은 축 '";

std::shared_ptr<RunPlan> refused(std::shared_ptr<RunPlan> plan, PyObject* type,
                                 std::string message) {
  plan->error_type = type;
  plan->error_message = std::move(message);
  return plan;
}

// The keys of the group maxima, then those of the requirements, each in registration
// order; every constraint refers to its own position.
std::vector<std::string> group_key_list(const EngineSettings& settings) {
  std::vector<std::string> keys;
  keys.reserve(settings.group_maxima.size() + settings.requirements.size());
  for (const GroupMaxSetting& group : settings.group_maxima) keys.push_back(group.key);
  for (const RequirementSetting& requirement : settings.requirements) {
    keys.push_back(requirement.key);
  }
  return keys;
}

Engine base_configuration(const EngineSettings& settings) {
  Engine engine = Engine()
                      .with_rejections(settings.rejections)
                      .with_missing(settings.missing)
                      .with_budget(settings.budget)
                      .with_pool_multiplier(settings.pool_multiplier)
                      .with_min_fit(settings.min_fit)
                      .with_fusion(settings.fusion);
  if (settings.threshold) engine = std::move(engine).with_threshold(*settings.threshold);
  if (settings.admission) engine = std::move(engine).with_admission(*settings.admission);
  if (std::holds_alternative<Budget::Tokens>(settings.budget.kind)) {
    engine = std::move(engine).with_cost([](const Candidate& candidate) { return candidate.cost; });
  }
  if (settings.coverage_objective) {
    engine = std::move(engine).with_objective(std::make_unique<CoverageObjective>());
  }
  return engine;
}

// A field scorer for every axis; an axis with a callback gets one that reads nothing and
// describes the axis as the run's callback scorer will (its effective scale, expensive),
// and every run stands its own callback scorer in for it.
void register_axes(const EngineSettings& settings, RunPlan& plan) {
  for (size_t position = 0; position < settings.axes.size(); ++position) {
    const ScorerSpec& axis = settings.axes[position];
    const bool expensive = axis.expensive || axis.callback;
    if (axis.callback) plan.callback_axes.push_back(position);
    plan.engine = std::move(plan.engine)
                      .scorer(std::make_shared<FieldScorer>(
                          axis.name, position, axis.normalizer, axis.scale,
                          expensive ? CostClass::Expensive : CostClass::Cheap));
  }
}

// Each unary minimum tests the first axis of its name. The name of a minimum whose axis is
// not registered is returned in *unknown.
bool register_unary_minima(const EngineSettings& settings, RunPlan& plan, std::string* unknown) {
  std::unordered_map<std::string_view, size_t> first_position;
  first_position.reserve(settings.axes.size());
  for (size_t position = 0; position < settings.axes.size(); ++position) {
    first_position.emplace(settings.axes[position].name, position);
  }
  for (const UnaryMinSetting& unary : settings.unary_minima) {
    auto found = first_position.find(unary.axis);
    if (found == first_position.end()) {
      *unknown = unary.axis;
      return false;
    }
    plan.engine = std::move(plan.engine).unary_min(UnaryMin{unary.id, found->second, unary.min});
  }
  return true;
}

void register_set_rules(const EngineSettings& settings, RunPlan& plan) {
  size_t key = 0;
  for (const GroupMaxSetting& group : settings.group_maxima) {
    plan.engine = std::move(plan.engine)
                      .constraint(std::make_unique<MaxPerGroup>(group.id, key++, group.max));
  }
  if (settings.total_max) {
    plan.engine = std::move(plan.engine)
                      .constraint(std::make_unique<MaxTotal>(settings.total_max->id,
                                                             settings.total_max->max));
  }
  for (const RequirementSetting& requirement : settings.requirements) {
    plan.engine =
        std::move(plan.engine)
            .require(Requirement{requirement.id, key++, requirement.value, requirement.n});
  }
}

std::shared_ptr<RunPlan> build(const EngineSettings& settings) {
  auto plan = std::make_shared<RunPlan>();
  plan->fingerprint = settings_fingerprint(settings);
  if (settings.axes.empty()) {
    return refused(std::move(plan), PyExc_ValueError, std::string(kNoAxesMessage));
  }
  std::vector<std::string> group_keys = group_key_list(settings);
  plan->engine = base_configuration(settings);
  register_axes(settings, *plan);
  std::string unknown_axis;
  if (!register_unary_minima(settings, *plan, &unknown_axis)) {
    std::string message(kUnknownAxisPrefix);
    message.append(unknown_axis).append("'");
    return refused(std::move(plan), PyExc_ValueError, std::move(message));
  }
  register_set_rules(settings, *plan);
  if (Status status = validate(plan->engine); !status.ok()) {
    const EngineError& error = status.error();
    return refused(std::move(plan), error.is_runtime() ? engine_error_class() : PyExc_ValueError,
                   error.message());
  }
  plan->plan = std::make_unique<Plan>(plan->engine);

  std::vector<std::string> axis_names;
  axis_names.reserve(settings.axes.size());
  for (const ScorerSpec& axis : settings.axes) axis_names.push_back(axis.name);
  const bool read_cost = std::holds_alternative<Budget::Tokens>(settings.budget.kind);
  plan->keys = EntryKeys::make(axis_names, group_keys, read_cost, settings.coverage_objective);
  if (!plan->keys) return nullptr;
  plan->reading = SourceReading{std::move(axis_names), std::move(group_keys), read_cost,
                                settings.coverage_objective};
  return plan;
}

}  // namespace

std::shared_ptr<RunPlan> plan_for(EngineObject* engine) {
  if (!engine->plan) engine->plan = build(engine->settings);
  return engine->plan;
}

}  // namespace korvane::python
