#include "python/engine_config.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/convert.h"
#include "python/engine_type.h"
#include "python/errors.h"
#include "python/run_plan.h"

namespace korvane::python {

namespace {

constexpr std::string_view kCheapCallbackMessage =
    "fn 을 주는 축은 cost='expensive' 여야 한다. 싼 축은 후보 전부에 도므로 파이썬을 부르면 "
    "스트리밍의 뜻이 사라진다";
constexpr std::string_view kCostReceived = "비용은 'cheap' 또는 'expensive' 여야 한다. 받은 값 '";
constexpr std::string_view kMinMaxRangeMessage =
    "normalize='minmax' 는 normalize_range=(min, max) 를 함께 받아야 한다";
constexpr std::string_view kNormalizerReceived =
    "정규화기는 'sigmoid', 'clamp01', 'minmax' 중 하나여야 한다. 받은 값 '";
constexpr std::string_view kScaleReceived =
    "척도는 'unit', 'unbounded', 'rank' 중 하나여야 한다. 받은 값 '";
constexpr std::string_view kWeightsShapeMessage =
    "weights 는 {'축이름': 가중치} 사전이거나 [('축이름', 가중치)] 목록이어야 한다";
constexpr std::string_view kFusionReceived =
    "융합은 'rrf', 'weighted_sum', 'max' 중 하나여야 한다. 받은 값 '";
constexpr std::string_view kImputeValueMessage = "missing='impute' 는 value 를 함께 받아야 한다";
constexpr std::string_view kMissingReceived =
    "결측 정책은 'skip', 'impute', 'reject' 중 하나여야 한다. 받은 값 '";
constexpr std::string_view kSampleCountMessage = "rejections='sample' 은 n 을 함께 받아야 한다";
constexpr std::string_view kRetentionReceived =
    "보관 정책은 'keep', 'count', 'sample' 중 하나여야 한다. 받은 값 '";

constexpr float kDefaultRrfK = 60.0f;

using Weights = std::vector<std::pair<std::string, float>>;

// PyArg_ParseTupleAndKeywords takes the keyword list as char** up to 3.12.
char** keywords(const char* const* list) {
  return const_cast<char**>(list);
}

// Raise ValueError with `message`; null, for returning from a method.
PyObject* refuse(std::string_view message) {
  raise_with_text(PyExc_ValueError, message);
  return nullptr;
}

// ValueError "<prefix><received>'" for a text that names none of the choices.
PyObject* refuse_received(std::string_view prefix, const std::string& received) {
  std::string message;
  message.reserve(prefix.size() + received.size() + 1);
  message.append(prefix).append(received).append("'");
  return refuse(message);
}

bool is_absent(PyObject* object) {
  return object == nullptr || object == Py_None;
}

bool scale_from_text(const std::string& text, Scale* out) {
  if (text == "unit") {
    *out = Scale::Unit;
  } else if (text == "unbounded") {
    *out = Scale::Unbounded;
  } else if (text == "rank") {
    *out = Scale::Rank;
  } else {
    refuse_received(kScaleReceived, text);
    return false;
  }
  return true;
}

// The (key, value) pairs of a dict in its iteration order, as a new list: an exact dict's
// storage order is that order; a subclass (an OrderedDict after move_to_end) is asked for
// its items().
PyObject* dict_items_in_order(PyObject* dict) {
  if (PyDict_CheckExact(dict)) return PyDict_Items(dict);
  PyRef items = PyRef::steal(PyObject_CallMethod(dict, "items", nullptr));
  return items ? PySequence_List(items.get()) : nullptr;
}

// The first pair naming an axis is the one that counts, so a dict is read in its iteration
// order. The items are copied out first, since str(key) and a value's __float__ may change
// the dict while it is read.
bool weights_from_dict(PyObject* dict, Weights* out) {
  PyRef items = PyRef::steal(dict_items_in_order(dict));
  if (!items) return false;
  Py_ssize_t count = PyList_Size(items.get());
  Weights weights;
  weights.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    // The list is ours alone and a tuple never changes, so borrowed items stay valid.
    PyObject* item = PyList_GetItem(items.get(), i);
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
      refuse(kWeightsShapeMessage);  // a subclass's items() that are not pairs
      return false;
    }
    std::pair<std::string, float> weight;
    if (!str_text_from(PyTuple_GetItem(item, 0), &weight.first) ||
        !float32_from(PyTuple_GetItem(item, 1), &weight.second)) {
      return false;
    }
    weights.push_back(std::move(weight));
  }
  *out = std::move(weights);
  return true;
}

