// BudgetEvidence: what the tail-mass budget derived, and why it fell back if it did.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/kinds.h"

namespace korvane {

struct BudgetEvidence {
  float s = 0.0f;            // fitted exponent; 0 when no fit was made
  float fit_quality = 0.0f;  // 1 - KS distance, clamped to [0, 1]; 0 when no fit was made
  bool fallback = false;     // true exactly when reason is present
  std::optional<FitReason> reason;
  uint32_t derived_k = 0;  // the K used
};

}  // namespace korvane
