#include "budget/tail_mass.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "budget/zipf_tail.h"

namespace korvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr uint64_t kBound = kLiteralZipfTerms;
constexpr double kEulerGamma = 0.57721566490153286;

// Ascending literal sum of i^-s over (from, to].
double literal_sum(double s, uint64_t from, uint64_t to, double start = 0.0) {
  for (uint64_t i = from + 1; i <= to; ++i) start += std::pow(static_cast<double>(i), -s);
  return start;
}

// Compensated reference for the closed-form tail.
double reference_sum(double s, uint64_t from, uint64_t to) {
  double sum = 0.0, carry = 0.0;
  for (uint64_t i = from + 1; i <= to; ++i) {
    const double term = std::pow(static_cast<double>(i), -s);
    const double next = sum + term;
    carry += std::fabs(sum) >= term ? (sum - next) + term : (term - next) + sum;
    sum = next;
  }
  return sum + carry;
}

uint64_t ulp_distance(double a, double b) {
  int64_t ia, ib;
  std::memcpy(&ia, &a, sizeof a);
  std::memcpy(&ib, &b, sizeof b);
  return static_cast<uint64_t>(std::llabs(ia - ib));
}

bool same_float(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || a == b;
}

TEST(TailMassTest, StatedValues) {
  EXPECT_EQ(tail_mass(1.0f, 0, 10), 1.0f);
  EXPECT_EQ(tail_mass(0.0f, 5, 10), 0.5f);
  for (float s : {-2.0f, 0.0f, 1.0f, 3.5f}) {
    EXPECT_EQ(tail_mass(s, 10, 10), 0.0f);
    EXPECT_EQ(tail_mass(s, 12, 10), 0.0f);
    EXPECT_EQ(tail_mass(s, 0, 0), 0.0f);
  }
  EXPECT_EQ(zipf_partial_sum(1.0, 0), 0.0);
  EXPECT_EQ(zipf_partial_sum(-7.0, 1), 1.0);
}

TEST(TailMassTest, MatchesTheLiteralFormula) {
  for (float s : {-1.5f, -0.25f, 0.0f, 0.5f, 1.0f, 1.1f, 2.0f, 6.0f, 40.0f}) {
    for (uint64_t v : {1u, 2u, 10u, 997u}) {
      for (uint64_t k : {uint64_t{0}, uint64_t{1}, v / 3, v - 1}) {
        if (k >= v) continue;
        const double expected = 1.0 - literal_sum(s, 0, k) / literal_sum(s, 0, v);
        EXPECT_EQ(tail_mass(s, k, v), static_cast<float>(expected)) << s << " " << k << " " << v;
      }
    }
  }
}

TEST(TailMassTest, NonFiniteExponentsGiveTheLiteralValueWithoutHanging) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(tail_mass(inf, 0, 10), 1.0f);
  EXPECT_EQ(tail_mass(inf, 1, 10), 0.0f);
  EXPECT_TRUE(std::isnan(tail_mass(nan, 0, 10)));
  // Beyond the second term nothing changes, so a huge v gives what v = 10 gives.
  for (float s : {inf, -inf, nan}) {
    for (uint64_t k : {0u, 1u, 2u, 5u}) {
      EXPECT_TRUE(same_float(tail_mass(s, k, 1000000000000000000u), tail_mass(s, k, 10)))
          << s << " " << k;
    }
    EXPECT_TRUE(same_float(tail_mass(s, 1u << 30, std::numeric_limits<uint64_t>::max()),
                           tail_mass(s, 5, 10)));
  }
}

