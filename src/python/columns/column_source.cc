#include "python/columns/column_source.h"

#include <utility>

#include "python/py_ref.h"

namespace korvane::python {

namespace {

void release_object(void* object) {
  drop_reference(static_cast<PyObject*>(object));
}

}  // namespace

ColumnSource::ColumnSource(Columns columns, int64_t row_offset, std::optional<IdKey> pad)
    : columns_(std::move(columns)), row_offset_(row_offset), pad_(std::move(pad)) {}

PullSource::Pull ColumnSource::pull() {
  const Column& ids = *columns_.ids;
  const int64_t rows = ids.length();
  while (next_ < rows && pad_ && pad_->matches(ids.key(next_))) ++next_;
  if (next_ >= rows) return EndOfInput{};
  const int64_t row = next_++;

  PyObject* object = PyLong_FromLongLong(row_offset_ + row);
  if (object == nullptr) {
    CapturedError error = CapturedError::fetch();
    if (!error_) error_ = std::move(error);
    return NothingThisTime{};
  }
  Candidate candidate;
  candidate.object = ObjectHandle(object, release_object);
  candidate.id = ids.id(row);
  candidate.values.resize(columns_.scores.size());
  for (size_t axis = 0; axis < columns_.scores.size(); ++axis) {
    if (const Column* scores = columns_.scores[axis]) candidate.values[axis] = scores->score(row);
  }
  if (!columns_.groups.empty()) {
    candidate.groups.resize(columns_.groups.size());
    for (size_t key = 0; key < columns_.groups.size(); ++key) {
      if (const Column* groups = columns_.groups[key]) candidate.groups[key] = groups->text(row);
    }
  }
  if (columns_.cost != nullptr) candidate.cost = columns_.cost->cost(row);
  if (columns_.cover != nullptr) columns_.cover->cover(row, &candidate.cover);
  return candidate;
}

}  // namespace korvane::python
