#include "python/callback_scorer.h"

#include <string_view>
#include <utility>

#include "python/convert.h"
#include "python/errors.h"

namespace korvane::python {

namespace {

constexpr std::string_view kNotSequencePrefix = "채점기 '";
constexpr std::string_view kNotSequenceSuffix = "' 의 콜백이 목록이 아닌 것을 돌려줬다";

}  // namespace

CallbackScorer::CallbackScorer(std::string name, PyRef callback,
                               std::optional<Normalizer> normalizer, Scale declared,
                               std::shared_ptr<SequenceCheck> sequences,
                               std::shared_ptr<RunThread> run_thread,
                               std::shared_ptr<Interruption> interruption)
    : name_(std::move(name)),
      callback_(std::move(callback)),
      normalizer_(normalizer),
      declared_(declared),
      sequences_(std::move(sequences)),
      run_thread_(std::move(run_thread)),
      interruption_(std::move(interruption)) {}

std::optional<float> CallbackScorer::score(const Candidate& candidate) {
  const Candidate* one[] = {&candidate};
  std::vector<std::optional<float>> values = score_batch(one);
  return values.empty() ? std::nullopt : values.front();
}

std::vector<std::optional<float>> CallbackScorer::score_batch(
    std::span<const Candidate* const> pool) {
  std::vector<std::optional<float>> values;
  if (interruption_->stopped()) {
    values.assign(pool.size(), std::nullopt);
    return values;
  }
  {
    InterpreterLock lock(*run_thread_);
    if (!call(pool, &values)) {
      record_failure();
      values.assign(pool.size(), std::nullopt);
      return values;
    }
  }
  if (normalizer_) {
    for (std::optional<float>& value : values) {
      if (value) *value = normalizer_->apply(*value);
    }
  }
  return values;
}

bool CallbackScorer::call(std::span<const Candidate* const> pool,
                          std::vector<std::optional<float>>* out) {
  PyRef batch = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pool.size())));
  if (!batch) return false;
  for (size_t i = 0; i < pool.size(); ++i) {
    PyObject* object = static_cast<PyObject*>(pool[i]->object.get());
    // Every candidate of a Python run carries its object; a missing one reads as None.
    if (object == nullptr) object = Py_None;
    Py_INCREF(object);
    PyList_SetItem(batch.get(), static_cast<Py_ssize_t>(i), object);
  }

  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(callback_.get(), batch.get(), nullptr));
  if (!result) return false;
  int is_sequence = (*sequences_)(result.get());
  if (is_sequence < 0) return false;
  if (is_sequence == 0) {
    std::string message;
    message.append(kNotSequencePrefix).append(name_).append(kNotSequenceSuffix);
    raise_with_text(PyExc_ValueError, message);
    return false;
  }
  Py_ssize_t length = PySequence_Size(result.get());
  if (length < 0) return false;
  std::vector<std::optional<float>> values;
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(result.get(), i));
    if (!item) return false;
    std::optional<float>& value = values.emplace_back();
    if (item.get() == Py_None) continue;
    float score = 0.0f;
    if (!float32_from(item.get(), &score)) return false;
    value = score;
  }
  *out = std::move(values);
  return true;
}

void CallbackScorer::record_failure() {
  if (interruption_->take_if_interrupt()) return;
  CapturedError error = CapturedError::fetch();
  {
    std::lock_guard<std::mutex> guard(error_lock_);
    if (!error_) error_ = std::move(error);
  }
  // A later exception is dropped here, outside the slot's lock: releasing it may run
  // Python code.
}

CapturedError CallbackScorer::take_error() {
  CapturedError error;
  std::lock_guard<std::mutex> guard(error_lock_);
  error = std::move(error_);
  return error;
}

}  // namespace korvane::python
