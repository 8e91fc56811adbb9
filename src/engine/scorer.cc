#include "engine/scorer.h"

#include <utility>

namespace korvane {

FieldScorer::FieldScorer(std::string name, size_t position, std::optional<Normalizer> normalizer,
                         Scale declared, CostClass cost)
    : name_(std::move(name)),
      position_(position),
      normalizer_(normalizer),
      declared_(declared),
      cost_(cost) {}

std::optional<float> FieldScorer::score(const Candidate& candidate) {
  // Intake gives every candidate one slot per axis; a short list reads as absent.
  if (position_ >= candidate.values.size()) return std::nullopt;
  const std::optional<float>& raw = candidate.values[position_];
  if (!raw) return std::nullopt;
  return normalizer_ ? normalizer_->apply(*raw) : *raw;
}

std::vector<std::optional<float>> FieldScorer::score_batch(std::span<const Candidate* const> pool) {
  std::vector<std::optional<float>> values;
  values.reserve(pool.size());
  for (const Candidate* candidate : pool) values.push_back(score(*candidate));
  return values;
}

}  // namespace korvane
