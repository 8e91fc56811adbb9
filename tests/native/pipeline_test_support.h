// Test doubles for the run pipeline: candidate handles whose releases are counted, a
// candidate source over a prepared list, and a scorer that records how it was called.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "engine/candidate.h"
#include "engine/candidate_source.h"
#include "engine/engine.h"
#include "engine/object_handle.h"
#include "engine/scorer.h"

namespace korvane::pipeline_testing {

// Hands out object handles and counts, per handle, how often it was released.
class ReleaseTracker {
 public:
  ObjectHandle handle() {
    objects_.emplace_back();
    return ObjectHandle(&objects_.back(), &ReleaseTracker::release);
  }

  size_t created() const { return objects_.size(); }
  int releases(size_t index) const { return objects_[index].releases; }
  size_t released() const {
    size_t count = 0;
    for (const Object& object : objects_) count += object.releases > 0;
    return count;
  }
  // Every handle handed out so far was released, and none twice.
  bool all_released_once() const {
    for (const Object& object : objects_) {
      if (object.releases != 1) return false;
    }
    return true;
  }
  bool none_released_twice() const {
    for (const Object& object : objects_) {
      if (object.releases > 1) return false;
    }
    return true;
  }

 private:
  struct Object {
    int releases = 0;
  };
  static void release(void* object) { ++static_cast<Object*>(object)->releases; }

  std::deque<Object> objects_;  // stable addresses
};

inline Candidate make_candidate(CandidateId id, AxisValues values, ObjectHandle object = {}) {
  Candidate candidate;
  candidate.id = std::move(id);
  candidate.values = std::move(values);
  candidate.object = std::move(object);
  return candidate;
}

// A source over a prepared list; a gap makes one pull answer NothingThisTime.
class ListSource final : public PullSource {
 public:
  struct Gap {};
  using Item = std::variant<Candidate, Gap>;

  ListSource() = default;
  explicit ListSource(std::vector<Candidate> candidates) {
    for (Candidate& candidate : candidates) items_.emplace_back(std::move(candidate));
  }

  void add(Candidate candidate) { items_.emplace_back(std::move(candidate)); }
  void add_gap() { items_.emplace_back(Gap{}); }

  Pull pull() override {
    ++pulls_;
    if (closed_) ++pulls_after_close_;
    if (next_ == items_.size()) return EndOfInput{};
    Item& item = items_[next_++];
    if (std::holds_alternative<Gap>(item)) return NothingThisTime{};
    return std::get<Candidate>(std::move(item));
  }
  void close() override {
    ++closes_;
    closed_ = true;
  }

  size_t pulls() const { return pulls_; }
  size_t closes() const { return closes_; }
  size_t pulls_after_close() const { return pulls_after_close_; }

 private:
  std::vector<Item> items_;
  size_t next_ = 0;
  size_t pulls_ = 0;
  size_t closes_ = 0;
  size_t pulls_after_close_ = 0;
  bool closed_ = false;
};

// Reads the value a candidate carries at `position` (or computes one) and records its calls.
// `length_delta` makes every batch result that many entries longer (or shorter).
class RecordingScorer final : public Scorer {
 public:
  using ValueFn = std::function<std::optional<float>(const Candidate&)>;

  RecordingScorer(std::string name, size_t position, CostClass cost)
      : name_(std::move(name)), position_(position), cost_(cost) {}

  const std::string& name() const override { return name_; }
  Scale scale() const override { return Scale::Unit; }
  CostClass cost() const override { return cost_; }

  std::optional<float> score(const Candidate& candidate) override {
    ++score_calls;
    scored_ids.push_back(candidate.id);
    return value(candidate);
  }

  std::vector<std::optional<float>> score_batch(std::span<const Candidate* const> pool) override {
    batch_sizes.push_back(pool.size());
    std::vector<CandidateId> ids;
    std::vector<std::optional<float>> out;
    for (const Candidate* candidate : pool) {
      ids.push_back(candidate->id);
      out.push_back(value(*candidate));
    }
    batch_ids.push_back(std::move(ids));
    if (length_delta < 0) {
      out.resize(out.size() - std::min(out.size(), static_cast<size_t>(-length_delta)));
    } else {
      out.resize(out.size() + static_cast<size_t>(length_delta), 0.5f);
    }
    return out;
  }

  ValueFn compute;  // overrides reading the carried value
  long length_delta = 0;

  size_t score_calls = 0;
  std::vector<CandidateId> scored_ids;
  std::vector<size_t> batch_sizes;
  std::vector<std::vector<CandidateId>> batch_ids;

 private:
  std::optional<float> value(const Candidate& candidate) const {
    if (compute) return compute(candidate);
    if (position_ >= candidate.values.size()) return std::nullopt;
    return candidate.values[position_];
  }

  std::string name_;
  size_t position_;
  CostClass cost_;
};

// Registers a recording scorer as the next axis and returns it for inspection.
inline std::shared_ptr<RecordingScorer> add_axis(Engine& engine, std::string name, CostClass cost) {
  auto scorer = std::make_shared<RecordingScorer>(name, engine.axes.size(), cost);
  engine.axes.push_back(AxisDescriptor{std::move(name), Scale::Unit, cost});
  engine.scorers.push_back(scorer);
  return scorer;
}

}  // namespace korvane::pipeline_testing