// A sequence (not a str) of (text, float) tuples. False, possibly with an exception set,
// when the object has any other shape.
bool weights_from_pairs(PyObject* object, Weights* out) {
  if (PyUnicode_Check(object) || is_sequence(object) != 1) return false;
  Py_ssize_t count = PySequence_Size(object);
  if (count < 0) return false;
  Weights weights;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(object, i));
    if (!item || !PyTuple_Check(item.get()) || PyTuple_Size(item.get()) != 2) return false;
    std::pair<std::string, float> weight;
    if (!text_from(PyTuple_GetItem(item.get(), 0), &weight.first) ||
        !float32_from(PyTuple_GetItem(item.get(), 1), &weight.second)) {
      return false;
    }
    weights.push_back(std::move(weight));
  }
  *out = std::move(weights);
  return true;
}

bool weights_from(PyObject* object, Weights* out) {
  if (is_absent(object)) {
    out->clear();
    return true;
  }
  // A dict's failing key or value raises its own error; any other object of the wrong
  // shape gets the one message that shows both accepted forms.
  if (PyDict_Check(object)) return weights_from_dict(object, out);
  if (weights_from_pairs(object, out)) return true;
  // An interrupt or an exit raised while the list was read is not a shape error.
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  refuse(kWeightsShapeMessage);
  return false;
}

PyObject* engine_scorer_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"name", "scale", "cost", "normalize", "normalize_range",
                                          "fn",   nullptr};
  PyObject* name_arg = nullptr;
  PyObject* scale_arg = nullptr;
  PyObject* cost_arg = nullptr;
  PyObject* normalize_arg = nullptr;
  PyObject* range_arg = nullptr;
  PyObject* fn_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOOO:Engine.scorer", keywords(kKeywords),
                                   &name_arg, &scale_arg, &cost_arg, &normalize_arg, &range_arg,
                                   &fn_arg)) {
    return nullptr;
  }
  EngineObject* engine = as_engine(self);
  ExclusiveAccess access(engine->access);
  if (!access) return nullptr;
  engine->plan.reset();  // the settings change: the next run plans afresh

  std::string name;
  std::string scale_text = "unit";
  std::string cost_text = "cheap";
  std::optional<std::string> normalize;
  std::optional<std::pair<float, float>> range;
  if (!argument(name_arg, "name", text_from, &name)) return nullptr;
  if (scale_arg != nullptr && !argument(scale_arg, "scale", text_from, &scale_text)) {
    return nullptr;
  }
  if (cost_arg != nullptr && !argument(cost_arg, "cost", text_from, &cost_text)) return nullptr;
  if (!optional_argument(normalize_arg, "normalize", text_from, &normalize)) return nullptr;
  if (!optional_argument(range_arg, "normalize_range", float_pair_from, &range)) return nullptr;
  bool has_callback = !is_absent(fn_arg);

  ScorerSpec axis;
  if (cost_text == "expensive") {
    axis.expensive = true;
  } else if (cost_text == "cheap") {
    if (has_callback) return refuse(kCheapCallbackMessage);
  } else {
    return refuse_received(kCostReceived, cost_text);
  }
  if (!normalize) {
    // No normalizer.
  } else if (*normalize == "minmax") {
    if (!range) return refuse(kMinMaxRangeMessage);
    axis.normalizer = Normalizer::MinMax(range->first, range->second);
  } else if (*normalize == "sigmoid") {
    axis.normalizer = Normalizer::Sigmoid();
  } else if (*normalize == "clamp01") {
    axis.normalizer = Normalizer::Clamp01();
  } else {
    return refuse_received(kNormalizerReceived, *normalize);
  }
  if (!scale_from_text(scale_text, &axis.scale)) return nullptr;
  axis.name = std::move(name);
  if (has_callback) axis.callback = PyRef::borrow(fn_arg);

  engine->settings.axes.push_back(std::move(axis));
  Py_RETURN_NONE;
}

