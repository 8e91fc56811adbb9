#include "engine/fusion.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "engine/entry_order.h"
#include "engine/entry_sort.h"

namespace korvane {

namespace {

// The running maximum keeps the earlier value unless a later one is strictly greater.
struct RunningMax {
  bool any = false;
  float best = 0.0f;

  void add(float v) {
    if (!any || v > best) best = v;
    any = true;
  }
};

}  // namespace

Fuser::Fuser(const Engine& engine) : engine_(engine), method_(engine.fusion.method()) {
  if (const auto* rrf = std::get_if<Fusion::Rrf>(&engine.fusion.kind)) rrf_k_ = rrf->k;

  raw_weights_.assign(engine.axes.size(), 1.0f);
  if (const auto* sum = std::get_if<Fusion::WeightedSum>(&engine.fusion.kind);
      sum != nullptr && !sum->weights.empty()) {
    // The first entry naming an axis wins; a map keeps this linear in the list's length.
    std::unordered_map<std::string_view, float> first_weight;
    first_weight.reserve(sum->weights.size());
    for (const auto& [name, weight] : sum->weights) first_weight.emplace(name, weight);
    for (size_t axis = 0; axis < engine.axes.size(); ++axis) {
      auto named = first_weight.find(engine.axes[axis].name);
      raw_weights_[axis] = named == first_weight.end() ? 0.0f : named->second;
    }
  }

  for (size_t axis = 0; axis < engine.axes.size(); ++axis) {
    if (engine.axes[axis].cost == CostClass::Cheap) cheap_axes_.push_back(axis);
  }
}

std::optional<float> Fuser::value_of(const std::optional<float>& stored) const {
  if (stored) return stored;
  if (engine_.missing.policy == MissingPolicy::Impute) return engine_.missing.impute_value;
  return std::nullopt;
}

bool Fuser::ranks_as_proposed(std::span<const uint64_t> ids,
                              std::span<const std::optional<float>> values, size_t participants,
                              std::span<const uint32_t> order,
                              std::span<const uint32_t> survivor_at,
                              std::vector<uint32_t>& ranks) const {
  const bool impute = engine_.missing.policy == MissingPolicy::Impute;
  const float imputed = engine_.missing.impute_value;
  // Each listed participant must come strictly after the one before in the entry order
  // (score, id, survivor position), packed in two words as integer ids allow.
  uint64_t last_high = 0;
  uint64_t last_low = 0;
  uint32_t placed = 0;
  for (uint32_t position : order) {
    if (position >= survivor_at.size() || survivor_at[position] == 0) continue;
    const size_t s = survivor_at[position] - 1;
    const std::optional<float>& stored = values[s];
    if (!stored && !impute) continue;
    const uint64_t id = ids[s];
    const uint64_t high = descending_score_key(stored ? *stored : imputed) << 32 | id >> 32;
    const uint64_t low = id << 32 | static_cast<uint64_t>(s);
    if (placed > 0 && !(last_high < high || (last_high == high && last_low < low))) break;
    ranks[s] = ++placed;
    last_high = high;
    last_low = low;
  }
  // A break leaves a participant out, so placed falls short.
  if (placed == participants) return true;
  std::fill(ranks.begin(), ranks.end(), 0);
  return false;
}

AxisRanks Fuser::rrf_ranks(std::span<const PoolRecord> survivors,
                           const ProposedOrders* proposed) const {
  const size_t axis_count = engine_.axes.size();
  const size_t n = survivors.size();
  AxisRanks ranks(axis_count, std::vector<uint32_t>(n, 0));
  // Input position -> survivor + 1 (0: not one), when the input is not much longer than
  // the pool: a proposed order then reaches the survivors without a search. For a proposal
  // to be checked here: how many survivors take part on each axis, which it must list, and
  // the ids and values the check reads, copied out of the records in one pass, since the
  // check reads them in the proposal's order and a record spans several cache lines.
  std::vector<uint32_t> survivor_at;
  std::vector<size_t> participants_on;
  std::vector<uint64_t> ids;
  std::vector<std::optional<float>> values;  // [axis * n + survivor]
  auto proposes = [&](size_t axis) {
    return proposed != nullptr && axis < proposed->by_axis.size() &&
           !proposed->by_axis[axis].empty();
  };
  auto checked = [&](size_t axis) {
    return proposes(axis) && axis < proposed->checked.size() && proposed->checked[axis] != 0;
  };
  bool walked = false;  // the checked proposals have ranked their axes
  if (proposed != nullptr && proposed->arrival.size() == n &&
      n < std::numeric_limits<uint32_t>::max() &&
      proposed->input_count <= 2 * static_cast<uint64_t>(n) + 64) {
    survivor_at.assign(static_cast<size_t>(proposed->input_count), 0);
    for (size_t s = 0; s < n; ++s) {
      const uint64_t position = proposed->arrival[s];
      if (position < survivor_at.size()) survivor_at[position] = static_cast<uint32_t>(s + 1);
    }
    // A checked proposal ranks its survivors as it lists them, reading no record.
    walked = true;
    bool all_checked = true;
    for (size_t axis = 0; axis < axis_count; ++axis) {
      if (!proposes(axis)) continue;
      if (!checked(axis)) {
        all_checked = false;
        continue;
      }
      uint32_t placed = 0;
      for (uint32_t position : proposed->by_axis[axis]) {
        if (position >= survivor_at.size() || survivor_at[position] == 0) continue;
        ranks[axis][survivor_at[position] - 1] = ++placed;
      }
    }
    if (!all_checked) {
      participants_on.assign(axis_count, 0);
      ids.resize(n);
      values.resize(axis_count * n);
      const bool impute = engine_.missing.policy == MissingPolicy::Impute;
      bool integer_ids = true;
      for (size_t s = 0; s < n; ++s) {
        const CandidateId& id = survivors[s].id();
        integer_ids &= id.is_integer();
        ids[s] = id.is_integer() ? id.integer() : 0;
        const AxisValues& stored = survivors[s].axis_values;
        for (size_t axis = 0; axis < axis_count; ++axis) {
          values[axis * n + s] = stored[axis];
          participants_on[axis] += static_cast<size_t>(stored[axis].has_value() || impute);
        }
      }
      // The packed order needs integer ids; with a text among them, the rest are sorted.
      if (!integer_ids) survivor_at.clear();
    }
  }
  for (size_t axis = 0; axis < axis_count; ++axis) {
    if (walked && checked(axis)) continue;  // ranked above
    if (!survivor_at.empty() && proposes(axis) &&
        ranks_as_proposed(ids, std::span(values).subspan(axis * n, n), participants_on[axis],
                          proposed->by_axis[axis], survivor_at, ranks[axis])) {
      continue;
    }
    rank_by_sorting(survivors, axis, ranks[axis]);
  }
  return ranks;
}

void Fuser::rank_by_sorting(std::span<const PoolRecord> survivors, size_t axis,
                            std::vector<uint32_t>& ranks) const {
  std::vector<EntryRef> participants;
  participants.reserve(survivors.size());
  for (size_t s = 0; s < survivors.size(); ++s) {
    if (std::optional<float> v = value_of(survivors[s].axis_values[axis])) {
      participants.push_back(EntryRef{*v, &survivors[s].id(), s});
    }
  }
  rank_entries(participants, ranks);
}

template <class Term>
void Fuser::each_term(const AxisValues& values, size_t position, const AxisRanks& ranks,
                      Term&& term) const {
  const size_t axis_count = engine_.axes.size();
  // Inputs of the value-based methods: the stored value, or the imputed one.
  auto input_of = [&](size_t axis) -> std::optional<TermInput> {
    if (values[axis]) return TermInput::Value(*values[axis]);
    if (engine_.missing.policy == MissingPolicy::Impute) {
      return TermInput::Imputed(engine_.missing.impute_value);
    }
    return std::nullopt;
  };

  switch (method_) {
    case FusionMethod::WeightedSum: {
      float weight_sum = 0.0f;
      for (size_t axis = 0; axis < axis_count; ++axis) {
        if (values[axis] || engine_.missing.policy == MissingPolicy::Impute) {
          weight_sum += raw_weights_[axis];
        }
      }
      for (size_t axis = 0; axis < axis_count; ++axis) {
        std::optional<TermInput> input = input_of(axis);
        if (!input) {
          term(axis, std::optional<TermInput>(), 0.0f, 0.0f);
          continue;
        }
        float weight = weight_sum > 0.0f ? raw_weights_[axis] / weight_sum : 0.0f;
        term(axis, input, weight, input->value * weight);
      }
      break;
    }
    case FusionMethod::Rrf:
      for (size_t axis = 0; axis < axis_count; ++axis) {
        const uint32_t rank = ranks[axis][position];
        if (rank == 0) {
          term(axis, std::optional<TermInput>(), 0.0f, 0.0f);
          continue;
        }
        float contribution = 1.0f / (static_cast<float>(rank) + rrf_k_);
        term(axis, std::optional<TermInput>(TermInput::Rank(rank)), 1.0f, contribution);
      }
      break;
    case FusionMethod::Max:
      for (size_t axis = 0; axis < axis_count; ++axis) {
        std::optional<TermInput> input = input_of(axis);
        if (!input) {
          term(axis, std::optional<TermInput>(), 0.0f, 0.0f);
          continue;
        }
        term(axis, input, 1.0f, input->value);
      }
      break;
  }
}

FusionEvidence Fuser::fuse(const AxisValues& values, size_t position,
                           const AxisRanks& ranks) const {
  FusionEvidence evidence;
  evidence.method = method_;
  if (method_ == FusionMethod::Rrf) evidence.k = rrf_k_;
  evidence.missing = engine_.missing.policy;
  evidence.impute_value = engine_.missing.impute_value;
  evidence.terms.reserve(engine_.axes.size());
  each_term(
      values, position, ranks,
      [&](size_t, const std::optional<TermInput>& input, float weight, float part) {
        evidence.terms.push_back(EvidenceTerm{input.value_or(TermInput::Skipped()), weight, part});
      });
  return evidence;
}

std::span<const float> Fuser::rrf_terms(size_t max_rank) const {
  // Divisions are the costly part of fusing a large pool; the table of a small one is kept.
  constexpr size_t kKeptTerms = size_t{1} << 16;
  thread_local std::vector<float> terms;
  thread_local uint32_t terms_k = 0;
  if (max_rank >= kKeptTerms) return {};
  const uint32_t k_bits = std::bit_cast<uint32_t>(rrf_k_);
  if (terms.empty() || terms_k != k_bits) {
    terms.assign(1, -0.0f);
    terms_k = k_bits;
  }
  while (terms.size() <= max_rank) {
    terms.push_back(1.0f / (static_cast<float>(terms.size()) + rrf_k_));
  }
  return terms;
}

float Fuser::fused_from_terms(const AxisValues& values, size_t position,
                              const AxisRanks& ranks) const {
  // The folds of fused_score, over the same terms in the same order.
  RunningMax largest;
  float sum = -0.0f;
  each_term(values, position, ranks,
            [&](size_t, const std::optional<TermInput>& input, float, float part) {
              if (!input) return;
              largest.add(part);
              sum += part;
            });
  if (method_ == FusionMethod::Max) return largest.any ? largest.best : 0.0f;
  return sum;
}

float Fuser::cheap_admission_score(std::span<const std::optional<float>> values) const {
  RunningMax largest;
  float weighted = -0.0f;
  float weight_sum = 0.0f;
  for (size_t axis : cheap_axes_) {
    std::optional<float> v = value_of(values[axis]);
    if (!v) continue;
    largest.add(*v);
    weighted += raw_weights_[axis] * *v;
    weight_sum += raw_weights_[axis];
  }
  if (!largest.any) return -std::numeric_limits<float>::infinity();
  if (method_ == FusionMethod::Max) return largest.best;
  return weight_sum > 0.0f ? weighted / weight_sum : 0.0f;
}

float fused_score(const FusionEvidence& evidence) {
  if (evidence.method == FusionMethod::Max) {
    RunningMax largest;
    for (const EvidenceTerm& term : evidence.terms) {
      if (term.input.kind != TermInputKind::Skipped) largest.add(term.contribution);
    }
    return largest.any ? largest.best : 0.0f;
  }
  float sum = -0.0f;
  for (const EvidenceTerm& term : evidence.terms) {
    if (term.input.kind != TermInputKind::Skipped) sum += term.contribution;
  }
  return sum;
}

}  // namespace korvane
