#include "engine/candidate_id.h"

#include <charconv>

namespace korvane {

std::string CandidateId::display() const {
  if (!is_integer()) return text();
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, integer()).ptr;
  return std::string(digits, end);
}

int compare_ids(const CandidateId& a, const CandidateId& b) {
  if (a.is_integer() != b.is_integer()) return a.is_integer() ? -1 : 1;
  if (a.is_integer()) {
    if (a.integer() == b.integer()) return 0;
    return a.integer() < b.integer() ? -1 : 1;
  }
  // std::string::compare uses char_traits<char>, which compares bytes as unsigned char.
  int c = a.text().compare(b.text());
  return (c > 0) - (c < 0);
}

}  // namespace korvane
