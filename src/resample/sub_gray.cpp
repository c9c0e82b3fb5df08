#include "resample/sub_gray.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "boundary/gray_copy.h"
#include "boundary/numeric.h"
#include "boundary/parallel.h"
#include "gpu/cuda_env.h"
#include "gpu/device_runtime.h"
#include "gpu/launch_shape.h"
#include "gpu/resample_pixels.h"
#include "pcbinspect/exports.h"

namespace pcbinspect {
namespace {

// Rotations below this many degrees are treated as none.
constexpr double kMinAngle = 0.001;

// Bytes from the first pixel of an image to just past its last pixel.
std::size_t imageSpan(int rowBytes, int stride, int height) {
    return static_cast<std::size_t>(height - 1) * static_cast<std::size_t>(stride) +
           static_cast<std::size_t>(rowBytes);
}

// Runs row(j) for every window row, in bands of rows over the worker
// threads; rows are independent, so the result does not depend on how many.
template <class Row>
void forEachRow(int rows, const Row& row) {
    parallelRows(rows, 32, [&](int first, int end) {
        for (int j = first; j < end; ++j) row(j);
    });
}

// Pixels of a window row handled together: positions first, then the
// source pixels (the only part that cannot run in vector lanes), then the
// mix, each a loop over the chunk.
constexpr int kChunk = 256;

// Source positions of window pixels i0 .. i0 + n - 1 of row j.
void chunkPositions(const SubGrayArgs& a, int j, int i0, int n, float* sx, float* sy) {
    for (int t = 0; t < n; ++t)
        windowSamplePosition(i0 + t, j, a.dstW, a.dstH, a.cx, a.cy, a.s, a.c, sx[t], sy[t]);
}

// One window row, pixel for pixel the values of subGrayPixel. The
// arguments are copied first: byte stores may alias anything, and would make
// every loop reload them.
void sampleRow(const SubGrayArgs& args, int j) {
    const SubGrayArgs a = args;
    float sx[kChunk], sy[kChunk], fx[kChunk], fy[kChunk];
    float tl[kChunk], bl[kChunk], tr[kChunk], br[kChunk];
    bool ok[kChunk];
    std::uint8_t value[kChunk];
    std::uint8_t* dst = a.dst + static_cast<std::ptrdiff_t>(j) * a.dstStride;
    for (int i0 = 0; i0 < a.dstW; i0 += kChunk) {
        const int n = std::min(kChunk, a.dstW - i0);
        chunkPositions(a, j, i0, n, sx, sy);
        for (int t = 0; t < n; ++t) {
            const int ix = truncToInt(sx[t]), iy = truncToInt(sy[t]);
            ok[t] = ix >= 0 && iy >= 0 && ix < a.srcW - 1 && iy < a.srcH - 1;
            if (!ok[t]) {
                fx[t] = fy[t] = tl[t] = bl[t] = tr[t] = br[t] = 0.0f;
                continue;
            }
            fx[t] = sx[t] - static_cast<float>(ix);
            fy[t] = sy[t] - static_cast<float>(iy);
            const std::uint8_t* top = a.src + static_cast<std::ptrdiff_t>(iy) * a.srcStride + ix;
            tl[t] = top[0];
            tr[t] = top[1];
            bl[t] = top[a.srcStride];
            br[t] = top[a.srcStride + 1];
        }
        for (int t = 0; t < n; ++t) value[t] = bilinearMix(tl[t], bl[t], tr[t], br[t], fx[t], fy[t]);
        for (int t = 0; t < n; ++t)
            if (ok[t]) dst[i0 + t] = value[t];
    }
}

// One window row sampled at the nearest pixels: positions in a loop of
// their own, then the copies.
void nearestRow(const SubGrayArgs& args, int j) {
    const SubGrayArgs a = args;
    float sx[kChunk], sy[kChunk];
    std::uint8_t* dst = a.dst + static_cast<std::ptrdiff_t>(j) * a.dstStride;
    for (int i0 = 0; i0 < a.dstW; i0 += kChunk) {
        const int n = std::min(kChunk, a.dstW - i0);
        chunkPositions(a, j, i0, n, sx, sy);
        for (int t = 0; t < n; ++t) {
            // Half added and truncated toward zero: (-1.5, 0.5) maps to 0.
            const int ix = truncToInt(static_cast<double>(sx[t]) + 0.5);
            const int iy = truncToInt(static_cast<double>(sy[t]) + 0.5);
            if (ix >= 0 && iy >= 0 && ix < a.srcW - 1 && iy < a.srcH - 1)
                dst[i0 + t] = a.src[static_cast<std::ptrdiff_t>(iy) * a.srcStride + ix];
        }
    }
}

void sampleWindow(const SubGrayArgs& args) {
    forEachRow(args.dstH, [&](int j) { sampleRow(args, j); });
}

}  // namespace

void rotationOf(float angle, float& s, float& c) {
    const float theta = angle / 180.0f * 3.1415925f;
    s = std::sin(theta);
    c = std::cos(theta);
}

bool resampleGrayOnDevice(const std::uint8_t* src, int srcW, int srcStride, int srcH,
                          std::uint8_t* dst, int dstW, int dstStride, int dstH, int cx, int cy,
                          float angle) {
    if (srcW < 1 || srcH < 1 || dstW < 1 || dstH < 1) return false;
    CudaEnv* env = getCudaEnv();
    if (!cudaEnvCreated(env)) return false;
    LaunchShape shape;
    if (!launchShape(cudaEnvMaxThreadsPerBlock(env), dstW, dstH, shape)) return false;
    float s = 0.0f, c = 1.0f;
    if (std::fabs(angle) > kMinAngle) rotationOf(angle, s, c);

    const std::size_t srcBytes = imageSpan(srcW, srcStride, srcH);
    const std::size_t dstBytes = imageSpan(dstW, dstStride, dstH);
    DeviceSlots slots(env);
    auto* deviceSrc = static_cast<std::uint8_t*>(slots.take(srcBytes));
    auto* deviceDst = static_cast<std::uint8_t*>(slots.take(dstBytes));
    if (deviceSrc == nullptr || deviceDst == nullptr) return false;
    DeviceRuntime& rt = deviceRuntime();
    if (rt.copyToDevice(deviceSrc, src, srcBytes) != kDeviceSuccess) return false;
    if (rt.memset(deviceDst, 0, dstBytes) != kDeviceSuccess) return false;
    const SubGrayArgs args{deviceSrc,        srcW,
                           srcStride,        srcH,
                           deviceDst,        dstW,
                           dstStride,        dstH,
                           static_cast<float>(cx), static_cast<float>(cy),
                           s,                c};
    if (rt.subGray(shape, args) != kDeviceSuccess) return false;
    // The result comes down into host scratch first, so that a failed copy
    // leaves the caller's window untouched for the CPU path.
    std::vector<std::uint8_t> result(dstBytes);
    if (rt.copyToHost(result.data(), deviceDst, dstBytes) != kDeviceSuccess) return false;
    for (int j = 0; j < dstH; ++j)
        std::memcpy(dst + static_cast<std::ptrdiff_t>(j) * dstStride,
                    result.data() + static_cast<std::size_t>(j) * dstStride,
                    static_cast<std::size_t>(dstW));
    return true;
}

void resampleGrayBilinear(const std::uint8_t* src, int srcW, int srcStride, int srcH,
                          std::uint8_t* dst, int dstW, int dstStride, int dstH, float cx,
                          float cy, float angle, bool useGpu) {
    if (srcW < 1 || srcH < 1 || dstW < 1 || dstH < 1) return;
    SubGrayArgs args{src, srcW, srcStride, srcH, dst, dstW, dstStride, dstH, cx, cy, 0.0f, 1.0f};
    if (std::fabs(angle) >= kMinAngle) {
        if (useGpu && resampleGrayOnDevice(src, srcW, srcStride, srcH, dst, dstW, dstStride, dstH,
                                           truncToInt(cx), truncToInt(cy), angle))
            return;
        rotationOf(angle, args.s, args.c);
        sampleWindow(args);
        return;
    }
    // No rotation: a window whose corner is within 0.2 of whole pixels (the
    // fraction taken toward zero) is copied at the truncated corner.
    const float ox = cx - static_cast<float>(dstW - 1) * 0.5f;
    const float oy = cy - static_cast<float>(dstH - 1) * 0.5f;
    const int left = truncToInt(ox);
    const int top = truncToInt(oy);
    if (std::fabs(ox - static_cast<float>(left)) < 0.2f &&
        std::fabs(oy - static_cast<float>(top)) < 0.2f) {
        copySubGrayAt(src, srcW, srcStride, srcH, dst, dstW, dstStride, dstH, left, top);
        return;
    }
    // s = 0 and c = 1 give exactly cx + dx, cy + dy.
    sampleWindow(args);
}

void resampleGrayNearest(const std::uint8_t* src, int srcW, int srcStride, int srcH,
                         std::uint8_t* dst, int dstW, int dstStride, int dstH, float cx,
                         float cy, float angle) {
    if (srcW < 1 || srcH < 1 || dstW < 1 || dstH < 1) return;
    if (std::fabs(angle) >= kMinAngle) {
        float s = 0.0f, c = 1.0f;
        rotationOf(angle, s, c);
        const SubGrayArgs args{src, srcW, srcStride, srcH, dst, dstW, dstStride, dstH, cx, cy, s, c};
        forEachRow(dstH, [&args](int j) { nearestRow(args, j); });
        return;
    }
    const int left = truncToInt(static_cast<double>(cx) - (dstW - 1) * 0.5 + 0.5);
    const int top = truncToInt(static_cast<double>(cy) - (dstH - 1) * 0.5 + 0.5);
    copySubGrayAt(src, srcW, srcStride, srcH, dst, dstW, dstStride, dstH, left, top);
}

}  // namespace pcbinspect

