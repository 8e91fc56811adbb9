// The candidate source of a Python run: pulls items from a Python iterator one at a time
// and converts each dict into a Candidate. A failing item is skipped and its exception
// recorded (the first of the run only); the stream goes on with the next item. An interrupt,
// from the iterator or a conversion, or a raising signal handler, ends the stream instead
// (see Interruption).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/candidate.h"
#include "engine/candidate_source.h"
#include "python/captured_error.h"
#include "python/interruption.h"
#include "python/py_ref.h"
#include "python/sequence_check.h"

namespace korvane::python {

class CandidateSource final : public korvane::CandidateSource {
 public:
  struct Reading {
    std::vector<std::string> axis_names;  // registration order
    std::vector<std::string> group_keys;  // the group key list
    bool cost = false;                    // read "cost" (a token budget)
    bool cover = false;                   // read "cover" (the coverage objective)
  };

  // Null with an exception set when the entry keys cannot be made into Python texts.
  // `iterator` is a new reference to a Python iterator.
  static std::unique_ptr<CandidateSource> create(PyRef iterator, const Reading& reading,
                                                 std::shared_ptr<SequenceCheck> sequences,
                                                 std::shared_ptr<Interruption> interruption);

  // An ordinary exception raised by the iterator itself is recorded like a failed item and
  // pulling goes on, so that a `map` whose function fails on one row is still read to its
  // end. The stream ends early on an interrupt and after
  // kIteratorFailuresInARow raising calls with no item between them, so an iterator that
  // raises on every call cannot keep the run pulling for ever.
  Pull pull() override;
  static constexpr int kIteratorFailuresInARow = 1000;
  void close() override { iterator_.reset(); }

  // The first recorded exception, if any; the record is left empty.
  CapturedError take_error() { return std::move(error_); }

 private:
  struct EntryKeys {
    PyRef id, scores, groups, cost, cover;
  };

  CandidateSource() = default;

  bool convert(PyObject* item, Candidate* out);
  bool read_scores(PyObject* scores, Candidate* out);
  bool read_groups(PyObject* item, Candidate* out);
  bool read_cost(PyObject* item, Candidate* out);
  bool read_cover(PyObject* item, Candidate* out);
  bool record_failure();

  PyRef iterator_;
  int iterator_failures_ = 0;  // raising calls of the iterator since its last item
  EntryKeys keys_;
  std::vector<PyRef> axis_names_;
  std::vector<PyRef> group_keys_;
  bool read_cost_ = false;
  bool read_cover_ = false;
  std::shared_ptr<SequenceCheck> sequences_;
  std::shared_ptr<Interruption> interruption_;
  CapturedError error_;
};

}  // namespace korvane::python
