#include "python/columns/list_source.h"

#include <algorithm>
#include <utility>

namespace korvane::python {

ListSource::ListSource(JoinedLists& joined, size_t group_positions)
    : joined_(joined), group_positions_(group_positions) {}

bool ListSource::fill(RowBlock& block) {
  if (next_ >= joined_.size()) return false;
  first_ = next_;
  const size_t count = std::min(RowBlock::kCapacity - block.size(), joined_.size() - next_);
  const size_t first_row = block.add_rows(count);
  if (const uint64_t* native = joined_.native_ids()) {
    std::copy_n(native + next_, count, block.integer_ids() + first_row);
  } else if (joined_.ids_distinct()) {
    // No text id: every id is an integer, written as such.
    uint64_t* integers = block.integer_ids() + first_row;
    for (size_t i = 0; i < count; ++i) integers[i] = joined_.id(next_ + i).integer;
  } else {
    for (size_t i = 0; i < count; ++i) block.set_id(first_row + i, joined_.id(next_ + i));
  }
  // Each list's values go to its own axis; NaN marks a candidate the list lacks.
  for (size_t list = 0; list < joined_.list_count(); ++list) {
    float* values = block.values(joined_.list_axis(list)) + first_row;
    uint8_t* present = block.present(joined_.list_axis(list)) + first_row;
    for (size_t i = 0; i < count; ++i) {
      const float value = joined_.value(next_ + i, list);
      values[i] = value;
      present[i] = static_cast<uint8_t>(value == value);
    }
  }
  next_ += count;
  return true;
}

void ListSource::complete(size_t row, Candidate& out) {
  const size_t candidate = first_ + row;
  // `out` may be a record reused from an earlier row: every field is written.
  out.object = joined_.handle(candidate);
  if (read_by_id()) {
    complete_by_id(candidate, out);
    return;
  }
  clear_by_id(out);
}

void ListSource::complete_block(std::span<PoolRecord> records) {
  if (read_by_id()) {
    for (size_t row = 0; row < records.size(); ++row) complete(row, records[row].candidate);
    return;
  }
  for (size_t row = 0; row < records.size(); ++row) {
    Candidate& out = records[row].candidate;
    out.object = joined_.handle(first_ + row);
    clear_by_id(out);
  }
}

bool ListSource::read_by_id() const {
  return !joined_.groups.empty() || !joined_.costs.empty() || !joined_.covers.empty();
}

void ListSource::complete_by_id(size_t candidate, Candidate& out) {
  out.groups.assign(group_positions_, std::nullopt);
  if (!joined_.groups.empty()) {
    for (size_t key = 0; key < group_positions_; ++key) {
      out.groups[key] = std::move(joined_.groups[candidate * group_positions_ + key]);
    }
  }
  out.cost = joined_.costs.empty() ? 0 : joined_.costs[candidate];
  out.cover.clear();
  if (!joined_.covers.empty()) out.cover = std::move(joined_.covers[candidate]);
}

std::optional<size_t> ListSource::list_of(size_t axis) const {
  for (size_t list = 0; list < joined_.list_count(); ++list) {
    if (joined_.list_axis(list) == axis) return list;
  }
  return std::nullopt;
}

bool ListSource::proposal_checked(size_t axis) const {
  const std::optional<size_t> list = list_of(axis);
  return list && joined_.in_entry_order(*list);
}

std::vector<uint32_t> ListSource::proposed_order(size_t axis) {
  // Candidates are fed in join order, so a candidate's index is its input position.
  const std::optional<size_t> list = list_of(axis);
  return list ? joined_.take_order(*list) : std::vector<uint32_t>();
}

ObjectHandle ListSource::object(size_t row) {
  return joined_.handle(first_ + row);
}

}  // namespace korvane::python
