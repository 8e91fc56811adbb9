// Requirement: at least `n` members whose group value at position `key` equals `value`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/candidate.h"

namespace korvane {

struct Requirement {
  std::string id;
  size_t key = 0;  // position in the group key list
  std::string value;
  uint64_t n = 0;

  // Byte-equal value present at the key; a candidate without a value never matches.
  bool matches(const Candidate& candidate) const {
    return key < candidate.groups.size() && candidate.groups[key].has_value() &&
           *candidate.groups[key] == value;
  }
};

}  // namespace korvane