TEST(TailMassTest, HugeRankCountsAgreeWithKnownAsymptotics) {
  const uint64_t v = 1000000000000000000u;
  const double m = 1e18;
  // Z(1, m) = ln m + gamma + 1/(2m) - ...; the literal head carries its own rounding, so
  // the comparison allows a relative 1e-12.
  EXPECT_NEAR(zipf_partial_sum(1.0, v), std::log(m) + kEulerGamma, 1e-12 * 42);
  EXPECT_NEAR(zipf_partial_sum(2.0, v), M_PI * M_PI / 6.0, 1e-11);
  EXPECT_NEAR(zipf_partial_sum(0.5, v), 2.0 * std::sqrt(m) - 1.4603545088095868, 1e-6);
  EXPECT_EQ(zipf_partial_sum(0.0, v), m);
  EXPECT_EQ(zipf_partial_sum(-1.0, 2000000000u), 2000000000.0 * 2000000001.0 / 2.0);

  const double h5 = 1.0 + 1.0 / 2 + 1.0 / 3 + 1.0 / 4 + 1.0 / 5;
  EXPECT_NEAR(tail_mass(1.0f, 5, v), 1.0 - h5 / (std::log(m) + kEulerGamma), 1e-7);
  // k beyond the literal bound as well.
  EXPECT_NEAR(tail_mass(1.0f, v / 10, v), std::log(10.0) / (std::log(m) + kEulerGamma), 1e-8);
  EXPECT_EQ(tail_mass(0.0f, 250000000, 1000000000), 0.75f);
  EXPECT_EQ(tail_mass(0.0f, kBound + 1, 4 * (kBound + 1)), 0.75f);
  EXPECT_EQ(tail_mass(1.0f, 5, std::numeric_limits<uint64_t>::max()),
            tail_mass(1.0f, 5, std::numeric_limits<uint64_t>::max()));
}

TEST(TailMassTest, HugeRanksCloseTogetherNeverGiveANegativeShare) {
  std::mt19937_64 random(7);
  for (int trial = 0; trial < 20; ++trial) {
    const uint64_t v = kBound + 2 + random() % (std::numeric_limits<uint64_t>::max() - kBound - 2);
    const uint64_t k = v - 1 - random() % 3000;
    const float s = static_cast<float>(trial) * 0.25f - 1.0f;
    const float share = tail_mass(s, k, v);
    EXPECT_GE(share, 0.0f) << s << " " << k << " " << v;
    EXPECT_LE(share, 1.0f) << s << " " << k << " " << v;
  }
  EXPECT_GE(tail_mass(0.5f, 3238843012103018192u, 3238843012103018477u), 0.0f);
  EXPECT_GE(tail_mass(0.75f, 1133610254162629748u, 1133610254162629896u), 0.0f);
}

TEST(TailMassTest, OverflowingSumsAreInfiniteNotNaN) {
  const uint64_t v = 1000000000000000000u;
  EXPECT_EQ(zipf_partial_sum(-50.0, v), kInf);  // a literal term already overflows
  EXPECT_EQ(zipf_partial_sum(-40.0, v), kInf);  // only the far tail overflows
  EXPECT_EQ(zipf_tail_sum(-40.0, kBound, v), kInf);
  EXPECT_EQ(tail_mass(-40.0f, 5, v), 1.0f);
  EXPECT_EQ(tail_mass(-3e38f, 0, v), 1.0f);
  EXPECT_EQ(tail_mass(3e38f, 1, v), 0.0f);
  EXPECT_EQ(zipf_tail_sum(3e38, kBound, v), 0.0);
}

TEST(ZipfTailTest, FirstTermIsExact) {
  for (double s : {-3.0, 0.0, 0.5, 1.0, 2.25}) {
    for (uint64_t n : {uint64_t{10}, kBound}) {
      EXPECT_EQ(zipf_tail_sum(s, n, n + 1), std::pow(static_cast<double>(n + 1), -s));
    }
  }
}

TEST(ZipfTailTest, ClosedFormMatchesACompensatedSum) {
  // Well below the bound, so the closed form is checked over a long stretch of terms.
  for (double s = -3.0; s <= 6.0; s += 0.125) {
    for (uint64_t n : {100u, 5000u}) {
      const double reference = reference_sum(s, n, 200000);
      EXPECT_LE(ulp_distance(zipf_tail_sum(s, n, 200000), reference), 4u) << s << " " << n;
    }
  }
  // Either side of s = 1, one float step at a time, where the integral changes form.
  for (int step = -8; step <= 8; ++step) {
    const double s = 1.0 + step * 0x1p-23;
    const double reference = reference_sum(s, 1000, 200000);
    EXPECT_LE(ulp_distance(zipf_tail_sum(s, 1000, 200000), reference), 4u) << s;
  }
}

