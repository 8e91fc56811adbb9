#include "engine/kinds.h"

namespace korvane {

std::string_view name(Scale scale) {
  switch (scale) {
    case Scale::Unit:
      return "unit";
    case Scale::Unbounded:
      return "unbounded";
    case Scale::Rank:
      return "rank";
  }
  return {};
}

std::string_view variant_name(Scale scale) {
  switch (scale) {
    case Scale::Unit:
      return "Unit";
    case Scale::Unbounded:
      return "Unbounded";
    case Scale::Rank:
      return "Rank";
  }
  return {};
}

std::string_view name(CostClass cost) {
  return cost == CostClass::Cheap ? "cheap" : "expensive";
}

std::string_view name(FusionMethod method) {
  switch (method) {
    case FusionMethod::WeightedSum:
      return "weighted_sum";
    case FusionMethod::Rrf:
      return "rrf";
    case FusionMethod::Max:
      return "max";
  }
  return {};
}

std::string_view name(MissingPolicy policy) {
  switch (policy) {
    case MissingPolicy::Skip:
      return "skip";
    case MissingPolicy::Impute:
      return "impute";
    case MissingPolicy::Reject:
      return "reject";
  }
  return {};
}

std::string_view name(TermInputKind kind) {
  switch (kind) {
    case TermInputKind::Value:
      return "value";
    case TermInputKind::Rank:
      return "rank";
    case TermInputKind::Imputed:
      return "imputed";
    case TermInputKind::Skipped:
      return "skipped";
  }
  return {};
}

std::string_view name(RejectKind kind) {
  switch (kind) {
    case RejectKind::NotScored:
      return "not_scored";
    case RejectKind::UnaryConstraint:
      return "unary_constraint";
    case RejectKind::SetConstraint:
      return "set_constraint";
    case RejectKind::BelowThreshold:
      return "below_threshold";
    case RejectKind::Outranked:
      return "outranked";
    case RejectKind::OutOfPool:
      return "out_of_pool";
  }
  return {};
}

std::string_view name(FitReason reason) {
  switch (reason) {
    case FitReason::PoorFit:
      return "poor_fit";
    case FitReason::TooFewSamples:
      return "too_few_samples";
    case FitReason::NotAMassDistribution:
      return "not_a_mass_distribution";
  }
  return {};
}

}  // namespace korvane
