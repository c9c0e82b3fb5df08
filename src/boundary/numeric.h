// Numeric conversions with one defined result for every input.
#pragma once

#include <climits>

namespace pcbinspect {

// Truncates toward zero like a plain (int) cast, but is defined for every
// input: NaN and values outside the int range give INT_MIN, which is what the
// x86 truncating conversion yields. Every float-to-int conversion of a value
// that may be NaN or out of range goes through here. A float argument
// converts to double exactly, so one overload serves both precisions; the
// caller decides the precision of any rounding offset it adds
// (truncToInt(v + 0.5) rounds in double, truncToInt(v + 0.5f) in float).
constexpr int truncToInt(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT_MIN;
    return static_cast<int>(v);
}

}  // namespace pcbinspect
