// Edge points along a fan of rays from a presumed centre, and the circle
// measurements built on them.
#pragma once

#include <cstdint>

#include "imaging/circle_fit.h"
#include "imaging/point.h"

namespace pcbinspect {

// Polarity of the step searched along a ray: brighter beyond the edge
// (positive), darker (negative), or either (zero).
enum class Polarity : int { kNegative = -1, kEither = 0, kPositive = 1 };

// A fan of n rays from (cx, cy) between the radii r (inner) and R (outer),
// spread evenly over the angles a0..a1 (degrees), sampled from r outward or
// from R inward. An edge is where the mean of `window` samples steps by more
// than `threshold` per sample.
struct RayFan {
    int cx = 0, cy = 0;
    int outerRadius = 0, innerRadius = 0;
    float startAngle = 0.0f, endAngle = 0.0f;
    bool outward = false;
    int polarity = 1;
    int threshold = 0;
    int rays = 0;
    int window = 0;
};

// A fan of `rays` rays around (cx, cy), by default over the full turn.
inline RayFan rayFan(int cx, int cy, int outer, int inner, bool outward, int polarity,
                     int threshold, int rays, int window, float startAngle = -180.0f,
                     float endAngle = 180.0f) {
    RayFan f;
    f.cx = cx;
    f.cy = cy;
    f.outerRadius = outer;
    f.innerRadius = inner;
    f.startAngle = startAngle;
    f.endAngle = endAngle;
    f.outward = outward;
    f.polarity = polarity;
    f.threshold = threshold;
    f.rays = rays;
    f.window = window;
    return f;
}

// One edge point per ray into out[0..rays-1], (-FLT_MAX, -FLT_MAX) for a ray
// without edge, sampling bilinearly. False (nothing written) when the ring
// is thinner than 3 pixels or the image is empty; an image narrower or lower
// than 2 pixels has no 2 x 2 cell to sample and yields no edge points.
bool RadialEdgePoints(const std::uint8_t* image, int width, int stride, int height,
                      const RayFan& fan, PointF* out);

// As RadialEdgePoints with 2^exponent samples per pixel (exponent clamped to
// 0..5; bicubic above 1) and a choice of where on the step the edge lies:
// stopMode < 0 at the first sample past the threshold, 0 once the response
// has peaked, > 0 once the step falls back below the threshold.
bool RadialEdgePointsFine(const std::uint8_t* image, int width, int stride, int height,
                          const RayFan& fan, int stopMode, int exponent, PointF* out);

// Edge points of the fan, outliers rejected, and the circle fitted to the
// rest. False when the fan is invalid or fewer than 3 points remain (then
// the circle is not written). `points` receives the raw edge points.
bool MeasureCircle(const std::uint8_t* image, int width, int stride, int height,
                   const RayFan& fan, Circle* circle, PointF* points);

// As MeasureCircle with the fine sampler; rays form groups of groupSize and
// a group with any ray without edge is dropped whole. `points` is rewritten
// as the kept points followed by absent entries.
bool MeasureCircleGrouped(const std::uint8_t* image, int width, int stride, int height,
                          const RayFan& fan, int groupSize, Circle* circle, PointF* points,
                          int stopMode, int exponent);

}  // namespace pcbinspect
