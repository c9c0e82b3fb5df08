// Inside tests and rasterisation of closed polygons given as int (x, y) pairs.
#pragma once

#include <cstdint>

namespace pcbinspect {

// Labels of the rasterising mask.
inline constexpr std::uint8_t kMaskUnlabelled = 0;
inline constexpr std::uint8_t kMaskOutline = 128;
inline constexpr std::uint8_t kMaskInside = 200;
inline constexpr std::uint8_t kMaskOutside = 64;

// True when (x, y) lies inside the closed polygon of `count` points
// (`points` holds x0, y0, x1, y1, ...): the signed angles under which the
// edges are seen from the point add up to a full turn. False when count < 1.
// Points on an edge or a vertex count as inside only if the remaining edges
// still sum to a full turn.
bool PointInPolygon(double x, double y, int count, const std::int32_t* points);

// Writes `value` into `out` at every pixel strictly inside the polygon, its
// one-pixel outline excluded; the other bytes of `out` keep their values.
// `mask` (stride * height bytes) is overwritten with the rasterising labels.
// `scratch` is the 16-bit fill stack with room for width * height (x, y)
// pairs; it may be null, and must be when the image is wider or taller than
// 32767 pixels, and the fill then keeps a growing stack of its own.
// Only the width x height pixels of `mask` and `out` are read or written.
void PolygonMask(std::int16_t* scratch, std::uint8_t* mask, std::uint8_t* out, int width,
                 int stride, int height, const std::int32_t* points, int count,
                 std::uint8_t value);

}  // namespace pcbinspect
