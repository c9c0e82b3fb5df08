// Polygon masks at one third of the image resolution.
#pragma once

#include <cstdint>

#include "boundary/image_view.h"
#include "masks/affine.h"

namespace pcbinspect {

// Polygons packed one after another: `counts[i]` points of polygon i, each
// point an (x, y) int pair in `points`. Polygons with a count of 0 or below
// take no points and are skipped.
struct PolygonSet {
    const std::int32_t* points = nullptr;
    const std::int32_t* counts = nullptr;
    int count = 0;
};

// The map from board coordinates, already divided by 3, into the reduced
// image of w3 x h3 pixels: shift by (offsetX, offsetY) / -3, rotate by
// -angle degrees (radians formed in single precision), then move the origin
// to the reduced image's centre.
Affine3 boardToReducedImage(int w3, int h3, float offsetX, float offsetY, float angle);

// Turns `image` in place into a 0/255 mask: every 3 x 3 block is thresholded
// at a mean of 128, the insides of the erase polygons are cleared and then
// those of the paint polygons set, and the reduced result is replicated back
// to full resolution (the last one or two columns and rows copy the last
// reduced ones). Images narrower or shorter than 3 pixels are left unchanged.
// The polygon sets must have been checked: non-null counts where count > 0
// and non-null points where some count is positive.
void maskGray(GrayView image, const PolygonSet& erase, const PolygonSet& paint, float offsetX,
              float offsetY, float angle);

}  // namespace pcbinspect
