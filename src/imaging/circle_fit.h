// Circle fitting and the rejection of edge points that do not belong to the
// circle, with the small helpers they share.
#pragma once

#include <cstdint>

#include "imaging/point.h"

namespace pcbinspect {

// A fitted circle: centre and radius.
struct Circle {
    float x = 0.0f, y = 0.0f, radius = 0.0f;
};

// Centre of the circle through three points; false (nothing written) when the
// points are collinear.
bool Circumcentre(float x1, float y1, float x2, float y2, float x3, float y3, float* cx,
                  float* cy);

// Algebraic least-squares fit of x^2 + y^2 + A x + B y + C = 0. Fewer than
// three points give centre (0, 0) and radius 0; collinear points give
// non-finite values. The points are centred in place and restored.
void FitCircle(PointF* points, int count, float* cx, float* cy, float* radius);

// How well the valid points (both coordinates at least -2^31) follow a
// circle: the mean absolute radial residual after removing, one at a time and
// at most maxRemovals times, the worst point while it lies more than 3 pixels
// off. FLT_MAX when fewer than five points, or fewer than a third of the
// count, are valid.
float CircleFitResidual(const PointF* points, int count, int maxRemovals);

// Removes up to maxRemove points that lie farthest from the radius of the
// dominant circle (centre found by voting over circumcentres of point
// triples), then drops every point with a negative coordinate. The order of
// the remaining points is not kept; *count is updated.
void RejectCircleOutliers(PointF* points, int* count, int maxRemove);

// Gaussian smoothing of a 16-bit image in place (stride in bytes), sigma
// capped at 40; edges repeat the first and last samples.
void SmoothGray16(std::uint16_t* image, int width, int strideBytes, int height, double sigma);

// Number of points whose coordinates both truncate to an integer >= 0.
int CountValidPoints(const PointF* points, int count);

// True when all three values of the circle are finite.
bool isFinite(const Circle& c);

}  // namespace pcbinspect