// Past the bound the literal sum keeps rounding once per term, which the closed form does not,
// so the two drift apart by about an ulp per term. After rounding to float that is invisible
// unless 1 - Z(k)/Z(v) cancels down to a tiny value, where only an absolute bound holds.
void expect_tail_mass_near_literal(float s, uint64_t k, uint64_t v, double head, double total) {
  const double literal = 1.0 - head / total;
  if (literal >= 1e-3) {
    EXPECT_EQ(tail_mass(s, k, v), static_cast<float>(literal)) << s << " " << k;
  } else {
    // Plus the float rounding of the result itself.
    EXPECT_NEAR(tail_mass(s, k, v), literal, 1e-13 + literal * 0x1p-23) << s << " " << k;
  }
}

TEST(ZipfTailTest, ContinuesTheLiteralSumAcrossTheBound) {
  // Exponents that are floats, so tail_mass sees the same s as the literal sums.
  for (float sf : {-2.0f, 0.5f, 0.99f, 1.0f, 3.0f}) {
    const double s = sf;
    const uint64_t ks[] = {0, 1000, kBound / 2, kBound};
    double head[std::size(ks)];  // Z(s, k) for the k above
    double z = 0.0;
    uint64_t done = 0;
    for (size_t j = 0; j < std::size(ks); ++j) {
      z = literal_sum(s, done, ks[j], z);
      done = ks[j];
      head[j] = z;
    }
    const double at_bound = z;
    double literal = at_bound;
    for (uint64_t d = 1; d <= 10; ++d) {
      literal = literal_sum(s, kBound + d - 1, kBound + d, literal);
      EXPECT_LE(ulp_distance(at_bound + zipf_tail_sum(s, kBound, kBound + d), literal), d / 2 + 1)
          << s << " " << d;
    }
    EXPECT_LE(ulp_distance(zipf_partial_sum(s, kBound + 10), literal), 6u) << s;
    for (size_t j = 0; j < std::size(ks); ++j) {
      expect_tail_mass_near_literal(sf, ks[j], kBound + 10, head[j], literal);
    }
    const double past_bound = literal_sum(s, kBound, kBound + 2, at_bound);
    expect_tail_mass_near_literal(sf, kBound + 2, kBound + 10, past_bound, literal);
  }
}

// The derivation exactly as described: 62 full evaluations of E, nothing cached.
BudgetEvidence literal_derivation(const std::vector<double>& scores, float epsilon,
                                  uint32_t fallback_k, float min_fit) {
  BudgetEvidence out;
  const size_t n = scores.size();
  auto fall = [&](FitReason reason) {
    out.fallback = true;
    out.reason = reason;
    out.derived_k = fallback_k;
    return out;
  };
  if (n < 10) return fall(FitReason::TooFewSamples);
  for (double x : scores) {
    if (std::isnan(x) || std::isinf(x) || x < 0) return fall(FitReason::NotAMassDistribution);
  }
  double g = 0;
  for (double x : scores) g += x;
  if (g <= 0) return fall(FitReason::NotAMassDistribution);
  double h = 0;
  for (size_t i = 1; i <= n; ++i) h += std::log(double(i)) * scores[i - 1];
  h /= g;
  auto z = [&](double s, size_t m) { return literal_sum(s, 0, m); };
  auto e = [&](double s) {
    double num = 0;
    for (size_t i = 1; i <= n; ++i) num += std::pow(double(i), -s) * std::log(double(i));
    const double zn = z(s, n);
    return zn <= 0 ? 0.0 : num / zn;
  };
  double s;
  if (h > e(0.01)) {
    s = 0.01;
  } else if (h < e(6)) {
    s = 6;
  } else {
    double lo = 0.01, hi = 6;
    for (int i = 0; i < 60; ++i) {
      const double mid = (lo + hi) * 0.5;
      if (e(mid) > h)
        lo = mid;
      else
        hi = mid;
    }
    s = (lo + hi) * 0.5;
  }
  out.s = float(s);
  const double big_h = z(s, n);
  double d = 0, cum = 0;
  for (size_t l = 1; l <= n; ++l) {
    cum += scores[l - 1];
    const double diff = std::fabs(cum / g - z(s, l) / big_h);
    if (diff > d) d = diff;
  }
  out.fit_quality = big_h <= 0 ? 0.0f : float(std::min(1.0, std::max(0.0, 1.0 - d)));
  if (min_fit > out.fit_quality) return fall(FitReason::PoorFit);
  out.derived_k = uint32_t(n);
  for (size_t k = 1; k <= n; ++k) {
    if (double(epsilon) >= 1 - z(s, k) / big_h) {
      out.derived_k = uint32_t(k);
      break;
    }
  }
  return out;
}

