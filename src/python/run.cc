#include "python/run.h"

#include <memory>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "engine/pipeline.h"
#include "python/dict_source.h"
#include "python/engine_type.h"
#include "python/errors.h"
#include "python/outcome_convert.h"
#include "python/shortlist_type.h"

namespace korvane::python {

namespace {

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

// Takes `plan` for the run and makes its callback scorers. False with *refused set when
// the settings cannot run; nothing has been read from any input then.
bool configure_with(std::shared_ptr<RunPlan> plan, const EngineSettings& settings,
                    RunObjects& objects, RunResult* refused) {
  if (!plan) {
    *refused = failed(CapturedError::fetch());
    return false;
  }
  objects.plan = std::move(plan);
  const RunPlan& planned = *objects.plan;
  if (planned.error_type != nullptr) {
    *refused = failed_with(planned.error_type, planned.error_message);
    return false;
  }
  objects.sequences = planned.sequences;

  if (!planned.callback_axes.empty()) {
    objects.scorers.assign(settings.axes.size(), nullptr);
    for (size_t position : planned.callback_axes) {
      const ScorerSpec& axis = settings.axes[position];
      objects.callbacks.push_back(std::make_unique<CallbackScorer>(
          axis.name, PyRef::borrow(axis.callback.get()), axis.normalizer, axis.scale,
          planned.sequences, objects.thread, objects.interruption));
      objects.scorers[position] = objects.callbacks.back().get();
    }
  }
  return true;
}

// The frame of the run methods over an iterable and over shortlists: the engine and the
// argument held for the call (a callback or a generator may drop their last other
// reference), shared access for its whole length, the run's objects dropped before an
// exception is set.
template <class Body>
PyObject* with_run_frame(PyObject* self, PyObject* argument, Body&& body) {
  PyRef engine_ref = PyRef::borrow(self);
  PyRef argument_ref = PyRef::borrow(argument);
  EngineObject* engine = as_engine(self);
  RunResult result;
  {
    SharedAccess access(engine->access);
    if (!access) return nullptr;
    RunObjects objects;
    RunResult refused;
    if (!configure_with(plan_for(engine), engine->settings, objects, &refused)) {
      result = std::move(refused);
    } else {
      result = body(engine, objects);
    }
  }
  argument_ref.reset();
  engine_ref.reset();
  if (!result.outcome) {
    result.error.restore();
    return nullptr;
  }
  return result.outcome.release();
}

}  // namespace

bool configure_run(EngineObject* engine, RunObjects& objects, RunResult* refused) {
  return configure_with(plan_for(engine), engine->settings, objects, refused);
}

namespace {

// for_run: the shortlist goes straight on to stage 2 of this run.
Shortlist read_stage_one(RunObjects& objects, korvane::CandidateSource& source, StageOneLock lock,
                         bool for_run) {
  const Plan& plan = *objects.plan->plan;
  auto stage = [&] { return for_run ? stage_one_for_run(plan, source) : stage_one(plan, source); };
  if (lock == StageOneLock::kHeld) return stage();
  // Not a guard: taking the lock back may end a daemon thread at shutdown, which must not
  // happen inside a destructor.
  RunThread& thread = *objects.thread;
  thread.release_lock();
  Shortlist shortlist;
  try {
    shortlist = stage();
  } catch (...) {
    thread.restore_lock();
    throw;
  }
  thread.restore_lock();
  return shortlist;
}

}  // namespace

// An interrupt wins over everything; a pipeline error over anything else intake or a
// callback recorded; then the source's error, a callback's, or the Outcome.
RunResult finish_configured(const EngineSettings& settings, RunObjects& objects,
                            Result<RunOutcome> result,
                            const std::function<CapturedError()>& take_source_error) {
  if (CapturedError interrupt = objects.interruption->take()) return failed(std::move(interrupt));
  if (!result.ok()) return failed_with(result.error());
  RunOutcome outcome = std::move(result).value();

  if (CapturedError intake = take_source_error()) return failed(std::move(intake));
  for (const std::unique_ptr<CallbackScorer>& callback : objects.callbacks) {
    if (CapturedError error = callback->take_error()) return failed(std::move(error));
  }

  PyRef converted = PyRef::steal(outcome_to_python(std::move(outcome), settings.axes));
  if (!converted) return failed(CapturedError::fetch());
  return RunResult{std::move(converted), CapturedError()};
}

RunResult run_configured(const EngineSettings& settings, RunObjects& objects,
                         korvane::CandidateSource& source,
                         const std::function<CapturedError()>& take_source_error,
                         StageOneLock lock) {
  Shortlist shortlist = read_stage_one(objects, source, lock, true);
  return finish_configured(
      settings, objects, run_shortlist(*objects.plan->plan, std::move(shortlist), objects.scorers),
      take_source_error);
}

PyObject* engine_run(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&]() -> PyObject* {
    static const char* const kKeywords[] = {"candidates", nullptr};
    PyObject* candidates = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Engine.run", const_cast<char**>(kKeywords),
                                     &candidates)) {
      return nullptr;
    }
    // Nothing has been taken from the iterable before the settings were accepted: a refused
    // configuration leaves a generator unstarted.
    return with_run_frame(self, candidates, [&](EngineObject* engine, RunObjects& objects) {
      PyRef iterator = PyRef::steal(PyObject_GetIter(candidates));
      if (!iterator) return failed(CapturedError::fetch());
      DictSource source(std::move(iterator), objects.plan->keys, *objects.sequences,
                        *objects.interruption);
      return run_configured(engine->settings, objects, source, [&] { return source.take_error(); });
    });
  });
}

