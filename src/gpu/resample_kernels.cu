// Device kernels of the geometric resampling: one thread per destination
// pixel, each doing the pixel's work through the function its CPU loop also
// calls.
#include <cuda_runtime.h>

#include "gpu/kernel_launch.h"
#include "gpu/resample_pixels.h"

namespace Qarn {

// The window centre arrives as whole pixels; s and c are computed on the host.
__global__ void getSubGray8Block(const std::uint8_t* src, int srcW, int srcStride, int srcH,
                                 std::uint8_t* dst, int dstW, int dstStride, int dstH, int cx,
                                 int cy, float s, float c) {
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int j = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    pcbinspect::subGrayPixel(
        pcbinspect::SubGrayArgs{src, srcW, srcStride, srcH, dst, dstW, dstStride, dstH,
                                static_cast<float>(cx), static_cast<float>(cy), s, c},
        i, j);
}

// One thread per output pixel, doing its three channels.
__global__ void CUDA_skewVerticalBlockDIB(const std::uint8_t* src, int width, int stride,
                                          int height, int firstRow, std::uint8_t* dst,
                                          int dstWidth, int dstStride, int rows, float k) {
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int r = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= dstWidth) return;
    pcbinspect::skewDibPixel(
        pcbinspect::SkewDibArgs{src, width, stride, height, firstRow, dst, dstStride, rows, k}, x,
        r);
}

}  // namespace Qarn

namespace pcbinspect {

DeviceStatus launchGetSubGray8Block(const LaunchShape& shape, const SubGrayArgs& a) {
    // The kernel takes the centre as integers; callers pass whole values.
    Qarn::getSubGray8Block<<<dim3(shape.gridX, shape.gridY, 1),
                             dim3(shape.blockX, shape.blockY, 1), 0, 0>>>(
        a.src, a.srcW, a.srcStride, a.srcH, a.dst, a.dstW, a.dstStride, a.dstH,
        truncToInt(a.cx), truncToInt(a.cy), a.s, a.c);
    return static_cast<DeviceStatus>(cudaGetLastError());
}

DeviceStatus launchSkewVerticalBlockDIB(const LaunchShape& shape, const SkewDibArgs& a) {
    Qarn::CUDA_skewVerticalBlockDIB<<<dim3(shape.gridX, shape.gridY, 1),
                                      dim3(shape.blockX, shape.blockY, 1), 0, 0>>>(
        a.src, a.width, a.srcStride, a.height, a.firstRow, a.dst, a.width, a.dstStride, a.rows,
        a.k);
    return static_cast<DeviceStatus>(cudaGetLastError());
}

}  // namespace pcbinspect
