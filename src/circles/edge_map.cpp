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

}  // namespace

int EdgeMap(const std::uint8_t* source, std::uint8_t* edges, int width, int height,
            int highThreshold) {
    if (width < 1 || height < 1) return 0;
    std::size_t area = 0, planeBytes = 0;
    if (!checkedArea(width, height, 1, area) || !checkedArea(width, height, 4, planeBytes))
        throw std::bad_alloc();
    std::memset(edges, 0, area);

    // Planes: magnitude, sector, and the suppression and hysteresis flags.
    const ScratchArray<std::uint8_t> planes(planeBytes);
    std::uint8_t* const magnitude = planes.get();
    std::uint8_t* const sector = magnitude + area;
    std::uint8_t* const suppressed = sector + area;
    std::uint8_t* const state = suppressed + area;
    const auto at = [width](int x, int y) { return static_cast<std::ptrdiff_t>(y) * width + x; };

    const int high = highThreshold;
    const int low = truncToInt(high * 0.4);

    // 2 x 2 gradient along the diagonals of the cell whose top-left pixel is
    // top[x] (its row below starting at bottom); the last row and column have
    // none. The sector only matters where the magnitude can pass the low
    // threshold.
    const auto gradient = [](const std::uint8_t* top, const std::uint8_t* bottom, int x, int& gx,
                             int& gy) {
        const int d1 = bottom[x + 1] - top[x];
        const int d2 = top[x + 1] - bottom[x];
        gx = (d1 + d2) / 2;
        gy = (d1 - d2) / 2;
    };
    std::memset(magnitude, 0, area);
    std::memset(sector, 0, area);
    for (int y = 0; y + 1 < height; ++y) {
        const std::uint8_t* const s0 = source + at(0, y);
        const std::uint8_t* const s1 = s0 + width;
        std::uint8_t* const m = magnitude + at(0, y);
        for (int x = 0; x + 1 < width; ++x) {
            int gx, gy;
            gradient(s0, s1, x, gx, gy);
            m[x] = static_cast<std::uint8_t>(std::min(std::abs(gx) + std::abs(gy), 255));
        }
        for (int x = 0; x + 1 < width; ++x) {
            if (m[x] <= low) continue;
            int gx, gy;
            gradient(s0, s1, x, gx, gy);
            sector[at(x, y)] = static_cast<std::uint8_t>(sectorOf(gx, gy));
        }
    }
    // Pixels without a gradient pass the low threshold only when it is
    // negative; their sector is that of (0, 0).
    if (low < 0) {
        const auto flat = static_cast<std::uint8_t>(sectorOf(0, 0));
        for (int x = 0; x < width; ++x) sector[at(x, height - 1)] = flat;
        for (int y = 0; y < height; ++y) sector[at(width - 1, y)] = flat;
    }

    // Non-maximum suppression across the edge, decided on the unchanged
    // magnitudes first and applied afterwards. Ties keep the pixel.
    std::memset(suppressed, 0, area);
    for (int y = 1; y < height - 1; ++y) {
        for (int x = 1; x < width - 1; ++x) {
            const int m = magnitude[at(x, y)];
            if (m <= low) continue;  // never an edge, suppressed or not
            const int d = sector[at(x, y)], o = (d + 4) % 8;
            if (m < magnitude[at(x + kSectorDx[d], y + kSectorDy[d])] ||
                m < magnitude[at(x + kSectorDx[o], y + kSectorDy[o])])
                suppressed[at(x, y)] = 1;
        }
    }
    for (std::size_t i = 0; i < area; ++i) {
        const int m = suppressed[i] ? 0 : magnitude[i];
        state[i] = m > high ? kStrong : (m > low ? kWeak : kNone);
    }

    // Each chain is one path: from a strong pixel, step to the first strong
    // neighbour, else to the first weak one, until there is none.
    int count = 0;
    for (int sy = 0; sy < height; ++sy) {
        for (int sx = 0; sx < width; ++sx) {
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
