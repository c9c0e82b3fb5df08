// Straight-line fits and the straightness test of a set of pixels.
#pragma once

#include <cstdint>

#include "imaging/point.h"

namespace pcbinspect {

// The slope returned for a fit whose run is zero: 2^23.
inline constexpr double kVerticalSlope = 8388608.0;

// Least-squares line y = a * x + b through `count` points, sums in double
// precision. When the points spread more in y than in x the fit runs with the
// axes exchanged and is converted back (a = 1 / a', or 2^23 for a flat a');
// the points are exchanged in place for that fit and restored. Fewer than two
// points give a = b = 0; points without spread in x give a = 2^23, b = 0.
void FitLine(int count, PointF* points, double* a, double* b);

// Distance from P to the line through A and B, found as the intersection of
// that line with the perpendicular through P; FLT_MAX when A equals B.
float PointLineDistance(PointF a, PointF b, PointF p);

// True when the set pixels of the n x n image (stride n) around (px, py) fail
// to form a straight line: fewer than five of them within 20 pixels, or one
// of the first forty lying more than 2 pixels off the line fitted to them.
bool IsNotStraight(const std::uint8_t* image, int n, int px, int py);

}  // namespace pcbinspect
