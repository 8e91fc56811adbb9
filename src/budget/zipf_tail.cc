#include "budget/zipf_tail.h"

#include <cmath>
#include <limits>

namespace korvane {

double zipf_tail_sum(double s, uint64_t n, uint64_t m) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  if (std::isnan(s)) return s;
  if (std::isinf(s)) return s > 0 ? 0.0 : kInf;

  // Summation runs over [a, b], both endpoints included, so the first term is exact when
  // m = n + 1: the integral vanishes and the corrections cancel.
  const double a = static_cast<double>(n + 1);
  const double b = static_cast<double>(m);
  const double fa = std::pow(a, -s);
  const double fb = std::pow(b, -s);

  // Integral of x^-s over [a, b]: (b^(1-s) - a^(1-s)) / (1-s), or ln(b/a) at s = 1. When the
  // two powers are close the difference cancels, so it is taken as
  // a^(1-s) * expm1((1-s) ln(b/a)) / (1-s) instead, which stays accurate as s approaches 1.
  const double t = 1.0 - s;
  const double log_ratio = std::log1p((b - a) / a);
  double integral;
  if (t == 0.0) {
    integral = log_ratio;
  } else if (std::fabs(t * log_ratio) < 0.5) {
    integral = fa * a * std::expm1(t * log_ratio) / t;
  } else {
    integral = (fb * b - fa * a) / t;
  }

  // B_2k / (2k)! * (f^(2k-1)(b) - f^(2k-1)(a)) with f^(j)(x) = (-1)^j (s)_j x^(-s-j).
  const double ia2 = 1.0 / (a * a);
  const double ib2 = 1.0 / (b * b);
  double ga = fa / a;  // a^(-s-1), then a^(-s-3), ...
  double gb = fb / b;
  double rising = s;  // (s)_1, then (s)_3, ...
  constexpr double kBernoulli[] = {1.0 / 12.0, -1.0 / 720.0, 1.0 / 30240.0, -1.0 / 1209600.0};
  double corrections[4];
  for (int k = 0; k < 4; ++k) {
    corrections[k] = kBernoulli[k] * rising * (ga - gb);
    const double j = 2.0 * k + 1.0;  // the order just used
    rising *= (s + j) * (s + j + 1.0);
    ga *= ia2;
    gb *= ib2;
  }
  const double correction = ((corrections[3] + corrections[2]) + corrections[1]) + corrections[0];

  const double tail = integral + ((fa + fb) * 0.5 + correction);
  // For finite s every term is positive, so NaN can only come from inf - inf where the terms
  // overflowed: the sum itself is then beyond range.
  if (std::isnan(tail)) return kInf;
  return tail;
}

}  // namespace korvane
