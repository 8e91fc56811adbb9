// CandidateId: a candidate's identifier, an unsigned 64-bit integer or a text.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace korvane {

class CandidateId {
 public:
  CandidateId() : value_(uint64_t{0}) {}
  CandidateId(uint64_t integer) : value_(integer) {}
  CandidateId(std::string text) : value_(std::move(text)) {}

  bool is_integer() const { return value_.index() == 0; }
  // Makes this the integer `integer` in place.
  void set_integer(uint64_t integer) { value_.emplace<0>(integer); }
  // Precondition: is_integer() / !is_integer().
  // Unchecked: these sit inside every comparison of the entry order.
  uint64_t integer() const { return *std::get_if<0>(&value_); }
  const std::string& text() const { return *std::get_if<1>(&value_); }

  // The form shown wherever an identifier reaches Python or JSON: the text unchanged, or
  // the integer in plain decimal digits. So 42 and "42" display alike.
  std::string display() const;

  friend bool operator==(const CandidateId&, const CandidateId&) = default;

 private:
  std::variant<uint64_t, std::string> value_;
};

// Identifier order of the entry order: integers before texts, integers numerically, texts
// bytewise (unsigned bytes) with a proper prefix first. Negative, zero or positive.
int compare_ids(const CandidateId& a, const CandidateId& b);

}  // namespace korvane
