// Thin binary edge maps for the circle detector.
#pragma once

#include <cstdint>

namespace pcbinspect {

// Marks the edge pixels of the compact 8-bit image `source` (stride equal to
// width) in `edges` (width x height bytes): 1 at an edge, 0 elsewhere.
// A 2 x 2 gradient gives magnitude and one of eight direction sectors; pixels
// that are not a maximum across the edge are suppressed; chains are then
// followed from pixels above `highThreshold` through pixels above 0.4 times
// it. Returns the number of edge pixels.
int EdgeMap(const std::uint8_t* source, std::uint8_t* edges, int width, int height,
            int highThreshold);

}  // namespace pcbinspect
