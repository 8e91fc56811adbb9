#include "python/fork_generation.h"

#include <pthread.h>

namespace korvane::python {

std::atomic<uint32_t> fork_generation_counter{0};

namespace {

// Runs in the child right after fork, on its only thread.
void count_fork() {
  fork_generation_counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

bool watch_forks() {
  static const bool registered = pthread_atfork(nullptr, nullptr, count_fork) == 0;
  return registered;
}

}  // namespace korvane::python
