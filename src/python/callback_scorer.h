// CallbackScorer: an expensive axis computed by a Python callable, called once with the
// whole stage-2 pool as one list of the candidates' objects, which returns a sequence or a
// one-dimensional array of numbers. A failure never reaches the
// pipeline: the scorer keeps the first exception and answers with missing values, and the
// run raises the kept exception once the pipeline has returned.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/axis.h"
#include "engine/candidate.h"
#include "engine/scorer.h"
#include "python/captured_error.h"
#include "python/interruption.h"
#include "python/py_ref.h"
#include "python/run_thread.h"
#include "python/sequence_check.h"

namespace korvane::python {

class CallbackScorer final : public Scorer {
 public:
  // `callback` is the scorer's own strong reference, released with the scorer, which is
  // therefore created and destroyed with the interpreter lock held. The scorer is called on
  // the thread of `run_thread`'s run, with or without the lock. Once `interruption` has
  // stopped the run, the callback is not called and every value is missing.
  CallbackScorer(std::string name, PyRef callback, std::optional<Normalizer> normalizer,
                 Scale declared, std::shared_ptr<SequenceCheck> sequences,
                 std::shared_ptr<RunThread> run_thread, std::shared_ptr<Interruption> interruption);

  const std::string& name() const override { return name_; }
  Scale scale() const override { return effective_scale(declared_, normalizer_); }
  CostClass cost() const override { return CostClass::Expensive; }
  // The batch run over a pool of this one candidate: its first value, absent when the
  // callback returned nothing.
  std::optional<float> score(const Candidate& candidate) override;
  // One value per item of the sequence the callback returned (normalized where present),
  // or one missing value per pool record when the call failed.
  std::vector<std::optional<float>> score_batch(std::span<const Candidate* const> pool) override;

  // The first exception of the run, if any; the slot is left empty.
  CapturedError take_error();

 private:
  enum class BufferRead { kRead, kObjects, kFailed };

  bool call(std::span<const Candidate* const> pool, std::vector<std::optional<float>>* out);
  // A result with the buffer protocol: one dimension of numbers or bools, read in place
  // (kRead); Python objects, to be read item by item (kObjects); else an exception.
  BufferRead read_numbers(PyObject* result, std::vector<std::optional<float>>* out);
  void record_failure();

  std::string name_;
  PyRef callback_;
  std::optional<Normalizer> normalizer_;
  Scale declared_;
  std::shared_ptr<SequenceCheck> sequences_;
  std::shared_ptr<RunThread> run_thread_;
  std::shared_ptr<Interruption> interruption_;
  // Held only to test and fill the slot, never while Python code runs.
  std::mutex error_lock_;
  CapturedError error_;
};

}  // namespace korvane::python
