// Device kernels of the clarity measure: one thread per zoomed pixel, each
// doing the pixel's work through the function its CPU loop also calls.
#include <cuda_runtime.h>

#include "gpu/clarity_pixels.h"
#include "gpu/kernel_launch.h"

namespace Qarn {

__global__ void ZoomGrayBlock(const std::uint8_t* src, int width, int height, std::uint8_t* dst,
                              int zw, int zh) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    pcbinspect::zoomGrayPixel(pcbinspect::ZoomGrayArgs{src, width, width, height, dst, zw, zh},
                              x, y);
}

__global__ void cleanGrayBlock(std::uint8_t* image, const std::uint8_t* untouched, int zw,
                               int zh, int radius, int threshold) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    pcbinspect::cleanGrayPixel(
        pcbinspect::CleanGrayArgs{untouched, image, zw, zh, radius, threshold}, x, y);
}

__global__ void countClarityBlock(const std::uint8_t* image, unsigned long long* sum, int zw,
                                  int zh) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    unsigned long long term = 0;
    if (pcbinspect::clarityTerm(image, zw, zh, x, y, &term)) atomicAdd(sum, term);
}

}  // namespace Qarn

namespace pcbinspect {
namespace {

dim3 gridOf(const LaunchShape& s) { return dim3(s.gridX, s.gridY, 1); }
dim3 blockOf(const LaunchShape& s) { return dim3(s.blockX, s.blockY, 1); }

}  // namespace

DeviceStatus launchZoomGrayBlock(const LaunchShape& shape, const ZoomGrayArgs& a) {
    Qarn::ZoomGrayBlock<<<gridOf(shape), blockOf(shape), 0, 0>>>(a.src, a.width, a.height, a.dst,
                                                                  a.zw, a.zh);
    return static_cast<DeviceStatus>(cudaGetLastError());
}

DeviceStatus launchCleanGrayBlock(const LaunchShape& shape, const CleanGrayArgs& a) {
    Qarn::cleanGrayBlock<<<gridOf(shape), blockOf(shape), 0, 0>>>(a.image, a.untouched, a.zw,
                                                                   a.zh, a.radius, a.threshold);
    return static_cast<DeviceStatus>(cudaGetLastError());
}

DeviceStatus launchCountClarityBlock(const LaunchShape& shape, const std::uint8_t* image,
                                     unsigned long long* sum, int zw, int zh) {
    Qarn::countClarityBlock<<<gridOf(shape), blockOf(shape), 0, 0>>>(image, sum, zw, zh);
    return static_cast<DeviceStatus>(cudaGetLastError());
}

}  // namespace pcbinspect
