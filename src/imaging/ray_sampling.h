// Sampling along rays and the search for a brightness step on them, shared
// by the ray fans around circles and the rakes across lines.
//
// Everything here works in single precision: sample coordinates and
// interpolation weights.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/point.h"

namespace pcbinspect {

// Coordinates of bilinear samples are raised to at least this.
inline constexpr float kLowestCoordinate = 1.1920929e-7f;
// A point list entry with both coordinates below this holds no point.
inline constexpr float kNoPointBelow = -2147483648.0f;

inline bool isAbsent(const PointF& p) { return p.x < kNoPointBelow && p.y < kNoPointBelow; }

// Index and fraction of a coordinate that is at least kLowestCoordinate;
// coordinates beyond the int range report `limit`, past the image.
void splitCoordinate(float v, int limit, int& index, float& fraction);

// Bilinear value of the 2 x 2 cell at (ix, iy) with fractions (fx, fy),
// truncated to 8 bits.
std::uint8_t bilinearSample(const std::uint8_t* image, std::ptrdiff_t stride, int ix, int iy,
                            float fx, float fy);

// Bicubic value at (x, y) (cubic convolution, a = -0.5), truncated and
// clamped to 0..255; (x, y) must lie at least 2 pixels inside the image.
std::uint8_t bicubicSample(const std::uint8_t* image, std::ptrdiff_t stride, float x, float y);

// The sample at (x, y) for an oversampling factor f: bilinear for f = 1
// (coordinates raised to kLowestCoordinate), bicubic above. A position whose
// cell does not lie inside the image (for f = 1 its integer coordinates
// beyond size - 2; for f > 1 within 2 pixels of an edge) repeats `previous`,
// the sample stored just before it. Returns the new sample.
std::uint8_t oversampledSample(const std::uint8_t* image, int width, std::ptrdiff_t stride,
                               int height, float x, float y, int f, std::uint8_t previous);

// Walks two adjacent windows of w samples along one ray of `samples`
// samples and returns the position p of the step, or -1. The response is the
// later window's sum minus the earlier one's (polarity > 0), the reverse
// (< 0) or their absolute difference (0); the ray is found at the first
// response above t. stopMode < 0 stops there, 0 once the peak response
// exceeds the current absolute difference, > 0 once that difference falls
// below t.
int findEdgeOnRay(const std::uint8_t* s, int samples, int w, std::int64_t t, int polarity,
                  int stopMode);

// Rays form consecutive groups of g (the last one shorter); a group with an
// absent point loses all its points.
void dropIncompleteGroups(PointF* points, int n, int g);

}  // namespace pcbinspect
