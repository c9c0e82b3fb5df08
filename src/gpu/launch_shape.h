// The shape of every kernel launch: square blocks as large as the device
// allows, and enough of them to cover the output.
#pragma once

namespace pcbinspect {

struct LaunchShape {
    unsigned gridX = 0, gridY = 0;
    unsigned blockX = 0, blockY = 0;
};

// Blocks of side trunc(sqrtf(maxThreadsPerBlock)) and a grid of
// ceil(width / side) by ceil(height / side) blocks. False when the device
// limit gives no block (a limit below 1) or the output is empty.
bool launchShape(int maxThreadsPerBlock, int width, int height, LaunchShape& shape);

}  // namespace pcbinspect
