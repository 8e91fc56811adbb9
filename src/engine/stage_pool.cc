#include "engine/stage_pool.h"

#include <algorithm>
#include <utility>

#include "engine/entry_order.h"
#include "engine/invariant.h"

namespace korvane {

namespace {
constexpr uint64_t kInitialReservation = 1024;
}  // namespace

StagePool::StagePool(uint64_t capacity) : capacity_(capacity) {
  KORVANE_INVARIANT(capacity >= 1, "풀 용량은 1 이상이다");
  size_t reserve = static_cast<size_t>(std::min(capacity, kInitialReservation));
  heap_.reserve(reserve);
  // One slot more than the members: the newcomer takes a slot before it is compared.
  slots_.reserve(reserve + 1);
}

size_t StagePool::fill_slot(Candidate candidate,
                            std::span<const std::optional<float>> axis_values) {
  size_t slot;
  if (!free_slots_.empty()) {
    slot = free_slots_.back();
    free_slots_.pop_back();
  } else {
    slot = slots_.size();
    slots_.emplace_back();
  }
  Slot& target = slots_[slot];
  target.candidate.emplace(std::move(candidate));
  target.axis_values.assign(axis_values.begin(), axis_values.end());
  KORVANE_INVARIANT(target.candidate.has_value(), "방금 넣은 자리는 차 있다");
  return slot;
}

Candidate StagePool::empty_slot(size_t slot) {
  std::optional<Candidate>& held = slots_[slot].candidate;
  KORVANE_INVARIANT(held.has_value(), "힙이 가리키는 자리는 차 있다");
  Candidate candidate = std::move(*held);
  held.reset();
  free_slots_.push_back(slot);
  return candidate;
}

const CandidateId& StagePool::id_of(const Entry& entry) const {
  const std::optional<Candidate>& held = slots_[entry.slot].candidate;
  KORVANE_INVARIANT(held.has_value(), "힙이 가리키는 자리는 차 있다");
  return held->id;
}

bool StagePool::better(const Entry& a, const Entry& b) const {
  return entry_better(a.score, id_of(a), b.score, id_of(b));
}

StagePool::Offer StagePool::offer(Candidate candidate,
                                  std::span<const std::optional<float>> axis_values, float score) {
  auto weaker_on_top = [this](const Entry& a, const Entry& b) { return better(a, b); };

  // Once the pool is full most newcomers lose to the weakest member; refusing those before
  // they take a slot gives the same answer without moving them twice.
  if (heap_.size() >= capacity_ &&
      !entry_better(score, candidate.id, heap_.front().score, id_of(heap_.front()))) {
    return Offer{Admission::Refused, std::move(candidate)};
  }

  Entry newcomer{score, fill_slot(std::move(candidate), axis_values)};

  if (heap_.size() < capacity_) {
    heap_.push_back(newcomer);
    std::push_heap(heap_.begin(), heap_.end(), weaker_on_top);
    return Offer{Admission::Admitted, std::nullopt};
  }

  // The newcomer is strictly better than the weakest member, which it replaces.
  std::pop_heap(heap_.begin(), heap_.end(), weaker_on_top);
  size_t evicted_slot = heap_.back().slot;
  heap_.back() = newcomer;
  std::push_heap(heap_.begin(), heap_.end(), weaker_on_top);
  return Offer{Admission::AdmittedEvicting, empty_slot(evicted_slot)};
}

std::vector<PoolRecord> StagePool::drain() {
  std::stable_sort(heap_.begin(), heap_.end(),
                   [this](const Entry& a, const Entry& b) { return better(a, b); });
  std::vector<PoolRecord> members;
  members.reserve(heap_.size());
  for (const Entry& entry : heap_) {
    std::optional<Candidate>& held = slots_[entry.slot].candidate;
    KORVANE_INVARIANT(held.has_value(), "힙이 가리키는 자리는 차 있다");
    members.push_back(PoolRecord{std::move(*held), std::move(slots_[entry.slot].axis_values)});
    held.reset();
  }
  heap_.clear();
  slots_.clear();
  free_slots_.clear();
  return members;
}

}  // namespace korvane
