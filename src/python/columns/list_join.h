// The join of Engine.run_lists: the candidates are the union of the ranked lists' ids, in
// first-appearance order (the lists in the mapping's order, each list in its own order).
// Ids match by value (IdKey). A candidate keeps its first row in each list, the
// best-placed one, whose score is its value on that list's axis. The group values, costs
// and cover lists given by id are looked up once, before the run, with each candidate's
// object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/candidate_id.h"
#include "python/columns/column.h"
#include "python/columns/id_key.h"
#include "python/py_ref.h"
#include "python/sequence_check.h"

namespace korvane::python {

// One retriever's output: its ids, and their scores or, when none are given, their rank
// order (best first).
struct RankedList {
  size_t axis = 0;  // the position of the list's axis
  Column ids;
  std::unique_ptr<Column> scores;  // null: ranked, valued -1, -2, ... by row

  // The value of the list's row on its axis.
  std::optional<float> value(int64_t row) const;
};

struct JoinedLists {
  // Joins the lists, passing over rows whose id matches `pad`. False with the exception
  // set for an id that is neither an integer nor a text, or whose object cannot be made.
  bool join(const std::vector<RankedList>& lists, const std::optional<IdKey>& pad);

  // `by_id` maps ids to group values (None: none); the value of each candidate is stored
  // at every listed position of the group key list, as the text of str(value).
  bool read_groups(PyObject* by_id, const std::string& name, const std::vector<size_t>& positions,
                   size_t position_count);
  // `by_id` maps ids to costs (None or no entry: 0).
  bool read_costs(PyObject* by_id);
  // `by_id` maps ids to cover lists (None or no entry: none).
  bool read_covers(PyObject* by_id, SequenceCheck& sequences);

  size_t size() const { return ids.size(); }

  size_t list_count = 0;
  std::vector<CandidateId> ids;
  std::vector<PyRef> objects;                      // the candidates' objects, until pulled
  std::vector<int64_t> rows;                       // [candidate * list_count + list]; -1: absent
  std::vector<std::optional<std::string>> groups;  // [candidate * positions + position]
  std::vector<uint32_t> costs;                     // empty when not read
  std::vector<std::vector<std::string>> covers;    // empty when not read
};

}  // namespace korvane::python