RunResult shortlist_configured(RunObjects& objects, korvane::CandidateSource& source,
                               const std::function<CapturedError()>& take_source_error,
                               StageOneLock lock) {
  Shortlist shortlist = read_stage_one(objects, source, lock, false);
  if (CapturedError interrupt = objects.interruption->take()) return failed(std::move(interrupt));
  if (CapturedError intake = take_source_error()) return failed(std::move(intake));
  PyRef made = PyRef::steal(new_shortlist(shortlist, objects.plan->fingerprint));
  if (!made) return failed(CapturedError::fetch());
  return RunResult{std::move(made), CapturedError()};
}

RunResult run_shortlists_configured(const EngineSettings& settings, RunObjects& objects,
                                    PyObject* shortlists) {
  std::vector<Shortlist> parts;
  PyRef iterator = PyRef::steal(PyObject_GetIter(shortlists));
  if (!iterator) return failed(CapturedError::fetch());
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    Shortlist part;
    if (!copy_shortlist(item.get(), objects.plan->fingerprint, &part)) {
      return failed(CapturedError::fetch());
    }
    parts.push_back(std::move(part));
  }
  if (PyErr_Occurred()) return failed(CapturedError::fetch());
  iterator.reset();

  const Plan& plan = *objects.plan->plan;
  Result<RunOutcome> result = run_shortlist(plan, merge(plan, std::move(parts)), objects.scorers);
  return finish_configured(settings, objects, std::move(result), [] { return CapturedError(); });
}

PyObject* engine_shortlist(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&]() -> PyObject* {
    static const char* const kKeywords[] = {"candidates", nullptr};
    PyObject* candidates = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Engine.shortlist",
                                     const_cast<char**>(kKeywords), &candidates)) {
      return nullptr;
    }
    return with_run_frame(self, candidates, [&](EngineObject*, RunObjects& objects) {
      PyRef iterator = PyRef::steal(PyObject_GetIter(candidates));
      if (!iterator) return failed(CapturedError::fetch());
      DictSource source(std::move(iterator), objects.plan->keys, *objects.sequences,
                        *objects.interruption);
      return shortlist_configured(objects, source, [&] { return source.take_error(); });
    });
  });
}

PyObject* engine_run_shortlists(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&]() -> PyObject* {
    static const char* const kKeywords[] = {"shortlists", nullptr};
    PyObject* shortlists = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Engine.run_shortlists",
                                     const_cast<char**>(kKeywords), &shortlists)) {
      return nullptr;
    }
    return with_run_frame(self, shortlists, [&](EngineObject* engine, RunObjects& objects) {
      return run_shortlists_configured(engine->settings, objects, shortlists);
    });
  });
}

}  // namespace korvane::python
