// AxisValues: one optional value per registered axis, registration order. Every candidate
// and pool member carries one, and up to four live inside the object.
#pragma once

#include <optional>

#include "engine/inline_vector.h"

namespace korvane {

using AxisValues = InlineVector<std::optional<float>, 4>;

}  // namespace korvane
