// Engine.run: runs the object's settings, planned once per change, over the given iterable
// and returns the Outcome or raises the one failure that takes precedence. The two halves,
// configuring and running over a source, serve the other run methods too, which bring
// sources of their own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/candidate_source.h"
#include "engine/outcome.h"
#include "engine/result.h"
#include "engine/scorer.h"
#include "python/callback_scorer.h"
#include "python/captured_error.h"
#include "python/engine_settings.h"
#include "python/engine_type.h"
#include "python/interruption.h"
#include "python/py_ref.h"
#include "python/run_plan.h"
#include "python/run_thread.h"
#include "python/sequence_check.h"

namespace korvane::python {

PyObject* engine_run(PyObject* self, PyObject* args, PyObject* kwargs);

// Everything one run builds; dropping it releases the callbacks' references and the
// candidates nothing else holds. Made on the run's thread with the interpreter lock held.
struct RunObjects {
  // The lock's state and the interrupt, shared with the callbacks, made in one piece.
  struct Shared {
    RunThread thread;
    Interruption interruption;
  };
  std::shared_ptr<Shared> shared = std::make_shared<Shared>();
  std::shared_ptr<RunThread> thread{shared, &shared->thread};
  std::shared_ptr<Interruption> interruption{shared, &shared->interruption};
  std::shared_ptr<RunPlan> plan;
  std::shared_ptr<SequenceCheck> sequences;
  std::vector<std::unique_ptr<CallbackScorer>> callbacks;  // registration order
  std::vector<Scorer*> scorers;                            // per axis; null keeps the plan's

  const SourceReading& reading() const { return plan->reading; }
};

// The Outcome, or the exception to raise. The exception is held outside the indicator
// until every per-run object is gone, since dropping them may run Python code.
struct RunResult {
  PyRef outcome;
  CapturedError error;
};

// The pending exception as a run's result.
inline RunResult failed_now() {
  return RunResult{PyRef(), CapturedError::fetch()};
}

// Takes the engine's cached plan of its settings (planned once per change) and makes the
// run's callback scorers. False, with the exception in *refused, when the run must not
// start (no axis, a unary minimum on an unknown axis, a refused configuration). Needs the
// interpreter lock and shared access to the engine.
bool configure_run(EngineObject* engine, RunObjects& objects, RunResult* refused);

// How stage 1 reads a source: with the interpreter lock held, or, for a source that
// touches no Python object, with the lock let go meanwhile (other Python threads run).
enum class StageOneLock { kHeld, kReleased };

// Runs the configured pipeline over `source` and decides what to return: an interrupt, a
// pipeline error, then the error the source recorded (`take_source_error`), then a
// callback's, else the Outcome.
RunResult run_configured(const EngineSettings& settings, RunObjects& objects,
                         korvane::CandidateSource& source,
                         const std::function<CapturedError()>& take_source_error,
                         StageOneLock lock = StageOneLock::kHeld);

// What a run that ended in `result` returns, decided as run_configured does.
RunResult finish_configured(const EngineSettings& settings, RunObjects& objects,
                            Result<RunOutcome> result,
                            const std::function<CapturedError()>& take_source_error);

// Stage 1 only, over `source`: the Shortlist object, or the exception to raise (an
// interrupt, then the error the source recorded).
RunResult shortlist_configured(RunObjects& objects, korvane::CandidateSource& source,
                               const std::function<CapturedError()>& take_source_error,
                               StageOneLock lock = StageOneLock::kHeld);

// Stage 2 over the shortlist objects in `shortlists` (any iterable), merged in order: the
// Outcome or the exception to raise. `engine` holds shared access.
RunResult run_shortlists_configured(const EngineSettings& settings, RunObjects& objects,
                                    PyObject* shortlists);

PyObject* engine_shortlist(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* engine_run_shortlists(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace korvane::python
