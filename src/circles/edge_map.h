// Thin binary edge maps for the circle detector.
#pragma once

#include <cstdint>
#include <vector>

namespace pcbinspect {

// Marks the edge pixels of the compact 8-bit image `source` (stride equal to
// width) in `edges` (width x height bytes): 1 at an edge, 0 elsewhere.
// A 2 x 2 gradient gives magnitude and one of eight direction sectors; pixels
// that are not a maximum across the edge are suppressed; chains are then
// followed from pixels above `highThreshold` through pixels above 0.4 times
// it. Returns the number of edge pixels.
int EdgeMap(const std::uint8_t* source, std::uint8_t* edges, int width, int height,
            int highThreshold);

// The direction sector 0..7 of a gradient (gx, gy), sectors 45 degrees wide
// and centred on the axes and diagonals, sector 4 on +x and 6 on +y (image
// rows down), from its angle with pi taken as 3.14159; gradientSector gives
// the same for every gradient of 8-bit pixels (components within +-255)
// without an arctangent away from the boundaries.
int gradientSectorByAngle(int gx, int gy);
int gradientSector(int gx, int gy);

// The magnitude of the 2 x 2 gradient of a cell of pixels top-left,
// top-right, bottom-left and bottom-right: with d1 = bottomRight - topLeft
// and d2 = topRight - bottomLeft, |gx| + |gy| for gx = (d1 + d2) / 2 and
// gy = (d1 - d2) / 2 truncated, at most 255. That is the larger of |d1| and
// |d2|, one less when d1 + d2 is odd (both halves then lose a half).
inline std::uint8_t gradientMagnitude(std::uint8_t topLeft, std::uint8_t topRight, std::uint8_t bottomLeft,
                                      std::uint8_t bottomRight) {
    const std::uint8_t a1 = static_cast<std::uint8_t>(bottomRight > topLeft ? bottomRight - topLeft : topLeft - bottomRight);
    const std::uint8_t a2 = static_cast<std::uint8_t>(topRight > bottomLeft ? topRight - bottomLeft : bottomLeft - topRight);
    const std::uint8_t odd = static_cast<std::uint8_t>((topLeft ^ topRight ^ bottomLeft ^ bottomRight) & 1);
    return static_cast<std::uint8_t>((a1 > a2 ? a1 : a2) - odd);
}

// The state EdgeMap leaves at a pixel on a chain.
constexpr std::uint8_t kEdgeOnChain = 4;
// EdgeMap's chains without the final map: `states` (width x height bytes)
// holds kEdgeOnChain at the edge pixels and smaller values elsewhere, and
// each edge pixel's x, y is appended to `chain` (unless null) in the order
// the chains reach them. Returns the number of edge pixels.
int followEdgeChains(const std::uint8_t* source, std::uint8_t* states, int width, int height,
                     int highThreshold, std::vector<std::int32_t>* chain);

}  // namespace pcbinspect
