// StagePool: the bounded stage-1 store. It keeps the `capacity` best candidates offered so
// far by admission score under the entry order, hands back whatever it refuses or evicts,
// and yields its members best first once the input has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/candidate.h"
#include "engine/records.h"

namespace korvane {

class StagePool {
 public:
  enum class Admission : uint8_t { Admitted, AdmittedEvicting, Refused };

  struct Offer {
    Admission admission = Admission::Admitted;
    // The evicted member (AdmittedEvicting) or the newcomer itself (Refused).
    std::optional<Candidate> handed_back;
  };

  // capacity >= 1. Reserves room for min(capacity, 1024) members.
  explicit StagePool(uint64_t capacity);

  StagePool(const StagePool&) = delete;
  StagePool& operator=(const StagePool&) = delete;

  // O(log capacity); moves no other member. The axis values are copied into the member's
  // slot, whose storage is reused by later members.
  Offer offer(Candidate candidate, std::span<const std::optional<float>> axis_values, float score);

  // The members best first (a stable sort by the entry order). Leaves the pool empty.
  std::vector<PoolRecord> drain();

  size_t size() const { return heap_.size(); }
  uint64_t capacity() const { return capacity_; }

 private:
  struct Slot {
    std::optional<Candidate> candidate;  // empty while the slot is on the free stack
    AxisValues axis_values;
  };
  struct Entry {
    float score;
    size_t slot;
  };

  size_t fill_slot(Candidate candidate, std::span<const std::optional<float>> axis_values);
  Candidate empty_slot(size_t slot);
  const CandidateId& id_of(const Entry& entry) const;
  bool better(const Entry& a, const Entry& b) const;

  uint64_t capacity_;
  std::vector<Slot> slots_;
  std::vector<size_t> free_slots_;
  // A heap under "better", so its top is the weakest member kept.
  std::vector<Entry> heap_;
};

}  // namespace korvane
