// ColumnRequest: which column of a run is being opened, and for what. The role decides
// which kinds of rows are accepted and what is checked before the run starts.
#pragma once

#include <cstdint>
#include <string>

namespace korvane::python {

enum class ColumnRole : uint8_t { kIds, kScores, kGroups, kCost, kCover };

struct ColumnRequest {
  ColumnRole role = ColumnRole::kScores;
  // How messages name the column: "ids", "scores['a']", "lists['a'] 의 ids", ...
  std::string name;
  // False for a cost or cover column the configuration never reads: only its kind and
  // length are checked, and a Python sequence is not converted.
  bool read = true;
  // Ids only: keep the objects of a Python sequence, which become the candidates.
  bool keep_objects = false;
};

}  // namespace korvane::python
