// The access state of an Engine object: free, shared by any number of runs and reprs, or
// held exclusively by one configuration method. Python code runs while access is held (an
// argument's __float__, a candidate generator, a scorer callback), and that code may call
// back into the same object; the state refuses what would change the settings under a
// reader, or read them halfway through a change.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace korvane::python {

class AccessState {
 public:
  bool try_exclusive() {
    intptr_t expected = kFree;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire);
  }
  void release_exclusive() { state_.store(kFree, std::memory_order_release); }

  bool try_shared() {
    intptr_t current = state_.load(std::memory_order_relaxed);
    do {
      if (current == kExclusive) return false;
    } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return true;
  }
  void release_shared() { state_.fetch_sub(1, std::memory_order_release); }

 private:
  static constexpr intptr_t kFree = 0;
  static constexpr intptr_t kExclusive = -1;

  std::atomic<intptr_t> state_{kFree};  // kFree, kExclusive, or the number of sharers
};

// Exclusive access for the lifetime of the guard. When the object is shared, nothing is
// held, RuntimeError "Already borrowed" is set and the guard tests false.
class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(AccessState& state) : state_(state), held_(state.try_exclusive()) {
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveAccess() {
    if (held_) state_.release_exclusive();
  }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

  explicit operator bool() const { return held_; }

 private:
  AccessState& state_;
  bool held_;
};

// Shared access for the lifetime of the guard. When a configuration method holds the
// object, nothing is held, RuntimeError "Already mutably borrowed" is set and the guard
// tests false.
class SharedAccess {
 public:
  explicit SharedAccess(AccessState& state) : state_(state), held_(state.try_shared()) {
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  }
  ~SharedAccess() {
    if (held_) state_.release_shared();
  }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

  explicit operator bool() const { return held_; }

 private:
  AccessState& state_;
  bool held_;
};

}  // namespace korvane::python