PyObject* engine_fuse_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"method", "k", "weights", nullptr};
  PyObject* method_arg = nullptr;
  PyObject* k_arg = nullptr;
  PyObject* weights_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:Engine.fuse", keywords(kKeywords),
                                   &method_arg, &k_arg, &weights_arg)) {
    return nullptr;
  }
  EngineObject* engine = as_engine(self);
  ExclusiveAccess access(engine->access);
  if (!access) return nullptr;
  engine->plan.reset();  // the settings change: the next run plans afresh

  std::string method;
  std::optional<float> k;
  if (!argument(method_arg, "method", text_from, &method)) return nullptr;
  if (!optional_argument(k_arg, "k", float32_from, &k)) return nullptr;

  Fusion fusion;
  if (method == "rrf") {
    fusion.kind = Fusion::Rrf{k.value_or(kDefaultRrfK)};
  } else if (method == "max") {
    fusion.kind = Fusion::Max{};
  } else if (method == "weighted_sum") {
    Fusion::WeightedSum sum;
    if (!weights_from(weights_arg, &sum.weights)) return nullptr;
    fusion.kind = std::move(sum);
  } else {
    return refuse_received(kFusionReceived, method);
  }
  engine->settings.fusion = std::move(fusion);
  Py_RETURN_NONE;
}

PyObject* engine_missing_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"policy", "value", nullptr};
  PyObject* policy_arg = nullptr;
  PyObject* value_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:Engine.missing", keywords(kKeywords),
                                   &policy_arg, &value_arg)) {
    return nullptr;
  }
  EngineObject* engine = as_engine(self);
  ExclusiveAccess access(engine->access);
  if (!access) return nullptr;
  engine->plan.reset();  // the settings change: the next run plans afresh

  std::string policy;
  std::optional<float> value;
  if (!argument(policy_arg, "policy", text_from, &policy)) return nullptr;
  if (!optional_argument(value_arg, "value", float32_from, &value)) return nullptr;

  Missing missing;
  missing.impute_value = value.value_or(0.0f);
  if (policy == "skip") {
    missing.policy = MissingPolicy::Skip;
  } else if (policy == "impute") {
    if (!value) return refuse(kImputeValueMessage);
    missing.policy = MissingPolicy::Impute;
  } else if (policy == "reject") {
    missing.policy = MissingPolicy::Reject;
  } else {
    return refuse_received(kMissingReceived, policy);
  }
  engine->settings.missing = missing;
  Py_RETURN_NONE;
}

PyObject* engine_rejections_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"policy", "n", nullptr};
  PyObject* policy_arg = nullptr;
  PyObject* n_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:Engine.rejections", keywords(kKeywords),
                                   &policy_arg, &n_arg)) {
    return nullptr;
  }
  EngineObject* engine = as_engine(self);
  ExclusiveAccess access(engine->access);
  if (!access) return nullptr;
  engine->plan.reset();  // the settings change: the next run plans afresh

  std::string policy;
  std::optional<uint64_t> n;
  if (!argument(policy_arg, "policy", text_from, &policy)) return nullptr;
  if (!optional_argument(n_arg, "n", u64_from, &n)) return nullptr;

  RejectionRetention retention;
  if (policy == "keep") {
    retention = RejectionRetention::Keep();
  } else if (policy == "count") {
    retention = RejectionRetention::Count();
  } else if (policy == "sample") {
    if (!n) return refuse(kSampleCountMessage);
    retention = RejectionRetention::Sample(*n);
  } else {
    return refuse_received(kRetentionReceived, policy);
  }
  engine->settings.rejections = retention;
  Py_RETURN_NONE;
}

