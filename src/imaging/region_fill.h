// 4-connected flood fill: repaints the region of pixels that share the seed's
// value, counts it and, optionally, boxes it.
#pragma once

#include <cstdint>
#include <vector>

#include "boundary/image_view.h"

namespace pcbinspect {

// Fills the 4-connected region of (x, y) in an 8-bit image with newValue and
// returns the number of pixels repainted; 0, with nothing touched, when the
// seed already holds newValue or the image is empty. The seed must lie inside
// the image. `stack` is the caller's work area of 16-bit (x, y) pairs with
// room for width * height pairs; coordinates are 16-bit, so the image may be
// at most 32767 pixels wide and high (whole images use RegionFillLarge).
// `box`, when not null, receives bottom, top, left, right, in that order.
// The region is filled a row span at a time (point by point, below, left,
// right, above, depth first, on images beyond 32767 pixels); the pixels
// painted, the count and the box do not depend on the order.
int RegionFill(std::int16_t* stack, std::uint8_t* image, int width, int stride, int height,
               int x, int y, std::uint32_t newValue, int* box);

// RegionFill on an image of 16-bit values; the stride counts 16-bit elements.
int RegionFill16(std::int16_t* stack, std::uint16_t* image, int width, int stride, int height,
                 int x, int y, std::uint32_t newValue, int* box);

// The same fill for whole images of any size: 32-bit coordinates and a work
// stack of its own that grows by half whenever it is full. It paints the
// same pixels as RegionFill and reports the same box. Returns the count in
// 64 bits (a region may hold more than 2^31 pixels).
std::int64_t RegionFillLarge(std::uint8_t* image, int width, int stride, int height, int x, int y,
                             std::uint32_t newValue, int* box);

// RegionFillLarge on an image of 16-bit values (stride in 16-bit elements),
// the whole-image twin of RegionFill16.
std::int64_t RegionFillLarge16(std::uint16_t* image, int width, int stride, int height, int x,
                               int y, std::uint32_t newValue, int* box);

// RegionFillLarge without the box, with `stack` the caller's work list,
// reused across fills so that many fills allocate once. Returns the number
// of pixels repainted (0 when the seed already holds newValue).
std::int64_t SpanFill(std::vector<std::int32_t>& stack, std::uint8_t* image, int width,
                      int stride, int height, int x, int y, std::uint8_t newValue);

}  // namespace pcbinspect
