#include "audit/audit_json.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "audit/float_text.h"

namespace korvane {

namespace {

void json_unsigned(std::string& out, uint64_t n) {
  char digits[24];
  char* end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  out.append(digits, static_cast<size_t>(end - digits));
}

void json_input(std::string& out, const TermInput& input) {
  switch (input.kind) {
    case TermInputKind::Value:
      out += R"({"kind":"value","value":)";
      json_float(out, input.value);
      break;
    case TermInputKind::Rank:
      out += R"({"kind":"rank","rank":)";
      json_unsigned(out, input.rank);
      break;
    case TermInputKind::Imputed:
      out += R"({"kind":"imputed","value":)";
      json_float(out, input.value);
      break;
    case TermInputKind::Skipped:
      out += R"({"kind":"skipped")";
      break;
  }
  out += '}';
}

void json_term(std::string& out, const EvidenceTerm& term, std::string_view scorer) {
  out += R"({"scorer":)";
  json_string(out, scorer);
  out += R"(,"input":)";
  json_input(out, term.input);
  out += R"(,"weight":)";
  json_float(out, term.weight);
  out += R"(,"contribution":)";
  json_float(out, term.contribution);
  out += '}';
}

}  // namespace

void json_string(std::string& out, std::string_view text) {
  constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xf];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void json_float(std::string& out, float x) {
  if (!std::isfinite(x)) {
    out += "null";
    return;
  }
  const size_t start = out.size();
  out += positional_float(x);
  if (out.find_first_of(".eE", start) == std::string::npos) out += ".0";
}

std::string audit_json(const RankedEntry& entry, const RunLabels& labels) {
  std::string out;
  out.reserve(256);

  out += R"({"candidate":)";
  const CandidateId& id = entry.candidate.id;
  if (id.is_integer()) {
    // Decimal digits need no escaping.
    out += '"';
    json_unsigned(out, id.integer());
    out += '"';
  } else {
    json_string(out, id.text());
  }
  out += R"(,"rank":)";
  json_unsigned(out, entry.rank);
  out += R"(,"fused":)";
  json_float(out, entry.fused);

  out += R"(,"scores":{)";
  for (size_t i = 0; i < entry.scores.size(); ++i) {
    if (i > 0) out += ',';
    json_string(out, labels.axes[i]);
    out += ':';
    if (entry.scores[i]) {
      json_float(out, *entry.scores[i]);
    } else {
      out += "null";
    }
  }
  out += '}';

  out += R"(,"missing_policy":)";
  json_string(out, name(entry.fusion.missing));

  out += R"(,"fusion":{"method":)";
  json_string(out, name(entry.fusion.method));
  if (entry.fusion.k) {
    out += R"(,"k":)";
    json_float(out, *entry.fusion.k);
  }
  out += R"(,"terms":[)";
  for (size_t i = 0; i < entry.fusion.terms.size(); ++i) {
    if (i > 0) out += ',';
    json_term(out, entry.fusion.terms[i], labels.axes[i]);
  }
  out += "]}";

  out += R"(,"constraints":{)";
  for (size_t i = 0; i < labels.constraints.size(); ++i) {
    if (i > 0) out += ',';
    json_string(out, labels.constraints[i]);
    out += R"(:"pass")";
  }
  out += "}}";
  return out;
}

}  // namespace korvane
