// The audit JSON of a selected candidate: one compact object on one line, keys in a fixed
// order, written by its own quoting and number rules.
#pragma once

#include <string>
#include <string_view>

#include "engine/outcome.h"

namespace korvane {

// Appends `text` as a JSON string: \" and \\, \t \n \r, \u00xx (lowercase hex) for the other
// control characters below U+0020; every other byte, '/', U+007F and non-ASCII included, is
// copied as it is.
void json_string(std::string& out, std::string_view text);

// Appends x as its shortest round-trip decimal in positional notation, with ".0" added to
// whole numbers (3.0, -0.0); null for NaN and infinities.
void json_float(std::string& out, float x);

// {"candidate":..,"rank":..,"fused":..,"scores":{..},"missing_policy":..,"fusion":{..},
// "constraints":{..}} for one ranked entry, its axes and constraints named by `labels`.
std::string audit_json(const RankedEntry& entry, const RunLabels& labels);

}  // namespace korvane
