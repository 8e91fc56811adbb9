// StagePool: the bounded stage-1 store. It keeps the `capacity` best candidates offered so
// far by admission score under the entry order, hands back whatever it refuses or evicts,
// and yields its members best first once the input has ended.
//
// Entries that are equal under the entry order (same score bits, same identifier) are told
// apart by arrival, the earlier one counting as better. The order is then strict, so what
// the pool holds and the order it drains in do not depend on how its heap is laid out, and
// pools filled from parts of one stream merge into exactly the pool of the whole stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/candidate.h"
#include "engine/records.h"
#include "engine/row_block.h"

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

  // Whether a newcomer would be admitted now: the pool has room, or the newcomer is strictly
  // better than the weakest member by the entry order (a later arrival never wins a tie).
  bool admits(float score, const IdView& id) const;

  // The total-order key (total_order_key) of the weakest member's score once the pool is
  // full, and the lowest int32 otherwise: a newcomer whose score's key is below it is
  // refused without looking further.
  int32_t floor_key() const;

  // Two steps for a newcomer that admits() accepts, so that its record is built in place:
  // admit() returns the record to fill (the storage of an evicted member or of an earlier
  // one is reused). When the pool was full, *did_evict is set and the record still holds the
  // weakest member, whose identifier and object the caller takes before filling it. Then
  // fill the record, its candidate's id included, and call commit(). O(log capacity) in all;
  // no other member moves.
  PoolRecord& admit(float score, uint64_t arrival, bool* did_evict);
  void commit();

  // Admits newcomers with scores[i] and arrival first_arrival + i all at once, for a pool
  // that stays short of full with them (size() + scores.size() < capacity()), and returns
  // their records to fill (each may hold an earlier row); no commit() follows. Each counts as
  // one offer.
  std::span<PoolRecord> admit_all(std::span<const float> scores, uint64_t first_arrival);

  // The same in one call, for a whole record: arrival is the order of offers.
  Offer offer(Candidate candidate, std::span<const std::optional<float>> axis_values, float score);

  // The members best first. Leaves the pool empty. Each record's arrival and admission score
  // are returned alongside when the spans are given room (same order).
  std::vector<PoolRecord> drain(std::vector<float>* scores = nullptr,
                                std::vector<uint64_t>* arrivals = nullptr);
  // The members in no particular order, their admission scores and arrivals alongside, for
  // a caller that cannot tell orders apart; cheaper than drain() by the sort. Leaves the pool
  // empty.
  std::vector<PoolRecord> drain_unordered(std::vector<float>* scores,
                                          std::vector<uint64_t>* arrivals);

  // Hands the storage of drained members, once they are done with, to the next pool made on
  // this thread, which fills the records in place; what they own (objects, groups, cover,
  // text ids) is released now.
  // `native`: no member owns anything to let go, and they are kept as they are.
  static void keep_storage(std::vector<PoolRecord> members, bool native = false);

  size_t size() const { return heap_.size(); }
  uint64_t capacity() const { return capacity_; }

 private:
  struct Entry {
    float score;
    uint64_t arrival;
    size_t slot;
  };

  // Storage for the first members, reserved on the first admission, so that a run over
  // nothing allocates nothing here.
  void reserve_first();
  const CandidateId& id_of(const Entry& entry) const;
  bool better(const Entry& a, const Entry& b) const;
  bool full() const { return heap_.size() >= capacity_; }

  // The records left made by the last run on this thread go before draining.
  void drop_spare_slots();
  // The members' records, in their slots' order; leaves the pool empty.
  std::vector<PoolRecord> take_members();

  uint64_t capacity_;
  // One slot per member; any after them are records an earlier run left made, to be filled
  // in place.
  std::vector<PoolRecord> slots_;
  bool reserved_ = false;  // reserve_first() has run
  // While the pool is filling, entries are appended in arrival order; once it is full they
  // form a heap under "better", so its top is the weakest member kept.
  std::vector<Entry> heap_;
  bool heaped_ = false;
  std::optional<Entry> pending_;  // admitted, waiting for commit()
  // Admitted into a pool still short of full: its entry is in heap_ already, and commit()
  // has nothing left to do.
  bool placed_pending_ = false;
  uint64_t offers_ = 0;
};

}  // namespace korvane
