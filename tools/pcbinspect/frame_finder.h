// Finding a camera frame on a reference much larger than it (a whole board):
// a coarse registration of the two copper maps at reduced scale, refined at a
// finer scale, that tells the search where to cut the reference window it
// aligns the frame in.
#pragma once

#include <vector>

#include "image_io.h"

namespace pcbinspect::tool {

// Where a frame's top-left corner may lie in the reference, with the
// normalised correlation of the two copper maps there (-1 to 1).
struct FrameGuess {
    int x = 0, y = 0;
    double correlation = 0.0;
};

// The part of the reference the registration may consider: the frame's
// top-left corner within [x0, x1] × [y0, y1] (reference pixels; corners
// outside the reference are allowed, the reference reads as bare board
// there).
struct FrameRange {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// Up to `count` places of the frame, best first by their correlation at a
// finer scale, each refined to within a few pixels: the coarse scale's peaks
// near its best (a repeated layout has many) are all refined first. `copper` is the reference as copper (non-zero) and bare board
// (0), `camera` the frame the same way. Places closer than half the frame's
// smaller side to a better one are left out.
std::vector<FrameGuess> findFrame(const Image& copper, const Image& camera,
                                  const FrameRange& range, int count);

}  // namespace pcbinspect::tool
