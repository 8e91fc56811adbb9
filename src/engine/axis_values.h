// AxisValues: one optional value per registered axis, registration order. Every candidate
// and pool member carries one, and up to four live inside the object.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include "engine/inline_vector.h"

namespace korvane {

using AxisValues = InlineVector<std::optional<float>, 4>;

// Makes `out` `value` when `present`, else absent, without a branch where random presence
// would mispredict: it writes the optional's bytes, the value's and then the flag
// (axis_values_test checks this layout), in place. An absent one keeps the value's bytes,
// which nothing reads.
inline void set_optional(std::optional<float>& out, bool present, float value) {
  static_assert(sizeof(std::optional<float>) == sizeof(uint64_t));
  static_assert(std::is_trivially_copyable_v<std::optional<float>>);
  const uint64_t bits = std::bit_cast<uint32_t>(value) | uint64_t{present} << 32;
  std::memcpy(static_cast<void*>(&out), &bits, sizeof bits);
}

}  // namespace korvane
