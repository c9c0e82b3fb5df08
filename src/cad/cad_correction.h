// In-place corrections of the CAD reference image, for callers whose
// arguments are already checked.
#pragma once

#include "boundary/image_view.h"

namespace pcbinspect {

// Repaints with 255 every 4-connected region of label 170 whose skeleton, at
// half resolution, is a line network with at least four ends 50 half pixels
// apart or more.
void correctInvalidLinesIn(GrayView reference);

// Absorbs label-170 pixels into the pads of label 160 (their bounding box)
// and 180 (the measured circle when the pad is round, else its box).
void correctPadsIn(GrayView reference);

}  // namespace pcbinspect
