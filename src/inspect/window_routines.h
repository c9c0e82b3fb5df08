// Window routines of the patch classification that the inspection driver
// and the re-check stages use as well.
#pragma once

#include <cstddef>
#include <cstdint>

#include "boundary/image_view.h"

namespace pcbinspect {

// Clears the my top and bottom rows and the mx left and right columns of a
// size x size window (stride size). Counts of 0 or less clear nothing.
void ClearMargins(std::uint8_t* window, int size, int mx, int my);

// One erosion step: every set pixel off the outer frame with a zero
// 4-neighbour is cleared (decided on the unchanged window). Pixels holding 1
// on entry are cleared as well, since the step marks with 1.
void ErodeOnce(GrayView window);

// Corrects the width values of a thickness map where the skeleton runs at an
// angle: a value v whose line leaves its 11 x 11 frame at more than 10
// degrees off the axes becomes trunc(cos(angle) v + 0.5), the width across
// the line rather than along an axis.
void CorrectLineDirection(GrayView map);

// One pixel of a difference map: `*d` becomes 255 where the camera value
// exceeds the reference's by 86 or more (excess), 128 where it falls short
// by 86 or more (missing); such a pixel lying on the reference's outline (a
// set reference pixel with a zero 4-neighbour, or a zero one with a set
// 4-neighbour) also sets `*outline`. `ref` points at the reference pixel, its
// 4-neighbours `stride` bytes away. Returns whether the pixel differs.
inline bool markDifference(int camera, const std::uint8_t* ref, std::ptrdiff_t stride,
                           std::uint8_t* d, std::uint8_t* outline) {
    const int g = camera - *ref;
    if (g >= 86)
        *d = 255;
    else if (g <= -86)
        *d = 128;
    else
        return false;
    const bool edge = *ref != 0
                          ? (ref[stride] == 0 || ref[-1] == 0 || ref[1] == 0 || ref[-stride] == 0)
                          : (ref[stride] != 0 || ref[-1] != 0 || ref[1] != 0 || ref[-stride] != 0);
    if (edge) *outline = 255;
    return true;
}

// A measure of ExcessMissing: the largest distance from the chosen region's
// pixels to the reference outline, and the first pixel at that distance.
struct DifferenceMeasure {
    float value = 0.0f;
    int x = -1, y = -1;
};

struct ExcessMissingResult {
    DifferenceMeasure excess, missing;
};

// On an n x n difference map D (255 excess, 128 missing) and outline map O:
// takes the largest excess and missing regions met within 20 pixels of the
// centre and measures how far each reaches from the reference outline,
// ignoring a band of b + margin pixels at the window's edges (b = 20 above
// n = 120, else 10). Rewrites D and O.
ExcessMissingResult ExcessMissing(std::uint8_t* d, std::uint8_t* o, int n, int mx, int my);

}  // namespace pcbinspect
