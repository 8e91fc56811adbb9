// RunThread: the interpreter lock as one run sees it. Created at the start of a run, on
// the thread that called it and with the lock held, it records that thread's state (of
// whichever interpreter the run is in) and whether the run holds the lock right now. Native
// work that needs no Python may release the lock around itself; Python code reached from
// inside the run (a scorer callback) takes it back through the recorded state only then.
// Owned by the run's thread: every member is called there, never concurrently.
//
// PyGILState_* is not used: it knows one thread state per OS thread, the main
// interpreter's, and would wait for ever in a sub-interpreter for the lock the thread holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace korvane::python {

class RunThread {
 public:
  RunThread() : state_(PyThreadState_Get()) {}
  RunThread(const RunThread&) = delete;
  RunThread& operator=(const RunThread&) = delete;

  // Whether the run holds the interpreter lock now; a plain read.
  bool holds_lock() const { return held_; }

  // Lets go of the lock (it must be held) for native work that touches no Python object.
  void release_lock() {
    held_ = false;
    PyEval_SaveThread();
  }
  // Takes the lock back on the recorded state (it must have been let go). A guard that
  // calls this from its destructor skips it once Py_IsInitialized() is false: a daemon
  // thread is then being unwound at shutdown, and waiting for the lock again ends the process.
  void restore_lock() {
    PyEval_RestoreThread(state_);
    held_ = true;
  }

 private:
  PyThreadState* state_;
  bool held_ = true;
};

// Makes sure the run's thread holds the interpreter lock for the guard's lifetime: nothing
// to do while the run holds it, else it is taken back and let go again at the end. A daemon
// thread ended by the interpreter's shutdown is unwound through here without the lock,
// which is then not its to let go.
class InterpreterLock {
 public:
  explicit InterpreterLock(RunThread& run) : run_(run), taken_(!run.holds_lock()) {
    if (taken_) run_.restore_lock();
  }
  ~InterpreterLock() {
    if (taken_ && Py_IsInitialized()) run_.release_lock();
  }
  InterpreterLock(const InterpreterLock&) = delete;
  InterpreterLock& operator=(const InterpreterLock&) = delete;

 private:
  RunThread& run_;
  bool taken_;
};

}  // namespace korvane::python
