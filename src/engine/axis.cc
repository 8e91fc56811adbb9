#include "engine/axis.h"

#include <cmath>

namespace korvane {

namespace {

// Written as two comparisons so that NaN and -0.0 pass through unchanged.
float clamp01(float v) {
  if (v < 0.0f) return 0.0f;
  if (v > 1.0f) return 1.0f;
  return v;
}

}  // namespace

float Normalizer::apply(float v) const {
  switch (kind) {
    case Kind::Sigmoid:
      return 1.0f / (1.0f + std::exp(-v));
    case Kind::Clamp01:
      return clamp01(v);
    case Kind::MinMax:
      // A degenerate range maps everything, NaN included, to 0.
      if (lo >= hi) return 0.0f;
      return clamp01((v - lo) / (hi - lo));
  }
  return v;
}

}  // namespace korvane
