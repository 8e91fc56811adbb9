#include "python/settings_fingerprint.h"

#include <bit>
#include <string_view>
#include <variant>

namespace korvane::python {

namespace {

// FNV-1a over a canonical byte form; every field is written with its length or tag, so
// different settings cannot run together into the same bytes.
class Hash {
 public:
  void bytes(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
      value_ ^= p[i];
      value_ *= 0x100000001b3ull;
    }
  }
  void u64(uint64_t v) {
    unsigned char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
    bytes(b, 8);
  }
  void f32(float v) { u64(std::bit_cast<uint32_t>(v)); }
  void text(std::string_view v) {
    u64(v.size());
    bytes(v.data(), v.size());
  }
  uint64_t value() const { return value_; }

 private:
  uint64_t value_ = 0xcbf29ce484222325ull;
};

}  // namespace

uint64_t settings_fingerprint(const EngineSettings& settings) {
  Hash h;
  h.u64(static_cast<uint64_t>(settings.rejections.policy));
  h.u64(settings.rejections.n);
  h.u64(settings.axes.size());
  for (const ScorerSpec& axis : settings.axes) {
    h.text(axis.name);
    h.u64(axis.callback ? 1 : 0);
    h.u64(axis.normalizer ? 1 + static_cast<uint64_t>(axis.normalizer->kind) : 0);
    if (axis.normalizer) {
      h.f32(axis.normalizer->lo);
      h.f32(axis.normalizer->hi);
    }
    h.u64(axis.expensive);
    h.u64(static_cast<uint64_t>(axis.scale));
  }
  h.u64(settings.group_maxima.size());
  for (const GroupMaxSetting& group : settings.group_maxima) {
    h.text(group.key);
    h.text(group.id);
    h.u64(group.max);
  }
  h.u64(settings.requirements.size());
  for (const RequirementSetting& requirement : settings.requirements) {
    h.text(requirement.key);
    h.text(requirement.value);
    h.text(requirement.id);
    h.u64(requirement.n);
  }
  h.u64(settings.unary_minima.size());
  for (const UnaryMinSetting& unary : settings.unary_minima) {
    h.text(unary.id);
    h.text(unary.axis);
    h.f32(unary.min);
  }
  h.u64(settings.total_max.has_value());
  if (settings.total_max) {
    h.text(settings.total_max->id);
    h.u64(settings.total_max->max);
  }
  h.u64(settings.admission.has_value());
  if (settings.admission) h.text(*settings.admission);
  h.u64(settings.fusion.kind.index());
  if (const auto* rrf = std::get_if<Fusion::Rrf>(&settings.fusion.kind)) h.f32(rrf->k);
  if (const auto* sum = std::get_if<Fusion::WeightedSum>(&settings.fusion.kind)) {
    h.u64(sum->weights.size());
    for (const auto& [name, weight] : sum->weights) {
      h.text(name);
      h.f32(weight);
    }
  }
  h.u64(settings.threshold.has_value());
  if (settings.threshold) h.f32(*settings.threshold);
  h.u64(static_cast<uint64_t>(settings.missing.policy));
  h.f32(settings.missing.impute_value);
  h.u64(settings.budget.kind.index());
  if (const auto* top = std::get_if<Budget::TopK>(&settings.budget.kind)) h.u64(top->k);
  if (const auto* tail = std::get_if<Budget::TailMass>(&settings.budget.kind)) {
    h.f32(tail->epsilon);
    h.u64(tail->fallback_k);
  }
  if (const auto* tokens = std::get_if<Budget::Tokens>(&settings.budget.kind)) h.u64(tokens->max);
  h.u64(settings.pool_multiplier);
  h.f32(settings.min_fit);
  h.u64(settings.coverage_objective);
  return h.value();
}

}  // namespace korvane::python
