// In-place corrections of the CAD reference image, for callers whose
// arguments are already checked.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "boundary/image_view.h"

namespace pcbinspect {

// Repaints with 255 every 4-connected region of label 170 whose skeleton, at
// half resolution, is a line network with at least four ends 50 half pixels
// apart or more.
void correctInvalidLinesIn(GrayView reference);

// The same in two steps: the first pixel of each region to repaint, found
// without changing the reference, then the repaints in that order.
using InvalidLineSeeds = std::vector<std::pair<int, int>>;
InvalidLineSeeds findInvalidLineSeeds(GrayView reference);
void repaintInvalidLines(GrayView reference, const InvalidLineSeeds& seeds);

// Absorbs label-170 pixels into the pads of label 160 (their bounding box)
// and 180 (the measured circle when the pad is round, else its box), on up
// to `threads` threads. With one, each pad is measured just before it is
// absorbed; with more, the round pads are measured first, all at once, and a
// pad whose rays would read a pixel absorbed meanwhile is measured again:
// the same result.
void correctPadsIn(GrayView reference, int threads);

// correctInvalidLinesIn, then correctPadsIn, with the same result; on more
// than one thread the pads are found and measured while the line networks
// are.
void correctReferenceIn(GrayView reference, int threads);

}  // namespace pcbinspect
