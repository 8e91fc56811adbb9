#include "python/columns/list_source.h"

#include <cmath>
#include <utility>

namespace korvane::python {

ListSource::ListSource(JoinedLists& joined, size_t group_positions)
    : joined_(joined), group_positions_(group_positions) {}

bool ListSource::fill(RowBlock& block) {
  if (next_ >= joined_.size()) return false;
  first_ = next_;
  const size_t lists = joined_.list_count();
  while (!block.full() && next_ < joined_.size()) {
    const size_t row = block.add_row(joined_.id(next_));
    for (size_t list = 0; list < lists; ++list) {
      const float value = joined_.value(next_, list);
      if (!std::isnan(value)) block.set_value(joined_.list_axis(list), row, value);
    }
    ++next_;
  }
  return true;
}

void ListSource::complete(size_t row, Candidate& out) {
  const size_t candidate = first_ + row;
  // `out` may be a record reused from an earlier row: every field is written.
  out.groups.assign(group_positions_, std::nullopt);
  if (!joined_.groups.empty()) {
    for (size_t key = 0; key < group_positions_; ++key) {
      out.groups[key] = std::move(joined_.groups[candidate * group_positions_ + key]);
    }
  }
  out.cost = joined_.costs.empty() ? 0 : joined_.costs[candidate];
  out.cover.clear();
  if (!joined_.covers.empty()) out.cover = std::move(joined_.covers[candidate]);
  out.object = joined_.handle(candidate);
}

ObjectHandle ListSource::object(size_t row) {
  return joined_.handle(first_ + row);
}

}  // namespace korvane::python
