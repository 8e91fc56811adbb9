// AxisValues: one optional value per registered axis, registration order. Every candidate
// and pool member carries one, and up to four live inside the object.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>

#include "engine/inline_vector.h"

namespace korvane {

using AxisValues = InlineVector<std::optional<float>, 4>;

// `value` when `present`, else absent, made without a branch where random presence would
// mispredict: the optional's bytes are the value's, then the flag (axis_values_test checks
// this layout). An absent one keeps the value's bytes, which nothing reads.
inline std::optional<float> optional_if(bool present, float value) {
  static_assert(sizeof(std::optional<float>) == sizeof(uint64_t));
  const uint64_t bits = std::bit_cast<uint32_t>(value) | uint64_t{present} << 32;
  return std::bit_cast<std::optional<float>>(bits);
}

}  // namespace korvane
