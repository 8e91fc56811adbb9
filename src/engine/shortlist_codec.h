// The byte form of a Shortlist, so that one can cross processes. Everything but the
// candidates' objects is written; those travel beside the bytes, in candidate order: the
// members first, then the kept drops. Integers are little-endian, floats by their bits.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "engine/shortlist.h"

namespace korvane {

std::string encode_shortlist(const Shortlist& shortlist);

// The shortlist the bytes hold, its candidates without objects; none when the bytes are not
// a shortlist written for `axis_count` axes and `group_count` group keys.
std::optional<Shortlist> decode_shortlist(std::string_view bytes, size_t axis_count,
                                          size_t group_count);

}  // namespace korvane
