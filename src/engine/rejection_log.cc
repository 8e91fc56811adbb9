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
  ++counts_[kind];
  if (!keeps_next()) {
    // Dropped here rather than by the caller, so its object is released now.
    Candidate released = std::move(candidate);
    return;
  }
  RejectReason reason{kind, {}};
  if (reason.carries_name()) reason.name = std::string(name);
  entries_.push_back(RejectedEntry{std::move(reason), std::move(candidate), fused});
}

}  // namespace korvane
