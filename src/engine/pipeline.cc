#include "engine/pipeline.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "budget/tail_mass.h"
#include "engine/entry_order.h"
#include "engine/fusion.h"
#include "engine/interval_clock.h"
#include "engine/invariant.h"
#include "engine/records.h"
#include "engine/rejection_log.h"
#include "engine/stage_pool.h"
#include "select/selection.h"

namespace korvane {

namespace {

// A NaN from an axis is stored as absent.
std::optional<float> stored_value(std::optional<float> v) {
  if (v && std::isnan(*v)) return std::nullopt;
  return v;
}

// The planned pool size K0 times the multiplier, in 64 bits, at least 1.
uint64_t pool_capacity(const Engine& engine) {
  uint64_t planned = std::visit(
      [](const auto& budget) -> uint64_t {
        using B = std::decay_t<decltype(budget)>;
        if constexpr (std::is_same_v<B, Budget::TopK>) {
          return budget.k;
        } else if constexpr (std::is_same_v<B, Budget::TailMass>) {
          return budget.fallback_k == 0 ? 1 : budget.fallback_k;
        } else {
          return budget.max;
        }
      },
      engine.budget.kind);
  uint64_t capacity = planned * uint64_t{engine.pool_multiplier};
  return capacity == 0 ? 1 : capacity;
}

// The single axis whose value ranks stage 1, or none when the cheap axes are fused.
std::optional<size_t> admission_axis(const Engine& engine) {
  if (engine.admission) {
    auto named = std::find_if(engine.axes.begin(), engine.axes.end(),
                              [&](const AxisDescriptor& a) { return a.name == *engine.admission; });
    KORVANE_INVARIANT(named != engine.axes.end() && named->cost == CostClass::Cheap,
                      "validate 가 이미 확인했다");
    return static_cast<size_t>(named - engine.axes.begin());
  }
  if (engine.fusion.method() == FusionMethod::Rrf) {
    auto cheap = std::find_if(engine.axes.begin(), engine.axes.end(),
                              [](const AxisDescriptor& a) { return a.cost == CostClass::Cheap; });
    KORVANE_INVARIANT(cheap != engine.axes.end(), "validate 가 이미 확인했다");
    return static_cast<size_t>(cheap - engine.axes.begin());
  }
  return std::nullopt;
}

// One run's working state. execute() takes the steps in order, and every drop reaches
// `drops_` as its step makes it, so retention sees the drops in run order.
class Run {
 public:
  Run(const Engine& engine, CandidateSource& source)
      : engine_(engine),
        source_(source),
        fuser_(engine),
        drops_(engine.rejections),
        admission_(admission_axis(engine)),
        capacity_(pool_capacity(engine)) {
    for (size_t axis = 0; axis < engine.axes.size(); ++axis) {
      (engine.axes[axis].cost == CostClass::Cheap ? cheap_axes_ : expensive_axes_).push_back(axis);
    }
    trace_.pool_capacity = static_cast<uint32_t>(capacity_);
    if (admission_) trace_.admission_scorer = engine.axes[*admission_].name;
    trace_.scorers.reserve(engine.axes.size());
    for (const AxisDescriptor& axis : engine.axes) trace_.scorers.push_back(ScorerTrace{axis.name});
  }

  Result<RunOutcome> execute();

 private:
  std::vector<PoolRecord> stage_one();
  void screen_candidate(Candidate candidate, StagePool& pool, AxisValues& values);
  float admission_score(const AxisValues& values) const;
  Status score_expensive_axes(std::vector<PoolRecord>& pool);
  std::vector<PoolRecord> apply_reject_policy(std::vector<PoolRecord> pool);
  std::vector<ScoredRecord> fuse(std::vector<PoolRecord> survivors);
  std::vector<ScoredRecord> apply_threshold(std::vector<ScoredRecord> scored);
  static std::vector<ScoredRecord> rank(std::vector<ScoredRecord> kept);
  // Fixes the budget (the tail-mass evidence goes into the trace) and frames the selection.
  SelectionProblem selection_problem(std::span<const ScoredRecord> ranked);
  RunOutcome assemble(std::vector<ScoredRecord> ranked, const SelectionProblem& problem,
                      const SelectionResult& result, size_t pool_size);

