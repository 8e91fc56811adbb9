// run_on_threads: native work items spread over a few threads, the calling thread among
// them. Items are taken in chunks from a shared counter, so a slow item holds up only its
// own thread. Nothing here touches Python: the caller lets go of the interpreter lock
// around the call, and the items must not need it.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace korvane::python {

// Calls work(i) once for every i in [0, count), on up to `threads` threads. The first
// exception an item throws is rethrown here once every thread is done; the items no thread
// has started by then are skipped. A thread that cannot be started leaves its share to the
// others.
template <class Work>
void run_on_threads(size_t threads, size_t count, Work&& work) {
  const size_t workers = std::max<size_t>(1, std::min(threads, count));
  // Many chunks per thread even out uneven items and threads slowed by others: the last
  // chunk started is what the other threads may wait for. One item per chunk for short
  // batches.
  const size_t chunk = std::max<size_t>(1, count / (workers * 64));
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex failure_lock;
  std::exception_ptr failure;

  auto drain = [&] {
    for (;;) {
      const size_t begin = next.fetch_add(chunk, std::memory_order_relaxed);
      if (begin >= count || failed.load(std::memory_order_relaxed)) return;
      const size_t end = std::min(count, begin + chunk);
      try {
        for (size_t i = begin; i < end; ++i) work(i);
      } catch (...) {
        std::lock_guard<std::mutex> guard(failure_lock);
        if (!failure) failure = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
        return;
      }
    }
  };

  std::vector<std::thread> helpers;
  helpers.reserve(workers - 1);
  for (size_t t = 1; t < workers; ++t) {
    try {
      helpers.emplace_back(drain);
    } catch (const std::system_error&) {
      break;
    }
  }
  drain();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace korvane::python
