#include "measures/nearest_pixel.h"

#include <cfloat>
#include <cmath>

#include "boundary/numeric.h"

namespace pcbinspect {

float NearestSetPixel(const std::uint8_t* image, int n, int px, int py, int* outX, int* outY) {
    int bestX = -1, bestY = -1;
    float best = FLT_MAX;
    // Distances are compared as floats of the double root of the integer
    // square. The root is monotonic, so a pixel whose squared distance is not
    // below the best one's can never win; only the others pay for the root.
    long long bestSquare = -1;
    int value = 0;
    for (int x = 0; x < n; ++x) {
        const long long ddx = static_cast<long long>(x - px) * (x - px);
        const std::uint8_t* pixel = image + x;
        for (int y = 0; y < n; ++y, pixel += n) {
            if (*pixel == 0) continue;
            const int ddy = y - py;
            const int square = static_cast<int>(ddx + static_cast<long long>(ddy) * ddy);
            if (bestSquare >= 0 && square >= bestSquare) continue;
            const float distance = static_cast<float>(std::sqrt(static_cast<double>(square)));
            if (best > distance) {
                best = distance;
                bestSquare = square;
                bestX = x;
                bestY = y;
                value = *pixel;
            }
        }
    }
    *outX = bestX;
    *outY = bestY;
    // None found (x = -1) or a pixel on the outer ring: its own value.
    if (bestX < 1 || bestY < 1 || bestX >= n - 1 || bestY >= n - 1)
        return static_cast<float>(value);

    int sum = 0, count = 0;
    for (int y = bestY - 1; y <= bestY + 1; ++y) {
        for (int x = bestX - 1; x <= bestX + 1; ++x) {
            const int v = image[y * n + x];
            if (v != 0) {
                sum += v;
                ++count;
            }
        }
    }
    return static_cast<float>(sum / (count + 0.01));
}

int BestNearestInWindow(const std::uint8_t* mask, const std::uint8_t* values, int* x, int* y,
                        int r) {
    constexpr int kSide = 240;
    const int x0 = *x, y0 = *y;
    int best = -1;
    bool found = false;
    for (int dx = -r; dx <= r; ++dx) {
        const int cx = x0 + dx;
        if (cx < 0 || cx >= kSide) continue;
        for (int dy = -r; dy <= r; ++dy) {
            const int cy = y0 + dy;
            if (cy < 0 || cy >= kSide || mask[cy * kSide + cx] == 0) continue;
            int nx, ny;
            const float v = NearestSetPixel(values, kSide, cx, cy, &nx, &ny);
            if (!found || v < static_cast<float>(best)) {
                found = true;
                best = truncToInt(v);
                *x = cx;
                *y = cy;
            }
        }
    }
    return found ? best : -1;
}

}  // namespace pcbinspect