PyObject* engine_max_per_group_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"key", "max", "id", nullptr};
  PyObject* key_arg = nullptr;
  PyObject* max_arg = nullptr;
  PyObject* id_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:Engine.max_per_group", keywords(kKeywords),
                                   &key_arg, &max_arg, &id_arg)) {
    return nullptr;
  }
  EngineObject* engine = as_engine(self);
  ExclusiveAccess access(engine->access);
  if (!access) return nullptr;
  engine->plan.reset();  // the settings change: the next run plans afresh

  GroupMaxSetting group;
  std::optional<std::string> id;
  if (!argument(key_arg, "key", text_from, &group.key)) return nullptr;
  if (!argument(max_arg, "max", u64_from, &group.max)) return nullptr;
  if (!optional_argument(id_arg, "id", text_from, &id)) return nullptr;
  group.id = id ? std::move(*id) : group.key;

  engine->settings.group_maxima.push_back(std::move(group));
  Py_RETURN_NONE;
}

PyObject* engine_max_total_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"max", "id", nullptr};
  PyObject* max_arg = nullptr;
  PyObject* id_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:Engine.max_total", keywords(kKeywords),
                                   &max_arg, &id_arg)) {
    return nullptr;
  }
  EngineObject* engine = as_engine(self);
  ExclusiveAccess access(engine->access);
  if (!access) return nullptr;
  engine->plan.reset();  // the settings change: the next run plans afresh

  TotalMaxSetting total;
  std::optional<std::string> id;
  if (!argument(max_arg, "max", u64_from, &total.max)) return nullptr;
  if (!optional_argument(id_arg, "id", text_from, &id)) return nullptr;
  total.id = id ? std::move(*id) : std::string("max_total");

  engine->settings.total_max = std::move(total);
  Py_RETURN_NONE;
}

PyObject* engine_require_at_least_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"key", "value", "n", "id", nullptr};
  PyObject* key_arg = nullptr;
  PyObject* value_arg = nullptr;
  PyObject* n_arg = nullptr;
  PyObject* id_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:Engine.require_at_least",
                                   keywords(kKeywords), &key_arg, &value_arg, &n_arg, &id_arg)) {
    return nullptr;
  }
  EngineObject* engine = as_engine(self);
  ExclusiveAccess access(engine->access);
  if (!access) return nullptr;
  engine->plan.reset();  // the settings change: the next run plans afresh

  RequirementSetting requirement;
  std::optional<std::string> id;
  if (!argument(key_arg, "key", text_from, &requirement.key)) return nullptr;
  if (!argument(value_arg, "value", text_from, &requirement.value)) return nullptr;
  if (!argument(n_arg, "n", u64_from, &requirement.n)) return nullptr;
  if (!optional_argument(id_arg, "id", text_from, &id)) return nullptr;
  requirement.id = id ? std::move(*id) : requirement.key;

  engine->settings.requirements.push_back(std::move(requirement));
  Py_RETURN_NONE;
}

PyObject* engine_unary_min_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"axis", "min", "id", nullptr};
  PyObject* axis_arg = nullptr;
  PyObject* min_arg = nullptr;
  PyObject* id_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$O:Engine.unary_min", keywords(kKeywords),
                                   &axis_arg, &min_arg, &id_arg)) {
    return nullptr;
  }
  EngineObject* engine = as_engine(self);
  ExclusiveAccess access(engine->access);
  if (!access) return nullptr;
  engine->plan.reset();  // the settings change: the next run plans afresh

  UnaryMinSetting unary;
  std::optional<std::string> id;
  if (!argument(axis_arg, "axis", text_from, &unary.axis)) return nullptr;
  if (!argument(min_arg, "min", float32_from, &unary.min)) return nullptr;
  if (!optional_argument(id_arg, "id", text_from, &id)) return nullptr;
  unary.id = id ? std::move(*id) : unary.axis;

  engine->settings.unary_minima.push_back(std::move(unary));
  Py_RETURN_NONE;
}

