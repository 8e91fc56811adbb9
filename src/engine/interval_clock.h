// IntervalClock: times the short intervals of one run for its trace (each cheap-axis
// evaluation of every streamed candidate, each batch). Where the CPU has an invariant
// time-stamp counter, a read costs a few nanoseconds against about twenty for the system's
// monotonic clock, which two reads per evaluation would make the largest cost of stage 1.
// Ticks are converted to nanoseconds at the rate the monotonic clock shows over the same
// run, so the figures are nanoseconds of that clock. Elsewhere a tick is a nanosecond of the
// monotonic clock.
#pragma once

#include <chrono>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#define KORVANE_HAS_TSC 1
#else
#define KORVANE_HAS_TSC 0
#endif

#include "engine/outcome.h"

namespace korvane {

class IntervalClock {
 public:
  // Starts the reference interval the tick rate is measured over.
  IntervalClock();

  uint64_t now() const {
#if KORVANE_HAS_TSC
    if (counter_) return __rdtsc();
#endif
    return steady_nanos();
  }

  // Ticks from start to stop; 0 if the counter appears to go back (a migration between
  // processors whose counters differ slightly).
  static uint64_t between(uint64_t start, uint64_t stop) {
    return stop > start ? stop - start : 0;
  }

  // Converts ticks counted since construction to nanoseconds.
  class Rate {
   public:
    uint128 nanos(uint128 ticks) const {
      if (ticks_ == nanos_) return ticks;
      return ticks_ == 0 ? 0 : ticks * nanos_ / ticks_;
    }

   private:
    friend class IntervalClock;
    Rate(uint64_t ticks, uint64_t nanos) : ticks_(ticks), nanos_(nanos) {}
    uint64_t ticks_;
    uint64_t nanos_;
  };

  // The tick rate measured from construction to this call.
  Rate rate() const;

 private:
  static uint64_t steady_nanos();

  bool counter_;  // the time-stamp counter is in use
  std::chrono::steady_clock::time_point start_time_;
  uint64_t start_ticks_;
};

}  // namespace korvane
