#include "engine/candidate_source.h"

#include <algorithm>
#include <utility>

namespace korvane {

bool PullSource::fill(RowBlock& block) {
  held_.clear();
  held_.reserve(RowBlock::kCapacity);
  if (ended_) return false;
  while (!block.full()) {
    Pull pulled = pull();
    if (std::holds_alternative<EndOfInput>(pulled)) {
      ended_ = true;
      return block.size() > 0;
    }
    if (Candidate* candidate = std::get_if<Candidate>(&pulled)) {
      held_.push_back(std::move(*candidate));
      const Candidate& held = held_.back();
      // The view points into the held candidate, which stays put: no reallocation.
      const size_t row = block.add_row(held.id.is_integer() ? IdView::Integer(held.id.integer())
                                                            : IdView::Text(held.id.text()));
      const size_t axes = std::min(block.axis_count(), held.values.size());
      for (size_t axis = 0; axis < axes; ++axis) {
        if (held.values[axis]) block.set_value(axis, row, *held.values[axis]);
      }
    }
  }
  return true;
}

void CandidateSource::complete_block(std::span<PoolRecord> records) {
  for (size_t row = 0; row < records.size(); ++row) complete(row, records[row].candidate);
}

void PullSource::complete(size_t row, Candidate& out) {
  Candidate& held = held_[row];
  out.groups = std::move(held.groups);
  out.cover = std::move(held.cover);
  out.cost = held.cost;
  out.object = std::move(held.object);
}

ObjectHandle PullSource::object(size_t row) {
  return std::move(held_[row].object);
}

}  // namespace korvane
