// Fusion evidence: how one survivor's fused score was made, one term per registered axis.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/inline_vector.h"
#include "engine/kinds.h"

namespace korvane {

struct TermInput {
  TermInputKind kind = TermInputKind::Skipped;
  float value = 0.0f;  // Value and Imputed
  uint32_t rank = 0;   // Rank

  static TermInput Value(float v) { return {TermInputKind::Value, v, 0}; }
  static TermInput Rank(uint32_t r) { return {TermInputKind::Rank, 0.0f, r}; }
  static TermInput Imputed(float v) { return {TermInputKind::Imputed, v, 0}; }
  static TermInput Skipped() { return {}; }
};

// The term of the axis at its position in the registration order.
struct EvidenceTerm {
  TermInput input;
  float weight = 0.0f;
  float contribution = 0.0f;
};

struct FusionEvidence {
  InlineVector<EvidenceTerm, 4> terms;  // one per registered axis, registration order
  FusionMethod method = FusionMethod::Rrf;
  std::optional<float> k;  // present exactly for rrf
  MissingPolicy missing = MissingPolicy::Skip;
  float impute_value = 0.0f;  // meaningful under impute only
};

}  // namespace korvane
