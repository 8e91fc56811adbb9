// Interruption: what stops one run early. An exception that is not an Exception
// (KeyboardInterrupt, SystemExit, ...) raised anywhere in the run, or a signal handler that
// raised, ends its stream at once and keeps any further callback from being called; the run
// then raises that exception, whatever else failed. Shared by the run's candidate source and
// its callback scorers; every member is called on the run's thread with the interpreter lock
// held (stopped() excepted, a plain read).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

#include "python/captured_error.h"

namespace korvane::python {

class Interruption {
 public:
  // Pending signals are looked at once per this many pulls: often enough for Ctrl-C to stop
  // a C-level iterator that never runs the interpreter's loop, rarely enough to cost nothing.
  static constexpr uint32_t kPullsPerSignalCheck = 4096;

  bool stopped() const { return stopped_; }

  // Called once per pull: false when the run is stopped, or is stopped now because a signal
  // handler raised (its exception is kept).
  bool keep_going() {
    if (stopped_) return false;
    if (--pulls_to_check_ != 0) return true;
    pulls_to_check_ = kPullsPerSignalCheck;
    if (PyErr_CheckSignals() == 0) return true;
    stop();
    return false;
  }

  // With an exception pending: when it is not an Exception, takes it (the first is kept),
  // stops the run and answers true; otherwise leaves it pending and answers false.
  bool take_if_interrupt() {
    if (PyErr_ExceptionMatches(PyExc_Exception)) return false;
    stop();
    return true;
  }

  // The exception that stopped the run, if any; the slot is left empty.
  CapturedError take() { return std::move(error_); }

 private:
  void stop() {
    stopped_ = true;
    CapturedError error = CapturedError::fetch();
    if (!error_) error_ = std::move(error);
  }

  bool stopped_ = false;
  uint32_t pulls_to_check_ = kPullsPerSignalCheck;
  CapturedError error_;
};

}  // namespace korvane::python
