#include "python/outcome_convert.h"

#include <utility>

#include "python/errors.h"
#include "python/result_types.h"

namespace korvane::python {

namespace {

PyObject* convert(RunOutcome& outcome, const std::vector<ScorerSpec>& axes) {
  OutcomeFields fields;
  fields.ranked = std::move(outcome.ranked);
  fields.labels = std::move(outcome.labels);
  fields.rejected = std::move(outcome.rejected);
  fields.counts = outcome.rejected_counts;
  fields.selection = outcome.selection;
  fields.trace = std::move(outcome.trace);
  fields.expensive.reserve(axes.size());
  for (const ScorerSpec& axis : axes) fields.expensive.push_back(axis.expensive);
  return new_outcome(std::move(fields));
}

}  // namespace

PyObject* outcome_to_python(RunOutcome&& outcome, const std::vector<ScorerSpec>& axes) {
  // Owned here, so whatever the conversion does not carry over (and, on failure, every
  // candidate not yet moved) is released before returning, whatever the caller keeps.
  RunOutcome owned = std::move(outcome);
  return with_native_failures([&] { return convert(owned, axes); });
}

}  // namespace korvane::python
