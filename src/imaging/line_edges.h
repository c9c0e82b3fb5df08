// Edge points along a rake of parallel rays, the straight edge fitted to
// them, and how well points follow a straight line.
#pragma once

#include <cstdint>

#include "imaging/point.h"

namespace pcbinspect {

// n parallel rays across a rectangle centred on (cx, cy): rays run along the
// angle (degrees) over the half-length L and are spread over the half-width
// H across it. An edge is where the mean of `window` samples steps by more
// than `threshold` per sample, placed by the stop mode as on ray fans;
// 2^exponent samples per pixel (exponent clamped to 0..5).
struct Rake {
    int halfLength = 0, halfWidth = 0;
    int cx = 0, cy = 0;
    float angle = 0.0f;
    int rays = 0;
    int window = 0;
    int threshold = 0;
    int polarity = 1;
    int stopMode = 0;
    int exponent = 0;
};

// One edge point per ray into out[0..rays-1], absent where a ray found none.
// False, with every entry absent, on bad geometry.
bool RakeEdgePoints(const std::uint8_t* image, int width, int stride, int height,
                    const Rake& rake, PointF* out);

// A straight edge segment from the rake's points: groups of groupSize rays
// with a missing point are dropped, stray points (more than 3 pixels off)
// rejected, and the ends are the first and last points projected onto the
// fitted line. `points` is rewritten as the kept points followed by absent
// entries. False (segment not written) when fewer than two points remain.
bool MeasureLine(const std::uint8_t* image, int width, int stride, int height, const Rake& rake,
                 int groupSize, float* x0, float* y0, float* x1, float* y1, PointF* points);

// Mean distance of the present points from their fitted line after removing,
// one at a time and at most maxRemovals times, the farthest while it lies
// more than 3 pixels off. FLT_MAX when fewer than five points, or fewer than
// a third of the count, are present.
float LineFitResidual(const PointF* points, int count, int maxRemovals);

}  // namespace pcbinspect
