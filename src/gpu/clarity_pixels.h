// Per-pixel steps of the clarity measure: box zoom, flattening of nearly
// uniform neighbourhoods, and the alternating central-difference energy.
// Each is one pixel's work, called by the CPU loops of clarity.cpp and by the
// kernels ZoomGrayBlock, cleanGrayBlock and countClarityBlock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/host_device.h"

namespace pcbinspect {

struct ZoomGrayArgs {
    const std::uint8_t* src;
    int width, stride, height;  // source rows `stride` bytes apart
    std::uint8_t* dst;          // zw x zh, packed
    int zw, zh;
};

// Zoomed pixel (x, y): the truncated integer mean of the source block
// x0 <= column < x1, y0 <= row < y1, whose bounds are truncated products with
// the single-precision scale. The upper bound is pulled back to the last
// column or row, which therefore never contributes; an empty block gives 0.
PCBINSPECT_HD inline void zoomGrayPixel(const ZoomGrayArgs& a, int x, int y) {
    if (x < 0 || y < 0 || x >= a.zw || y >= a.zh) return;
    const float sx = static_cast<float>(a.width) / static_cast<float>(a.zw);
    const float sy = static_cast<float>(a.height) / static_cast<float>(a.zh);
    const int x0 = truncToInt(static_cast<float>(x) * sx);
    int x1 = truncToInt(static_cast<float>(x + 1) * sx);
    if (x1 >= a.width) x1 = a.width - 1;
    const int y0 = truncToInt(static_cast<float>(y) * sy);
    int y1 = truncToInt(static_cast<float>(y + 1) * sy);
    if (y1 >= a.height) y1 = a.height - 1;
    long long sum = 0;
    long long count = 0;
    for (int row = y0; row < y1; ++row) {
        const std::uint8_t* p = a.src + static_cast<std::ptrdiff_t>(row) * a.stride;
        for (int col = x0; col < x1; ++col) {
            sum += p[col];
            ++count;
        }
    }
    a.dst[static_cast<std::ptrdiff_t>(y) * a.zw + x] =
        static_cast<std::uint8_t>(count > 0 ? sum / count : 0);
}

struct CleanGrayArgs {
    const std::uint8_t* untouched;  // the zoomed image before cleaning
    std::uint8_t* image;            // receives the cleaned pixels; zw x zh, packed
    int zw, zh;
    int radius, threshold;
};

// Pixel (x, y) becomes the integer mean of its (2 radius + 1)^2 window, edges
// clamped, when the window's spread about that mean (accumulated in single
// precision) is below the threshold. Windows are read from the untouched
// image, so the result does not depend on the order in which pixels are done.
PCBINSPECT_HD inline void cleanGrayPixel(const CleanGrayArgs& a, int x, int y) {
    if (x < 0 || y < 0 || x >= a.zw || y >= a.zh) return;
    const int r = a.radius < 0 ? 0 : a.radius;
    const int count = (2 * r + 1) * (2 * r + 1);
    int sum = 0;
    for (int dy = -r; dy <= r; ++dy) {
        int yy = y + dy;
        yy = yy < 0 ? 0 : (yy >= a.zh ? a.zh - 1 : yy);
        for (int dx = -r; dx <= r; ++dx) {
            int xx = x + dx;
            xx = xx < 0 ? 0 : (xx >= a.zw ? a.zw - 1 : xx);
            sum += a.untouched[static_cast<std::ptrdiff_t>(yy) * a.zw + xx];
        }
    }
    const int mean = sum / count;
    float spread = 0.0f;
    for (int dy = -r; dy <= r; ++dy) {
        int yy = y + dy;
        yy = yy < 0 ? 0 : (yy >= a.zh ? a.zh - 1 : yy);
        for (int dx = -r; dx <= r; ++dx) {
            int xx = x + dx;
            xx = xx < 0 ? 0 : (xx >= a.zw ? a.zw - 1 : xx);
            const int d = mean - a.untouched[static_cast<std::ptrdiff_t>(yy) * a.zw + xx];
            spread += static_cast<float>(d * d);
        }
    }
    spread = spread / static_cast<float>(count);
    std::uint8_t* out = a.image + static_cast<std::ptrdiff_t>(y) * a.zw + x;
    if (spread < static_cast<float>(a.threshold)) {
        *out = static_cast<std::uint8_t>(mean);
    } else {
        *out = a.untouched[static_cast<std::ptrdiff_t>(y) * a.zw + x];
    }
}

// The energy term of zoomed pixel (x, y), or false when the pixel lies within
// two of the border. Even columns take the squared horizontal central
// difference, odd columns the vertical one.
PCBINSPECT_HD inline bool clarityTerm(const std::uint8_t* image, int zw, int zh, int x, int y,
                                      unsigned long long* term) {
    if (x < 2 || y < 2 || x > zw - 3 || y > zh - 3) return false;
    const std::uint8_t* row = image + static_cast<std::ptrdiff_t>(y) * zw;
    int d = 0;
    if (x % 2 == 0) {
        d = row[x + 1] - row[x - 1];
    } else {
        d = row[x + zw] - row[x - zw];
    }
    *term = static_cast<unsigned long long>(d * d);
    return true;
}

}  // namespace pcbinspect
