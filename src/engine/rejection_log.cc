#include "engine/rejection_log.h"

#include <string>
#include <utility>

namespace korvane {

bool RejectionLog::keeps_next() const {
  switch (retention_.policy) {
    case RejectionRetention::Policy::Keep:
      return true;
    case RejectionRetention::Policy::Count:
      return false;
    case RejectionRetention::Policy::Sample:
      return entries_.size() < retention_.n;
  }
  return false;
}

void RejectionLog::record_rejection(Candidate&& candidate, RejectKind kind, std::string_view name,
                                    std::optional<float> fused) {
  record_rejection(std::move(candidate.id), std::move(candidate.object), kind, name, fused);
}

void RejectionLog::record_rejection(CandidateId id, ObjectHandle object, RejectKind kind,
                                    std::string_view name, std::optional<float> fused) {
  ++counts_[kind];
  if (!keeps_next()) {
    object.reset();  // released now, not when the caller's scope ends
    return;
  }
  RejectedEntry& entry = entries_.emplace_back();
  entry.reason.kind = kind;
  if (entry.reason.carries_name()) entry.reason.name = std::string(name);
  entry.candidate.id = std::move(id);
  entry.candidate.object = std::move(object);
  entry.fused = fused;
}

void RejectionLog::absorb(const RejectCounts& counts, RejectedEntries&& entries) {
  for (int kind = 0; kind < kRejectKindCount; ++kind) {
    counts_.counts[kind] += counts.counts[kind];
  }
  for (RejectedEntry& entry : entries) {
    if (!keeps_next()) break;
    entries_.push_back(std::move(entry));
  }
  entries.clear();  // the ones not kept are released here
}

}  // namespace korvane
