#include "python/candidate_source.h"

#include <optional>
#include <string_view>
#include <utility>

#include "python/convert.h"
#include "python/errors.h"

namespace korvane::python {

namespace {

constexpr std::string_view kNotDictMessage =
    "후보는 사전(dict)이어야 한다. 'id' 와 'scores' 가 필요하다";
constexpr std::string_view kNoIdMessage = "후보에 'id' 가 없다";
constexpr std::string_view kScoresShapeMessage = "'scores' 는 사전이거나 순서열이어야 한다";
constexpr std::string_view kGroupsShapeMessage = "'groups' 는 사전이어야 한다";
constexpr std::string_view kCoverShapeMessage = "'cover' 는 순서열이어야 한다";

void release_object(void* object) {
  drop_reference(static_cast<PyObject*>(object));
}

PyRef text_object(std::string_view text) {
  return PyRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool text_objects(const std::vector<std::string>& texts, std::vector<PyRef>* out) {
  out->reserve(texts.size());
  for (const std::string& text : texts) {
    PyRef object = text_object(text);
    if (!object) return false;
    out->push_back(std::move(object));
  }
  return true;
}

bool fail(std::string_view message) {
  raise_with_text(PyExc_ValueError, message);
  return false;
}

// The entry's value in the dict's own storage (no __getitem__ or __missing__), held
// against changes to the dict while it is converted. Empty when the key is absent; false
// when the lookup raised.
bool lookup(PyObject* dict, PyObject* key, PyRef* out) {
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr && PyErr_Occurred()) return false;
  *out = PyRef::borrow(value);
  return true;
}

}  // namespace

std::unique_ptr<CandidateSource> CandidateSource::create(PyRef iterator, const Reading& reading,
                                                         std::shared_ptr<SequenceCheck> sequences) {
  std::unique_ptr<CandidateSource> source(new CandidateSource());
  EntryKeys& keys = source->keys_;
  keys.id = text_object("id");
  keys.scores = text_object("scores");
  keys.groups = text_object("groups");
  keys.cost = text_object("cost");
  keys.cover = text_object("cover");
  if (!keys.id || !keys.scores || !keys.groups || !keys.cost || !keys.cover ||
      !text_objects(reading.axis_names, &source->axis_names_) ||
      !text_objects(reading.group_keys, &source->group_keys_)) {
    return nullptr;
  }
  source->iterator_ = std::move(iterator);
  source->read_cost_ = reading.cost;
  source->read_cover_ = reading.cover;
  source->sequences_ = std::move(sequences);
  return source;
}

CandidateSource::Pull CandidateSource::pull() {
  if (!iterator_) return EndOfInput{};
  PyRef item = PyRef::steal(PyIter_Next(iterator_.get()));
  if (!item) {
    if (!PyErr_Occurred()) return EndOfInput{};
    const bool ordinary = PyErr_ExceptionMatches(PyExc_Exception);
    record_failure();
    if (!ordinary || ++iterator_failures_ >= kIteratorFailuresInARow) return EndOfInput{};
    return NothingThisTime{};
  }
  iterator_failures_ = 0;
  Candidate candidate;
  if (!convert(item.get(), &candidate)) {
    record_failure();
    return NothingThisTime{};
  }
  candidate.object = ObjectHandle(item.release(), release_object);
  return candidate;
}

void CandidateSource::record_failure() {
  CapturedError error = CapturedError::fetch();
  if (!error_) error_ = std::move(error);
  // A later failure is dropped here, at the end of this scope.
}

bool CandidateSource::convert(PyObject* item, Candidate* out) {
  if (!PyDict_Check(item)) return fail(kNotDictMessage);

  PyRef id;
  if (!lookup(item, keys_.id.get(), &id)) return false;
  if (!id) return fail(kNoIdMessage);
  if (!identifier_from(id.get(), &out->id)) return false;

  out->values.assign(axis_names_.size(), std::nullopt);
  PyRef scores;
  if (!lookup(item, keys_.scores.get(), &scores)) return false;
  if (scores && !read_scores(scores.get(), out)) return false;

  if (!group_keys_.empty() && !read_groups(item, out)) return false;
  if (read_cost_ && !read_cost(item, out)) return false;
  if (read_cover_ && !read_cover(item, out)) return false;
  return true;
}

bool CandidateSource::read_scores(PyObject* scores, Candidate* out) {
  if (PyDict_Check(scores)) {
    for (size_t axis = 0; axis < axis_names_.size(); ++axis) {
      PyRef value;
      if (!lookup(scores, axis_names_[axis].get(), &value)) return false;
      if (value && !optional_float32_from(value.get(), &out->values[axis])) return false;
    }
    return true;
  }
  int is_sequence = (*sequences_)(scores);
  if (is_sequence < 0) return false;
  if (is_sequence == 0) return fail(kScoresShapeMessage);
  Py_ssize_t length = PySequence_Size(scores);
  if (length < 0) return false;
  // Positions past the last axis are never read.
  const size_t count = std::min(static_cast<size_t>(length), axis_names_.size());
  for (size_t axis = 0; axis < count; ++axis) {
    PyRef value = PyRef::steal(PySequence_GetItem(scores, static_cast<Py_ssize_t>(axis)));
    if (!value || !optional_float32_from(value.get(), &out->values[axis])) return false;
  }
  return true;
}

bool CandidateSource::read_groups(PyObject* item, Candidate* out) {
  out->groups.assign(group_keys_.size(), std::nullopt);
  PyRef groups;
  if (!lookup(item, keys_.groups.get(), &groups)) return false;
  if (!groups) return true;
  if (!PyDict_Check(groups.get())) return fail(kGroupsShapeMessage);
  for (size_t key = 0; key < group_keys_.size(); ++key) {
    PyRef value;
    if (!lookup(groups.get(), group_keys_[key].get(), &value)) return false;
    if (!value || value.get() == Py_None) continue;
    std::string text;
    if (!str_text_from(value.get(), &text)) return false;
    out->groups[key] = std::move(text);
  }
  return true;
}

bool CandidateSource::read_cost(PyObject* item, Candidate* out) {
  PyRef cost;
  if (!lookup(item, keys_.cost.get(), &cost)) return false;
  if (!cost || cost.get() == Py_None) return true;
  return u32_from(cost.get(), &out->cost);
}

bool CandidateSource::read_cover(PyObject* item, Candidate* out) {
  PyRef cover;
  if (!lookup(item, keys_.cover.get(), &cover)) return false;
  if (!cover || cover.get() == Py_None) return true;
  int is_sequence = (*sequences_)(cover.get());
  if (is_sequence < 0) return false;
  if (is_sequence == 0) return fail(kCoverShapeMessage);
  Py_ssize_t length = PySequence_Size(cover.get());
  if (length < 0) return false;
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef entry = PyRef::steal(PySequence_GetItem(cover.get(), i));
    std::string text;
    if (!entry || !str_text_from(entry.get(), &text)) return false;
    out->cover.push_back(std::move(text));
  }
  return true;
}

}  // namespace korvane::python
