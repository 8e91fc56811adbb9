#include "audit/float_text.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace korvane {

namespace {

std::string non_finite(float x) {
  if (std::isnan(x)) return "NaN";
  return x < 0 ? "-inf" : "inf";
}

// The shortest round-trip digits of a finite x and its decimal exponent: x = 0.d1d2d3... *
// 10^(point), with `digits` free of leading and trailing zeros ("0" for zero).
struct ShortestDigits {
  bool negative = false;
  std::string digits;
  int point = 0;  // digits before the decimal point; may be <= 0 or > digits.size()
};

ShortestDigits shortest_digits(float x) {
  // to_chars in scientific form yields the shortest round-trip digits: "-d.ddde-XX".
  char buffer[64];
  auto end = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific).ptr;
  std::string_view text(buffer, static_cast<size_t>(end - buffer));
  ShortestDigits out;
  if (text.front() == '-') {
    out.negative = true;
    text.remove_prefix(1);
  }
  size_t e = text.find('e');
  for (char c : text.substr(0, e)) {
    if (c != '.') out.digits += c;
  }
  int exponent = 0;
  std::string_view exp_text = text.substr(e + 1);
  bool exp_negative = exp_text.front() == '-';
  exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  if (exp_negative) exponent = -exponent;
  while (out.digits.size() > 1 && out.digits.back() == '0') out.digits.pop_back();
  out.point = exponent + 1;
  return out;
}

}  // namespace

std::string positional_float(float x) {
  if (!std::isfinite(x)) return non_finite(x);
  ShortestDigits d = shortest_digits(x);
  std::string out = d.negative ? "-" : "";
  if (d.digits == "0") return out + "0";
  int n = static_cast<int>(d.digits.size());
  if (d.point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-d.point), '0');
    out += d.digits;
  } else if (d.point >= n) {
    out += d.digits;
    out.append(static_cast<size_t>(d.point - n), '0');
  } else {
    out += d.digits.substr(0, static_cast<size_t>(d.point));
    out += '.';
    out += d.digits.substr(static_cast<size_t>(d.point));
  }
  return out;
}

std::string debug_float(float x) {
  if (!std::isfinite(x)) return non_finite(x);
  float magnitude = std::fabs(x);
  if (magnitude == 0.0f || (magnitude >= 1e-4f && magnitude < 1e16f)) {
    std::string text = positional_float(x);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
  }
  ShortestDigits d = shortest_digits(x);
  std::string out = d.negative ? "-" : "";
  out += d.digits.front();
  if (d.digits.size() > 1) {
    out += '.';
    out += d.digits.substr(1);
  }
  out += 'e';
  out += std::to_string(d.point - 1);
  return out;
}

}  // namespace korvane
