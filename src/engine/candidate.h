// Candidate: the native record of one accepted input item, built by the candidate source.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/axis_values.h"
#include "engine/candidate_id.h"
#include "engine/object_handle.h"

namespace korvane {

struct Candidate {
  // The values the candidate carries, one per registered axis by registration position,
  // before any normalizer. Absent where the item gave none.
  AxisValues values;
  // One optional text per position of the group key list.
  std::vector<std::optional<std::string>> groups;
  // Cover items in input order, duplicates kept.
  std::vector<std::string> cover;
  ObjectHandle object;
  CandidateId id;
  uint32_t cost = 0;
};

}  // namespace korvane
