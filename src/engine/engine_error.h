// EngineError: every failure of configuration or of a run, as a value. The first nine
// variants are configuration errors found by validate(); the last two arise during a run.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "engine/kinds.h"

namespace korvane {

namespace errors {
struct NoScorers {};
struct DuplicateScorer {
  std::string name;
};
struct ScaleFusionMismatch {
  std::string name;
  Scale scale;
  FusionMethod method;  // WeightedSum or Max
};
struct UnknownWeightScorer {
  std::string name;
};
struct UnknownAdmissionScorer {
  std::string name;
};
struct ExpensiveAdmissionScorer {
  std::string name;
};
struct RrfWithoutCheapScorer {};
struct InvalidBudget {
  std::string text;  // one of the three budget texts
};
struct ZeroPoolMultiplier {};
struct BatchLengthMismatch {
  std::string name;
  uint64_t got;       // length of the list the axis returned
  uint64_t expected;  // number of records in the stage-2 pool
};
struct RequirementExchangeFailed {
  std::string id;
  uint64_t n;          // required matching members
  uint64_t available;  // records of the ranked list matching the requirement
};
}  // namespace errors

// The three texts of errors::InvalidBudget.
inline constexpr std::string_view kTopKBudgetText = "TopK 는 1 이상이어야 한다";
inline constexpr std::string_view kTailMassBudgetText = "epsilon 은 0 이상 1 미만이어야 한다";
inline constexpr std::string_view kTokensBudgetText =
    "Tokens 예산은 Engine::cost 로 후보별 비용을 함께 받아야 한다";

class EngineError {
 public:
  using Variant =
      std::variant<errors::NoScorers, errors::DuplicateScorer, errors::ScaleFusionMismatch,
                   errors::UnknownWeightScorer, errors::UnknownAdmissionScorer,
                   errors::ExpensiveAdmissionScorer, errors::RrfWithoutCheapScorer,
                   errors::InvalidBudget, errors::ZeroPoolMultiplier, errors::BatchLengthMismatch,
                   errors::RequirementExchangeFailed>;

  template <class V>
  EngineError(V variant) : variant_(std::move(variant)) {}

  const Variant& variant() const { return variant_; }
  template <class V>
  bool is() const {
    return std::holds_alternative<V>(variant_);
  }
  template <class V>
  const V* get_if() const {
    return std::get_if<V>(&variant_);
  }

  // True for BatchLengthMismatch and RequirementExchangeFailed, which the binding raises as
  // korvane.EngineError; the configuration variants become ValueError.
  bool is_runtime() const;

  // The display text: the message of the Python exception, byte for byte.
  std::string message() const;

 private:
  Variant variant_;
};

}  // namespace korvane
