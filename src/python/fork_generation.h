// The fork generation of this process: how many forks separate it from the process that
// first loaded the module. A child of fork() has only the thread that forked; state that
// counts what other threads were doing (an engine's access) is stale there, and is told
// apart by the generation it was written in. Reading it is one relaxed load, no system call.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvane::python {

extern std::atomic<uint32_t> fork_generation_counter;

inline uint32_t fork_generation() {
  return fork_generation_counter.load(std::memory_order_relaxed);
}

// Counts every later fork (in the child). Registered once per process, however many
// interpreters execute the module; false when it could not be (out of memory).
bool watch_forks();

}  // namespace korvane::python
