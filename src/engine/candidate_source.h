// CandidateSource: the stream a run pulls its candidates from, one at a time.
#pragma once

#include <variant>

#include "engine/candidate.h"

namespace korvane {

class CandidateSource {
 public:
  struct EndOfInput {};
  // The source recorded an error of its own for this item; the run pulls again.
  struct NothingThisTime {};
  using Pull = std::variant<EndOfInput, Candidate, NothingThisTime>;

  virtual ~CandidateSource() = default;

  // Candidates carry one value slot per registered axis. Called until EndOfInput.
  virtual Pull pull() = 0;
  // Called once, right after the pull that reported EndOfInput: let go of the input.
  virtual void close() {}
};

}  // namespace korvane
