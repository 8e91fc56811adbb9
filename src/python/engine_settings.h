// EngineSettings: what a Python Engine object records of its configuration methods. Each
// run builds a fresh native Engine from it; nothing here is checked against the rest of
// the record until then.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/axis.h"
#include "engine/engine.h"
#include "engine/kinds.h"
#include "python/py_ref.h"

namespace korvane::python {

// One registered axis, as given to Engine.scorer.
struct ScorerSpec {
  std::string name;
  PyRef callback;  // the `fn` object; empty when none was given
  std::optional<Normalizer> normalizer;
  bool expensive = false;
  Scale scale = Scale::Unit;  // as declared; a normalizer makes the effective scale Unit
};

struct GroupMaxSetting {
  std::string key;
  std::string id;
  uint64_t max = 0;
};

struct RequirementSetting {
  std::string key;
  std::string value;
  std::string id;
  uint64_t n = 0;
};

struct UnaryMinSetting {
  std::string id;
  std::string axis;  // looked up among the axes by name at run time
  float min = 0.0f;
};

struct TotalMaxSetting {
  std::string id;
  uint64_t max = 0;
};

// Defaults are those of a new Engine(): nothing registered, rrf with k 60, skip, TopK 10,
// multiplier 32, min_fit 0.9, retention keep, no coverage objective.
struct EngineSettings {
  RejectionRetention rejections;
  std::vector<ScorerSpec> axes;  // registration order
  std::vector<GroupMaxSetting> group_maxima;
  std::vector<RequirementSetting> requirements;
  std::vector<UnaryMinSetting> unary_minima;
  std::optional<TotalMaxSetting> total_max;
  std::optional<std::string> admission;
  Fusion fusion;
  std::optional<float> threshold;
  Missing missing;
  Budget budget;
  uint32_t pool_multiplier = 32;
  float min_fit = 0.9f;
  bool coverage_objective = false;
};

}  // namespace korvane::python
