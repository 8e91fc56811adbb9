// The candidate source of Engine.run_lists: the joined candidates in first-appearance
// order. A fill copies a block of candidates' identifiers and list values from the join;
// groups, cost, cover and the object are handed over only for the rows stage 1 keeps.
// Reads Python objects (a candidate's object), so it runs with the interpreter lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/candidate_source.h"
#include "python/columns/list_join.h"

namespace korvane::python {

class ListSource final : public korvane::CandidateSource {
 public:
  // `joined` outlives the source; a candidate's groups and cover move out of it as the
  // candidate is completed.
  ListSource(JoinedLists& joined, size_t group_positions);

  bool fill(RowBlock& block) override;
  void complete(size_t row, Candidate& out) override;
  void complete_block(std::span<PoolRecord> records) override;
  ObjectHandle object(size_t row) override;
  bool ids_distinct() const override { return joined_.ids_distinct(); }
  bool proposal_checked(size_t axis) const override;
  bool completes_natively() const override {
    return joined_.native_ids() != nullptr && !read_by_id();
  }
  // The order of the list on that axis: its candidates as it ranks them.
  std::vector<uint32_t> proposed_order(size_t axis) override;

 private:
  // The list whose values are on `axis`, if one is.
  std::optional<size_t> list_of(size_t axis) const;
  // Whether the join read groups, costs or covers by id.
  bool read_by_id() const;
  // complete() for a join that read them, and for one that did not.
  void complete_by_id(size_t candidate, Candidate& out);
  // Written here so that a block's loop inlines it.
  void clear_by_id(Candidate& out) const {
    if (group_positions_ == 0) {
      out.groups.clear();
    } else {
      out.groups.assign(group_positions_, std::nullopt);
    }
    out.cost = 0;
    out.cover.clear();
  }

  JoinedLists& joined_;
  size_t group_positions_;
  size_t first_ = 0;  // the candidate in row 0 of the last fill
  size_t next_ = 0;
};

}  // namespace korvane::python
