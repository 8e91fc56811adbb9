// The candidate source of Engine.run_lists: the joined candidates in first-appearance
// order. A candidate's value on each list's axis is read from that list at its row, in
// place, as it is pulled; its object is the id as given.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/candidate_source.h"
#include "python/columns/list_join.h"

namespace korvane::python {

class ListSource final : public korvane::PullSource {
 public:
  // `lists` and `joined` outlive the source; each candidate's object moves out of
  // `joined` as it is pulled.
  ListSource(const std::vector<RankedList>& lists, JoinedLists& joined, size_t axis_count,
             size_t group_positions);

  Pull pull() override;

 private:
  const std::vector<RankedList>& lists_;
  JoinedLists& joined_;
  size_t axis_count_;
  size_t group_positions_;
  size_t next_ = 0;
};

}  // namespace korvane::python
