// Streams candidates through run() and prints, per configuration: heap allocations per
// candidate beyond those the source makes to build it, throughput against a baseline that
// only builds and discards the same candidates, and the peak live heap for 10^5 and 10^6
// inputs.
#include <malloc.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/pipeline.h"
#include "engine/scorer.h"

// ---- allocation accounting: every global operator new is counted ----

namespace {

struct HeapStats {
  uint64_t allocations = 0;
  uint64_t source_allocations = 0;  // made while the source builds a candidate
  int64_t live_bytes = 0;
  int64_t peak_bytes = 0;
  bool in_source = false;
};
HeapStats heap;

void* counted_alloc(std::size_t size, std::size_t alignment) {
  if (size == 0) size = 1;
  void* p = alignment <= alignof(std::max_align_t)
                ? std::malloc(size)
                : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (p == nullptr) throw std::bad_alloc();
  ++heap.allocations;
  if (heap.in_source) ++heap.source_allocations;
  heap.live_bytes += static_cast<int64_t>(malloc_usable_size(p));
  if (heap.live_bytes > heap.peak_bytes) heap.peak_bytes = heap.live_bytes;
  return p;
}

void counted_free(void* p) noexcept {
  if (p == nullptr) return;
  heap.live_bytes -= static_cast<int64_t>(malloc_usable_size(p));
  std::free(p);
}

}  // namespace

