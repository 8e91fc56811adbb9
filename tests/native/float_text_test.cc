#include "audit/float_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

namespace korvane {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(PositionalFloatTest, NeverUsesAnExponent) {
  EXPECT_EQ(positional_float(1e20f), "100000000000000000000");
  EXPECT_EQ(positional_float(0.0001f), "0.0001");
  EXPECT_EQ(positional_float(1e-5f), "0.00001");
  EXPECT_EQ(positional_float(1e16f), "10000000000000000");
  EXPECT_EQ(positional_float(std::numeric_limits<float>::max()),
            "340282350000000000000000000000000000000");
  EXPECT_EQ(positional_float(std::numeric_limits<float>::denorm_min()),
            "0." + std::string(44, '0') + "1");
}

TEST(PositionalFloatTest, ShortestDigitsAndSigns) {
  EXPECT_EQ(positional_float(0.8f), "0.8");
  EXPECT_EQ(positional_float(1.0f), "1");
  EXPECT_EQ(positional_float(0.0f), "0");
  EXPECT_EQ(positional_float(-0.0f), "-0");
  EXPECT_EQ(positional_float(-2.5f), "-2.5");
  EXPECT_EQ(positional_float(1.0f / 3.0f), "0.33333334");
  EXPECT_EQ(positional_float(1.0f / 63.0f), "0.015873017");
  EXPECT_EQ(positional_float(16777216.0f), "16777216");
  EXPECT_EQ(positional_float(123456.79f), "123456.79");
  EXPECT_EQ(positional_float(0.9f), "0.9");
}

TEST(PositionalFloatTest, NonFinite) {
  EXPECT_EQ(positional_float(std::numeric_limits<float>::quiet_NaN()), "NaN");
  EXPECT_EQ(positional_float(kInf), "inf");
  EXPECT_EQ(positional_float(-kInf), "-inf");
}

TEST(PositionalFloatTest, ReadsBackAsTheSameFloat) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<uint32_t> bits(0, 0x7f7fffff);  // finite, non-negative
  for (int i = 0; i < 20000; ++i) {
    float x;
    const uint32_t b = bits(rng);
    std::memcpy(&x, &b, sizeof x);
    const std::string text = positional_float(x);
    EXPECT_EQ(std::strtof(text.c_str(), nullptr), x) << text;
    EXPECT_EQ(text.find('e'), std::string::npos);
  }
}

TEST(DebugFloatTest, PositionalInTheMiddleRangeExponentOutside) {
  EXPECT_EQ(debug_float(1.0f), "1.0");
  EXPECT_EQ(debug_float(0.5f), "0.5");
  EXPECT_EQ(debug_float(-0.0f), "-0.0");
  EXPECT_EQ(debug_float(0.0f), "0.0");
  EXPECT_EQ(debug_float(0.0001f), "0.0001");
  EXPECT_EQ(debug_float(1e15f), "1000000000000000.0");
  EXPECT_EQ(debug_float(1e-5f), "1e-5");
  EXPECT_EQ(debug_float(1.5e-7f), "1.5e-7");
  EXPECT_EQ(debug_float(-2.5e-9f), "-2.5e-9");
  EXPECT_EQ(debug_float(1e16f), "1e16");
  EXPECT_EQ(debug_float(1e20f), "1e20");
  EXPECT_EQ(debug_float(std::numeric_limits<float>::quiet_NaN()), "NaN");
  EXPECT_EQ(debug_float(kInf), "inf");
  EXPECT_EQ(debug_float(-kInf), "-inf");
}

}  // namespace
}  // namespace korvane