extern "C" PCBINSPECT_API void getSubGray(const std::uint8_t* src, std::int32_t srcWidth,
                                          std::int32_t srcStride, std::int32_t srcHeight,
                                          std::uint8_t* dst, std::int32_t dstWidth,
                                          std::int32_t dstStride, std::int32_t dstHeight,
                                          float centerX, float centerY, float angle,
                                          bool useGpu) {
    using namespace pcbinspect;
    guardedExport("getSubGray", [&] {
        // The device is set up before the sizes are looked at: a first call
        // that asks for the GPU is the process's first device request even
        // when its images are empty.
        const bool onDevice = ensureCudaDevice(useGpu);
        ArgumentCheck check("getSubGray");
        check.image("source", src, srcWidth, srcStride, srcHeight)
            .image("destination", dst, dstWidth, dstStride, dstHeight);
        if (!check.ok()) return;
        resampleGrayBilinear(src, srcWidth, srcStride, srcHeight, dst, dstWidth, dstStride,
                             dstHeight, centerX, centerY, angle, onDevice);
    });
}

extern "C" PCBINSPECT_API void getSubGrayNearest(const std::uint8_t* src, std::int32_t srcWidth,
                                                 std::int32_t srcStride, std::int32_t srcHeight,
                                                 std::uint8_t* dst, std::int32_t dstWidth,
                                                 std::int32_t dstStride, std::int32_t dstHeight,
                                                 float centerX, float centerY, float angle) {
    using namespace pcbinspect;
    guardedExport("getSubGrayNearest", [&] {
        // The window starts black before anything else is looked at, so a
        // rejected source still leaves a cleared window; only its width x
        // height pixels are cleared. An unusable destination is not touched.
        ArgumentCheck check("getSubGrayNearest");
        if (!check.image("destination", dst, dstWidth, dstStride, dstHeight).ok()) return;
        for (int j = 0; j < dstHeight; ++j)
            std::memset(dst + static_cast<std::ptrdiff_t>(j) * dstStride, 0,
                        static_cast<std::size_t>(dstWidth));
        if (!check.image("source", src, srcWidth, srcStride, srcHeight).ok()) return;
        resampleGrayNearest(src, srcWidth, srcStride, srcHeight, dst, dstWidth, dstStride,
                            dstHeight, centerX, centerY, angle);
    });
}
