// The far tail of a Zipf partial sum in closed form, for sums too long to add term by term.
#pragma once

#include <cstdint>

namespace korvane {

// Z(s, m) is summed literally, term by term in ascending i, for m up to this bound; past it
// Z(s, m) = Z(s, bound) + zipf_tail_sum(s, bound, m). The bound exists because tail_mass
// runs with the interpreter lock held and may be asked for m up to 2^64 - 1, which no loop
// finishes: 2^24 literal terms cost about a quarter of a second, and the closed form beyond
// them agrees with the literal sum to a few ulps.
inline constexpr uint64_t kLiteralZipfTerms = uint64_t{1} << 24;

// The sum of i^-s for i = n + 1 .. m (n >= 1, m > n) by Euler-Maclaurin: the integral, the
// endpoint halves and four Bernoulli corrections, accurate to a few ulps for n in the
// thousands and beyond. Finite s gives a value >= 0 or +inf (overflow); for s = +inf the
// terms are all 0, for s = -inf all +inf, for NaN all NaN, and so is the result.
double zipf_tail_sum(double s, uint64_t n, uint64_t m);

}  // namespace korvane