  const Engine& engine_;
  CandidateSource& source_;
  Fuser fuser_;
  RejectionLog drops_;
  std::optional<size_t> admission_;
  uint64_t capacity_;
  std::vector<size_t> cheap_axes_;
  std::vector<size_t> expensive_axes_;
  // Elapsed times accumulate in clock ticks and become nanoseconds when the outcome is made.
  IntervalClock clock_;
  RunTrace trace_;
};

Result<RunOutcome> Run::execute() {
  std::vector<PoolRecord> pool = stage_one();
  const size_t pool_size = pool.size();

  if (Status status = score_expensive_axes(pool); !status.ok()) return status.error();
  std::vector<PoolRecord> survivors = apply_reject_policy(std::move(pool));
  std::vector<ScoredRecord> ranked = rank(apply_threshold(fuse(std::move(survivors))));

  SelectionProblem problem = selection_problem(ranked);
  Result<SelectionResult> selection = select(problem, ranked);
  if (!selection.ok()) return selection.error();
  return assemble(std::move(ranked), problem, selection.value(), pool_size);
}

std::vector<PoolRecord> Run::stage_one() {
  StagePool pool(capacity_);
  // Scratch axis values of the candidate in hand; the pool copies them into its own slots.
  AxisValues values(engine_.axes.size());
  for (;;) {
    CandidateSource::Pull pulled = source_.pull();
    if (std::holds_alternative<CandidateSource::EndOfInput>(pulled)) break;
    if (Candidate* candidate = std::get_if<Candidate>(&pulled)) {
      screen_candidate(std::move(*candidate), pool, values);
    }
  }
  source_.close();
  return pool.drain();
}

void Run::screen_candidate(Candidate candidate, StagePool& pool, AxisValues& values) {
  ++trace_.input_count;

  for (const UnaryMin& unary : engine_.unary_constraints) {
    const bool passes = unary.axis < candidate.values.size() &&
                        candidate.values[unary.axis].has_value() &&
                        *candidate.values[unary.axis] >= unary.min;
    if (!passes) {
      drops_.record_rejection(std::move(candidate), RejectKind::UnaryConstraint, unary.id);
      return;
    }
  }

  std::fill(values.begin(), values.end(), std::nullopt);
  for (size_t axis : cheap_axes_) {
    ScorerTrace& stats = trace_.scorers[axis];
    const uint64_t start = clock_.now();
    std::optional<float> v = engine_.scorers[axis]->score(candidate);
    stats.elapsed_nanos += IntervalClock::between(start, clock_.now());
    ++stats.calls;
    v = stored_value(v);
    if (!v) {
      ++stats.missing;
      if (engine_.missing.policy == MissingPolicy::Reject) {
        drops_.record_rejection(std::move(candidate), RejectKind::NotScored,
                                engine_.axes[axis].name);
        return;
      }
      continue;
    }
    values[axis] = v;
  }

  StagePool::Offer offer = pool.offer(std::move(candidate), values, admission_score(values));
  // A refused newcomer or an evicted member: recorded now, while the newcomer arrives.
  if (offer.handed_back) {
    drops_.record_rejection(std::move(*offer.handed_back), RejectKind::OutOfPool);
  }
}

float Run::admission_score(const AxisValues& values) const {
  if (!admission_) return fuser_.cheap_admission_score(values);
  if (std::optional<float> v = fuser_.value_of(values[*admission_])) return *v;
  return -std::numeric_limits<float>::infinity();
}

Status Run::score_expensive_axes(std::vector<PoolRecord>& pool) {
  std::vector<const Candidate*> batch;
  batch.reserve(pool.size());
  for (const PoolRecord& record : pool) batch.push_back(&record.candidate);

  // Every axis is called before any result is applied; the first wrong length stops the run.
  std::vector<std::vector<std::optional<float>>> results;
  std::vector<uint128> elapsed;
  results.reserve(expensive_axes_.size());
  elapsed.reserve(expensive_axes_.size());
  for (size_t axis : expensive_axes_) {
    const uint64_t start = clock_.now();
    std::vector<std::optional<float>> result = engine_.scorers[axis]->score_batch(batch);
    elapsed.push_back(IntervalClock::between(start, clock_.now()));
    if (result.size() != pool.size()) {
      return EngineError(
          errors::BatchLengthMismatch{engine_.axes[axis].name, result.size(), pool.size()});
    }
    results.push_back(std::move(result));
  }

  for (size_t e = 0; e < expensive_axes_.size(); ++e) {
    const size_t axis = expensive_axes_[e];
    ScorerTrace& stats = trace_.scorers[axis];
    for (size_t r = 0; r < pool.size(); ++r) {
      pool[r].axis_values[axis] = stored_value(results[e][r]);
      if (!pool[r].axis_values[axis]) ++stats.missing;
    }
    stats.elapsed_nanos += elapsed[e];
    stats.calls += pool.size();
  }
  return Status::Ok();
}

std::vector<PoolRecord> Run::apply_reject_policy(std::vector<PoolRecord> pool) {
  if (engine_.missing.policy != MissingPolicy::Reject) return pool;
  std::vector<PoolRecord> survivors;
  survivors.reserve(pool.size());
  for (PoolRecord& record : pool) {
    auto absent = std::find_if(record.axis_values.begin(), record.axis_values.end(),
                               [](const std::optional<float>& v) { return !v.has_value(); });
    if (absent == record.axis_values.end()) {
      survivors.push_back(std::move(record));
      continue;
    }
    const size_t axis = static_cast<size_t>(absent - record.axis_values.begin());
    drops_.record_rejection(std::move(record.candidate), RejectKind::NotScored,
                            engine_.axes[axis].name);
  }
  return survivors;
}

std::vector<ScoredRecord> Run::fuse(std::vector<PoolRecord> survivors) {
  AxisRanks ranks;
  if (fuser_.method() == FusionMethod::Rrf) ranks = fuser_.rrf_ranks(survivors);
  std::vector<ScoredRecord> scored;
  scored.reserve(survivors.size());
  for (size_t s = 0; s < survivors.size(); ++s) {
    FusionEvidence evidence = fuser_.fuse(survivors[s].axis_values, s, ranks);
    float fused = fused_score(evidence);
    scored.push_back(ScoredRecord{std::move(survivors[s]), std::move(evidence), fused});
  }
  return scored;
}

std::vector<ScoredRecord> Run::apply_threshold(std::vector<ScoredRecord> scored) {
  if (!engine_.threshold) return scored;
  const float threshold = *engine_.threshold;
  std::vector<ScoredRecord> kept;
  kept.reserve(scored.size());
  for (ScoredRecord& record : scored) {
    // An ordered comparison: a NaN on either side drops nothing.
    if (threshold > record.fused) {
      drops_.record_rejection(std::move(record.record.candidate), RejectKind::BelowThreshold, {},
                              record.fused);
    } else {
      kept.push_back(std::move(record));
    }
  }
  return kept;
}

std::vector<ScoredRecord> Run::rank(std::vector<ScoredRecord> kept) {
  // Sort positions rather than the records themselves, which are heavy to move.
  std::vector<size_t> order(kept.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return entry_better(kept[a].fused, kept[a].id(), kept[b].fused, kept[b].id());
  });
  std::vector<ScoredRecord> ranked;
  ranked.reserve(kept.size());
  for (size_t position : order) ranked.push_back(std::move(kept[position]));
  return ranked;
}

SelectionProblem Run::selection_problem(std::span<const ScoredRecord> ranked) {
  SelectionProblem problem;
  problem.constraints = engine_.set_constraints;
  problem.requirements = engine_.requirements;
  problem.objective = engine_.objective.get();
  problem.cost = engine_.cost ? &engine_.cost : nullptr;

  if (const auto* top_k = std::get_if<Budget::TopK>(&engine_.budget.kind)) {
    problem.k = top_k->k;
  } else if (const auto* tail = std::get_if<Budget::TailMass>(&engine_.budget.kind)) {
    std::vector<double> scores;
    scores.reserve(ranked.size());
    for (const ScoredRecord& record : ranked) scores.push_back(static_cast<double>(record.fused));
    BudgetEvidence evidence =
        derive_tail_mass_k(scores, tail->epsilon, tail->fallback_k, engine_.min_fit);
    problem.k = evidence.derived_k;
    trace_.budget = evidence;
  } else {
    problem.mode = SelectionMode::Tokens;
    problem.token_limit = std::get<Budget::Tokens>(engine_.budget.kind).max;
  }
  return problem;
}

RunOutcome Run::assemble(std::vector<ScoredRecord> ranked, const SelectionProblem& problem,
                         const SelectionResult& result, size_t pool_size) {
  std::vector<char> chosen(ranked.size(), 0);
  for (size_t position : result.selected) {
    KORVANE_INVARIANT(position < ranked.size() && !chosen[position],
                      "선택된 색인은 남겨 둔 목록에 있다");
    chosen[position] = 1;
  }

  for (size_t position = 0; position < ranked.size(); ++position) {
    if (chosen[position]) continue;
    ScoredRecord& record = ranked[position];
    const std::optional<size_t> blocker =
        position < result.blocked_by.size() ? result.blocked_by[position] : std::nullopt;
    if (blocker) {
      KORVANE_INVARIANT(*blocker < engine_.set_constraints.size(), "막은 제약은 등록된 제약이다");
      drops_.record_rejection(std::move(record.record.candidate), RejectKind::SetConstraint,
                              engine_.set_constraints[*blocker]->id(), record.fused);
    } else {
      drops_.record_rejection(std::move(record.record.candidate), RejectKind::Outranked, {},
                              record.fused);
    }
  }

  std::vector<std::string> constraint_ids;
  constraint_ids.reserve(engine_.set_constraints.size());
  for (const auto& constraint : engine_.set_constraints) constraint_ids.push_back(constraint->id());

  RunOutcome outcome;
  outcome.ranked.reserve(result.selected.size());
  for (size_t i = 0; i < result.selected.size(); ++i) {
    ScoredRecord& record = ranked[result.selected[i]];
    RankedEntry entry;
    entry.scores.reserve(engine_.axes.size());
    for (size_t axis = 0; axis < engine_.axes.size(); ++axis) {
      entry.scores.push_back(ScoreCell{engine_.axes[axis].name, record.record.axis_values[axis]});
    }
    entry.candidate = std::move(record.record.candidate);
    entry.fusion = std::move(record.evidence);
    entry.constraints = constraint_ids;
    entry.rank = static_cast<uint32_t>(i + 1);
    entry.fused = record.fused;
    outcome.ranked.push_back(std::move(entry));
  }

  SelectionGuarantee guarantee = selection_guarantee(problem, result);
  outcome.selection.exact = guarantee.exact;
  outcome.selection.guarantee = guarantee.guarantee;
  outcome.selection.pool_size = static_cast<uint32_t>(pool_size);
  outcome.selection.pool_exhausted = result.pool_exhausted;
  if (result.raw_cut_margin && std::isfinite(*result.raw_cut_margin)) {
    outcome.selection.cut_margin = result.raw_cut_margin;
  }

  const IntervalClock::Rate rate = clock_.rate();
  for (ScorerTrace& stats : trace_.scorers) stats.elapsed_nanos = rate.nanos(stats.elapsed_nanos);
  outcome.trace = std::move(trace_);
  outcome.rejected_counts = drops_.counts();
  outcome.rejected = drops_.take_entries();
  return outcome;
}

}  // namespace

Result<RunOutcome> run(const Engine& engine, CandidateSource& source) {
  if (Status status = validate(engine); !status.ok()) return status.error();
  Run run(engine, source);
  return run.execute();
}

}  // namespace korvane
