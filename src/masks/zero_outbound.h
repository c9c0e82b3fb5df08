// Clearing an image window outside a rotated rectangle.
#pragma once

#include <cstdint>

#include "boundary/image_view.h"

namespace pcbinspect {

// The corners of a rectangle of rectWidth x rectHeight centred at
// (centerX, centerY) and turned by `angle` degrees, in the order top-left,
// top-right, bottom-right, bottom-left of the unturned rectangle, each
// truncated toward zero (x0, y0, x1, y1, ...).
void rotatedRectangleCorners(int centerX, int centerY, int rectWidth, int rectHeight, float angle,
                             std::int32_t corners[8]);

// `image` holds the window whose top-left corner lies at (windowX, windowY)
// of the frame the rectangle is given in. When some but not all corners of
// the window (windowX, windowY, windowWidth, windowHeight) lie inside the
// rectangle, every pixel of the image outside the rectangle's inside (its
// outline included) becomes 0. Otherwise the image is left unchanged.
void zeroOutbound(GrayView image, int centerX, int centerY, int rectWidth, int rectHeight,
                  float angle, int windowX, int windowY, int windowWidth, int windowHeight);

}  // namespace pcbinspect
