#include "budget/tail_mass.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "budget/zipf_tail.h"

namespace korvane {

namespace {

// How many leading terms of Z(s, m) are added one by one. For a non-finite s every term from
// the second on is the same (0, +inf or NaN), so two terms already settle the sum.
uint64_t literal_terms(double s, uint64_t m) {
  return std::min(m, std::isfinite(s) ? kLiteralZipfTerms : uint64_t{2});
}

// Z(s, k) and Z(s, v) for k < v, sharing the literal ascending pass.
std::pair<double, double> zipf_pair(double s, uint64_t k, uint64_t v) {
  const uint64_t literal = literal_terms(s, v);
  double z = 0.0;
  uint64_t i = 1;
  for (const uint64_t stop = std::min(k, literal); i <= stop; ++i) {
    z += std::pow(static_cast<double>(i), -s);
  }
  double zk = z;
  for (; i <= literal; ++i) z += std::pow(static_cast<double>(i), -s);
  if (std::isfinite(s)) {
    if (k > literal) {
      // Z(s, v) continues Z(s, k), as the literal sum would, so it is never the smaller
      // and the tail mass never negative, however close k and v are.
      zk = z + zipf_tail_sum(s, literal, k);
      z = zk + zipf_tail_sum(s, k, v);
    } else if (v > literal) {
      z += zipf_tail_sum(s, literal, v);
    }
  }
  return {zk, z};
}

// The evaluations of the fit for one ranked list: h and E(s) share the cached ln(i).
class ZipfFit {
 public:
  explicit ZipfFit(std::span<const double> scores) : scores_(scores), log_rank_(scores.size()) {
    for (size_t i = 0; i < log_rank_.size(); ++i) {
      log_rank_[i] = std::log(static_cast<double>(i + 1));
    }
  }

  // Empirical mean log-rank, sum then divide by the total mass g.
  double empirical_mean_log_rank(double g) const {
    double sum = 0.0;
    for (size_t i = 0; i < scores_.size(); ++i) sum += log_rank_[i] * scores_[i];
    return sum / g;
  }

  // E(s) = (sum of i^-s ln(i)) / Z(s, n), both sums ascending in i.
  double model_mean_log_rank(double s) const {
    double weighted = 0.0;
    double z = 0.0;
    for (size_t i = 0; i < log_rank_.size(); ++i) {
      const double p = std::pow(static_cast<double>(i + 1), -s);
      weighted += p * log_rank_[i];
      z += p;
    }
    return z <= 0.0 ? 0.0 : weighted / z;
  }

 private:
  std::span<const double> scores_;
  std::vector<double> log_rank_;
};

double fit_exponent(const ZipfFit& fit, double h) {
  constexpr double kLow = 0.01;
  constexpr double kHigh = 6.0;
  if (h > fit.model_mean_log_rank(kLow)) return kLow;
  if (h < fit.model_mean_log_rank(kHigh)) return kHigh;
  double lo = kLow;
  double hi = kHigh;
  for (int step = 0; step < 60; ++step) {
    const double mid = (lo + hi) * 0.5;
    const bool above = fit.model_mean_log_rank(mid) > h;
    const double next_lo = above ? mid : lo;
    const double next_hi = above ? hi : mid;
    // Once the interval stops changing (or has closed to a point), every remaining step
    // repeats this one, so the outcome is already that of all 60.
    const bool settled = (next_lo == lo && next_hi == hi) || next_lo == next_hi;
    lo = next_lo;
    hi = next_hi;
    if (settled) break;
  }
  return (lo + hi) * 0.5;
}

BudgetEvidence fall_back(BudgetEvidence evidence, FitReason reason, uint32_t fallback_k) {
  evidence.fallback = true;
  evidence.reason = reason;
  evidence.derived_k = fallback_k;
  return evidence;
}

bool is_mass(double score) {
  return std::isfinite(score) && !(score < 0.0);
}

}  // namespace

double zipf_partial_sum(double s, uint64_t m) {
  if (m == 0) return 0.0;
  return zipf_pair(s, 0, m).second;
}

float tail_mass(float s, uint64_t k, uint64_t v) {
  if (k >= v) return 0.0f;
  const auto [head, total] = zipf_pair(static_cast<double>(s), k, v);
  if (total <= 0.0) return 0.0f;
  return static_cast<float>(1.0 - head / total);
}

BudgetEvidence derive_tail_mass_k(std::span<const double> scores, float epsilon,
                                  uint32_t fallback_k, float min_fit) {
  BudgetEvidence evidence;
  const size_t n = scores.size();
  if (n < 10) return fall_back(evidence, FitReason::TooFewSamples, fallback_k);
  if (!std::all_of(scores.begin(), scores.end(), is_mass)) {
    return fall_back(evidence, FitReason::NotAMassDistribution, fallback_k);
  }
  double g = 0.0;
  for (double score : scores) g += score;
  if (g <= 0.0) return fall_back(evidence, FitReason::NotAMassDistribution, fallback_k);

  const ZipfFit fit(scores);
  const double s = fit_exponent(fit, fit.empirical_mean_log_rank(g));
  evidence.s = static_cast<float>(s);

  // The fitted law's terms; their running sums are Z(s, l) for every l.
  std::vector<double> terms(n);
  double h_total = 0.0;
  for (size_t i = 0; i < n; ++i) {
    terms[i] = std::pow(static_cast<double>(i + 1), -s);
    h_total += terms[i];
  }

  double quality = 0.0;
  if (h_total > 0.0) {
    double distance = 0.0;
    double mass = 0.0;
    double model = 0.0;
    for (size_t i = 0; i < n; ++i) {
      mass += scores[i];
      model += terms[i];
      const double difference = std::fabs(mass / g - model / h_total);
      if (difference > distance) distance = difference;  // NaN never wins
    }
    quality = std::min(1.0, std::max(0.0, 1.0 - distance));
  }
  evidence.fit_quality = static_cast<float>(quality);
  if (min_fit > evidence.fit_quality) {
    return fall_back(evidence, FitReason::PoorFit, fallback_k);
  }

  size_t k = n;
  if (h_total > 0.0) {
    const double allowed = static_cast<double>(epsilon);
    double head = 0.0;
    for (size_t i = 0; i < n; ++i) {
      head += terms[i];
      if (allowed >= 1.0 - head / h_total) {
        k = i + 1;
        break;
      }
    }
  }
  constexpr size_t kMaxK = std::numeric_limits<uint32_t>::max();
  evidence.derived_k = static_cast<uint32_t>(std::min(k, kMaxK));
  return evidence;
}

}  // namespace korvane
