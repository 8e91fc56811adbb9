#include "engine/interval_clock.h"

#if KORVANE_HAS_TSC
#include <cpuid.h>
#endif

namespace korvane {

namespace {

using SteadyClock = std::chrono::steady_clock;

uint64_t nanos_since_epoch(SteadyClock::time_point t) {
  auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
  return static_cast<uint64_t>(nanos);
}

// An invariant counter ticks at a constant rate in every power state, so ticks measure time.
bool ask_cpu_for_invariant_counter() {
#if KORVANE_HAS_TSC
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(0x80000000u, &eax, &ebx, &ecx, &edx) == 0 || eax < 0x80000007u) return false;
  if (__get_cpuid(0x80000007u, &eax, &ebx, &ecx, &edx) == 0) return false;
  return (edx & (1u << 8)) != 0;
#else
  return false;
#endif
}

// Asked once per process: on a virtual machine cpuid traps to the hypervisor and costs
// microseconds, more than a whole small run.
bool invariant_counter() {
  static const bool invariant = ask_cpu_for_invariant_counter();
  return invariant;
}

}  // namespace

IntervalClock::IntervalClock()
    : counter_(invariant_counter()), start_time_(SteadyClock::now()), start_ticks_(now()) {}

uint64_t IntervalClock::steady_nanos() {
  return nanos_since_epoch(SteadyClock::now());
}

IntervalClock::Rate IntervalClock::rate() const {
  if (!counter_) return Rate(1, 1);
  uint64_t ticks = between(start_ticks_, now());
  uint64_t nanos = between(nanos_since_epoch(start_time_), steady_nanos());
  return Rate(ticks, nanos);
}

}  // namespace korvane
