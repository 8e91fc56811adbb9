// Set constraints: rules on the selected set as a whole, consulted in registration order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "engine/records.h"

namespace korvane {

class SetConstraint {
 public:
  virtual ~SetConstraint() = default;

  virtual std::string id() const = 0;
  // Whether `candidate` (not among `selected`) may join `selected`, given in pick order.
  virtual bool accepts(std::span<const ScoredRecord* const> selected,
                       const ScoredRecord& candidate) const = 0;
  // Used only for the `exact` and `guarantee` selection properties.
  virtual bool is_matroid() const = 0;
};

// At most `max` members per value of the group key at position `key`. max 0 refuses every
// candidate; otherwise a candidate without a value for the key, or joining an empty set, is
// always accepted. Values compare byte for byte. A partition matroid.
class MaxPerGroup final : public SetConstraint {
 public:
  MaxPerGroup(std::string id, size_t key, uint64_t max)
      : id_(std::move(id)), key_(key), max_(max) {}

  std::string id() const override { return id_; }
  bool accepts(std::span<const ScoredRecord* const> selected,
               const ScoredRecord& candidate) const override;
  bool is_matroid() const override { return true; }

  size_t key() const { return key_; }
  uint64_t max() const { return max_; }

 private:
  std::string id_;
  size_t key_;
  uint64_t max_;
};

// At most `max` members in all. A uniform matroid.
class MaxTotal final : public SetConstraint {
 public:
  MaxTotal(std::string id, uint64_t max) : id_(std::move(id)), max_(max) {}

  std::string id() const override { return id_; }
  bool accepts(std::span<const ScoredRecord* const> selected,
               const ScoredRecord& candidate) const override;
  bool is_matroid() const override { return true; }

  uint64_t max() const { return max_; }

 private:
  std::string id_;
  uint64_t max_;
};

}  // namespace korvane