// The methods with one required argument and nothing to check: bind it, convert it with
// `convert`, and hand the value to `store`.
template <class T, class Store>
PyObject* set_one(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                  const char* parameter, bool (*convert)(PyObject*, T*), Store store) {
  const char* const kKeywords[] = {parameter, nullptr};
  PyObject* arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, keywords(kKeywords), &arg)) {
    return nullptr;
  }
  EngineObject* engine = as_engine(self);
  ExclusiveAccess access(engine->access);
  if (!access) return nullptr;
  engine->plan.reset();  // the settings change: the next run plans afresh
  T value{};
  if (!argument(arg, parameter, convert, &value)) return nullptr;
  store(engine->settings, std::move(value));
  Py_RETURN_NONE;
}

PyObject* engine_budget_tail_mass_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"epsilon", "fallback_k", nullptr};
  PyObject* epsilon_arg = nullptr;
  PyObject* fallback_arg = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Engine.budget_tail_mass", keywords(kKeywords),
                                   &epsilon_arg, &fallback_arg)) {
    return nullptr;
  }
  EngineObject* engine = as_engine(self);
  ExclusiveAccess access(engine->access);
  if (!access) return nullptr;
  engine->plan.reset();  // the settings change: the next run plans afresh

  Budget::TailMass tail;
  if (!argument(epsilon_arg, "epsilon", float32_from, &tail.epsilon)) return nullptr;
  if (!argument(fallback_arg, "fallback_k", u32_from, &tail.fallback_k)) return nullptr;
  engine->settings.budget.kind = tail;
  Py_RETURN_NONE;
}

}  // namespace

PyObject* engine_scorer(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_scorer_impl(self, args, kwargs); });
}

PyObject* engine_fuse(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_fuse_impl(self, args, kwargs); });
}

PyObject* engine_missing(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_missing_impl(self, args, kwargs); });
}

PyObject* engine_rejections(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_rejections_impl(self, args, kwargs); });
}

PyObject* engine_max_per_group(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_max_per_group_impl(self, args, kwargs); });
}

PyObject* engine_max_total(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_max_total_impl(self, args, kwargs); });
}

PyObject* engine_require_at_least(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_require_at_least_impl(self, args, kwargs); });
}

PyObject* engine_unary_min(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_unary_min_impl(self, args, kwargs); });
}

PyObject* engine_coverage_objective(PyObject* self, PyObject* /*unused*/) {
  EngineObject* engine = as_engine(self);
  ExclusiveAccess access(engine->access);
  if (!access) return nullptr;
  engine->plan.reset();  // the settings change: the next run plans afresh
  engine->settings.coverage_objective = true;
  Py_RETURN_NONE;
}

PyObject* engine_budget_top_k(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] {
    return set_one(
        self, args, kwargs, "O:Engine.budget_top_k", "k", u32_from,
        [](EngineSettings& settings, uint32_t k) { settings.budget.kind = Budget::TopK{k}; });
  });
}

PyObject* engine_budget_tail_mass(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] { return engine_budget_tail_mass_impl(self, args, kwargs); });
}

PyObject* engine_budget_tokens(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] {
    return set_one(
        self, args, kwargs, "O:Engine.budget_tokens", "max", u32_from,
        [](EngineSettings& settings, uint32_t max) { settings.budget.kind = Budget::Tokens{max}; });
  });
}

PyObject* engine_admission(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] {
    return set_one(
        self, args, kwargs, "O:Engine.admission", "axis", text_from,
        [](EngineSettings& settings, std::string axis) { settings.admission = std::move(axis); });
  });
}

PyObject* engine_pool_multiplier(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] {
    return set_one(self, args, kwargs, "O:Engine.pool_multiplier", "multiplier", u32_from,
                   [](EngineSettings& settings, uint32_t multiplier) {
                     settings.pool_multiplier = multiplier;
                   });
  });
}

PyObject* engine_threshold(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] {
    return set_one(self, args, kwargs, "O:Engine.threshold", "value", float32_from,
                   [](EngineSettings& settings, float value) { settings.threshold = value; });
  });
}

PyObject* engine_min_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return with_native_failures([&] {
    return set_one(self, args, kwargs, "O:Engine.min_fit", "value", float32_from,
                   [](EngineSettings& settings, float value) { settings.min_fit = value; });
  });
}

}  // namespace korvane::python
