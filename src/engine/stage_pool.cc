#include "engine/stage_pool.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

#include "engine/entry_order.h"
#include "engine/invariant.h"
#include "engine/run_sort.h"

namespace korvane {

namespace {
constexpr uint64_t kInitialReservation = 1024;

// The members' storage of the last finished run on this thread, when it was small. Freeing
// a few hundred kilobytes per run otherwise lets the allocator hand them back to the system
// and fault them in again on the next run.
constexpr size_t kKeptSlotsBytes = size_t{1} << 20;
thread_local std::vector<PoolRecord> spare_slots;
}  // namespace

void StagePool::keep_storage(std::vector<PoolRecord> members, bool native) {
  if (members.capacity() * sizeof(PoolRecord) > kKeptSlotsBytes ||
      members.capacity() <= spare_slots.capacity()) {
    return;  // the members go now
  }
  // Kept made: the next pool fills them in place. What they own is let go now; native
  // members own nothing.
  for (PoolRecord& record : native ? std::span<PoolRecord>() : std::span<PoolRecord>(members)) {
    Candidate& candidate = record.candidate;
    candidate.object.reset();
    candidate.groups.clear();
    candidate.cover.clear();
    if (!candidate.id.is_integer()) candidate.id.set_integer(0);
  }
  spare_slots = std::move(members);
}

StagePool::StagePool(uint64_t capacity) : capacity_(capacity) {
  KORVANE_INVARIANT(capacity >= 1, "풀 용량은 1 이상이다");
}

const CandidateId& StagePool::id_of(const Entry& entry) const {
  return slots_[entry.slot].candidate.id;
}

bool StagePool::better(const Entry& a, const Entry& b) const {
  const int by_score = total_order_compare(a.score, b.score);
  if (by_score != 0) return by_score > 0;
  const int by_id = compare_ids(id_of(a), id_of(b));
  if (by_id != 0) return by_id < 0;
  return a.arrival < b.arrival;
}

bool StagePool::admits(float score, const IdView& id) const {
  if (!full()) return true;
  const Entry& weakest = heap_.front();
  const int by_score = total_order_compare(score, weakest.score);
  if (by_score != 0) return by_score > 0;
  return compare_ids(id, id_of(weakest)) < 0;
}

int32_t StagePool::floor_key() const {
  if (!full()) return std::numeric_limits<int32_t>::min();
  return total_order_key(heap_.front().score);
}

void StagePool::reserve_first() {
  const size_t reserve = static_cast<size_t>(std::min(capacity_, kInitialReservation));
  heap_.reserve(reserve);
  slots_.swap(spare_slots);
  slots_.reserve(reserve);
  reserved_ = true;
}

std::vector<PoolRecord> StagePool::take_members() {
  std::vector<PoolRecord> members = std::move(slots_);
  heap_.clear();
  slots_.clear();
  heaped_ = false;
  reserved_ = false;
  return members;
}

void StagePool::drop_spare_slots() {
  slots_.resize(heap_.size());
  KORVANE_INVARIANT(slots_.size() == heap_.size(), "풀의 자리마다 구성원이 하나 있다");
}

PoolRecord& StagePool::admit(float score, uint64_t arrival, bool* did_evict) {
  KORVANE_INVARIANT(!pending_.has_value() && !placed_pending_,
                    "앞서 받은 후보가 아직 자리에 들지 않았다");
  ++offers_;
  size_t slot;
  if (full()) {
    // The weakest member leaves; the newcomer takes its slot and its storage.
    auto weaker_on_top = [this](const Entry& a, const Entry& b) { return better(a, b); };
    std::pop_heap(heap_.begin(), heap_.end(), weaker_on_top);
    slot = heap_.back().slot;
    heap_.pop_back();
    *did_evict = true;
  } else {
    if (!reserved_) reserve_first();
    // Short of full, the members hold the first slots.
    slot = heap_.size();
    if (slot == slots_.size()) slots_.emplace_back();
    *did_evict = false;
    // While the pool stays short of full, entries need no order: the newcomer's goes in now.
    if (heap_.size() + 1 < capacity_) {
      heap_.push_back(Entry{score, arrival, slot});
      placed_pending_ = true;
      return slots_[slot];
    }
  }
  pending_ = Entry{score, arrival, slot};
  return slots_[slot];
}

std::span<PoolRecord> StagePool::admit_all(std::span<const float> scores, uint64_t first_arrival) {
  KORVANE_INVARIANT(!pending_.has_value() && !placed_pending_,
                    "앞서 받은 후보가 아직 자리에 들지 않았다");
  KORVANE_INVARIANT(heap_.size() + scores.size() < capacity_, "풀에 모두 들어갈 자리가 있다");
  if (!reserved_) reserve_first();
  const size_t first = heap_.size();
  if (slots_.size() < first + scores.size()) slots_.resize(first + scores.size());
  for (size_t i = 0; i < scores.size(); ++i) {
    heap_.push_back(Entry{scores[i], first_arrival + i, first + i});
  }
  offers_ += scores.size();
  return std::span<PoolRecord>(slots_.data() + first, scores.size());
}

void StagePool::commit() {
  if (placed_pending_) {
    placed_pending_ = false;
    return;
  }
  KORVANE_INVARIANT(pending_.has_value(), "받은 후보가 있어야 자리에 넣는다");
  heap_.push_back(*pending_);
  pending_.reset();
  auto weaker_on_top = [this](const Entry& a, const Entry& b) { return better(a, b); };
  if (heaped_) {
    std::push_heap(heap_.begin(), heap_.end(), weaker_on_top);
  } else if (full()) {
    // Filling needed no order; the weakest member matters only from now on.
    std::make_heap(heap_.begin(), heap_.end(), weaker_on_top);
    heaped_ = true;
  }
}

StagePool::Offer StagePool::offer(Candidate candidate,
                                  std::span<const std::optional<float>> axis_values, float score) {
  const IdView id = candidate.id.is_integer() ? IdView::Integer(candidate.id.integer())
                                              : IdView::Text(candidate.id.text());
  if (!admits(score, id)) return Offer{Admission::Refused, std::move(candidate)};
  bool did_evict = false;
  PoolRecord& record = admit(score, offers_, &did_evict);
  Candidate evicted;
  if (did_evict) {
    evicted.id = std::move(record.candidate.id);
    evicted.object = std::move(record.candidate.object);
  }
  record.candidate = std::move(candidate);
  record.axis_values.assign(axis_values.data(), axis_values.data() + axis_values.size());
  commit();
  if (!did_evict) return Offer{Admission::Admitted, std::nullopt};
  return Offer{Admission::AdmittedEvicting, std::move(evicted)};
}

std::vector<PoolRecord> StagePool::drain_unordered(std::vector<float>* scores,
                                                   std::vector<uint64_t>* arrivals) {
  // Every slot holds a member: the records stay where they are, their figures follow them.
  drop_spare_slots();
  scores->clear();
  arrivals->clear();
  if (!heaped_) {
    // A pool that never filled holds its entries in the order of their slots.
    scores->reserve(heap_.size());
    arrivals->reserve(heap_.size());
    for (const Entry& entry : heap_) {
      scores->push_back(entry.score);
      arrivals->push_back(entry.arrival);
    }
  } else {
    scores->resize(slots_.size());
    arrivals->resize(slots_.size());
    for (const Entry& entry : heap_) {
      (*scores)[entry.slot] = entry.score;
      (*arrivals)[entry.slot] = entry.arrival;
    }
  }
  return take_members();
}

std::vector<PoolRecord> StagePool::drain(std::vector<float>* scores,
                                         std::vector<uint64_t>* arrivals) {
  // The members' keys laid out flat, so that sorting them reads no record: score (higher
  // first), then integer ids numerically before texts bytewise, then arrival.
  struct Key {
    int32_t score;
    bool text;
    uint64_t integer;
    const std::string* text_id;
    uint64_t arrival;
    size_t entry;
  };
  // With integer ids alone and arrivals below 2^32 (the usual case), the same order is two
  // words compared as unsigned integers: score descending, id, arrival.
  struct PackedKey {
    uint64_t high;
    uint64_t low;
    size_t entry;
  };
  bool packable = true;
  uint64_t largest_id = 0;
  uint64_t largest_arrival = 0;
  for (const Entry& entry : heap_) {
    const CandidateId& id = id_of(entry);
    packable &= id.is_integer() && entry.arrival <= std::numeric_limits<uint32_t>::max();
    if (!packable) break;
    largest_id = std::max(largest_id, id.integer());
    largest_arrival = std::max(largest_arrival, entry.arrival);
  }
  std::vector<Entry> ordered;
  ordered.reserve(heap_.size());
  // Small ids and arrivals (a few thousand inputs) fit in one word with the score.
  const int arrival_bits = std::bit_width(largest_arrival);
  if (packable && arrival_bits + std::bit_width(largest_id) <= 32) {
    struct NarrowKey {
      uint64_t key;
      size_t entry;
    };
    std::vector<NarrowKey> keys(heap_.size());
    for (size_t i = 0; i < heap_.size(); ++i) {
      const Entry& entry = heap_[i];
      keys[i] = NarrowKey{descending_score_key(entry.score) << 32 |
                              id_of(entry).integer() << arrival_bits | entry.arrival,
                          i};
    }
    auto narrow_first = [](const NarrowKey& a, const NarrowKey& b) { return a.key < b.key; };
    sort_keeping_runs(keys.begin(), keys.end(), narrow_first);
    for (const NarrowKey& key : keys) ordered.push_back(heap_[key.entry]);
  } else if (packable) {
    std::vector<PackedKey> keys;
    keys.reserve(heap_.size());
    for (size_t i = 0; i < heap_.size(); ++i) {
      const Entry& entry = heap_[i];
      const uint64_t id = id_of(entry).integer();
      keys.push_back(PackedKey{descending_score_key(entry.score) << 32 | id >> 32,
                               id << 32 | entry.arrival, i});
    }
    auto packed_first = [](const PackedKey& a, const PackedKey& b) {
      return a.high != b.high ? a.high < b.high : a.low < b.low;
    };
    sort_keeping_runs(keys.begin(), keys.end(), packed_first);
    for (const PackedKey& key : keys) ordered.push_back(heap_[key.entry]);
  } else {
    std::vector<Key> keys;
    keys.reserve(heap_.size());
    for (size_t i = 0; i < heap_.size(); ++i) {
      const Entry& entry = heap_[i];
      const CandidateId& id = id_of(entry);
      keys.push_back(Key{total_order_key(entry.score), !id.is_integer(),
                         id.is_integer() ? id.integer() : 0, id.is_integer() ? nullptr : &id.text(),
                         entry.arrival, i});
    }
    auto best_first = [](const Key& a, const Key& b) {
      if (a.score != b.score) return a.score > b.score;
      if (a.text != b.text) return !a.text;
      if (!a.text) {
        if (a.integer != b.integer) return a.integer < b.integer;
      } else if (int c = a.text_id->compare(*b.text_id); c != 0) {
        return c < 0;
      }
      return a.arrival < b.arrival;
    };
    sort_keeping_runs(keys.begin(), keys.end(), best_first);
    for (const Key& key : keys) ordered.push_back(heap_[key.entry]);
  }
  heap_ = std::move(ordered);

  // Every slot holds a member (an evicted member's slot goes to its evictor), so the records
  // are put in order where they are: slots_[i] takes the record of heap_[i], cycle by cycle.
  drop_spare_slots();
  if (scores != nullptr) scores->clear();
  if (arrivals != nullptr) arrivals->clear();
  std::vector<uint8_t> placed(heap_.size(), 0);
  for (size_t start = 0; start < heap_.size(); ++start) {
    if (scores != nullptr) scores->push_back(heap_[start].score);
    if (arrivals != nullptr) arrivals->push_back(heap_[start].arrival);
    if (placed[start]) continue;
    placed[start] = 1;
    if (heap_[start].slot == start) continue;
    PoolRecord first = std::move(slots_[start]);
    size_t at = start;
    while (heap_[at].slot != start) {
      const size_t from = heap_[at].slot;
      slots_[at] = std::move(slots_[from]);
      placed[from] = 1;
      at = from;
    }
    slots_[at] = std::move(first);
  }
  return take_members();
}

}  // namespace korvane