std::vector<double> zipf_scores(size_t n, float s) {
  std::vector<double> scores(n);
  for (size_t i = 0; i < n; ++i) scores[i] = std::pow(float(i + 1), -s);
  return scores;
}

void expect_same(const BudgetEvidence& got, const BudgetEvidence& want) {
  EXPECT_EQ(got.s, want.s);
  EXPECT_EQ(got.fit_quality, want.fit_quality);
  EXPECT_EQ(got.fallback, want.fallback);
  EXPECT_EQ(got.reason, want.reason);
  EXPECT_EQ(got.derived_k, want.derived_k);
}

TEST(DeriveTailMassTest, TooFewSamples) {
  for (size_t n : {0u, 1u, 9u}) {
    const BudgetEvidence e = derive_tail_mass_k(zipf_scores(n, 1.0f), 0.1f, 7, 0.0f);
    EXPECT_TRUE(e.fallback);
    EXPECT_EQ(e.reason, FitReason::TooFewSamples);
    EXPECT_EQ(e.s, 0.0f);
    EXPECT_EQ(e.fit_quality, 0.0f);
    EXPECT_EQ(e.derived_k, 7u);
  }
}

TEST(DeriveTailMassTest, NotAMassDistribution) {
  auto reason_for = [](std::vector<double> scores) {
    return derive_tail_mass_k(scores, 0.1f, 3, 0.0f).reason;
  };
  EXPECT_EQ(reason_for(std::vector<double>(10, 0.0)), FitReason::NotAMassDistribution);
  EXPECT_EQ(reason_for(std::vector<double>(10, -0.0)), FitReason::NotAMassDistribution);
  for (double bad : {-1e-30, kInf, -kInf, std::numeric_limits<double>::quiet_NaN()}) {
    std::vector<double> scores = zipf_scores(20, 1.0f);
    scores[13] = bad;
    const BudgetEvidence e = derive_tail_mass_k(scores, 0.1f, 3, 0.0f);
    EXPECT_EQ(e.reason, FitReason::NotAMassDistribution) << bad;
    EXPECT_TRUE(e.fallback);
    EXPECT_EQ(e.derived_k, 3u);
    EXPECT_EQ(e.s, 0.0f);
  }
  // Negative zero counts as zero, not as negative.
  std::vector<double> scores = zipf_scores(20, 1.0f);
  scores[19] = -0.0;
  EXPECT_FALSE(derive_tail_mass_k(scores, 0.1f, 3, 0.0f).fallback);
}

TEST(DeriveTailMassTest, ExactZipfScoresFitTheirExponent) {
  const size_t n = 200;
  const float epsilon = 0.3f;
  const BudgetEvidence e = derive_tail_mass_k(zipf_scores(n, 1.0f), epsilon, 5, 0.9f);
  EXPECT_NEAR(e.s, 1.0f, 1e-4);
  EXPECT_GT(e.fit_quality, 0.999f);
  EXPECT_FALSE(e.fallback);
  EXPECT_EQ(e.reason, std::nullopt);
  size_t k = 1;
  while (1.0 - literal_sum(1.0, 0, k) / literal_sum(1.0, 0, n) > epsilon) ++k;
  EXPECT_EQ(e.derived_k, k);
}

