#include "gpu/launch_shape.h"

#include <cmath>

#include "boundary/numeric.h"

namespace pcbinspect {
namespace {

// width / side rounded up, as whole blocks.
unsigned blocksFor(int extent, int side) {
    int blocks = extent / side;
    if (blocks * side < extent) ++blocks;
    return static_cast<unsigned>(blocks);
}

}  // namespace

bool launchShape(int maxThreadsPerBlock, int width, int height, LaunchShape& shape) {
    if (maxThreadsPerBlock < 1 || width < 1 || height < 1) return false;
    // The side is taken in single precision: 1024 threads give 32 x 32.
    const int side = truncToInt(std::sqrt(static_cast<float>(maxThreadsPerBlock)));
    if (side < 1) return false;
    shape.blockX = shape.blockY = static_cast<unsigned>(side);
    shape.gridX = blocksFor(width, side);
    shape.gridY = blocksFor(height, side);
    return true;
}

}  // namespace pcbinspect
