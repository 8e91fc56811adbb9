// run_batch_stages: the stages of a batch's queries, each query with a plan and records of
// its own. Stage 1 of every query, and stage 2 as well when no axis calls back into Python,
// run on native threads without the interpreter lock; the rest runs on the calling thread in
// query order, as the single calls would go, so the first query that fails decides the
// exception. Needs the lock on entry, and has it again on return.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "engine/pipeline.h"
#include "engine/shortlist.h"
#include "python/native_pool.h"
#include "python/py_ref.h"
#include "python/run.h"

namespace korvane::python {

// `Query` has `objects`, a configured RunObjects; `source_of(query)` makes its candidate
// source, which must touch no Python object. `read(query)` is called on the native thread
// once stage 1 is done with the source, to free what only the source needed: the thread's
// next query then reuses that memory while it is still in cache, rather than every query
// touching memory of its own. `finish(q)` is called after query q's outcome has been
// appended, to let go of its inputs early. Returns the list of outcomes.
template <class Query, class SourceOf, class Read, class Finish>
RunResult run_batch_stages(const EngineSettings& settings,
                           std::vector<std::unique_ptr<Query>>& batch, size_t threads,
                           SourceOf source_of, Read read, Finish finish) {
  PyRef outcomes = PyRef::steal(PyList_New(0));
  if (!outcomes) return failed_now();
  if (batch.empty()) return RunResult{std::move(outcomes), CapturedError()};

  const bool native_stage_two = batch.front()->objects.callbacks.empty();
  struct Stages {
    std::optional<Shortlist> shortlist;
    std::optional<Result<RunOutcome>> result;
  };
  std::vector<Stages> stages(batch.size());
  {
    RunThread& thread = *batch.front()->objects.thread;
    thread.release_lock();
    try {
      run_on_threads(threads, batch.size(), [&](size_t q) {
        Query& query = *batch[q];
        const Plan& plan = *query.objects.plan->plan;
        Shortlist shortlist = [&] {
          auto source = source_of(query);
          return stage_one_for_run(plan, source);
        }();
        read(query);
        if (native_stage_two) {
          stages[q].result.emplace(
              run_shortlist(plan, std::move(shortlist), query.objects.scorers));
        } else {
          stages[q].shortlist.emplace(std::move(shortlist));
        }
      });
    } catch (...) {
      thread.restore_lock();
      throw;
    }
    thread.restore_lock();
  }

  for (size_t q = 0; q < batch.size(); ++q) {
    Query& query = *batch[q];
    if (!stages[q].result) {
      stages[q].result.emplace(run_shortlist(
          *query.objects.plan->plan, std::move(*stages[q].shortlist), query.objects.scorers));
    }
    RunResult result = finish_configured(settings, query.objects, std::move(*stages[q].result),
                                         [] { return CapturedError(); });
    stages[q] = Stages();
    if (!result.outcome) return result;
    if (PyList_Append(outcomes.get(), result.outcome.get()) < 0) return failed_now();
    finish(q);
  }
  return RunResult{std::move(outcomes), CapturedError()};
}

}  // namespace korvane::python
