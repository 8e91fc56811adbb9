#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/axis.h"
#include "engine/scorer.h"

namespace korvane {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(NormalizerTest, Sigmoid) {
  const Normalizer sigmoid = Normalizer::Sigmoid();
  EXPECT_EQ(sigmoid.apply(0.0f), 0.5f);
  EXPECT_EQ(sigmoid.apply(kInf), 1.0f);
  EXPECT_EQ(sigmoid.apply(-kInf), 0.0f);
  EXPECT_TRUE(std::isnan(sigmoid.apply(kNaN)));
  // e^100 overflows a float, so the single-precision result is exactly 0 where a double
  // computation would leave a subnormal.
  EXPECT_EQ(sigmoid.apply(-100.0f), 0.0f);
  EXPECT_FALSE(std::signbit(sigmoid.apply(-100.0f)));
}

TEST(NormalizerTest, Clamp01KeepsNaNAndNegativeZero) {
  const Normalizer clamp = Normalizer::Clamp01();
  EXPECT_EQ(clamp.apply(-3.0f), 0.0f);
  EXPECT_EQ(clamp.apply(7.0f), 1.0f);
  EXPECT_EQ(clamp.apply(0.25f), 0.25f);
  EXPECT_EQ(clamp.apply(-kInf), 0.0f);
  EXPECT_EQ(clamp.apply(kInf), 1.0f);
  EXPECT_FALSE(std::signbit(clamp.apply(-3.0f)));
  EXPECT_TRUE(std::isnan(clamp.apply(kNaN)));
  const float negative_zero = clamp.apply(-0.0f);
  EXPECT_EQ(negative_zero, 0.0f);
  EXPECT_TRUE(std::signbit(negative_zero));
}

TEST(NormalizerTest, MinMax) {
  const Normalizer range = Normalizer::MinMax(10.0f, 20.0f);
  EXPECT_EQ(range.apply(15.0f), 0.5f);
  EXPECT_EQ(range.apply(25.0f), 1.0f);
  EXPECT_EQ(range.apply(5.0f), 0.0f);
  EXPECT_EQ(range.apply(10.0f), 0.0f);
  EXPECT_EQ(range.apply(20.0f), 1.0f);
  EXPECT_TRUE(std::isnan(range.apply(kNaN)));
  // Single-precision quotient.
  EXPECT_EQ(Normalizer::MinMax(0.0f, 3.0f).apply(1.0f), 1.0f / 3.0f);
}

TEST(NormalizerTest, MinMaxDegenerateRangeGivesZeroForEveryValue) {
  for (const Normalizer range :
       {Normalizer::MinMax(5.0f, 5.0f), Normalizer::MinMax(20.0f, 10.0f)}) {
    for (float v : {5.0f, -1.0f, 100.0f, kInf, -kInf, kNaN}) {
      const float out = range.apply(v);
      EXPECT_EQ(out, 0.0f) << v;
      EXPECT_FALSE(std::signbit(out));
    }
  }
}

TEST(AxisTest, EffectiveScaleIsUnitWhenNormalized) {
  EXPECT_EQ(effective_scale(Scale::Rank, Normalizer::Sigmoid()), Scale::Unit);
  EXPECT_EQ(effective_scale(Scale::Unbounded, std::nullopt), Scale::Unbounded);
  EXPECT_EQ(effective_scale(Scale::Unit, std::nullopt), Scale::Unit);
}

Candidate with_values(AxisValues values) {
  Candidate candidate;
  candidate.values = std::move(values);
  return candidate;
}

TEST(FieldScorerTest, ReadsItsOwnSlotAndNormalizes) {
  const Candidate c = with_values({3.0f, std::nullopt, 15.0f});
  FieldScorer raw("a", 0, std::nullopt, Scale::Unbounded, CostClass::Cheap);
  FieldScorer absent("b", 1, Normalizer::Sigmoid(), Scale::Unit, CostClass::Cheap);
  FieldScorer scaled("c", 2, Normalizer::MinMax(10.0f, 20.0f), Scale::Rank, CostClass::Expensive);
  EXPECT_EQ(raw.score(c), 3.0f);
  EXPECT_EQ(absent.score(c), std::nullopt);
  EXPECT_EQ(scaled.score(c), 0.5f);
  // A short value list reads as absent rather than out of bounds.
  FieldScorer beyond("d", 3, std::nullopt, Scale::Unit, CostClass::Cheap);
  EXPECT_EQ(beyond.score(c), std::nullopt);
}

TEST(FieldScorerTest, NormalizerOnlyTouchesPresentValues) {
  // A degenerate MinMax maps every present value to 0, but absent stays absent.
  FieldScorer degenerate("a", 0, Normalizer::MinMax(1.0f, 1.0f), Scale::Unit, CostClass::Cheap);
  EXPECT_EQ(degenerate.score(with_values({std::nullopt})), std::nullopt);
  EXPECT_EQ(degenerate.score(with_values({kNaN})), 0.0f);
  // Without a normalizer a carried NaN is handed on; the run counts it as missing.
  FieldScorer raw("b", 0, std::nullopt, Scale::Unit, CostClass::Cheap);
  std::optional<float> nan = raw.score(with_values({kNaN}));
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(*nan));
}

TEST(FieldScorerTest, DescribesItsAxis) {
  FieldScorer normalized("n", 0, Normalizer::Clamp01(), Scale::Rank, CostClass::Expensive);
  EXPECT_EQ(normalized.name(), "n");
  EXPECT_EQ(normalized.scale(), Scale::Unit);
  EXPECT_EQ(normalized.cost(), CostClass::Expensive);
  FieldScorer plain("p", 0, std::nullopt, Scale::Rank, CostClass::Cheap);
  EXPECT_EQ(plain.scale(), Scale::Rank);
  EXPECT_EQ(plain.cost(), CostClass::Cheap);
}

TEST(FieldScorerTest, BatchScoresEachRecordInOrder) {
  const Candidate a = with_values({1.0f, -2.0f});
  const Candidate b = with_values({2.0f, std::nullopt});
  const Candidate c = with_values({3.0f, 9.0f});
  const Candidate* pool[] = {&c, &a, &b, &a};
  FieldScorer second("x", 1, Normalizer::Clamp01(), Scale::Unit, CostClass::Expensive);
  const std::vector<std::optional<float>> expected = {1.0f, 0.0f, std::nullopt, 0.0f};
  EXPECT_EQ(second.score_batch(pool), expected);
  EXPECT_TRUE(second.score_batch({}).empty());
}

}  // namespace
}  // namespace korvane
