// Score axes: the normalizer that maps raw values into [0, 1], and the descriptor the
// engine keeps for each registered axis.
#pragma once

#include <optional>
#include <string>

#include "engine/kinds.h"

namespace korvane {

// Applied to present raw values in 32-bit float arithmetic; absent values stay absent.
struct Normalizer {
  enum class Kind : uint8_t { Sigmoid, Clamp01, MinMax };
  Kind kind = Kind::Clamp01;
  float lo = 0.0f;  // MinMax bounds, fixed at registration
  float hi = 0.0f;

  static Normalizer Sigmoid() { return {Kind::Sigmoid, 0.0f, 0.0f}; }
  static Normalizer Clamp01() { return {Kind::Clamp01, 0.0f, 0.0f}; }
  static Normalizer MinMax(float lo, float hi) { return {Kind::MinMax, lo, hi}; }

  // Sigmoid: 1 / (1 + e^-v) with a single-precision exponential. Clamp01: v limited to
  // [0, 1], NaN stays NaN. MinMax: 0 when lo >= hi, else Clamp01((v - lo) / (hi - lo)).
  float apply(float v) const;
};

// Unit whenever a normalizer is attached, else the declared scale.
inline Scale effective_scale(Scale declared, const std::optional<Normalizer>& normalizer) {
  return normalizer ? Scale::Unit : declared;
}

struct AxisDescriptor {
  std::string name;
  Scale scale;  // effective scale
  CostClass cost;
};

}  // namespace korvane
