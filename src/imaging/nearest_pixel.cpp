#include "imaging/nearest_pixel.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "boundary/numeric.h"
#include "boundary/vector_lanes.h"

namespace pcbinspect {

namespace {

// The value NearestSetPixel reports for the pixel it found: the mean of the
// set pixels of its 3 x 3 neighbourhood (divided by their count + 0.01); the
// pixel's own value on the outer ring, 0 when none was found.
float localMean(const std::uint8_t* image, int n, int bestX, int bestY) {
    if (bestX < 0) return 0.0f;
    if (bestX < 1 || bestY < 1 || bestX >= n - 1 || bestY >= n - 1)
        return static_cast<float>(image[bestY * n + bestX]);
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


// The running nearest set pixel of NearestSetPixel's walk: distances are
// compared as floats of the double root of the integer square. The root is
// monotonic, so a pixel whose squared distance is not below the best one's
// can never win; only the others pay for the root.
struct Nearest {
    int px, py;
    int x = -1, y = -1;
    float best = FLT_MAX;
    long long bestSquare = -1;
    void consider(int cx, int cy) {
        const long long ddx = static_cast<long long>(cx - px) * (cx - px);
        const int ddy = cy - py;
        const int square = static_cast<int>(ddx + static_cast<long long>(ddy) * ddy);
        if (bestSquare >= 0 && square >= bestSquare) return;
        const float distance = static_cast<float>(std::sqrt(static_cast<double>(square)));
        if (best > distance) {
            best = distance;
            bestSquare = square;
            x = cx;
            y = cy;
        }
    }
};

}  // namespace

bool NearestByColumns(const std::uint8_t* image, int n, int px, int py, int* outX, int* outY) {
    // Rows are read in order and clear groups of sixteen passed over; at
    // equal distance the smaller column, then the smaller row, wins, as it
    // would in a walk column by column.
    long long best = -1;
    int bx = -1, by = -1;
    for (int y = 0; y < n; ++y) {
        const std::uint8_t* row = image + static_cast<std::ptrdiff_t>(y) * n;
        for (int x = 0; x < n; ++x) {
#ifdef __SSE2__
            if (x % 16 == 0 && x + 16 <= n && bytesEqual16(row + x, 0) == 0xFFFF) {
                x += 15;
                continue;
            }
#endif
            if (row[x] == 0) continue;
            const long long square = static_cast<long long>(x - px) * (x - px) +
                                     static_cast<long long>(y - py) * (y - py);
            if (best >= 0 && (square > best || (square == best && (x > bx || (x == bx && y > by)))))
                continue;
            best = square;
            bx = x;
            by = y;
        }
    }
    if (best < 0) return false;
    *outX = bx;
    *outY = by;
    return true;
}

float NearestSetPixel(const std::uint8_t* image, int n, int px, int py, int* outX, int* outY) {
    Nearest nearest{px, py};
    if (n <= 512 && std::abs(px) <= 200 && std::abs(py) <= 200) {
        // Every square stays below 2^20, where distinct squares have distinct
        // float roots: the nearest by squared distance is the nearest by the
        // float distance, with the same tie-break.
        NearestByColumns(image, n, px, py, &nearest.x, &nearest.y);
    } else {
        for (int x = 0; x < n; ++x) {
            const std::uint8_t* pixel = image + x;
            for (int y = 0; y < n; ++y, pixel += n)
                if (*pixel != 0) nearest.consider(x, y);
        }
    }
    *outX = nearest.x;
    *outY = nearest.y;
    return localMean(image, n, nearest.x, nearest.y);
}

namespace {

// The set pixels of a sparse image, listed once in the order NearestSetPixel
// visits them (column by column), so that each of many searches walks the
// list instead of the whole image and finds the same pixel.
class SetPixels {
public:
    static constexpr int kMost = 4096;

    // False when the image holds more set pixels than the list takes.
    bool collect(const std::uint8_t* image, int n) {
        count_ = 0;
        for (int x = 0; x < n; ++x)
            for (int y = 0; y < n; ++y) {
                if (image[y * n + x] == 0) continue;
                if (count_ == kMost) return false;
                xy_[count_++] = static_cast<std::uint32_t>(x) << 16 | static_cast<std::uint32_t>(y);
            }
        return true;
    }

    // NearestSetPixel(image, n, px, py) from the list.
    float nearest(const std::uint8_t* image, int n, int px, int py) const {
        Nearest nearest{px, py};
        for (int i = 0; i < count_; ++i)
            nearest.consider(static_cast<int>(xy_[i] >> 16), static_cast<int>(xy_[i] & 0xFFFF));
        return localMean(image, n, nearest.x, nearest.y);
    }

private:
    std::uint32_t xy_[kMost];
    int count_ = 0;
};

}  // namespace

int BestNearestInWindow(const std::uint8_t* mask, const std::uint8_t* values, int* x, int* y,
                        int r) {
    constexpr int kSide = 240;
    const int x0 = *x, y0 = *y;
    int best = -1;
    bool found = false;
    // Each candidate looks for its nearest value pixel: the value pixels are
    // listed once when they are few enough.
    SetPixels set;
    const bool listed = set.collect(values, kSide);
    for (int dx = -r; dx <= r; ++dx) {
        const int cx = x0 + dx;
        if (cx < 0 || cx >= kSide) continue;
        for (int dy = -r; dy <= r; ++dy) {
            const int cy = y0 + dy;
            if (cy < 0 || cy >= kSide || mask[cy * kSide + cx] == 0) continue;
            int nx, ny;
            const float v = listed ? set.nearest(values, kSide, cx, cy)
                                   : NearestSetPixel(values, kSide, cx, cy, &nx, &ny);
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
