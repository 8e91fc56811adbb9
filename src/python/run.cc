#include "python/run.h"

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/pipeline.h"
#include "engine/scorer.h"
#include "python/callback_scorer.h"
#include "python/captured_error.h"
#include "python/dict_source.h"
#include "python/engine_type.h"
#include "python/errors.h"
#include "python/outcome_convert.h"
#include "python/interruption.h"
#include "python/run_plan.h"
#include "python/run_thread.h"

namespace korvane::python {

namespace {

// The Outcome, or the exception to raise. The exception is held outside the indicator
// until every per-run object is gone, since dropping them may run Python code.
struct RunResult {
  PyRef outcome;
  CapturedError error;
};

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

// Everything one run builds; dropping it releases the callbacks' references and the
// candidates nothing else holds.
struct RunObjects {
  std::shared_ptr<RunThread> thread = std::make_shared<RunThread>();  // the calling thread
  std::shared_ptr<Interruption> interruption = std::make_shared<Interruption>();
  std::shared_ptr<RunPlan> plan;
  std::unique_ptr<DictSource> source;
  std::vector<std::unique_ptr<CallbackScorer>> callbacks;  // registration order
  std::vector<Scorer*> scorers;                            // per axis; null keeps the plan's
};

RunResult execute(EngineObject* engine, PyObject* candidates, RunObjects& objects) {
  objects.plan = plan_for(engine);
  if (!objects.plan) return failed(CapturedError::fetch());
  const RunPlan& plan = *objects.plan;
  // Nothing has been taken from the iterable yet: a refused configuration leaves a
  // generator unstarted.
  if (plan.error_type != nullptr) return failed_with(plan.error_type, plan.error_message);

  PyRef iterator = PyRef::steal(PyObject_GetIter(candidates));
  if (!iterator) return failed(CapturedError::fetch());
  objects.source = std::make_unique<DictSource>(std::move(iterator), plan.keys, *plan.sequences,
                                                *objects.interruption);

  const std::vector<ScorerSpec>& axes = engine->settings.axes;
  if (!plan.callback_axes.empty()) {
    objects.scorers.assign(axes.size(), nullptr);
    for (size_t position : plan.callback_axes) {
      const ScorerSpec& axis = axes[position];
      objects.callbacks.push_back(std::make_unique<CallbackScorer>(
          axis.name, PyRef::borrow(axis.callback.get()), axis.normalizer, axis.scale,
          plan.sequences, objects.thread, objects.interruption));
      objects.scorers[position] = objects.callbacks.back().get();
    }
  }

  Result<RunOutcome> result = run(*plan.plan, *objects.source, objects.scorers);
  // An interrupt wins over everything; a pipeline error over anything else intake or a
  // callback recorded.
  if (CapturedError interrupt = objects.interruption->take()) return failed(std::move(interrupt));
  if (!result.ok()) return failed_with(result.error());
  RunOutcome outcome = std::move(result).value();

  if (CapturedError intake = objects.source->take_error()) return failed(std::move(intake));
  for (const std::unique_ptr<CallbackScorer>& callback : objects.callbacks) {
    if (CapturedError error = callback->take_error()) return failed(std::move(error));
  }

  PyRef converted = PyRef::steal(outcome_to_python(std::move(outcome), axes));
  if (!converted) return failed(CapturedError::fetch());
  return RunResult{std::move(converted), CapturedError()};
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
    result = execute(engine, candidates, objects);
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

PyObject* engine_run(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_run_impl(self, args, kwargs); });
}

}  // namespace korvane::python
