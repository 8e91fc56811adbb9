#include "python/callback_scorer.h"

#include <string_view>
#include <utility>

#include "python/columns/array_view.h"
#include "python/columns/buffer_format.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/handle_object.h"

namespace korvane::python {

namespace {

constexpr std::string_view kNotSequencePrefix = "채점기 '";
constexpr std::string_view kNotSequenceSuffix = "' 의 콜백이 목록이 아닌 것을 돌려줬다";
constexpr std::string_view kArrayDimensionsSuffix = "' 의 콜백이 돌려준 배열은 1차원이어야 한다";
constexpr std::string_view kArrayFormatSuffix = "' 의 콜백이 돌려준 배열의 형식 '";

// Holds a Py_buffer for its lifetime.
class HeldBuffer {
 public:
  bool get(PyObject* object) {
    held_ = PyObject_GetBuffer(object, &buffer_, PyBUF_RECORDS_RO) == 0;
    return held_;
  }
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&buffer_);
  }
  const Py_buffer& operator*() const { return buffer_; }

 private:
  Py_buffer buffer_{};
  bool held_ = false;
};

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
    // Every candidate of a Python run carries its object or its row; a missing one reads
    // as None.
    PyObject* object = new_object_of(pool[i]->object);
    if (object == nullptr) return false;
    PyList_SetItem(batch.get(), static_cast<Py_ssize_t>(i), object);
  }

  PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(callback_.get(), batch.get(), nullptr));
  if (!result) return false;
  // A model's scores come as an array of numbers, read in place; an array of Python
  // objects is read item by item like a list.
  bool items_readable = false;
  if (PyObject_CheckBuffer(result.get())) {
    const BufferRead read = read_numbers(result.get(), out);
    if (read != BufferRead::kObjects) return read == BufferRead::kRead;
    items_readable = true;
  }
  if (!items_readable) {
    int is_sequence = (*sequences_)(result.get());
    if (is_sequence < 0) return false;
    if (is_sequence == 0) {
      std::string message;
      message.append(kNotSequencePrefix).append(name_).append(kNotSequenceSuffix);
      raise_with_text(PyExc_ValueError, message);
      return false;
    }
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

CallbackScorer::BufferRead CallbackScorer::read_numbers(PyObject* result,
                                                        std::vector<std::optional<float>>* out) {
  HeldBuffer buffer;
  if (!buffer.get(result)) return BufferRead::kFailed;
  std::string message(kNotSequencePrefix);
  message.append(name_);
  if ((*buffer).ndim != 1) {
    message.append(kArrayDimensionsSuffix)
        .append(". 받은 배열은 ")
        .append(std::to_string((*buffer).ndim))
        .append("차원이다");
    raise_with_text(PyExc_ValueError, message);
    return BufferRead::kFailed;
  }
  const char* format = (*buffer).format != nullptr ? (*buffer).format : "B";
  std::optional<BufferElement> element = parse_buffer_format(format);
  if (element && element->objects) return BufferRead::kObjects;
  const ColumnCategory category = element ? category_of(element->encoding) : ColumnCategory::kNull;
  if (!element || element->size != (*buffer).itemsize ||
      !(category == ColumnCategory::kInteger || category == ColumnCategory::kReal ||
        category == ColumnCategory::kBool)) {
    message.append(kArrayFormatSuffix).append(format).append("' 은 숫자가 아니다");
    raise_with_text(PyExc_TypeError, message);
    return BufferRead::kFailed;
  }
  ArrayView view;
  view.encoding = element->encoding;
  view.length = (*buffer).shape[0];
  view.data = static_cast<const uint8_t*>((*buffer).buf);
  view.stride = (*buffer).strides != nullptr ? (*buffer).strides[0] : (*buffer).itemsize;
  view.byte_swapped = element->byte_swapped;
  std::vector<std::optional<float>> values(static_cast<size_t>(view.length));
  // As float() reads each item of a list of the same numbers, narrowed to 32 bits.
  for (int64_t i = 0; i < view.length; ++i) values[i] = static_cast<float>(real_at(view, i));
  *out = std::move(values);
  return BufferRead::kRead;
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
