// The access state of an Engine object: free, shared by any number of runs and reprs, or
// held exclusively by one configuration method. Python code runs while access is held (an
// argument's __float__, a candidate generator, a scorer callback), and that code may call
// back into the same object; the state refuses what would change the settings under a
// reader, or read them halfway through a change.
//
// The state is written together with the fork generation it was written in. A child of
// fork() has none of the parent's other threads, so whatever they held is void there: a
// state of an older generation reads as free, and a guard taken before the fork lets go of
// nothing after it (a run in progress on the forking thread finishes harmlessly).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/fork_generation.h"

namespace korvane::python {

class AccessState {
 public:
  // Each call takes the current fork generation, read once by the caller's guard.
  bool try_exclusive(uint32_t generation) {
    uint64_t current = state_.load(std::memory_order_relaxed);
    do {
      if (holders(current, generation) != kFree) return false;
    } while (!state_.compare_exchange_weak(current, word(generation, kExclusive),
                                           std::memory_order_acquire, std::memory_order_relaxed));
    return true;
  }
  void release_exclusive(uint32_t generation) {
    if (generation == fork_generation()) {
      state_.store(word(generation, kFree), std::memory_order_release);
    }
  }

  bool try_shared(uint32_t generation) {
    uint64_t current = state_.load(std::memory_order_relaxed);
    uint32_t sharers = 0;
    do {
      sharers = holders(current, generation);
      if (sharers == kExclusive) return false;
    } while (!state_.compare_exchange_weak(current, word(generation, sharers + 1),
                                           std::memory_order_acquire, std::memory_order_relaxed));
    return true;
  }
  // Within one generation the word holds that generation, so a decrement keeps it.
  void release_shared(uint32_t generation) {
    if (generation == fork_generation()) state_.fetch_sub(1, std::memory_order_release);
  }

 private:
  static constexpr uint32_t kFree = 0;
  static constexpr uint32_t kExclusive = UINT32_MAX;

  static uint64_t word(uint32_t generation, uint32_t holders) {
    return (uint64_t{generation} << 32) | holders;
  }
  // kFree, kExclusive, or the number of sharers; a word of another generation is free.
  static uint32_t holders(uint64_t word, uint32_t generation) {
    return static_cast<uint32_t>(word >> 32) == generation ? static_cast<uint32_t>(word) : kFree;
  }

  std::atomic<uint64_t> state_{0};  // the generation in the high half, the holders in the low
};

// Exclusive access for the lifetime of the guard. When the object is shared, nothing is
// held, RuntimeError "Already borrowed" is set and the guard tests false.
class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(AccessState& state)
      : state_(state), generation_(fork_generation()), held_(state.try_exclusive(generation_)) {
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveAccess() {
    if (held_) state_.release_exclusive(generation_);
  }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

  explicit operator bool() const { return held_; }

 private:
  AccessState& state_;
  uint32_t generation_;
  bool held_;
};

// Shared access for the lifetime of the guard. When a configuration method holds the
// object, nothing is held, RuntimeError "Already mutably borrowed" is set and the guard
// tests false.
class SharedAccess {
 public:
  explicit SharedAccess(AccessState& state)
      : state_(state), generation_(fork_generation()), held_(state.try_shared(generation_)) {
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
  ~SharedAccess() {
    if (held_) state_.release_shared(generation_);
  }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

  explicit operator bool() const { return held_; }

 private:
  AccessState& state_;
  uint32_t generation_;
  bool held_;
};

}  // namespace korvane::python
