#include "engine/interval_clock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace korvane {
namespace {

TEST(IntervalClock, TicksNeverGoBackwards) {
  EXPECT_EQ(IntervalClock::between(10, 3), 0u);
  EXPECT_EQ(IntervalClock::between(3, 10), 7u);
}

TEST(IntervalClock, ConvertedTimeFitsInsideTheMonotonicClock) {
  using Steady = std::chrono::steady_clock;
  Steady::time_point before = Steady::now();
  IntervalClock clock;
  uint64_t start = clock.now();
  while (Steady::now() - before < std::chrono::milliseconds(2)) {
  }
  uint64_t ticks = IntervalClock::between(start, clock.now());
  IntervalClock::Rate rate = clock.rate();
  auto outer = std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now() - before);

  uint128 nanos = rate.nanos(ticks);
  EXPECT_EQ(rate.nanos(0), 0u);
  EXPECT_GT(nanos, 0u);
  EXPECT_LE(nanos, static_cast<uint128>(outer.count()));
}

}  // namespace
}  // namespace korvane
