#include "python/result_dicts.h"

#include <algorithm>
#include <string>
#include <utility>

#include "python/py_values.h"

namespace korvane::python {

namespace {

// Sets dict[key] = value, `key` an ASCII literal; false with an exception set when the
// value could not be made (it arrives empty) or the insertion fails.
bool put(PyObject* dict, const char* key, PyRef value) {
  if (!value) return false;
  return PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyRef new_dict() {
  return PyRef::steal(PyDict_New());
}

// A nanosecond total may exceed 64 bits: built from its two halves as (high << 64) | low.
PyRef py_u128(uint128 value) {
  uint64_t high = static_cast<uint64_t>(value >> 64);
  uint64_t low = static_cast<uint64_t>(value);
  if (high == 0) return py_u64(low);
  PyRef high_part = py_u64(high);
  PyRef shift = py_u64(64);
  if (!high_part || !shift) return {};
  PyRef shifted = PyRef::steal(PyNumber_Lshift(high_part.get(), shift.get()));
  PyRef low_part = shifted ? py_u64(low) : PyRef();
  if (!low_part) return {};
  return PyRef::steal(PyNumber_Or(shifted.get(), low_part.get()));
}

// The payload of a term: the value of a value or imputed input, a rank narrowed to a 32-bit
// float as fusion used it, None for a skipped one.
PyRef term_value(const TermInput& input) {
  switch (input.kind) {
    case TermInputKind::Value:
    case TermInputKind::Imputed:
      return py_float(input.value);
    case TermInputKind::Rank:
      return py_float(static_cast<float>(input.rank));
    case TermInputKind::Skipped:
      break;
  }
  return py_none();
}

PyRef term_dict(const EvidenceTerm& term, const std::string& scorer) {
  PyRef dict = new_dict();
  if (!dict || !put(dict.get(), "scorer", py_text(scorer)) ||
      !put(dict.get(), "input", py_text(name(term.input.kind))) ||
      !put(dict.get(), "value", term_value(term.input)) ||
      !put(dict.get(), "weight", py_float(term.weight)) ||
      !put(dict.get(), "contribution", py_float(term.contribution))) {
    return {};
  }
  return dict;
}

PyRef scorer_dict(const ScorerTrace& scorer, bool expensive) {
  PyRef dict = new_dict();
  if (!dict || !put(dict.get(), "scorer", py_text(scorer.scorer)) ||
      !put(dict.get(), "calls", py_u64(scorer.calls)) ||
      !put(dict.get(), "missing", py_u64(scorer.missing)) ||
      !put(dict.get(), "elapsed_nanos", py_u128(scorer.elapsed_nanos)) ||
      !put(dict.get(), "cost", py_text(expensive ? "expensive" : "cheap"))) {
    return {};
  }
  return dict;
}

PyRef budget_value(const std::optional<BudgetEvidence>& budget) {
  if (!budget) return py_none();
  PyRef dict = new_dict();
  if (!dict || !put(dict.get(), "s", py_float(budget->s)) ||
      !put(dict.get(), "fit_quality", py_float(budget->fit_quality)) ||
      !put(dict.get(), "fallback", py_bool(budget->fallback)) ||
      !put(dict.get(), "reason", budget->reason ? py_text(name(*budget->reason)) : py_none()) ||
      !put(dict.get(), "derived_k", py_u64(budget->derived_k))) {
    return {};
  }
  return dict;
}

}  // namespace

PyRef scores_dict(std::span<const std::optional<float>> scores, const RunLabels& labels) {
  PyRef dict = new_dict();
  if (!dict) return {};
  for (size_t i = 0; i < scores.size(); ++i) {
    PyRef key = py_text(labels.axes[i]);
    PyRef value = key ? py_optional_float(scores[i]) : PyRef();
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return {};
  }
  return dict;
}

PyRef fusion_dict(const FusionEvidence& fusion, const RunLabels& labels) {
  PyRef dict = new_dict();
  if (!dict || !put(dict.get(), "method", py_text(name(fusion.method)))) return {};
  if (fusion.k && !put(dict.get(), "k", py_float(*fusion.k))) return {};
  if (!put(dict.get(), "missing_policy", py_text(name(fusion.missing)))) return {};
  PyRef terms = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(fusion.terms.size())));
  if (!terms) return {};
  for (size_t i = 0; i < fusion.terms.size(); ++i) {
    PyRef term = term_dict(fusion.terms[i], labels.axes[i]);
    if (!term) return {};
    PyList_SetItem(terms.get(), static_cast<Py_ssize_t>(i), term.release());
  }
  if (!put(dict.get(), "terms", std::move(terms))) return {};
  return dict;
}

PyRef counts_dict(const RejectCounts& counts) {
  PyRef dict = new_dict();
  if (!dict) return {};
  for (int i = 0; i < kRejectKindCount; ++i) {
    RejectKind kind = static_cast<RejectKind>(i);
    std::string key(name(kind));
    if (!put(dict.get(), key.c_str(), py_u64(counts[kind]))) return {};
  }
  return dict;
}

PyRef selection_dict(const SelectionProperties& selection) {
  PyRef dict = new_dict();
  if (!dict || !put(dict.get(), "exact", py_bool(selection.exact)) ||
      !put(dict.get(), "guarantee", py_optional_float(selection.guarantee)) ||
      !put(dict.get(), "pool_size", py_u64(selection.pool_size)) ||
      !put(dict.get(), "pool_exhausted", py_bool(selection.pool_exhausted)) ||
      !put(dict.get(), "cut_margin", py_optional_float(selection.cut_margin))) {
    return {};
  }
  return dict;
}

PyRef trace_dict(const RunTrace& trace, const std::vector<bool>& expensive) {
  PyRef dict = new_dict();
  if (!dict || !put(dict.get(), "input_count", py_u64(trace.input_count)) ||
      !put(dict.get(), "pool_capacity", py_u64(trace.pool_capacity))) {
    return {};
  }
  PyRef admission = trace.admission_scorer ? py_text(*trace.admission_scorer) : py_none();
  if (!put(dict.get(), "admission_scorer", std::move(admission))) return {};
  size_t count = std::min(trace.scorers.size(), expensive.size());
  PyRef scorers = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!scorers) return {};
  for (size_t i = 0; i < count; ++i) {
    PyRef scorer = scorer_dict(trace.scorers[i], expensive[i]);
    if (!scorer) return {};
    PyList_SetItem(scorers.get(), static_cast<Py_ssize_t>(i), scorer.release());
  }
  if (!put(dict.get(), "scorers", std::move(scorers)) ||
      !put(dict.get(), "budget", budget_value(trace.budget))) {
    return {};
  }
  return dict;
}

}  // namespace korvane::python
