// Per-pixel steps of the geometric resampling: the bilinear sample of a
// rotated sub-image and the vertical shear of a colour image. Called by the
// CPU loops of resample/ and by the kernels getSubGray8Block and
// CUDA_skewVerticalBlockDIB.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/host_device.h"

namespace pcbinspect {

// Source position of destination pixel (i, j) of a dstW x dstH window whose
// centre lies at (cx, cy), rotated by the angle whose sine and cosine are s
// and c. All in single precision; s = 0, c = 1 gives exactly cx + dx, cy + dy.
PCBINSPECT_HD inline void windowSamplePosition(int i, int j, int dstW, int dstH, float cx,
                                               float cy, float s, float c, float& sx,
                                               float& sy) {
    const float dx = static_cast<float>(i) - static_cast<float>(dstW - 1) * 0.5f;
    const float dy = static_cast<float>(j) - static_cast<float>(dstH - 1) * 0.5f;
    sx = cx + dx * c - dy * s;
    sy = cy + dx * s + dy * c;
}

// The bilinear mix of a cell's four pixels (top-left, bottom-left,
// top-right, bottom-right) at fractions fx, fy in (-1, 1), rounded half up
// and clamped to a byte. The fractions keep the value finite and far inside
// the int range, so the plain conversion truncates it.
PCBINSPECT_HD inline std::uint8_t bilinearMix(float topLeft, float bottomLeft, float topRight,
                                              float bottomRight, float fx, float fy) {
    const float v = topLeft * (1.0f - fx) * (1.0f - fy) + bottomLeft * (1.0f - fx) * fy +
                    topRight * fx * (1.0f - fy) + bottomRight * fx * fy;
    return clampToByte(static_cast<int>(static_cast<double>(v) + 0.5));
}

// Bilinear value at (sx, sy), or false when the integer cell (truncated toward
// zero) is not one with a right and a lower neighbour inside the source. A
// position in (-1, 0) falls into cell 0 with a negative fraction; the value
// extrapolated there is clamped to the byte range.
PCBINSPECT_HD inline bool bilinearGray(const std::uint8_t* src, int srcW, int srcStride,
                                       int srcH, float sx, float sy, std::uint8_t& value) {
    const int ix = truncToInt(sx);
    const int iy = truncToInt(sy);
    if (ix < 0 || iy < 0 || ix >= srcW - 1 || iy >= srcH - 1) return false;
    const float fx = sx - static_cast<float>(ix);
    const float fy = sy - static_cast<float>(iy);
    const std::uint8_t* top = src + static_cast<std::ptrdiff_t>(iy) * srcStride + ix;
    const std::uint8_t* bottom = top + srcStride;
    value = bilinearMix(top[0], bottom[0], top[1], bottom[1], fx, fy);
    return true;
}

struct SubGrayArgs {
    const std::uint8_t* src;
    int srcW, srcStride, srcH;
    std::uint8_t* dst;
    int dstW, dstStride, dstH;
    float cx, cy;  // window centre in the source
    float s, c;    // sine and cosine of the rotation
};

// Destination pixel (i, j) of a rotated window; left as it was when its
// sample falls outside the source.
PCBINSPECT_HD inline void subGrayPixel(const SubGrayArgs& a, int i, int j) {
    if (i < 0 || j < 0 || i >= a.dstW || j >= a.dstH) return;
    float sx = 0.0f, sy = 0.0f;
    windowSamplePosition(i, j, a.dstW, a.dstH, a.cx, a.cy, a.s, a.c, sx, sy);
    std::uint8_t v = 0;
    if (bilinearGray(a.src, a.srcW, a.srcStride, a.srcH, sx, sy, v))
        a.dst[static_cast<std::ptrdiff_t>(j) * a.dstStride + i] = v;
}

struct SkewDibArgs {
    const std::uint8_t* src;  // 3 bytes per pixel
    int width, srcStride, height;
    int firstRow;  // source row of output row 0
    std::uint8_t* dst;
    int dstStride, rows;
    float k;  // rows of displacement per column
};

// One channel of the vertical shear: the upper sample weighted in double
// precision, the lower one's product with the fraction f in single, the sum
// truncated and clamped. f lies in (-1, 1), which keeps the sum between
// -255 and 510, so the plain conversion truncates it.
PCBINSPECT_HD inline std::uint8_t skewMix(std::uint8_t upper, std::uint8_t lower, float f) {
    const double v = static_cast<double>(upper) * (1.0 - static_cast<double>(f)) +
                     static_cast<double>(static_cast<float>(lower) * f);
    return clampToByte(static_cast<int>(v));
}

// Output pixel (x, r) of a vertical shear: column x is sampled at source row
// x k + firstRow + r, mixing the two rows around it. The product with the
// fraction is taken in single precision and the rest in double; the byte is
// truncated (values extrapolated above row 0 are clamped). A sample row
// without a row below it inside the source leaves the pixel as it was.
PCBINSPECT_HD inline void skewDibPixel(const SkewDibArgs& a, int x, int r) {
    if (x < 0 || r < 0 || x >= a.width || r >= a.rows) return;
    const float sy = static_cast<float>(x) * a.k + static_cast<float>(a.firstRow + r);
    const int iy = truncToInt(sy);
    if (iy < 0 || iy >= a.height - 1) return;
    const float f = sy - static_cast<float>(iy);
    const std::uint8_t* p0 = a.src + static_cast<std::ptrdiff_t>(iy) * a.srcStride + 3 * x;
    const std::uint8_t* p1 = p0 + a.srcStride;
    std::uint8_t* out = a.dst + static_cast<std::ptrdiff_t>(r) * a.dstStride + 3 * x;
    for (int ch = 0; ch < 3; ++ch) out[ch] = skewMix(p0[ch], p1[ch], f);
}

}  // namespace pcbinspect