void* operator new(std::size_t size) {
  return counted_alloc(size, 0);
}
void* operator new[](std::size_t size) {
  return counted_alloc(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a) {
  return counted_alloc(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return counted_alloc(size, static_cast<std::size_t>(a));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return counted_alloc(size, 0);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return counted_alloc(size, 0);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept {
  counted_free(p);
}
void operator delete[](void* p) noexcept {
  counted_free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  counted_free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  counted_free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  counted_free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  counted_free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  counted_free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  counted_free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  counted_free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  counted_free(p);
}

namespace {

using korvane::Candidate;
using korvane::CostClass;
using korvane::Engine;
using korvane::FieldScorer;
using korvane::ObjectHandle;
using korvane::PullSource;
using korvane::Scale;

uint64_t released_objects = 0;
int dummy_object = 0;
void release_object(void*) {
  ++released_objects;
}

// Builds `count` candidates on demand, each with fresh value storage, as intake would.
class GeneratedSource final : public PullSource {
 public:
  GeneratedSource(uint64_t count, size_t axes, bool text_ids)
      : remaining_(count), axes_(axes), text_ids_(text_ids) {}

  Pull pull() override {
    if (remaining_ == 0) return EndOfInput{};
    --remaining_;
    heap.in_source = true;
    Candidate candidate;
    candidate.values.resize(axes_);
    for (size_t axis = 0; axis < axes_; ++axis) {
      uint64_t r = next();
      // One value in sixteen is missing.
      if ((r & 15) != 0) candidate.values[axis] = static_cast<float>(r >> 40) * 0x1p-24f;
    }
    if (text_ids_) {
      candidate.id = "document-" + std::to_string(serial_) + "-of-the-stream";
    } else {
      candidate.id = serial_;
    }
    ++serial_;
    candidate.object = ObjectHandle(&dummy_object, &release_object);
    heap.in_source = false;
    return candidate;
  }

 private:
  uint64_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }

  uint64_t remaining_;
  size_t axes_;
  bool text_ids_;
  uint64_t serial_ = 0;
  uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

struct Config {
  const char* name;
  bool text_ids;
  Engine (*build)();
};

Engine rrf_one_cheap_axis() {
  Engine engine;
  engine.rejections = korvane::RejectionRetention::Count();
  return std::move(engine).scorer(
      std::make_shared<FieldScorer>("a", 0, std::nullopt, Scale::Unit, CostClass::Cheap));
}

Engine weighted_two_cheap_one_expensive() {
  Engine engine;
  engine.rejections = korvane::RejectionRetention::Count();
  engine.fusion = korvane::Fusion{korvane::Fusion::WeightedSum{{{"a", 2.0f}, {"b", 1.0f}}}};
  engine.unary_constraints.push_back(korvane::UnaryMin{"min_c", 2, 0.01f});
  return std::move(engine)
      .scorer(std::make_shared<FieldScorer>("a", 0, std::nullopt, Scale::Unit, CostClass::Cheap))
      .scorer(std::make_shared<FieldScorer>("b", 1, std::nullopt, Scale::Unit, CostClass::Cheap))
      .scorer(std::make_shared<FieldScorer>("c", 2, korvane::Normalizer::Clamp01(), Scale::Unit,
                                            CostClass::Expensive));
}

struct Measurement {
  double seconds = 0;
  uint64_t allocations = 0;
  uint64_t source_allocations = 0;
  int64_t peak_bytes = 0;
};

Measurement measure_run(const Config& config, uint64_t count) {
  Engine engine = config.build();
  GeneratedSource source(count, engine.axes.size(), config.text_ids);
  HeapStats before = heap;
  heap.peak_bytes = heap.live_bytes;
  auto start = std::chrono::steady_clock::now();
  korvane::Result<korvane::RunOutcome> result = korvane::run(engine, source);
  auto stop = std::chrono::steady_clock::now();
  if (!result.ok()) {
    std::fprintf(stderr, "run failed: %s\n", result.error().message().c_str());
    std::exit(1);
  }
  if (!result.value().is_complete() || result.value().trace.input_count != count) {
    std::fprintf(stderr, "run lost candidates\n");
    std::exit(1);
  }
  Measurement m;
  m.seconds = std::chrono::duration<double>(stop - start).count();
  m.allocations = heap.allocations - before.allocations;
  m.source_allocations = heap.source_allocations - before.source_allocations;
  m.peak_bytes = heap.peak_bytes - before.live_bytes;
  return m;
}

// The same candidates built and dropped without a run: the cost the source alone imposes.
double measure_baseline(const Config& config, uint64_t count) {
  Engine engine = config.build();
  GeneratedSource source(count, engine.axes.size(), config.text_ids);
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    PullSource::Pull pulled = source.pull();
    if (std::holds_alternative<PullSource::EndOfInput>(pulled)) break;
  }
  auto stop = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(stop - start).count();
}

}  // namespace

int main() {
  const Config configs[] = {
      {"rrf, 1 cheap axis, TopK 10 x 32, count, integer ids", false, &rrf_one_cheap_axis},
      {"weighted_sum, 2 cheap + 1 expensive, unary min, count, integer ids", false,
       &weighted_two_cheap_one_expensive},
      {"rrf, 1 cheap axis, TopK 10 x 32, count, long text ids", true, &rrf_one_cheap_axis},
  };
  const uint64_t kSmall = 100'000, kLarge = 1'000'000;

  for (const Config& config : configs) {
    std::printf("== %s\n", config.name);
    Measurement small = measure_run(config, kSmall);
    Measurement large = measure_run(config, kLarge);
    double baseline = measure_baseline(config, kLarge);

    uint64_t extra_small = small.allocations - small.source_allocations;
    uint64_t extra_large = large.allocations - large.source_allocations;
    std::printf("  source allocations per candidate:       %.3f\n",
                static_cast<double>(large.source_allocations) / kLarge);
    std::printf("  pipeline allocations per candidate:     %.6f  (%llu in all for 10^6)\n",
                static_cast<double>(extra_large) / kLarge,
                static_cast<unsigned long long>(extra_large));
    std::printf(
        "  marginal, 10^5 -> 10^6:                 %.6f per candidate\n",
        // Signed: a run may reuse storage an earlier run on the thread kept.
        (static_cast<double>(extra_large) - static_cast<double>(extra_small)) / (kLarge - kSmall));
    std::printf("  throughput:                             %.0f candidates/s (run)\n",
                kLarge / large.seconds);
    std::printf("  baseline (build and drop only):         %.0f candidates/s\n", kLarge / baseline);
    std::printf("  run time / baseline time:               %.2f\n", large.seconds / baseline);
    std::printf("  peak live heap, 10^5 inputs:            %lld bytes\n",
                static_cast<long long>(small.peak_bytes));
    std::printf("  peak live heap, 10^6 inputs:            %lld bytes  (ratio %.3f)\n",
                static_cast<long long>(large.peak_bytes),
                static_cast<double>(large.peak_bytes) / static_cast<double>(small.peak_bytes));
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("== process max RSS: %ld KiB; candidate objects released: %llu\n", usage.ru_maxrss,
              static_cast<unsigned long long>(released_objects));
  return 0;
}
