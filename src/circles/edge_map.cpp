#include "circles/edge_map.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "boundary/argument_check.h"
#include "boundary/numeric.h"
#include "boundary/vector_lanes.h"

namespace pcbinspect {
namespace {

// Neighbour offsets by direction sector: sector d and (d + 4) % 8 are
// opposite.
constexpr int kSectorDx[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int kSectorDy[8] = {0, 1, 1, 1, 0, -1, -1, -1};

// Chain following prefers the four direct neighbours, then the diagonals.
constexpr int kChainDx[8] = {0, -1, 1, 0, 1, 1, -1, -1};
constexpr int kChainDy[8] = {1, 0, 0, -1, 1, -1, -1, 1};

// Hysteresis states of a pixel: a strong pixel is also weak. A pixel on a
// chain has none left.
constexpr std::uint8_t kNone = 0, kWeak = 1, kStrong = 2, kOnChain = kEdgeOnChain;
static_assert(kOnChain == 4, "markChains shifts the chain state down to 1");

}  // namespace

int gradientSectorByAngle(int gx, int gy) {
    const float turns = std::atan2(static_cast<float>(gy), static_cast<float>(gx)) / 3.14159f;
    const int a = static_cast<int>(static_cast<double>(turns) * 180.0 + 180.0 + 22.5);
    return (a / 45) % 8;
}

int gradientSector(int gx, int gy) {
    // Away from the sector boundaries (22.5 and 67.5 degrees from the
    // axes, within a ten-thousandth of the tangent) comparisons decide;
    // near them, and for the zero gradient, the angle itself.
    constexpr double kTan22 = 0.41421356237309503, kTan67 = 2.4142135623730949, kMargin = 1e-4;
    const double ax = gx < 0 ? -gx : gx, ay = gy < 0 ? -gy : gy;
    int band;
    if (ay < (kTan22 - kMargin) * ax)
        band = 0;
    else if (ay > (kTan22 + kMargin) * ax && ay < (kTan67 - kMargin) * ax)
        band = 1;
    else if (ay > (kTan67 + kMargin) * ax)
        band = 2;
    else
        return gradientSectorByAngle(gx, gy);
    // Bands 0, 1, 2 (towards the y axis) in each quadrant.
    static constexpr int kSectors[4][3] = {{4, 5, 6}, {0, 7, 6}, {4, 3, 2}, {0, 1, 2}};
    return kSectors[(gx < 0 ? 1 : 0) + (gy < 0 ? 2 : 0)][band];
}

namespace {

// 2 x 2 gradient along the diagonals of the cell whose top-left pixel is
// top[x], its row below starting at bottom.
inline void gradient(const std::uint8_t* top, const std::uint8_t* bottom, int x, int& gx, int& gy) {
    const int d1 = bottom[x + 1] - top[x];
    const int d2 = top[x + 1] - bottom[x];
    gx = (d1 + d2) / 2;
    gy = (d1 - d2) / 2;
}

// Gradient magnitudes of one row of 2 x 2 cells, top-left pixels top[0 ..
// n - 1], the row below starting at bottom; returns the largest. Bytes
// throughout, so that a vector holds as many cells as it can.
PCBINSPECT_AVX2_CLONES std::uint8_t magnitudeRow(const std::uint8_t* top, const std::uint8_t* bottom,
                                                 std::uint8_t* magnitude, int n) {
    std::uint8_t largest = 0;
    for (int x = 0; x < n; ++x) {
        const std::uint8_t m = gradientMagnitude(top[x], top[x + 1], bottom[x], bottom[x + 1]);
        magnitude[x] = m;
        largest = m > largest ? m : largest;
    }
    return largest;
}

// Turns the states into the edge map: 1 on a chain, 0 elsewhere.
PCBINSPECT_AVX2_CLONES void markChains(std::uint8_t* states, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) states[i] = static_cast<std::uint8_t>(states[i] >> 2);
}

// Calls visit(x) for each x in [0, n) with values[x] > low, in order.
template <class Visit>
void forEachAbove(const std::uint8_t* values, int n, int low, Visit&& visit) {
    if (low >= 255) return;
    int x = 0;
#ifdef __SSE2__
    if (low >= 0)
        for (; x + 16 <= n; x += 16) {
            unsigned above = bytesAbove16(values + x, static_cast<std::uint8_t>(low));
            for (; above != 0; above &= above - 1) visit(x + __builtin_ctz(above));
        }
#endif
    for (; x < n; ++x)
        if (values[x] > low) visit(x);
}

}  // namespace

int followEdgeChains(const std::uint8_t* source, std::uint8_t* states, int width, int height,
                     int highThreshold, std::vector<std::int32_t>* chain) {
    if (width < 1 || height < 1) return 0;
    std::size_t area = 0;
    if (!checkedArea(width, height, 1, area)) throw std::bad_alloc();
    const auto at = [width](int x, int y) { return static_cast<std::ptrdiff_t>(y) * width + x; };

    const int high = highThreshold;
    const int low = truncToInt(high * 0.4);

    // The magnitudes are needed three rows at a time. The last row and
    // column have no gradient.
    std::vector<std::uint8_t> rows(3 * static_cast<std::size_t>(width));
    const auto magnitudes = [&](int y) { return rows.data() + static_cast<std::size_t>(y % 3) * width; };
    // The largest magnitude of each row in `rows`: a row whose largest is
    // at or below the low threshold has no pixel to judge.
    std::uint8_t largest[3] = {0, 0, 0};
    const auto makeMagnitudes = [&](int y) {
        std::uint8_t* const m = magnitudes(y);
        if (y + 1 < height) {
            largest[y % 3] = magnitudeRow(source + at(0, y), source + at(0, y + 1), m, width - 1);
            m[width - 1] = 0;
        } else {
            std::memset(m, 0, static_cast<std::size_t>(width));
            largest[y % 3] = 0;
        }
    };

    // Non-maximum suppression across the edge, in the direction sector of
    // the gradient, on the interior; decided on the unchanged magnitudes
    // (ties keep the pixel), a suppressed pixel counting as magnitude 0.
    // Pixels at or below the low threshold are never suppressed, and have
    // no state unless the high threshold lies below the low one (a negative
    // high threshold). The strong pixels are listed in raster order, where
    // the chains start.
    std::vector<std::size_t> strong;
    const auto stateOf = [&](int m) { return m > high ? kStrong : (m > low ? kWeak : kNone); };
    makeMagnitudes(0);
    for (int y = 0; y < height; ++y) {
        if (y + 1 < height) makeMagnitudes(y + 1);
        const std::uint8_t* const m = magnitudes(y);
        std::uint8_t* const state = states + at(0, y);
        const bool everyState = high < low;
        if (everyState) {
            for (int x = 0; x < width; ++x) state[x] = stateOf(m[x]);
        } else {
            std::memset(state, kNone, static_cast<std::size_t>(width));
        }
        const bool interiorRow = y >= 1 && y < height - 1;
        const std::uint8_t* const s0 = source + at(0, y);
        if (largest[y % 3] > low) {
            forEachAbove(m, width, low, [&](int x) {
                bool suppressed = false;
                if (interiorRow && x >= 1 && x < width - 1) {
                    int gx, gy;
                    gradient(s0, s0 + width, x, gx, gy);
                    const int d = gradientSector(gx, gy), o = (d + 4) % 8;
                    suppressed = m[x] < magnitudes(y + kSectorDy[d])[x + kSectorDx[d]] ||
                                 m[x] < magnitudes(y + kSectorDy[o])[x + kSectorDx[o]];
                }
                state[x] = stateOf(suppressed ? 0 : m[x]);
                if (!everyState && state[x] == kStrong) strong.push_back(static_cast<std::size_t>(at(x, y)));
            });
        }
        if (everyState)
            for (int x = 0; x < width; ++x)
                if (state[x] == kStrong) strong.push_back(static_cast<std::size_t>(at(x, y)));
    }

    // Each chain is one path: from a strong pixel, step to the first strong
    // neighbour, else to the first weak one, until there is none. A pixel on
    // a chain is marked kOnChain, which leaves it without a state; a strong
    // pixel already on an earlier chain starts none.
    int count = 0;
    for (const std::size_t start : strong) {
        if (states[start] != kStrong) continue;
        int x = static_cast<int>(start % static_cast<std::size_t>(width));
        int y = static_cast<int>(start / static_cast<std::size_t>(width));
        for (;;) {
            states[at(x, y)] = kOnChain;
            ++count;
            if (chain != nullptr) {
                chain->push_back(x);
                chain->push_back(y);
            }
            int next = -1;
            for (std::uint8_t wanted : {kStrong, kWeak}) {
                for (int k = 0; k < 8 && next < 0; ++k) {
                    const int nx = x + kChainDx[k], ny = y + kChainDy[k];
                    if (nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
                    if (states[at(nx, ny)] == wanted) next = k;
                }
                if (next >= 0) break;
            }
            if (next < 0) break;
            x += kChainDx[next];
            y += kChainDy[next];
        }
    }
    return count;
}

int EdgeMap(const std::uint8_t* source, std::uint8_t* edges, int width, int height,
            int highThreshold) {
    if (width < 1 || height < 1) return 0;
    const int count = followEdgeChains(source, edges, width, height, highThreshold, nullptr);
    markChains(edges, static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    return count;
}

}  // namespace pcbinspect
