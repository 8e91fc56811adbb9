#include "engine/pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/entry_order.h"
#include "pipeline_test_support.h"
#include "select/set_constraint.h"

namespace korvane {
namespace {

using pipeline_testing::add_axis;
using pipeline_testing::ListSource;
using pipeline_testing::make_candidate;
using pipeline_testing::RecordingScorer;
using pipeline_testing::ReleaseTracker;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Candidates 1..n carrying the given values, each with a tracked handle.
ListSource source_of(ReleaseTracker& tracker, const std::vector<AxisValues>& values) {
  ListSource source;
  for (size_t i = 0; i < values.size(); ++i) {
    source.add(make_candidate(uint64_t{i + 1}, values[i], tracker.handle()));
  }
  return source;
}

RunOutcome run_ok(const Engine& engine, CandidateSource& source) {
  Result<RunOutcome> result = run(engine, source);
  EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message());
  if (!result.ok()) return RunOutcome{};
  return std::move(result).value();
}

std::vector<CandidateId> ranked_ids(const RunOutcome& outcome) {
  std::vector<CandidateId> ids;
  for (const RankedEntry& entry : outcome.ranked) ids.push_back(entry.candidate.id);
  return ids;
}

std::vector<CandidateId> rejected_ids(const RunOutcome& outcome, RejectKind kind) {
  std::vector<CandidateId> ids;
  for (const RejectedEntry& entry : outcome.rejected) {
    if (entry.reason.kind == kind) ids.push_back(entry.candidate.id);
  }
  return ids;
}

Engine with_budget(Engine engine, Budget::TopK top_k, uint32_t multiplier) {
  engine.budget.kind = top_k;
  engine.pool_multiplier = multiplier;
  return engine;
}

// ---- validation, empty input, source handling ----

TEST(Pipeline, ValidatesBeforePullingAnything) {
  ReleaseTracker tracker;
  Engine engine;
  add_axis(engine, "a", CostClass::Cheap);
  engine.pool_multiplier = 0;
  ListSource source = source_of(tracker, {{0.5f}});
  Result<RunOutcome> result = run(engine, source);
  ASSERT_FALSE(result.ok());
  EXPECT_TRUE(result.error().is<errors::ZeroPoolMultiplier>());
  EXPECT_EQ(source.pulls(), 0u);
  EXPECT_EQ(source.closes(), 0u);
}

TEST(Pipeline, EmptyInputStillCallsExpensiveAxesOnce) {
  Engine engine;
  auto cheap = add_axis(engine, "a", CostClass::Cheap);
  auto expensive = add_axis(engine, "x", CostClass::Expensive);
  ListSource source;
  RunOutcome outcome = run_ok(engine, source);

  EXPECT_EQ(expensive->batch_sizes, std::vector<size_t>{0});
  EXPECT_EQ(cheap->score_calls, 0u);
  EXPECT_EQ(outcome.trace.input_count, 0u);
  EXPECT_EQ(outcome.selection.pool_size, 0u);
  EXPECT_TRUE(outcome.ranked.empty());
  EXPECT_TRUE(outcome.rejected.empty());
  EXPECT_EQ(outcome.rejected_counts.total(), 0u);
  EXPECT_TRUE(outcome.is_complete());
  EXPECT_EQ(source.closes(), 1u);
  EXPECT_EQ(source.pulls_after_close(), 0u);
  ASSERT_EQ(outcome.trace.scorers.size(), 2u);
  for (const ScorerTrace& stats : outcome.trace.scorers) {
    EXPECT_EQ(stats.calls, 0u);
    EXPECT_EQ(stats.missing, 0u);
  }
  // The cheap axis never ran; the empty batch call was timed like any other.
  EXPECT_TRUE(outcome.trace.scorers[0].elapsed_nanos == 0);
  EXPECT_EQ(outcome.trace.scorers[1].scorer, "x");
}

TEST(Pipeline, GapsInTheSourceAreNotCounted) {
  ReleaseTracker tracker;
  Engine engine;
  add_axis(engine, "a", CostClass::Cheap);
  ListSource source;
  source.add_gap();
  source.add(make_candidate(1, {0.4f}, tracker.handle()));
  source.add_gap();
  source.add_gap();
  source.add(make_candidate(2, {0.6f}, tracker.handle()));
  RunOutcome outcome = run_ok(engine, source);
  EXPECT_EQ(outcome.trace.input_count, 2u);
  EXPECT_EQ(ranked_ids(outcome), (std::vector<CandidateId>{2, 1}));
  EXPECT_EQ(source.pulls(), 6u);
  EXPECT_EQ(source.closes(), 1u);
}

// ---- stage 1: pool capacity and admission ----

TEST(Pipeline, PoolCapacityFollowsTheBudget) {
  struct Case {
    Budget budget;
    uint32_t multiplier;
    uint32_t capacity;
  };
  const Case cases[] = {
      {Budget{Budget::TopK{10}}, 32, 320},
      {Budget{Budget::Tokens{3}}, 4, 12},
      {Budget{Budget::Tokens{0}}, 4, 1},
      {Budget{Budget::TailMass{0.1f, 0}}, 5, 5},
      {Budget{Budget::TailMass{0.1f, 7}}, 2, 14},
      // 2^31 x 4 = 2^33: the trace keeps the low 32 bits.
      {Budget{Budget::TopK{1u << 31}}, 4, 0},
      {Budget{Budget::TopK{0xFFFFFFFFu}}, 0xFFFFFFFFu, 1},
  };
  for (const Case& c : cases) {
    Engine engine;
    add_axis(engine, "a", CostClass::Cheap);
    engine.budget = c.budget;
    engine.pool_multiplier = c.multiplier;
    engine.cost = [](const Candidate& candidate) { return candidate.cost; };
    ListSource source;
    RunOutcome outcome = run_ok(engine, source);
    EXPECT_EQ(outcome.trace.pool_capacity, c.capacity);
    EXPECT_EQ(outcome.trace.budget.has_value(),
              std::holds_alternative<Budget::TailMass>(c.budget.kind));
  }
}

TEST(Pipeline, DefaultConfigurationKeepsThe320Best) {
  ReleaseTracker tracker;
  Engine engine;
  engine.rejections = RejectionRetention::Keep();
  add_axis(engine, "a", CostClass::Cheap);
  std::mt19937 rng(11);
  std::vector<AxisValues> values;
  std::vector<std::pair<float, uint64_t>> expected;
  for (uint64_t id = 1; id <= 1000; ++id) {
    float a = static_cast<float>(rng() % 200) / 200.0f;  // many ties
    values.push_back({a});
    expected.emplace_back(a, id);
  }
  std::stable_sort(expected.begin(), expected.end(), [](const auto& x, const auto& y) {
    return entry_better(x.first, CandidateId(x.second), y.first, CandidateId(y.second));
  });

  ListSource source = source_of(tracker, values);
  RunOutcome outcome = run_ok(engine, source);
  EXPECT_EQ(outcome.trace.admission_scorer, std::optional<std::string>("a"));
  EXPECT_EQ(outcome.trace.pool_capacity, 320u);
  EXPECT_EQ(outcome.selection.pool_size, 320u);
  EXPECT_EQ(outcome.rejected_counts[RejectKind::OutOfPool], 680u);
  EXPECT_EQ(outcome.rejected_counts[RejectKind::Outranked], 310u);

  std::vector<uint64_t> out_of_pool;
  for (const CandidateId& id : rejected_ids(outcome, RejectKind::OutOfPool)) {
    out_of_pool.push_back(id.integer());
  }
  std::sort(out_of_pool.begin(), out_of_pool.end());
  std::vector<uint64_t> weakest;
  for (size_t i = 320; i < expected.size(); ++i) weakest.push_back(expected[i].second);
  std::sort(weakest.begin(), weakest.end());
  EXPECT_EQ(out_of_pool, weakest);

  std::vector<CandidateId> top;
  for (size_t i = 0; i < 10; ++i) top.push_back(expected[i].second);
  EXPECT_EQ(ranked_ids(outcome), top);
}

TEST(Pipeline, SingleSlotPoolDropsInArrivalOrder) {
  ReleaseTracker tracker;
  Engine engine = with_budget(Engine{}, Budget::TopK{1}, 1);
  add_axis(engine, "a", CostClass::Cheap);
  ListSource source = source_of(tracker, {{0.3f}, {0.9f}, {0.5f}});
  RunOutcome outcome = run_ok(engine, source);
  EXPECT_EQ(outcome.selection.pool_size, 1u);
  ASSERT_EQ(outcome.rejected.size(), 2u);
  EXPECT_EQ(outcome.rejected[0].candidate.id, CandidateId(1));
  EXPECT_EQ(outcome.rejected[1].candidate.id, CandidateId(3));
  for (const RejectedEntry& entry : outcome.rejected) {
    EXPECT_EQ(entry.reason.kind, RejectKind::OutOfPool);
    EXPECT_FALSE(entry.fused.has_value());
  }
  EXPECT_EQ(ranked_ids(outcome), std::vector<CandidateId>{2});
}

TEST(Pipeline, CandidateWithoutAdmissionValueIsEvictedFirst) {
  ReleaseTracker tracker;
  Engine engine = with_budget(Engine{}, Budget::TopK{1}, 2);
  add_axis(engine, "a", CostClass::Cheap);
  ListSource source = source_of(tracker, {{std::nullopt}, {0.1f}, {0.05f}});
  RunOutcome outcome = run_ok(engine, source);
  EXPECT_EQ(rejected_ids(outcome, RejectKind::OutOfPool), std::vector<CandidateId>{1});
  EXPECT_EQ(outcome.trace.scorers[0].missing, 1u);
}

TEST(Pipeline, AdmissionAxisAndFusedCheapScore) {
  {
    // An explicit admission axis ranks stage 1 even when it is not the first cheap axis.
    ReleaseTracker tracker;
    Engine engine = with_budget(Engine{}, Budget::TopK{1}, 1);
    add_axis(engine, "a", CostClass::Cheap);
    add_axis(engine, "b", CostClass::Cheap);
    engine.admission = "b";
    ListSource source = source_of(tracker, {{0.9f, 0.1f}, {0.1f, 0.8f}});
    RunOutcome outcome = run_ok(engine, source);
    EXPECT_EQ(outcome.trace.admission_scorer, std::optional<std::string>("b"));
    EXPECT_EQ(ranked_ids(outcome), std::vector<CandidateId>{2});
  }
  {
    // weighted_sum without an admission axis: the cheap axes are fused, the expensive
    // one is not known yet.
    ReleaseTracker tracker;
    Engine engine = with_budget(Engine{}, Budget::TopK{1}, 1);
    engine.fusion = Fusion{Fusion::WeightedSum{}};
    add_axis(engine, "a", CostClass::Cheap);
    add_axis(engine, "b", CostClass::Cheap);
    add_axis(engine, "x", CostClass::Expensive);
    ListSource source = source_of(tracker, {{0.9f, 0.1f, 1.0f}, {0.6f, 0.6f, 0.0f}});
    RunOutcome outcome = run_ok(engine, source);
    EXPECT_FALSE(outcome.trace.admission_scorer.has_value());
    EXPECT_EQ(ranked_ids(outcome), std::vector<CandidateId>{2});
  }
}

// ---- stage 1: unary minimums and the reject policy ----

TEST(Pipeline, UnaryMinimumRunsBeforeAnyAxisOnTheCarriedValue) {
  ReleaseTracker tracker;
  Engine engine;
  engine.missing = Missing{MissingPolicy::Impute, 1.0f};
  auto a = add_axis(engine, "a", CostClass::Cheap);
  auto x = add_axis(engine, "x", CostClass::Expensive);
  a->compute = [](const Candidate&) { return std::optional<float>(0.0f); };  // ignores values
  engine.unary_constraints.push_back(UnaryMin{"min_a", 0, 0.5f});

  ListSource source = source_of(
      tracker, {{0.4f, 0.1f}, {std::nullopt, 0.1f}, {kNaN, 0.1f}, {0.5f, 0.1f}, {0.7f, 0.1f}});
  RunOutcome outcome = run_ok(engine, source);
  EXPECT_EQ(outcome.trace.input_count, 5u);
  EXPECT_EQ(outcome.rejected_counts[RejectKind::UnaryConstraint], 3u);
  EXPECT_EQ(rejected_ids(outcome, RejectKind::UnaryConstraint),
            (std::vector<CandidateId>{1, 2, 3}));
  for (const RejectedEntry& entry : outcome.rejected) {
    EXPECT_EQ(entry.reason.name, "min_a");
    EXPECT_FALSE(entry.fused.has_value());
  }
  // Only the two that passed were scored.
  EXPECT_EQ(a->scored_ids, (std::vector<CandidateId>{4, 5}));
  EXPECT_EQ(outcome.trace.scorers[0].calls, 2u);
  EXPECT_EQ(outcome.trace.scorers[0].missing, 0u);
  EXPECT_EQ(x->batch_sizes, std::vector<size_t>{2});
  EXPECT_EQ(outcome.ranked.size(), 2u);
}

TEST(Pipeline, RejectPolicyStopsAtTheFirstMissingCheapAxis) {
  ReleaseTracker tracker;
  Engine engine;
  engine.missing = Missing{MissingPolicy::Reject, 0.0f};
  auto a = add_axis(engine, "a", CostClass::Cheap);
  auto b = add_axis(engine, "b", CostClass::Cheap);
  ListSource source =
      source_of(tracker, {{0.2f, 0.3f}, {std::nullopt, 0.3f}, {0.4f, kNaN}, {0.1f, 0.1f}});
  RunOutcome outcome = run_ok(engine, source);
  ASSERT_EQ(outcome.rejected.size(), 2u);
  EXPECT_EQ(outcome.rejected[0].candidate.id, CandidateId(2));
  EXPECT_EQ(outcome.rejected[0].reason.kind, RejectKind::NotScored);
  EXPECT_EQ(outcome.rejected[0].reason.name, "a");
  EXPECT_EQ(outcome.rejected[1].candidate.id, CandidateId(3));
  EXPECT_EQ(outcome.rejected[1].reason.name, "b");
  EXPECT_EQ(b->scored_ids, (std::vector<CandidateId>{1, 3, 4}));
  EXPECT_EQ(outcome.trace.scorers[0].calls, 4u);
  EXPECT_EQ(outcome.trace.scorers[0].missing, 1u);
  EXPECT_EQ(outcome.trace.scorers[1].calls, 3u);
  EXPECT_EQ(outcome.trace.scorers[1].missing, 1u);
  EXPECT_EQ(a->score_calls, 4u);
}

// ---- stage 2 ----

TEST(Pipeline, RejectPolicyAfterTheBatchWalksThePoolInOrder) {
  ReleaseTracker tracker;
  Engine engine;
  engine.missing = Missing{MissingPolicy::Reject, 0.0f};
  add_axis(engine, "a", CostClass::Cheap);
  auto x = add_axis(engine, "x", CostClass::Expensive);
  auto y = add_axis(engine, "y", CostClass::Expensive);
  // Pool order is by a: 3, 1, 4, 2.
  ListSource source = source_of(tracker, {{0.8f, std::nullopt, 0.1f},
                                          {0.2f, 0.5f, kNaN},
                                          {0.9f, 0.5f, 0.5f},
                                          {0.5f, std::nullopt, std::nullopt}});
  RunOutcome outcome = run_ok(engine, source);
  EXPECT_EQ(x->batch_ids, (std::vector<std::vector<CandidateId>>{{3, 1, 4, 2}}));
  ASSERT_EQ(outcome.rejected.size(), 3u);
  EXPECT_EQ(outcome.rejected[0].candidate.id, CandidateId(1));
  EXPECT_EQ(outcome.rejected[0].reason.name, "x");
  EXPECT_EQ(outcome.rejected[1].candidate.id, CandidateId(4));
  EXPECT_EQ(outcome.rejected[1].reason.name, "x");
  EXPECT_EQ(outcome.rejected[2].candidate.id, CandidateId(2));
  EXPECT_EQ(outcome.rejected[2].reason.name, "y");
  EXPECT_EQ(ranked_ids(outcome), std::vector<CandidateId>{3});

  EXPECT_EQ(outcome.trace.scorers[1].calls, 4u);
  EXPECT_EQ(outcome.trace.scorers[1].missing, 2u);
  EXPECT_EQ(outcome.trace.scorers[2].calls, 4u);
  EXPECT_EQ(outcome.trace.scorers[2].missing, 2u);  // the NaN counts as missing
  // The stored values show the NaN as absent.
  ASSERT_EQ(outcome.ranked.size(), 1u);
  ASSERT_EQ(outcome.ranked[0].scores.size(), 3u);
  EXPECT_EQ(outcome.labels->axes[2], "y");
  EXPECT_EQ(outcome.ranked[0].scores[2], std::optional<float>(0.5f));
  EXPECT_EQ(y->batch_sizes, std::vector<size_t>{4});
}

TEST(Pipeline, WrongBatchLengthFailsBeforeLaterAxes) {
  ReleaseTracker tracker;
  {
    Engine engine;
    add_axis(engine, "a", CostClass::Cheap);
    auto x = add_axis(engine, "x", CostClass::Expensive);
    auto y = add_axis(engine, "y", CostClass::Expensive);
    auto z = add_axis(engine, "z", CostClass::Expensive);
    y->length_delta = -1;
    ListSource source = source_of(tracker, {{0.1f}, {0.2f}, {0.3f}});
    Result<RunOutcome> result = run(engine, source);
    ASSERT_FALSE(result.ok());
    const auto* mismatch = result.error().get_if<errors::BatchLengthMismatch>();
    ASSERT_NE(mismatch, nullptr);
    EXPECT_EQ(mismatch->name, "y");
    EXPECT_EQ(mismatch->got, 2u);
    EXPECT_EQ(mismatch->expected, 3u);
    EXPECT_EQ(x->batch_sizes.size(), 1u);
    EXPECT_TRUE(z->batch_sizes.empty());
    EXPECT_EQ(source.closes(), 1u);
  }
  EXPECT_TRUE(tracker.all_released_once());
}

TEST(Pipeline, LongerBatchIsAMismatchToo) {
  Engine engine;
  add_axis(engine, "a", CostClass::Cheap);
  auto x = add_axis(engine, "x", CostClass::Expensive);
  x->length_delta = 1;
  ListSource source;
  Result<RunOutcome> result = run(engine, source);
  ASSERT_FALSE(result.ok());
  const auto* mismatch = result.error().get_if<errors::BatchLengthMismatch>();
  ASSERT_NE(mismatch, nullptr);
  EXPECT_EQ(mismatch->got, 1u);
  EXPECT_EQ(mismatch->expected, 0u);
}

TEST(Pipeline, ThresholdDropsOnlyStrictlyLowerScores) {
  ReleaseTracker tracker;
  Engine engine;
  engine.fusion = Fusion{Fusion::WeightedSum{}};
  engine.threshold = 0.5f;
  add_axis(engine, "a", CostClass::Cheap);
  ListSource source = source_of(tracker, {{0.5f}, {0.4999f}, {0.7f}});
  RunOutcome outcome = run_ok(engine, source);
  EXPECT_EQ(ranked_ids(outcome), (std::vector<CandidateId>{3, 1}));
  ASSERT_EQ(outcome.rejected.size(), 1u);
  EXPECT_EQ(outcome.rejected[0].reason.kind, RejectKind::BelowThreshold);
  EXPECT_EQ(outcome.rejected[0].candidate.id, CandidateId(2));
  EXPECT_EQ(outcome.rejected[0].fused, std::optional<float>(0.4999f));
}

TEST(Pipeline, NaNThresholdDropsNothing) {
  ReleaseTracker tracker;
  Engine engine;
  engine.threshold = kNaN;
  add_axis(engine, "a", CostClass::Cheap);
  ListSource source = source_of(tracker, {{0.1f}, {0.2f}});
  RunOutcome outcome = run_ok(engine, source);
  EXPECT_EQ(outcome.ranked.size(), 2u);
  EXPECT_EQ(outcome.rejected_counts[RejectKind::BelowThreshold], 0u);
}

// ---- selection and the outcome ----

TEST(Pipeline, OutcomeCarriesRanksEvidenceAndConstraintDrops) {
  ReleaseTracker tracker;
  Engine engine;
  engine.fusion = Fusion{Fusion::WeightedSum{}};
  add_axis(engine, "a", CostClass::Cheap);
  add_axis(engine, "b", CostClass::Cheap);
  engine.set_constraints.push_back(std::make_unique<MaxTotal>("max_total", 2));
  ListSource source = source_of(tracker, {{0.3f, std::nullopt}, {0.9f, 0.7f}, {0.6f, 0.6f}});
  RunOutcome outcome = run_ok(engine, source);

  ASSERT_EQ(ranked_ids(outcome), (std::vector<CandidateId>{2, 3}));
  const RankedEntry& first = outcome.ranked[0];
  EXPECT_EQ(first.rank, 1u);
  EXPECT_EQ(outcome.ranked[1].rank, 2u);
  EXPECT_EQ(first.fused, -0.0f + 0.9f * 0.5f + 0.7f * 0.5f);
  EXPECT_EQ(outcome.labels->constraints, std::vector<std::string>{"max_total"});
  ASSERT_EQ(first.scores.size(), 2u);
  EXPECT_EQ(outcome.labels->axes, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(first.scores[1], std::optional<float>(0.7f));
  ASSERT_EQ(first.fusion.terms.size(), 2u);
  EXPECT_EQ(first.fusion.method, FusionMethod::WeightedSum);
  EXPECT_EQ(first.fusion.terms[1].input.kind, TermInputKind::Value);

  ASSERT_EQ(outcome.rejected.size(), 1u);
  EXPECT_EQ(outcome.rejected[0].candidate.id, CandidateId(1));
  EXPECT_EQ(outcome.rejected[0].reason.kind, RejectKind::SetConstraint);
  EXPECT_EQ(outcome.rejected[0].reason.name, "max_total");
  EXPECT_EQ(outcome.rejected[0].fused, std::optional<float>(0.3f));
  EXPECT_TRUE(outcome.selection.pool_exhausted);
  EXPECT_EQ(outcome.selection.pool_size, 3u);
  EXPECT_TRUE(outcome.selection.exact);
  EXPECT_FALSE(outcome.trace.budget.has_value());
}

TEST(Pipeline, RrfEvidenceAndRanksOfAPlainRun) {
  ReleaseTracker tracker;
  Engine engine;
  add_axis(engine, "a", CostClass::Cheap);
  add_axis(engine, "x", CostClass::Expensive);
  ListSource source = source_of(tracker, {{0.9f, 0.8f}, {0.1f, 0.2f}, {0.5f, std::nullopt}});
  RunOutcome outcome = run_ok(engine, source);
  // a ranks 1, 3, 2; x ranks 1, 2 and skips 3.
  ASSERT_EQ(ranked_ids(outcome), (std::vector<CandidateId>{1, 2, 3}));
  EXPECT_EQ(outcome.ranked[0].fused, 1.0f / 61.0f + 1.0f / 61.0f);
  EXPECT_EQ(outcome.ranked[1].fused, 1.0f / 63.0f + 1.0f / 62.0f);
  EXPECT_EQ(outcome.ranked[2].fused, -0.0f + 1.0f / 62.0f);
  EXPECT_EQ(outcome.ranked[2].fusion.terms[1].input.kind, TermInputKind::Skipped);
  EXPECT_EQ(outcome.ranked[1].fusion.terms[0].input.rank, 3u);
  EXPECT_EQ(outcome.ranked[1].fusion.terms[1].input.rank, 2u);
  EXPECT_EQ(outcome.ranked[0].fusion.k, std::optional<float>(60.0f));
  EXPECT_FALSE(outcome.ranked[2].scores[1].has_value());
}

TEST(Pipeline, TailMassBudgetRecordsItsEvidence) {
  ReleaseTracker tracker;
  Engine engine;
  engine.budget.kind = Budget::TailMass{0.1f, 2};
  engine.fusion = Fusion{Fusion::Max{}};
  add_axis(engine, "a", CostClass::Cheap);
  // Fewer than ten ranked records: the fit falls back to fallback_k.
  ListSource source = source_of(tracker, {{0.9f}, {0.8f}, {0.7f}, {0.6f}});
  RunOutcome outcome = run_ok(engine, source);
  ASSERT_TRUE(outcome.trace.budget.has_value());
  EXPECT_TRUE(outcome.trace.budget->fallback);
  EXPECT_EQ(outcome.trace.budget->reason, std::optional<FitReason>(FitReason::TooFewSamples));
  EXPECT_EQ(outcome.trace.budget->derived_k, 2u);
  EXPECT_EQ(ranked_ids(outcome), (std::vector<CandidateId>{1, 2}));
  EXPECT_EQ(outcome.trace.pool_capacity, 64u);
}

// Drops reach the bookkeeping stage by stage: stage 1 in input order, then stage-2
// not_scored in pool order, below_threshold in survivor order, and selection drops in
// ranking order.
TEST(Pipeline, DropsArriveInStageOrder) {
  ReleaseTracker tracker;
  Engine engine = with_budget(Engine{}, Budget::TopK{1}, 4);
  engine.missing = Missing{MissingPolicy::Reject, 0.0f};
  engine.fusion = Fusion{Fusion::Max{}};
  engine.threshold = 0.4f;
  add_axis(engine, "a", CostClass::Cheap);
  add_axis(engine, "x", CostClass::Expensive);
  engine.unary_constraints.push_back(UnaryMin{"floor", 0, 0.05f});
  ListSource source = source_of(tracker, {
                                             {0.50f, 0.10f},         // 1: outranked
                                             {0.01f, 0.90f},         // 2: unary minimum
                                             {0.40f, std::nullopt},  // 3: no x
                                             {0.20f, 0.10f},         // 4: evicted by 7
                                             {0.10f, 0.10f},         // 5: evicted by 6
                                             {0.35f, 0.10f},         // 6: below threshold
                                             {0.60f, 0.10f},         // 7: selected
                                         });
  RunOutcome outcome = run_ok(engine, source);
  std::vector<std::pair<RejectKind, uint64_t>> drops;
  for (const RejectedEntry& entry : outcome.rejected) {
    drops.emplace_back(entry.reason.kind, entry.candidate.id.integer());
  }
  const std::vector<std::pair<RejectKind, uint64_t>> expected = {
      {RejectKind::UnaryConstraint, 2}, {RejectKind::OutOfPool, 5},      {RejectKind::OutOfPool, 4},
      {RejectKind::NotScored, 3},       {RejectKind::BelowThreshold, 6}, {RejectKind::Outranked, 1},
  };
  EXPECT_EQ(drops, expected);
  EXPECT_EQ(outcome.rejected[4].fused, std::optional<float>(0.35f));
  EXPECT_EQ(ranked_ids(outcome), std::vector<CandidateId>{7});
  EXPECT_EQ(outcome.selection.pool_size, 4u);
  EXPECT_TRUE(outcome.is_complete());
}

// ---- accounting over random runs ----

struct RandomRun {
  Engine engine;
  std::vector<Candidate> candidates;
};

RandomRun random_run(uint32_t seed, RejectionRetention retention, ReleaseTracker& tracker) {
  std::mt19937 rng(seed);
  RandomRun r;
  Engine& engine = r.engine;
  engine.rejections = retention;
  engine.budget.kind = Budget::TopK{static_cast<uint32_t>(1 + rng() % 4)};
  engine.pool_multiplier = static_cast<uint32_t>(1 + rng() % 3);
  const MissingPolicy policies[] = {MissingPolicy::Skip, MissingPolicy::Impute,
                                    MissingPolicy::Reject};
  engine.missing = Missing{policies[rng() % 3], 0.25f};
  switch (rng() % 3) {
    case 0:
      engine.fusion = Fusion{Fusion::Rrf{60.0f}};
      break;
    case 1:
      engine.fusion = Fusion{Fusion::WeightedSum{}};
      break;
    default:
      engine.fusion = Fusion{Fusion::Max{}};
      break;
  }
  add_axis(engine, "a", CostClass::Cheap);
  add_axis(engine, "b", CostClass::Cheap);
  add_axis(engine, "x", CostClass::Expensive);
  if (rng() % 2) engine.unary_constraints.push_back(UnaryMin{"min_b", 1, 0.2f});
  if (rng() % 2) engine.threshold = 0.02f + static_cast<float>(rng() % 5) / 10.0f;
  if (rng() % 2) engine.set_constraints.push_back(std::make_unique<MaxPerGroup>("site", 0, 1));

  const size_t count = rng() % 60;
  for (size_t i = 0; i < count; ++i) {
    AxisValues values;
    for (int axis = 0; axis < 3; ++axis) {
      if (rng() % 5 == 0) {
        values.push_back(std::nullopt);
      } else {
        values.push_back(static_cast<float>(rng() % 10) / 10.0f);
      }
    }
    Candidate candidate = make_candidate(uint64_t{rng() % 40}, values, tracker.handle());
    candidate.groups.push_back(std::string(1, static_cast<char>('p' + rng() % 3)));
    r.candidates.push_back(std::move(candidate));
  }
  return r;
}

TEST(Pipeline, EveryCandidateIsAccountedForUnderEveryRetention) {
  for (uint32_t seed = 0; seed < 150; ++seed) {
    ReleaseTracker keep_tracker;
    std::vector<std::pair<RejectKind, CandidateId>> kept;
    RejectCounts keep_counts;
    std::vector<CandidateId> keep_ranked;
    {
      RandomRun r = random_run(seed, RejectionRetention::Keep(), keep_tracker);
      ListSource source(std::move(r.candidates));
      RunOutcome outcome = run_ok(r.engine, source);
      ASSERT_TRUE(outcome.is_complete()) << "seed " << seed;
      EXPECT_EQ(outcome.rejected.size(), outcome.rejected_counts.total());
      RejectCounts recounted;
      for (const RejectedEntry& entry : outcome.rejected) {
        ++recounted[entry.reason.kind];
        EXPECT_EQ(entry.fused.has_value(), entry.reason.kind == RejectKind::BelowThreshold ||
                                               entry.reason.kind == RejectKind::SetConstraint ||
                                               entry.reason.kind == RejectKind::Outranked);
        kept.emplace_back(entry.reason.kind, entry.candidate.id);
      }
      EXPECT_EQ(recounted.counts, outcome.rejected_counts.counts);
      for (size_t i = 0; i < outcome.ranked.size(); ++i) {
        EXPECT_EQ(outcome.ranked[i].rank, i + 1);
      }
      keep_counts = outcome.rejected_counts;
      keep_ranked = ranked_ids(outcome);
      EXPECT_EQ(keep_tracker.released(), 0u);
    }
    EXPECT_TRUE(keep_tracker.all_released_once()) << "seed " << seed;

    // Other retentions count the same drops and keep a prefix of them.
    for (RejectionRetention retention :
         {RejectionRetention::Count(), RejectionRetention::Sample(0), RejectionRetention::Sample(3),
          RejectionRetention::Sample(1000)}) {
      ReleaseTracker tracker;
      {
        RandomRun r = random_run(seed, retention, tracker);
        ListSource source(std::move(r.candidates));
        RunOutcome outcome = run_ok(r.engine, source);
        EXPECT_TRUE(outcome.is_complete());
        EXPECT_EQ(outcome.rejected_counts.counts, keep_counts.counts) << "seed " << seed;
        EXPECT_EQ(ranked_ids(outcome), keep_ranked);
        size_t limit = retention.policy == RejectionRetention::Policy::Count ? 0 : retention.n;
        ASSERT_EQ(outcome.rejected.size(), std::min(limit, kept.size()));
        for (size_t i = 0; i < outcome.rejected.size(); ++i) {
          EXPECT_EQ(outcome.rejected[i].reason.kind, kept[i].first);
          EXPECT_EQ(outcome.rejected[i].candidate.id, kept[i].second);
        }
        // Drops not kept were released during the run, kept ones were not.
        EXPECT_EQ(tracker.released(), outcome.rejected_counts.total() - outcome.rejected.size());
        EXPECT_TRUE(tracker.none_released_twice());
      }
      EXPECT_TRUE(tracker.all_released_once()) << "seed " << seed;
    }
  }
}

TEST(Pipeline, FailedRequirementReturnsOnlyTheError) {
  ReleaseTracker tracker;
  {
    Engine engine;
    add_axis(engine, "a", CostClass::Cheap);
    engine.requirements.push_back(Requirement{"lang", 0, "ko", 1});
    ListSource source = source_of(tracker, {{0.1f}, {0.2f}});
    Result<RunOutcome> result = run(engine, source);
    ASSERT_FALSE(result.ok());
    const auto* failed = result.error().get_if<errors::RequirementExchangeFailed>();
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->id, "lang");
    EXPECT_EQ(failed->available, 0u);
  }
  EXPECT_TRUE(tracker.all_released_once());
}

TEST(Pipeline, HandlesAreReleasedOnceWhenValidationFails) {
  ReleaseTracker tracker;
  {
    Engine engine;
    ListSource source = source_of(tracker, {{0.1f}, {0.2f}});
    Result<RunOutcome> result = run(engine, source);
    ASSERT_FALSE(result.ok());
    EXPECT_TRUE(result.error().is<errors::NoScorers>());
    EXPECT_EQ(tracker.released(), 0u);
  }
  EXPECT_TRUE(tracker.all_released_once());
}

}  // namespace
}  // namespace korvane
