// Engine.run: builds a fresh native configuration from the object's settings, runs the
// pipeline over the given iterable, and returns the Outcome or raises the one failure that
// takes precedence. The two halves, configuring and running over a source, serve the other
// run methods too, which bring sources of their own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <functional>
#include <memory>
#include <vector>

#include "engine/candidate_source.h"
#include "engine/engine.h"
#include "python/callback_scorer.h"
#include "python/candidate_source.h"
#include "python/captured_error.h"
#include "python/engine_settings.h"
#include "python/py_ref.h"
#include "python/sequence_check.h"

namespace korvane::python {

PyObject* engine_run(PyObject* self, PyObject* args, PyObject* kwargs);

// Everything one run builds from the settings; dropping it releases the callbacks'
// references.
struct RunObjects {
  std::shared_ptr<SequenceCheck> sequences = std::make_shared<SequenceCheck>();
  Engine engine;
  std::vector<std::shared_ptr<CallbackScorer>> callbacks;  // registration order
  // What a source reads for this configuration: the axes, the group key list, and whether
  // cost and cover are read at all.
  CandidateSource::Reading reading;
};

// The Outcome, or the exception to raise. The exception is held outside the indicator
// until every per-run object is gone, since dropping them may run Python code.
struct RunResult {
  PyRef outcome;
  CapturedError error;
};

// Builds the configuration, the scorers and the rules from the settings and validates them.
// False, with the exception in *refused, when the run must not start (no axis, a unary
// minimum on an unknown axis, a refused configuration).
bool configure_run(const EngineSettings& settings, RunObjects& objects, RunResult* refused);

// Runs the configured pipeline over `source` and decides what to return: a pipeline error,
// then the error the source recorded (`take_source_error`), then a callback's, else the
// Outcome.
RunResult run_configured(const EngineSettings& settings, RunObjects& objects,
                         korvane::CandidateSource& source,
                         const std::function<CapturedError()>& take_source_error);

}  // namespace korvane::python
