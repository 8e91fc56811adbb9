#include "engine/axis_values.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace korvane
