#include "imaging/ray_sampling.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "boundary/numeric.h"

namespace pcbinspect {
namespace {

// Cubic convolution kernel with a = -0.5.
float cubicWeight(float t) {
    const float a = std::fabs(t);
    if (a < 1.0f) return 1.0f - 2.5f * t * t + 1.5f * a * a * a;
    if (a < 2.0f) return 2.0f - 4.0f * a + 2.5f * t * t - 0.5f * a * a * a;
    return 0.0f;
}

}  // namespace

void splitCoordinate(float v, int limit, int& index, float& fraction) {
    const float whole = std::trunc(v);
    fraction = v - whole;
    index = whole < static_cast<float>(limit) ? static_cast<int>(whole) : limit;
}

std::uint8_t bilinearSample(const std::uint8_t* image, std::ptrdiff_t stride, int ix, int iy,
                            float fx, float fy) {
    const std::uint8_t* p = image + iy * stride + ix;
    const float v = (1 - fx) * (1 - fy) * p[0] + (1 - fx) * fy * p[stride] +
                    fx * (1 - fy) * p[1] + fx * fy * p[stride + 1];
    return static_cast<std::uint8_t>(static_cast<int>(v));
}

std::uint8_t bicubicSample(const std::uint8_t* image, std::ptrdiff_t stride, float x, float y) {
    const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
    const float tx = x - static_cast<float>(x0), ty = y - static_cast<float>(y0);
    const float wx[4] = {cubicWeight(tx + 1), cubicWeight(tx), cubicWeight(tx - 1),
                         cubicWeight(tx - 2)};
    const float wy[4] = {cubicWeight(ty + 1), cubicWeight(ty), cubicWeight(ty - 1),
                         cubicWeight(ty - 2)};
    float sum = 0.0f;
    for (int j = 0; j < 4; ++j) {
        const std::uint8_t* row = image + (y0 - 1 + j) * stride + (x0 - 1);
        float rowSum = 0.0f;
        for (int i = 0; i < 4; ++i) rowSum += wx[i] * row[i];
        sum += wy[j] * rowSum;
    }
    return static_cast<std::uint8_t>(std::clamp(truncToInt(sum), 0, 255));
}

std::uint8_t oversampledSample(const std::uint8_t* image, int width, std::ptrdiff_t stride,
                               int height, float x, float y, int f, std::uint8_t previous) {
    if (f == 1) {
        int ix, iy;
        float fx, fy;
        splitCoordinate(std::max(x, kLowestCoordinate), width, ix, fx);
        splitCoordinate(std::max(y, kLowestCoordinate), height, iy, fy);
        if (ix >= width - 1 || iy >= height - 1) return previous;
        return bilinearSample(image, stride, ix, iy, fx, fy);
    }
    const int ix = truncToInt(x), iy = truncToInt(y);
    if (ix < 2 || iy < 2 || ix >= width - 2 || iy >= height - 2) return previous;
    return bicubicSample(image, stride, x, y);
}

int findEdgeOnRay(const std::uint8_t* s, int samples, int w, std::int64_t t, int polarity,
                  int stopMode) {
    if (samples < 2 * w) return -1;
    std::int64_t a = 0, b = 0;
    for (int i = 0; i < w; ++i) {
        a += s[i];
        b += s[w + i];
    }
    bool found = false;
    std::int64_t peak = 0;
    for (int p = 0;; ++p) {
        const std::int64_t step = std::llabs(a - b);
        const std::int64_t response = polarity > 0 ? b - a : (polarity < 0 ? a - b : step);
        if (response > t) {
            found = true;
            peak = std::max(peak, response);
            if (stopMode < 0) return p;
        }
        if (found) {
            if (stopMode == 0 && peak > step) return p;
            if (stopMode > 0 && step < t) return p;
        }
        if (p == samples - 2 * w) return -1;
        a += s[p + w] - s[p];
        b += s[p + 2 * w] - s[p + w];
    }
}

void dropIncompleteGroups(PointF* points, int n, int g) {
    for (int start = 0; start < n; start += g) {
        const int end = std::min(start + g, n);
        bool missing = false;
        for (int i = start; i < end; ++i) missing |= isAbsent(points[i]);
        if (missing) std::fill(points + start, points + end, kAbsentPoint);
    }
}

}  // namespace pcbinspect
