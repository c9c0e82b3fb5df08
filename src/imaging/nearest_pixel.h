// Nearest set pixel of a square working image, and the choice of the point
// of a window whose nearest measurement is smallest.
#pragma once

#include <cstdint>

namespace pcbinspect {

// Finds the non-zero pixel of the n x n image (stride n) nearest to (px, py)
// and returns a local mean of the values around it: the mean of the non-zero
// values of its 3 x 3 block, sum / (count + 0.01), or its own value when it
// lies on the image's outer ring. Of equally near pixels the first in
// column-major order wins. outX, outY receive its position, or -1 and -1 (and
// the result is 0) when the image holds no set pixel.
float NearestSetPixel(const std::uint8_t* image, int n, int px, int py, int* outX, int* outY);

// The set pixel of the n x n image (stride n) nearest to (px, py) by squared
// distance; of equally near ones the first in column-major order. False,
// with x and y left as they are, when no pixel is set.
bool NearestByColumns(const std::uint8_t* image, int n, int px, int py, int* x, int* y);

// Moves (x, y) within the square of radius r to the point whose
// NearestSetPixel value in the 240 x 240 `values` image is smallest, among the
// points inside 0..239 where the 240 x 240 `mask` is set. The first point
// considered (dx outermost, then dy, both from -r) is taken, and a later one
// replaces it only when its value is strictly below the best value, which is
// kept truncated to an integer. Returns that best value, or -1 with x and y
// unchanged when no point was considered.
int BestNearestInWindow(const std::uint8_t* mask, const std::uint8_t* values, int* x, int* y,
                        int r);

}  // namespace pcbinspect
