#include "python/columns/list_source.h"

#include <utility>

#include "python/py_ref.h"

namespace korvane::python {

namespace {

void release_object(void* object) {
  drop_reference(static_cast<PyObject*>(object));
}

}  // namespace

ListSource::ListSource(const std::vector<RankedList>& lists, JoinedLists& joined, size_t axis_count,
                       size_t group_positions)
    : lists_(lists), joined_(joined), axis_count_(axis_count), group_positions_(group_positions) {}

PullSource::Pull ListSource::pull() {
  if (next_ >= joined_.size()) return EndOfInput{};
  const size_t at = next_++;
  Candidate candidate;
  candidate.object = ObjectHandle(joined_.objects[at].release(), release_object);
  candidate.id = joined_.ids[at];
  candidate.values.resize(axis_count_);
  for (size_t list = 0; list < lists_.size(); ++list) {
    const int64_t row = joined_.rows[at * joined_.list_count + list];
    if (row >= 0) candidate.values[lists_[list].axis] = lists_[list].value(row);
  }
  if (group_positions_ > 0) {
    candidate.groups.resize(group_positions_);
    if (!joined_.groups.empty()) {
      for (size_t key = 0; key < group_positions_; ++key) {
        candidate.groups[key] = std::move(joined_.groups[at * group_positions_ + key]);
      }
    }
  }
  if (!joined_.costs.empty()) candidate.cost = joined_.costs[at];
  if (!joined_.covers.empty()) candidate.cover = std::move(joined_.covers[at]);
  return candidate;
}

}  // namespace korvane::python