TEST(DeriveTailMassTest, FlatScoresDriveTheExponentToItsFloor) {
  const BudgetEvidence e = derive_tail_mass_k(std::vector<double>(50, 2.5), 0.2f, 5, 0.0f);
  EXPECT_EQ(e.s, 0.01f);
  EXPECT_FALSE(e.fallback);
  EXPECT_NEAR(e.derived_k, 40.0, 1.0);  // close to (1 - epsilon) n
}

TEST(DeriveTailMassTest, AllMassAtTheTopDrivesTheExponentToItsCeiling) {
  std::vector<double> scores(30, 0.0);
  scores[0] = 1.0;
  const BudgetEvidence e = derive_tail_mass_k(scores, 0.05f, 5, 0.0f);
  EXPECT_EQ(e.s, 6.0f);
  EXPECT_EQ(e.derived_k, 1u);
}

TEST(DeriveTailMassTest, MinFitDecidesTheFallback) {
  const std::vector<double> scores = zipf_scores(64, 1.3f);
  const BudgetEvidence fitted = derive_tail_mass_k(scores, 0.1f, 9, 0.0f);
  EXPECT_FALSE(fitted.fallback);
  // Above 1 nothing passes, but the fit is still reported.
  const BudgetEvidence poor = derive_tail_mass_k(scores, 0.1f, 9, 1.5f);
  EXPECT_TRUE(poor.fallback);
  EXPECT_EQ(poor.reason, FitReason::PoorFit);
  EXPECT_EQ(poor.derived_k, 9u);
  EXPECT_EQ(poor.s, fitted.s);
  EXPECT_EQ(poor.fit_quality, fitted.fit_quality);
  // Equal to the quality passes: the fallback needs min_fit strictly above it.
  EXPECT_FALSE(derive_tail_mass_k(scores, 0.1f, 9, fitted.fit_quality).fallback);

  // min_fit 0 accepts even a bad fit: mass rising with rank.
  std::vector<double> rising(40);
  for (size_t i = 0; i < rising.size(); ++i) rising[i] = double(i * i);
  const BudgetEvidence bad = derive_tail_mass_k(rising, 0.1f, 9, 0.0f);
  EXPECT_FALSE(bad.fallback);
  EXPECT_LT(bad.fit_quality, 0.9f);
  EXPECT_TRUE(derive_tail_mass_k(rising, 0.1f, 9, 0.9f).fallback);
}

TEST(DeriveTailMassTest, ZeroEpsilonKeepsTheWholeList) {
  EXPECT_EQ(derive_tail_mass_k(zipf_scores(120, 1.0f), 0.0f, 5, 0.0f).derived_k, 120u);
}

TEST(DeriveTailMassTest, AgreesBitForBitWithTheLiteralDerivation) {
  std::mt19937 rng(12345);
  std::vector<std::vector<double>> lists = {zipf_scores(10, 1.0f), zipf_scores(333, 1.7f),
                                            zipf_scores(100, 0.4f), zipf_scores(50, 4.0f),
                                            std::vector<double>(25, 1.0)};
  for (int trial = 0; trial < 6; ++trial) {
    std::uniform_real_distribution<float> noise(0.5f, 1.5f);
    std::vector<double> scores = zipf_scores(40 + 60 * trial, 0.3f * float(trial + 1));
    for (double& x : scores) x = double(float(x) * noise(rng));
    std::sort(scores.rbegin(), scores.rend());
    lists.push_back(scores);
  }
  for (const auto& scores : lists) {
    for (float epsilon : {0.0f, 0.05f, 0.5f}) {
      for (float min_fit : {0.0f, 0.9f}) {
        SCOPED_TRACE(testing::Message() << scores.size() << " " << epsilon << " " << min_fit);
        expect_same(derive_tail_mass_k(scores, epsilon, 4, min_fit),
                    literal_derivation(scores, epsilon, 4, min_fit));
      }
    }
  }
}

}  // namespace
}  // namespace korvane
