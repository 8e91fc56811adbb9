#include "python/run.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "engine/engine.h"
#include "engine/pipeline.h"
#include "engine/scorer.h"
#include "python/callback_scorer.h"
#include "python/candidate_source.h"
#include "python/captured_error.h"
#include "python/engine_type.h"
#include "python/errors.h"
#include "python/outcome_convert.h"
#include "python/sequence_check.h"
#include "select/objective.h"
#include "select/requirement.h"
#include "select/set_constraint.h"

namespace korvane::python {

namespace {

constexpr std::string_view kNoAxesMessage =
    "축이 하나도 없다. Engine.scorer 로 최소 하나를 등록해야 한다";
constexpr std::string_view kUnknownAxisPrefix = "등록되지 않은 축 '";

RunResult failed(CapturedError error) {
  return RunResult{PyRef(), std::move(error)};
}

RunResult failed_with(PyObject* type, std::string_view message) {
  raise_with_text(type, message);
  return failed(CapturedError::fetch());
}

// Configuration errors are ValueError; the two run-time kinds are korvane.EngineError.
RunResult failed_with(const EngineError& error) {
  return failed_with(error.is_runtime() ? engine_error_class() : PyExc_ValueError, error.message());
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

void register_axes(const EngineSettings& settings, RunObjects& objects) {
  for (size_t position = 0; position < settings.axes.size(); ++position) {
    const ScorerSpec& axis = settings.axes[position];
    std::shared_ptr<Scorer> scorer;
    if (axis.callback) {
      auto callback =
          std::make_shared<CallbackScorer>(axis.name, PyRef::borrow(axis.callback.get()),
                                           axis.normalizer, axis.scale, objects.sequences);
      objects.callbacks.push_back(callback);
      scorer = std::move(callback);
    } else {
      scorer =
          std::make_shared<FieldScorer>(axis.name, position, axis.normalizer, axis.scale,
                                        axis.expensive ? CostClass::Expensive : CostClass::Cheap);
    }
    objects.engine = std::move(objects.engine).scorer(std::move(scorer));
  }
}

// Each unary minimum tests the first axis of its name. The name of a minimum whose axis is
// not registered is returned in *unknown.
bool register_unary_minima(const EngineSettings& settings, RunObjects& objects,
                           std::string* unknown) {
  for (const UnaryMinSetting& unary : settings.unary_minima) {
    size_t position = 0;
    while (position < settings.axes.size() && settings.axes[position].name != unary.axis) {
      ++position;
    }
    if (position == settings.axes.size()) {
      *unknown = unary.axis;
      return false;
    }
    objects.engine = std::move(objects.engine).unary_min(UnaryMin{unary.id, position, unary.min});
  }
  return true;
}

void register_set_rules(const EngineSettings& settings, RunObjects& objects) {
  size_t key = 0;
  for (const GroupMaxSetting& group : settings.group_maxima) {
    objects.engine = std::move(objects.engine)
                         .constraint(std::make_unique<MaxPerGroup>(group.id, key++, group.max));
  }
  if (settings.total_max) {
    objects.engine = std::move(objects.engine)
                         .constraint(std::make_unique<MaxTotal>(settings.total_max->id,
                                                                settings.total_max->max));
  }
  for (const RequirementSetting& requirement : settings.requirements) {
    objects.engine =
        std::move(objects.engine)
            .require(Requirement{requirement.id, key++, requirement.value, requirement.n});
  }
}

RunResult execute(const EngineSettings& settings, PyObject* candidates, RunObjects& objects) {
  RunResult refused;
  if (!configure_run(settings, objects, &refused)) return refused;

  PyRef iterator = PyRef::steal(PyObject_GetIter(candidates));
  if (!iterator) return failed(CapturedError::fetch());
  std::unique_ptr<CandidateSource> source =
      CandidateSource::create(std::move(iterator), objects.reading, objects.sequences);
  if (!source) return failed(CapturedError::fetch());
  return run_configured(settings, objects, *source, [&] { return source->take_error(); });
}

PyObject* engine_run_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"candidates", nullptr};
  PyObject* candidates = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Engine.run", const_cast<char**>(kKeywords),
                                   &candidates)) {
    return nullptr;
  }
  // A callback or a generator may drop the last other reference to the engine, or to the
  // iterable, while the run reads them.
  PyRef engine_ref = PyRef::borrow(self);
  PyRef candidates_ref = PyRef::borrow(candidates);
  EngineObject* engine = as_engine(self);

  RunResult result;
  {
    SharedAccess access(engine->access);
    if (!access) return nullptr;
    RunObjects objects;
    result = execute(engine->settings, candidates, objects);
  }
  candidates_ref.reset();
  engine_ref.reset();
  if (!result.outcome) {
    result.error.restore();
    return nullptr;
  }
  return result.outcome.release();
}

}  // namespace

bool configure_run(const EngineSettings& settings, RunObjects& objects, RunResult* refused) {
  if (settings.axes.empty()) {
    *refused = failed_with(PyExc_ValueError, kNoAxesMessage);
    return false;
  }

  CandidateSource::Reading& reading = objects.reading;
  reading.group_keys = group_key_list(settings);
  reading.axis_names.reserve(settings.axes.size());
  for (const ScorerSpec& axis : settings.axes) reading.axis_names.push_back(axis.name);
  reading.cost = std::holds_alternative<Budget::Tokens>(settings.budget.kind);
  reading.cover = settings.coverage_objective;

  objects.engine = base_configuration(settings);
  register_axes(settings, objects);
  std::string unknown_axis;
  if (!register_unary_minima(settings, objects, &unknown_axis)) {
    std::string message(kUnknownAxisPrefix);
    message.append(unknown_axis).append("'");
    *refused = failed_with(PyExc_ValueError, message);
    return false;
  }
  register_set_rules(settings, objects);

  // Nothing has been taken from the input yet: a refused configuration leaves a generator
  // unstarted.
  if (Status status = validate(objects.engine); !status.ok()) {
    *refused = failed_with(status.error());
    return false;
  }
  return true;
}

RunResult run_configured(const EngineSettings& settings, RunObjects& objects,
                         korvane::CandidateSource& source,
                         const std::function<CapturedError()>& take_source_error) {
  Result<RunOutcome> result = run(objects.engine, source);
  // A pipeline error wins over anything intake or a callback recorded.
  if (!result.ok()) return failed_with(result.error());
  RunOutcome outcome = std::move(result).value();

  if (CapturedError intake = take_source_error()) return failed(std::move(intake));
  for (const std::shared_ptr<CallbackScorer>& callback : objects.callbacks) {
    if (CapturedError error = callback->take_error()) return failed(std::move(error));
  }

  PyRef converted = PyRef::steal(outcome_to_python(std::move(outcome), settings.axes));
  if (!converted) return failed(CapturedError::fetch());
  return RunResult{std::move(converted), CapturedError()};
}

PyObject* engine_run(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_run_impl(self, args, kwargs); });
}

}  // namespace korvane::python
