// The group value a record carries at a position of the group key list.
#pragma once

#include <cstddef>
#include <string>

#include "engine/candidate.h"

namespace korvane {

// Null when the candidate has no value at `key` (also when the list is shorter).
inline const std::string* group_value(const Candidate& candidate, size_t key) {
  if (key >= candidate.groups.size() || !candidate.groups[key].has_value()) return nullptr;
  return &*candidate.groups[key];
}

}  // namespace korvane
