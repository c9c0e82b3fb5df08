// Whole-window filters shared by the inspection and the search: the shift of
// a window's content and separable box means.
#pragma once

#include <cstdint>

#include "boundary/image_view.h"

namespace pcbinspect {

// Moves the content of the image by (dx, dy): each pixel takes the bilinear
// value at (x - dx, y - dy) when that position, truncated toward zero, lies
// inside, else `fill`. Whole-pixel shifts move the content exactly.
void shiftWindow(GrayView image, float dx, float dy, std::uint8_t fill);

// Separable box mean of radius r with edge repetition, in place; three
// rounds of both passes. The radius is truncated; below 1 nothing is done.
void boxSmooth(GrayView image, float radius);

// One round of the separable box mean of integer radius r, in place; below
// 1 nothing is done. Temporary memory is allocated once per call.
void boxBlurGray(std::uint8_t* image, int width, int stride, int height, int radius);

// Rows [firstRow, endRow) of boxBlurGray's result for the image src, written
// to the same rows of dst (another image of the same size): src is only
// read, so row ranges may be made apart, on any threads, in any order.
void boxBlurGrayRows(const std::uint8_t* src, int srcStride, std::uint8_t* dst, int dstStride,
                     int width, int height, int radius, int firstRow, int endRow);

}  // namespace pcbinspect
