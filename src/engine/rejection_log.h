// RejectionLog: the drop bookkeeping of one run. Every drop is counted exactly under its
// reason; the retention policy decides which drops also keep a RejectedEntry. A candidate
// that is not kept is released at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/candidate.h"
#include "engine/engine.h"
#include "engine/outcome.h"

namespace korvane {

class RejectionLog {
 public:
  explicit RejectionLog(RejectionRetention retention) : retention_(retention) {}
  // A log that goes on from the counts and kept entries of an earlier part of the run.
  RejectionLog(RejectionRetention retention, const RejectCounts& counts,
               RejectedEntries entries)
      : retention_(retention), counts_(counts), entries_(std::move(entries)) {}

  RejectionLog(const RejectionLog&) = delete;
  RejectionLog& operator=(const RejectionLog&) = delete;

  // Whether the next drop keeps an entry. When it does not, count() alone records it, and
  // the caller need not build the candidate's identifier or object.
  bool keeps_next() const;
  void count(RejectKind kind) { ++counts_[kind]; }
  void count(RejectKind kind, uint64_t drops) { counts_[kind] += drops; }

  // `name` is the axis, unary constraint id or set constraint id for the reasons that carry
  // one, and ignored for the others. `fused` is present once the candidate has been fused.
  // Only the candidate's id and object are kept. Allocates only for a drop that is kept.
  void record_rejection(Candidate&& candidate, RejectKind kind, std::string_view name = {},
                        std::optional<float> fused = std::nullopt);
  void record_rejection(CandidateId id, ObjectHandle object, RejectKind kind,
                        std::string_view name = {}, std::optional<float> fused = std::nullopt);

  // Adds the drops of another part of the run: its counts, and as many of its kept entries,
  // in order, as the policy still keeps (the others are released).
  void absorb(const RejectCounts& counts, RejectedEntries&& entries);

  const RejectCounts& counts() const { return counts_; }
  // The kept drops, in drop order.
  const RejectedEntries& entries() const { return entries_; }
  RejectedEntries take_entries() { return std::move(entries_); }

 private:
  RejectionRetention retention_;
  RejectCounts counts_;
  RejectedEntries entries_;
};

}  // namespace korvane
