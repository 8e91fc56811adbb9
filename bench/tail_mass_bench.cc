// Times the tail-mass derivation against a straightforward version of the same arithmetic,
// and tail_mass across the literal-sum bound. Prints figures; asserts nothing about time.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "budget/tail_mass.h"
#include "budget/zipf_tail.h"

namespace {

using korvane::BudgetEvidence;
using Clock = std::chrono::steady_clock;

template <class F>
double millis_per_call(int repetitions, F&& call) {
  const auto start = Clock::now();
  for (int i = 0; i < repetitions; ++i) call();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / repetitions;
}

// The derivation as first written: ln(i) recomputed, E's two sums in separate passes, all 60
// bisection steps.
BudgetEvidence straightforward_derivation(const std::vector<double>& scores, float epsilon,
                                          uint32_t fallback_k, float min_fit) {
  BudgetEvidence out;
  const size_t n = scores.size();
  double g = 0;
  for (double x : scores) g += x;
  double h = 0;
  for (size_t i = 1; i <= n; ++i) h += std::log(double(i)) * scores[i - 1];
  h /= g;
  auto z = [&](double s) {
    double sum = 0;
    for (size_t i = 1; i <= n; ++i) sum += std::pow(double(i), -s);
    return sum;
  };
  auto e = [&](double s) {
    double num = 0;
    for (size_t i = 1; i <= n; ++i) num += std::pow(double(i), -s) * std::log(double(i));
    return num / z(s);
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
      if (e(mid) > h) {
        lo = mid;
      } else {
        hi = mid;
      }
    }
    s = (lo + hi) * 0.5;
  }
  out.s = float(s);
  const double big_h = z(s);
  double d = 0, cum = 0, zl = 0;
  for (size_t l = 1; l <= n; ++l) {
    cum += scores[l - 1];
    zl += std::pow(double(l), -s);
    d = std::max(d, std::fabs(cum / g - zl / big_h));
  }
  out.fit_quality = float(std::min(1.0, std::max(0.0, 1.0 - d)));
  if (min_fit > out.fit_quality) {
    out.fallback = true;
    out.reason = korvane::FitReason::PoorFit;
    out.derived_k = fallback_k;
    return out;
  }
  out.derived_k = uint32_t(n);
  double zk = 0;
  for (size_t k = 1; k <= n; ++k) {
    zk += std::pow(double(k), -s);
    if (double(epsilon) >= 1 - zk / big_h) {
      out.derived_k = uint32_t(k);
      break;
    }
  }
  return out;
}

std::vector<double> noisy_zipf(size_t n, float s, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> noise(0.8f, 1.2f);
  std::vector<double> scores(n);
  for (size_t i = 0; i < n; ++i) scores[i] = double(std::pow(float(i + 1), -s) * noise(rng));
  std::sort(scores.rbegin(), scores.rend());
  return scores;
}

void bench_derivation(size_t n, int repetitions) {
  const std::vector<double> scores = noisy_zipf(n, 1.1f, 99);
  BudgetEvidence fast, plain;
  const double fast_ms = millis_per_call(
      repetitions, [&] { fast = korvane::derive_tail_mass_k(scores, 0.1f, 10, 0.0f); });
  const double plain_ms = millis_per_call(
      repetitions, [&] { plain = straightforward_derivation(scores, 0.1f, 10, 0.0f); });
  const bool same = fast.s == plain.s && fast.fit_quality == plain.fit_quality &&
                    fast.derived_k == plain.derived_k && fast.fallback == plain.fallback;
  std::printf(
      "derive_tail_mass_k n=%-6zu %9.3f ms/call   straightforward %9.3f ms/call   ratio %.2fx   "
      "s=%.6g fit=%.6g K=%u %s\n",
      n, fast_ms, plain_ms, plain_ms / fast_ms, double(fast.s), double(fast.fit_quality),
      fast.derived_k, same ? "(identical)" : "(DIFFERENT)");
}

void bench_tail_mass(const char* label, uint64_t v, int repetitions) {
  float value = 0;
  const double ms = millis_per_call(repetitions, [&] { value = korvane::tail_mass(1.0f, 5, v); });
  std::printf("tail_mass(1, 5, %-22s) %9.3f ms/call   = %.9g\n", label, ms, double(value));
}

}  // namespace

int main() {
  bench_derivation(320, 200);
  bench_derivation(32000, 5);

  const uint64_t bound = korvane::kLiteralZipfTerms;
  char bound_label[32];
  std::snprintf(bound_label, sizeof bound_label, "%llu (bound)", (unsigned long long)bound);
  bench_tail_mass("10^6", 1000000, 20);
  bench_tail_mass(bound_label, bound, 5);
  bench_tail_mass("10^18", 1000000000000000000u, 5);
  bench_tail_mass("2^64 - 1", UINT64_MAX, 5);

  // What a literal sum to 10^18 would cost at the measured rate per term.
  const double per_term_ns =
      millis_per_call(3, [&] { (void)korvane::zipf_partial_sum(1.0, bound); }) * 1e6 / bound;
  std::printf("literal sum: %.2f ns/term; to 10^18 it would take %.0f years\n", per_term_ns,
              per_term_ns * 1e18 / 1e9 / 3600 / 24 / 365.25);
  return 0;
}
