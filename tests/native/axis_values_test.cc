#include "engine/axis_values.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

namespace korvane {
namespace {

// Random resizes, assignments, appends, copies and moves across the inline capacity, each
// mirrored on a std::vector: the two always hold the same values.
TEST(AxisValues, BehavesAsAVectorAcrossTheInlineCapacity) {
  std::mt19937 random(11);
  AxisValues values;
  std::vector<std::optional<float>> model;
  auto some_value = [&]() -> std::optional<float> {
    if (random() % 3 == 0) return std::nullopt;
    return static_cast<float>(random() % 100) / 4.0f;
  };
  for (int step = 0; step < 4000; ++step) {
    const size_t n = random() % 11;
    switch (random() % 6) {
      case 0:
        values.resize(n);
        model.resize(n);
        break;
      case 1: {
        const std::optional<float> v = some_value();
        values.assign(n, v);
        model.assign(n, v);
        break;
      }
      case 2: {
        const std::optional<float> v = some_value();
        values.push_back(v);
        model.push_back(v);
        break;
      }
      case 3: {
        AxisValues copy(values);
        values = AxisValues(n);  // replaced, then restored from the copy by a move
        values = std::move(copy);
        EXPECT_TRUE(copy.empty());
        break;
      }
      case 4:
        if (!model.empty()) {
          const size_t at = random() % model.size();
          values[at] = model[at] = some_value();
        }
        break;
      default: {
        AxisValues other;
        other = values;
        values.clear();
        values = other;
        break;
      }
    }
    ASSERT_EQ(values.size(), model.size()) << "step " << step;
    ASSERT_TRUE(std::equal(values.begin(), values.end(), model.begin(), model.end()))
        << "step " << step;
  }
}

// set_optional writes the optional's bytes itself: it must agree with the library's own
// optional for every value, NaN and signed zeros included, present or not, whatever the
// optional held before.
TEST(AxisValues, SetOptionalAgreesWithTheLibrarysOptional) {
  for (float value : {0.0f, -0.0f, 1.5f, -3.25e-39f, std::numeric_limits<float>::infinity(),
                      std::numeric_limits<float>::quiet_NaN()}) {
    for (std::optional<float> before : {std::optional<float>(), std::optional<float>(2.0f)}) {
      std::optional<float> present = before;
      set_optional(present, true, value);
      ASSERT_TRUE(present.has_value());
      EXPECT_EQ(std::bit_cast<uint32_t>(*present), std::bit_cast<uint32_t>(value));
      std::optional<float> absent = before;
      set_optional(absent, false, value);
      EXPECT_FALSE(absent.has_value());
      EXPECT_EQ(absent, std::nullopt);
    }
  }
}

}  // namespace
}  // namespace korvane
