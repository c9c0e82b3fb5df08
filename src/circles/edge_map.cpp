#include "circles/edge_map.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "boundary/scratch_memory.h"
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

// Hysteresis states of a pixel: a strong pixel is also weak.
constexpr std::uint8_t kNone = 0, kWeak = 1, kStrong = 2;

// The sector of a gradient: its angle in degrees, shifted by 180 + 22.5 so
// that each 45-degree sector starts at a multiple of 45 and 360 wraps to 0.
int sectorOf(int gx, int gy) {
    const float turns = std::atan2(static_cast<float>(gy), static_cast<float>(gx)) / 3.14159f;
    const int a = static_cast<int>(static_cast<double>(turns) * 180.0 + 180.0 + 22.5);
    return (a / 45) % 8;
}

// 2 x 2 gradient along the diagonals of the cell whose top-left pixel is
// top[x], its row below starting at bottom.
inline void gradient(const std::uint8_t* top, const std::uint8_t* bottom, int x, int& gx, int& gy) {
    const int d1 = bottom[x + 1] - top[x];
    const int d2 = top[x + 1] - bottom[x];
    gx = (d1 + d2) / 2;
    gy = (d1 - d2) / 2;
}

// Gradient magnitudes of one row of 2 x 2 cells, top-left pixels top[0 ..
// n - 1], the row below starting at bottom.
PCBINSPECT_AVX2_CLONES void magnitudeRow(const std::uint8_t* top, const std::uint8_t* bottom,
                                         std::uint8_t* magnitude, int n) {
    for (int x = 0; x < n; ++x) {
        int gx, gy;
        gradient(top, bottom, x, gx, gy);
        const int m = (gx < 0 ? -gx : gx) + (gy < 0 ? -gy : gy);
        magnitude[x] = static_cast<std::uint8_t>(m < 255 ? m : 255);
    }
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

int EdgeMap(const std::uint8_t* source, std::uint8_t* edges, int width, int height,
            int highThreshold) {
    if (width < 1 || height < 1) return 0;
    std::size_t area = 0, planeBytes = 0;
    if (!checkedArea(width, height, 1, area) || !checkedArea(width, height, 2, planeBytes))
        throw std::bad_alloc();
    std::memset(edges, 0, area);

    // Planes: magnitude and hysteresis state.
    const ScratchArray<std::uint8_t> planes(planeBytes);
    std::uint8_t* const magnitude = planes.get();
    std::uint8_t* const state = magnitude + area;
    const auto at = [width](int x, int y) { return static_cast<std::ptrdiff_t>(y) * width + x; };

    const int high = highThreshold;
    const int low = truncToInt(high * 0.4);

    // Magnitudes; the last row and column have no gradient.
    for (int y = 0; y + 1 < height; ++y) {
        magnitudeRow(source + at(0, y), source + at(0, y + 1), magnitude + at(0, y), width - 1);
        magnitude[at(width - 1, y)] = 0;
    }
    std::memset(magnitude + at(0, height - 1), 0, static_cast<std::size_t>(width));

    // Non-maximum suppression across the edge, in the direction sector of
    // the gradient, on the interior; decided on the unchanged magnitudes
    // (ties keep the pixel), a suppressed pixel counting as magnitude 0.
    // Pixels at or below the low threshold are never suppressed, and have
    // no state unless the high threshold lies below the low one (a negative
    // high threshold).
    const auto stateOf = [&](int m) { return m > high ? kStrong : (m > low ? kWeak : kNone); };
    if (high >= low) {
        std::memset(state, kNone, area);
    } else {
        for (std::size_t i = 0; i < area; ++i) state[i] = stateOf(magnitude[i]);
    }
    for (int y = 0; y < height; ++y) {
        const bool interiorRow = y >= 1 && y < height - 1;
        const std::uint8_t* const s0 = source + at(0, y);
        forEachAbove(magnitude + at(0, y), width, low, [&](int x) {
            const int m = magnitude[at(x, y)];
            bool suppressed = false;
            if (interiorRow && x >= 1 && x < width - 1) {
                int gx, gy;
                gradient(s0, s0 + width, x, gx, gy);
                const int d = sectorOf(gx, gy), o = (d + 4) % 8;
                suppressed = m < magnitude[at(x + kSectorDx[d], y + kSectorDy[d])] ||
                             m < magnitude[at(x + kSectorDx[o], y + kSectorDy[o])];
            }
            state[at(x, y)] = stateOf(suppressed ? 0 : m);
        });
    }

    // Each chain is one path: from a strong pixel, step to the first strong
    // neighbour, else to the first weak one, until there is none. Rows are
    // passed over sixteen pixels at a time where none is strong.
    int count = 0;
    for (int sy = 0; sy < height; ++sy) {
        for (int sx = 0; sx < width; ++sx) {
#ifdef __SSE2__
            if (sx + 16 <= width && bytesEqual16(state + at(sx, sy), kStrong) == 0) {
                sx += 15;
                continue;
            }
#endif
            if (state[at(sx, sy)] != kStrong) continue;
            int x = sx, y = sy;
            for (;;) {
                edges[at(x, y)] = 1;
                ++count;
                state[at(x, y)] = kNone;
                int next = -1;
                for (std::uint8_t wanted : {kStrong, kWeak}) {
                    for (int k = 0; k < 8 && next < 0; ++k) {
                        const int nx = x + kChainDx[k], ny = y + kChainDy[k];
                        if (nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
                        if (state[at(nx, ny)] == wanted) next = k;
                    }
                    if (next >= 0) break;
                }
                if (next < 0) break;
                x += kChainDx[next];
                y += kChainDy[next];
            }
        }
    }
    return count;
}

}  // namespace pcbinspect
