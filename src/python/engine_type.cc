#include "python/engine_type.h"

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "audit/float_text.h"
#include "python/engine_config.h"
#include "python/engine_docs.h"
#include "python/errors.h"
#include "python/run.h"
#include "python/run_plan.h"
#include "python/run_columns.h"
#include "python/run_lists.h"

namespace korvane::python {

namespace {

// Empties each callback slot before dropping its reference: dropping one may run Python
// code (a __del__) that calls back into this engine and appends axes, so the loop goes by
// index and stops at the axes that were there when it began.
void drop_callbacks(EngineObject* engine) {
  std::vector<ScorerSpec>& axes = engine->settings.axes;
  for (size_t i = 0, count = axes.size(); i < count && i < axes.size(); ++i) {
    PyRef callback = std::move(axes[i].callback);
  }
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if ((args != nullptr && PyTuple_Size(args) != 0) ||
      (kwargs != nullptr && PyDict_Size(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Engine() takes no arguments");
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  EngineObject* engine = as_engine(self);
  new (&engine->access) AccessState();
  new (&engine->settings) EngineSettings();
  new (&engine->plan) std::shared_ptr<RunPlan>();
  return self;
}

int engine_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  for (const ScorerSpec& axis : as_engine(self)->settings.axes) Py_VISIT(axis.callback.get());
  return 0;
}

int engine_clear(PyObject* self) {
  drop_callbacks(as_engine(self));
  return 0;
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  EngineObject* engine = as_engine(self);
  drop_callbacks(engine);
  std::destroy_at(&engine->plan);
  engine->settings.~EngineSettings();
  engine->access.~AccessState();
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

std::string budget_text(const Budget& budget) {
  struct Describe {
    std::string operator()(const Budget::TopK& top) const {
      return "TopK(" + std::to_string(top.k) + ")";
    }
    std::string operator()(const Budget::TailMass& tail) const {
      return "TailMass { epsilon: " + debug_float(tail.epsilon) +
             ", fallback_k: " + std::to_string(tail.fallback_k) + " }";
    }
    std::string operator()(const Budget::Tokens& tokens) const {
      return "Tokens(" + std::to_string(tokens.max) + ")";
    }
  };
  return std::visit(Describe{}, budget.kind);
}

PyObject* engine_repr(PyObject* self) {
  return with_native_failures([&]() -> PyObject* {
    EngineObject* engine = as_engine(self);
    SharedAccess access(engine->access);
    if (!access) return nullptr;
    const EngineSettings& settings = engine->settings;
    std::string text = "Engine(axes=" + std::to_string(settings.axes.size()) + ", fusion=";
    text.append(name(settings.fusion.method()));
    text.append(", budget=").append(budget_text(settings.budget)).append(")");
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

template <class Method>
PyCFunction as_method(Method method) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

constexpr int kWithKeywords = METH_VARARGS | METH_KEYWORDS;

// One entry per method, each defined in the file of its concern (the configuration
// methods in engine_config.cc, the runs in run*.cc); the docstrings live in engine_docs.h.
PyMethodDef engine_methods[] = {
    {"scorer", as_method(engine_scorer), kWithKeywords, kScorerDoc},
    {"fuse", as_method(engine_fuse), kWithKeywords, kFuseDoc},
    {"missing", as_method(engine_missing), kWithKeywords, kMissingDoc},
    {"rejections", as_method(engine_rejections), kWithKeywords, kRejectionsDoc},
    {"max_per_group", as_method(engine_max_per_group), kWithKeywords, kMaxPerGroupDoc},
    {"max_total", as_method(engine_max_total), kWithKeywords, kMaxTotalDoc},
    {"require_at_least", as_method(engine_require_at_least), kWithKeywords, kRequireAtLeastDoc},
    {"unary_min", as_method(engine_unary_min), kWithKeywords, kUnaryMinDoc},
    {"coverage_objective", engine_coverage_objective, METH_NOARGS, kCoverageObjectiveDoc},
    {"budget_top_k", as_method(engine_budget_top_k), kWithKeywords, kBudgetTopKDoc},
    {"budget_tail_mass", as_method(engine_budget_tail_mass), kWithKeywords, kBudgetTailMassDoc},
    {"budget_tokens", as_method(engine_budget_tokens), kWithKeywords, kBudgetTokensDoc},
    {"admission", as_method(engine_admission), kWithKeywords, kAdmissionDoc},
    {"pool_multiplier", as_method(engine_pool_multiplier), kWithKeywords, kPoolMultiplierDoc},
    {"threshold", as_method(engine_threshold), kWithKeywords, kThresholdDoc},
    {"min_fit", as_method(engine_min_fit), kWithKeywords, kMinFitDoc},
    {"run", as_method(engine_run), kWithKeywords, kRunDoc},
    {"run_columns", as_method(engine_run_columns), kWithKeywords, kRunColumnsDoc},
    {"run_lists", as_method(engine_run_lists), kWithKeywords, kRunListsDoc},
    {"shortlist", as_method(engine_shortlist), kWithKeywords, kShortlistDoc},
    {"shortlist_columns", as_method(engine_shortlist_columns), kWithKeywords,
     kShortlistColumnsDoc},
    {"run_shortlists", as_method(engine_run_shortlists), kWithKeywords, kRunShortlistsDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>(kEngineDoc)},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(engine_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(engine_repr)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

// Final (no Py_TPFLAGS_BASETYPE): the settings layout is the whole object.
PyType_Spec engine_type_spec = {
    "korvane.Engine",
    static_cast<int>(sizeof(EngineObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    engine_slots,
};

PyTypeObject* engine_class = nullptr;

}  // namespace

PyTypeObject* engine_type() {
  if (engine_class == nullptr) {
    engine_class = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&engine_type_spec));
  }
  return engine_class;
}

}  // namespace korvane::python
