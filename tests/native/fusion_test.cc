#include "engine/fusion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "pipeline_test_support.h"

namespace korvane {
namespace {

using pipeline_testing::add_axis;
using pipeline_testing::make_candidate;

constexpr float kInf = std::numeric_limits<float>::infinity();

Engine engine_with_axes(std::vector<std::pair<std::string, CostClass>> axes, Fusion fusion,
                        Missing missing = {}) {
  Engine engine;
  for (auto& [name, cost] : axes) add_axis(engine, name, cost);
  engine.fusion = std::move(fusion);
  engine.missing = missing;
  return engine;
}

Engine two_cheap_axes(Fusion fusion, Missing missing = {}) {
  return engine_with_axes({{"a", CostClass::Cheap}, {"b", CostClass::Cheap}}, std::move(fusion),
                          missing);
}

Fusion weighted(std::vector<std::pair<std::string, float>> weights = {}) {
  return Fusion{Fusion::WeightedSum{std::move(weights)}};
}

PoolRecord record(CandidateId id, AxisValues values) {
  return PoolRecord{make_candidate(std::move(id), {}), std::move(values)};
}

void expect_term(const EvidenceTerm& term, TermInputKind kind, float weight, float contribution) {
  EXPECT_EQ(term.input.kind, kind);
  EXPECT_EQ(term.weight, weight);
  EXPECT_EQ(term.contribution, contribution);
}

// ---- weighted_sum ----

TEST(Fusion, WeightedSumLeavesAbsentAxesOutUnderSkip) {
  Engine engine = two_cheap_axes(weighted());
  Fuser fuser(engine);
  FusionEvidence evidence = fuser.fuse({0.8f, std::nullopt}, 0, {});
  ASSERT_EQ(evidence.terms.size(), 2u);
  expect_term(evidence.terms[0], TermInputKind::Value, 1.0f, 0.8f);
  EXPECT_EQ(evidence.terms[0].input.value, 0.8f);
  expect_term(evidence.terms[1], TermInputKind::Skipped, 0.0f, 0.0f);
  EXPECT_EQ(fused_score(evidence), 0.8f);
  EXPECT_EQ(evidence.method, FusionMethod::WeightedSum);
  EXPECT_FALSE(evidence.k.has_value());
  EXPECT_EQ(evidence.missing, MissingPolicy::Skip);
}

TEST(Fusion, WeightedSumImputesAbsentAxes) {
  Engine engine = two_cheap_axes(weighted(), Missing{MissingPolicy::Impute, 0.0f});
  FusionEvidence evidence = Fuser(engine).fuse({0.8f, std::nullopt}, 0, {});
  expect_term(evidence.terms[0], TermInputKind::Value, 0.5f, 0.4f);
  expect_term(evidence.terms[1], TermInputKind::Imputed, 0.5f, 0.0f);
  EXPECT_EQ(evidence.terms[1].input.value, 0.0f);
  EXPECT_EQ(fused_score(evidence), 0.4f);
  EXPECT_EQ(evidence.missing, MissingPolicy::Impute);
  EXPECT_EQ(evidence.impute_value, 0.0f);
}

TEST(Fusion, NonEmptyWeightListSilencesUnnamedAxes) {
  Engine engine = two_cheap_axes(weighted({{"a", 3.0f}}));
  FusionEvidence evidence = Fuser(engine).fuse({0.6f, 0.9f}, 0, {});
  expect_term(evidence.terms[0], TermInputKind::Value, 1.0f, 0.6f);
  expect_term(evidence.terms[1], TermInputKind::Value, 0.0f, 0.0f);
  EXPECT_EQ(evidence.terms[1].input.value, 0.9f);
  EXPECT_EQ(fused_score(evidence), 0.6f);
}

TEST(Fusion, FirstWeightEntryWins) {
  Engine engine = two_cheap_axes(weighted({{"b", 1.0f}, {"a", 2.0f}, {"a", 7.0f}}));
  Fuser fuser(engine);
  EXPECT_EQ(fuser.raw_weight(0), 2.0f);
  EXPECT_EQ(fuser.raw_weight(1), 1.0f);
  FusionEvidence evidence = fuser.fuse({0.3f, 0.6f}, 0, {});
  float wa = 2.0f / 3.0f, wb = 1.0f / 3.0f;
  EXPECT_EQ(evidence.terms[0].weight, wa);
  EXPECT_EQ(evidence.terms[1].weight, wb);
  EXPECT_EQ(fused_score(evidence), -0.0f + 0.3f * wa + 0.6f * wb);
}

TEST(Fusion, AllZeroWeightsGiveZero) {
  Engine engine = two_cheap_axes(weighted({{"a", 0.0f}, {"b", 0.0f}}));
  FusionEvidence evidence = Fuser(engine).fuse({0.3f, 0.6f}, 0, {});
  expect_term(evidence.terms[0], TermInputKind::Value, 0.0f, 0.0f);
  expect_term(evidence.terms[1], TermInputKind::Value, 0.0f, 0.0f);
  EXPECT_EQ(fused_score(evidence), 0.0f);
}

TEST(Fusion, SumsOfOnlySkippedTermsAreNegativeZero) {
  for (Fusion fusion : {weighted(), Fusion{Fusion::Rrf{60.0f}}}) {
    Engine engine = two_cheap_axes(fusion);
    AxisRanks no_ranks(2, std::vector<uint32_t>(1, 0));
    float fused = fused_score(Fuser(engine).fuse({std::nullopt, std::nullopt}, 0, no_ranks));
    EXPECT_EQ(fused, 0.0f);
    EXPECT_TRUE(std::signbit(fused));
  }
  Engine engine = two_cheap_axes(Fusion{Fusion::Max{}});
  float fused = fused_score(Fuser(engine).fuse({std::nullopt, std::nullopt}, 0, {}));
  EXPECT_EQ(fused, 0.0f);
  EXPECT_FALSE(std::signbit(fused));
}

// ---- max ----

TEST(Fusion, MaxTakesTheLargestValueOrImputedValue) {
  Engine engine = two_cheap_axes(Fusion{Fusion::Max{}}, Missing{MissingPolicy::Impute, 0.7f});
  FusionEvidence evidence = Fuser(engine).fuse({0.2f, std::nullopt}, 0, {});
  expect_term(evidence.terms[0], TermInputKind::Value, 1.0f, 0.2f);
  expect_term(evidence.terms[1], TermInputKind::Imputed, 1.0f, 0.7f);
  EXPECT_EQ(fused_score(evidence), 0.7f);
  EXPECT_EQ(evidence.method, FusionMethod::Max);
}

TEST(Fusion, MaxIgnoresSkippedTerms) {
  Engine engine = two_cheap_axes(Fusion{Fusion::Max{}});
  FusionEvidence evidence = Fuser(engine).fuse({std::nullopt, -0.25f}, 0, {});
  EXPECT_EQ(fused_score(evidence), -0.25f);
}

// ---- rrf ----

TEST(Fusion, RrfTiesGoToTheSmallerIdentifier) {
  Engine engine = engine_with_axes({{"a", CostClass::Cheap}}, Fusion{Fusion::Rrf{60.0f}});
  std::vector<PoolRecord> survivors;
  survivors.push_back(record(5, {0.9f}));
  survivors.push_back(record(3, {0.9f}));
  survivors.push_back(record(1, {0.1f}));
  Fuser fuser(engine);
  AxisRanks ranks = fuser.rrf_ranks(survivors);
  EXPECT_EQ(ranks[0], (std::vector<uint32_t>{2, 1, 3}));

  const float expected[] = {1.0f / 62.0f, 1.0f / 61.0f, 1.0f / 63.0f};
  for (size_t s = 0; s < 3; ++s) {
    FusionEvidence evidence = fuser.fuse(survivors[s].axis_values, s, ranks);
    ASSERT_EQ(evidence.terms.size(), 1u);
    EXPECT_EQ(evidence.terms[0].input.kind, TermInputKind::Rank);
    EXPECT_EQ(evidence.terms[0].input.rank, ranks[0][s]);
    EXPECT_EQ(evidence.terms[0].weight, 1.0f);
    EXPECT_EQ(evidence.terms[0].contribution, expected[s]);
    EXPECT_EQ(evidence.k, std::optional<float>(60.0f));
  }
}

TEST(Fusion, RrfFirstOnTwoAxes) {
  Engine engine = two_cheap_axes(Fusion{Fusion::Rrf{60.0f}});
  std::vector<PoolRecord> survivors;
  survivors.push_back(record(1, {0.2f, 0.1f}));
  survivors.push_back(record(2, {0.9f, 0.8f}));
  Fuser fuser(engine);
  AxisRanks ranks = fuser.rrf_ranks(survivors);
  float fused = fused_score(fuser.fuse(survivors[1].axis_values, 1, ranks));
  EXPECT_EQ(fused, 1.0f / 61.0f + 1.0f / 61.0f);
  EXPECT_NEAR(fused, 2.0 / 61.0, 1e-7);
}

TEST(Fusion, RrfUnderSkipRanksOnlyParticipants) {
  Engine engine = two_cheap_axes(Fusion{Fusion::Rrf{10.0f}});
  std::vector<PoolRecord> survivors;
  survivors.push_back(record(1, {0.5f, std::nullopt}));
  survivors.push_back(record(2, {0.7f, 0.4f}));
  survivors.push_back(record(3, {std::nullopt, 0.9f}));
  Fuser fuser(engine);
  AxisRanks ranks = fuser.rrf_ranks(survivors);
  EXPECT_EQ(ranks[0], (std::vector<uint32_t>{2, 1, 0}));
  EXPECT_EQ(ranks[1], (std::vector<uint32_t>{0, 2, 1}));

  FusionEvidence first = fuser.fuse(survivors[0].axis_values, 0, ranks);
  EXPECT_EQ(first.terms[1].input.kind, TermInputKind::Skipped);
  EXPECT_EQ(first.terms[1].contribution, 0.0f);
  EXPECT_EQ(fused_score(first), 1.0f / 12.0f);
  EXPECT_EQ(fused_score(fuser.fuse(survivors[1].axis_values, 1, ranks)),
            1.0f / 11.0f + 1.0f / 12.0f);
}

TEST(Fusion, RrfUnderImputeRanksAbsentValuesAsTheImputeValueByIdentifier) {
  Engine engine = engine_with_axes({{"a", CostClass::Expensive}}, Fusion{Fusion::Rrf{60.0f}},
                                   Missing{MissingPolicy::Impute, 0.5f});
  std::vector<PoolRecord> survivors;
  survivors.push_back(record(std::string("z"), {std::nullopt}));
  survivors.push_back(record(9, {std::nullopt}));
  survivors.push_back(record(4, {0.6f}));
  survivors.push_back(record(2, {0.5f}));
  survivors.push_back(record(1, {0.4f}));
  Fuser fuser(engine);
  AxisRanks ranks = fuser.rrf_ranks(survivors);
  // 0.6 (4); then 0.5 for 2, 9 and "z" by identifier; then 0.4.
  EXPECT_EQ(ranks[0], (std::vector<uint32_t>{4, 3, 1, 2, 5}));
  FusionEvidence evidence = fuser.fuse(survivors[0].axis_values, 0, ranks);
  EXPECT_EQ(evidence.terms[0].input.kind, TermInputKind::Rank);
  EXPECT_EQ(evidence.terms[0].input.rank, 4u);
}

TEST(Fusion, RrfRanksFollowTheTotalOrder) {
  Engine engine = engine_with_axes({{"a", CostClass::Cheap}}, Fusion{Fusion::Rrf{60.0f}});
  std::vector<PoolRecord> survivors;
  survivors.push_back(record(1, {-0.0f}));
  survivors.push_back(record(2, {0.0f}));
  survivors.push_back(record(3, {-kInf}));
  survivors.push_back(record(4, {kInf}));
  AxisRanks ranks = Fuser(engine).rrf_ranks(survivors);
  EXPECT_EQ(ranks[0], (std::vector<uint32_t>{3, 2, 4, 1}));
}

// ---- stage-1 admission score ----

TEST(Fusion, CheapAdmissionScoreDividesTheWeightedSumOnce) {
  Engine engine = two_cheap_axes(weighted({{"a", 1.0f}, {"b", 2.0f}}));
  Fuser fuser(engine);
  AxisValues values{0.1f, 0.1f};
  float admission = fuser.cheap_admission_score(values);
  EXPECT_EQ(admission, (-0.0f + 1.0f * 0.1f + 2.0f * 0.1f) / 3.0f);
  // The stage-2 fusion rounds each weight first and lands elsewhere.
  EXPECT_NE(admission, fused_score(fuser.fuse(values, 0, {})));
}

TEST(Fusion, CheapAdmissionScoreUsesOnlyCheapAxes) {
  Engine engine = engine_with_axes(
      {{"a", CostClass::Cheap}, {"x", CostClass::Expensive}, {"b", CostClass::Cheap}},
      Fusion{Fusion::Max{}});
  Fuser fuser(engine);
  EXPECT_EQ(fuser.cheap_admission_score(AxisValues{0.2f, 0.9f, 0.4f}), 0.4f);
  EXPECT_EQ(fuser.cheap_admission_score(AxisValues{std::nullopt, 0.9f, std::nullopt}), -kInf);
}

TEST(Fusion, CheapAdmissionScoreWithoutParticipantsOrWeight) {
  Engine skip = two_cheap_axes(weighted());
  EXPECT_EQ(Fuser(skip).cheap_admission_score(AxisValues{std::nullopt, std::nullopt}), -kInf);
  EXPECT_EQ(Fuser(skip).cheap_admission_score(AxisValues{std::nullopt, 0.6f}), 0.6f);

  Engine impute = two_cheap_axes(weighted(), Missing{MissingPolicy::Impute, 0.2f});
  EXPECT_EQ(Fuser(impute).cheap_admission_score(AxisValues{std::nullopt, std::nullopt}),
            (-0.0f + 0.2f + 0.2f) / 2.0f);

  Engine silenced = two_cheap_axes(weighted({{"b", 1.0f}}));
  EXPECT_EQ(Fuser(silenced).cheap_admission_score(AxisValues{0.7f, std::nullopt}), 0.0f);

  Engine all_expensive = engine_with_axes({{"x", CostClass::Expensive}}, weighted());
  EXPECT_EQ(Fuser(all_expensive).cheap_admission_score(AxisValues{0.5f}), -kInf);
}

}  // namespace
}  // namespace korvane
