// The enumerations of the engine and the fixed texts through which each one reaches
// Python and the audit JSON. The texts are part of the public surface: never reword them.
#pragma once

#include <cstdint>
#include <string_view>

namespace korvane {

// What an axis's raw values look like. A declaration only; no step of a run reads it
// except validation.
enum class Scale : uint8_t { Unit, Unbounded, Rank };

// Cheap axes are evaluated per streamed candidate; expensive ones once per run over the pool.
enum class CostClass : uint8_t { Cheap, Expensive };

enum class FusionMethod : uint8_t { WeightedSum, Rrf, Max };

enum class MissingPolicy : uint8_t { Skip, Impute, Reject };

enum class TermInputKind : uint8_t { Value, Rank, Imputed, Skipped };

// Drop reasons, in counter order.
enum class RejectKind : uint8_t {
  NotScored,
  UnaryConstraint,
  SetConstraint,
  BelowThreshold,
  Outranked,
  OutOfPool,
};
inline constexpr int kRejectKindCount = 6;

enum class FitReason : uint8_t { PoorFit, TooFewSamples, NotAMassDistribution };

// Lower-case texts: "unit", "cheap", "weighted_sum", "skip", "value", "not_scored", "poor_fit".
std::string_view name(Scale scale);
std::string_view name(CostClass cost);
std::string_view name(FusionMethod method);
std::string_view name(MissingPolicy policy);
std::string_view name(TermInputKind kind);
std::string_view name(RejectKind kind);
std::string_view name(FitReason reason);

// The capitalised variant name used in messages: "Unit", "Unbounded", "Rank".
std::string_view variant_name(Scale scale);

}  // namespace korvane
