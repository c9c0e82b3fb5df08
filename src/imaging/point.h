// Single-precision points, as the measures pass them around.
#pragma once

#include <cfloat>

namespace pcbinspect {

struct PointF {
    float x = 0.0f, y = 0.0f;
};

// The "absent" point of a point list.
inline constexpr PointF kAbsentPoint{-FLT_MAX, -FLT_MAX};

}  // namespace pcbinspect
