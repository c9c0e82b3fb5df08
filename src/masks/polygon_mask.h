// Inside tests and rasterisation of closed polygons given as int (x, y) pairs.
#pragma once

#include <cstdint>
#include <vector>

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
// `stack` is the fills' work list, kept by the caller across polygons.
// Only the width x height pixels of `mask` and `out` are read or written.
void PolygonMask(std::vector<std::int32_t>& stack, std::uint8_t* mask, std::uint8_t* out, int width,
                 int stride, int height, const std::int32_t* points, int count,
                 std::uint8_t value);

// Inclusive pixel rectangle.
struct PixelArea {
    int left, top, right, bottom;
};

// PolygonMask of the image of `imageWidth` x `imageHeight` confined to
// `area`: `mask` and `out` point at the image's origin, and only the pixels
// of `area` are read or written (all of `out` when no edge reaches the
// image and the polygon covers it). The outline is drawn and the regions it
// leaves are labelled inside the area, each by its first pixel in image
// coordinates. When the area is the box of the vertices widened by two pixels
// on each side and clipped to the image, the result equals the whole-image
// rasterisation: truncation keeps the outline within one pixel of that box,
// so the area's outermost rows and columns inside the image carry no outline,
// lie outside the polygon, and join each region to the same outside pixels
// and in the same raster order as the rest of the image would.
void PolygonMaskIn(std::vector<std::int32_t>& stack, std::uint8_t* mask, std::uint8_t* out,
                   int imageWidth, int stride, int imageHeight, const PixelArea& area,
                   const std::int32_t* points, int count, std::uint8_t value);
}  // namespace pcbinspect
