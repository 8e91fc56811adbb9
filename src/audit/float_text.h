// Shortest round-trip decimal texts of 32-bit floats: the digits are the fewest that read
// back as the same float (closest to the exact value among equally short ones).
#pragma once

#include <string>

namespace korvane {

// Positional notation, never an exponent: "1", "0.8", "0.0001", "-0",
// "100000000000000000000"; non-finite values as "NaN", "inf", "-inf".
std::string positional_float(float x);

// Positional with ".0" on whole numbers ("1.0", "0.5", "-0.0") for magnitudes in
// [1e-4, 1e16) and for zero; exponent form otherwise ("1e-5", "1.5e-7", "1e16"); "NaN",
// "inf", "-inf".
std::string debug_float(float x);

}  // namespace korvane
