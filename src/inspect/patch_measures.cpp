#include "inspect/patch_measures.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/thinning.h"
#include "imaging/circle_fit.h"
#include "imaging/radial_edges.h"
#include "inspect/window_routines.h"
#include "boundary/numeric.h"
#include "imaging/region_fill.h"

namespace pcbinspect {
namespace {

constexpr int N = kPatchSide;

struct Box {
    int minX = 0, maxX = 0, minY = 0, maxY = 0;
};

// RegionFill on a 120 x 120 window, the box in minX, maxX, minY, maxY form.
int fill(std::int16_t* stack, std::uint8_t* w, int x, int y, std::uint8_t value, Box* box) {
    int b[4];
    const int count = RegionFill(stack, w, N, N, N, x, y, value, box ? b : nullptr);
    if (box && count > 0) *box = Box{b[2], b[3], b[1], b[0]};
    return count;
}

float diagonal(const Box& b) {
    const float dx = static_cast<float>(b.maxX - b.minX), dy = static_cast<float>(b.maxY - b.minY);
    return std::sqrt(dx * dx + dy * dy);
}

bool anySet(const std::uint8_t* w, std::uint8_t value) {
    return std::find(w, w + kPatchArea, value) != w + kPatchArea;
}

bool columnSet(const std::uint8_t* w, int x) {
    for (int y = 0; y < N; ++y)
        if (w[y * N + x] != 0) return true;
    return false;
}

bool rowSet(const std::uint8_t* w, int y) {
    return std::any_of(w + y * N, w + y * N + N, [](std::uint8_t v) { return v != 0; });
}

// The eight directions of the searches from the centre.
constexpr int kDirX[8] = {1, 1, 0, -1, -1, -1, 0, 1};
constexpr int kDirY[8] = {0, -1, -1, -1, 0, 1, 1, 1};

int setNeighbours8(const std::uint8_t* s, int x, int y) {
    const std::uint8_t* p = s + y * N + x;
    return (p[-N - 1] != 0) + (p[-N] != 0) + (p[-N + 1] != 0) + (p[-1] != 0) + (p[1] != 0) +
           (p[N - 1] != 0) + (p[N] != 0) + (p[N + 1] != 0);
}

}  // namespace

void DifferenceMap(const std::uint8_t* camera, const std::uint8_t* reference, std::uint8_t* out) {
    for (int i = 0; i < kPatchArea; ++i) {
        const bool c = camera[i] != 0, r = reference[i] != 0;
        out[i] = c == r ? 0 : (c ? 255 : 128);
    }
}

bool EndsInBox(const std::uint8_t* w, int x, int y) {
    if (x - 10 < 0 || y - 10 < 0 || x + 10 >= N || y + 10 >= N) return false;
    auto at = [&](int px, int py) { return w[py * N + px] != 0; };
    bool bottom = false, top = false, left = false, right = false;
    for (int i = x - 9; i <= x + 10; ++i) bottom |= at(i, y + 10);
    for (int i = x - 10; i <= x + 9; ++i) top |= at(i, y - 10);
    for (int i = y - 9; i <= y + 10; ++i) left |= at(x - 10, i);
    for (int i = y - 10; i <= y + 9; ++i) right |= at(x + 10, i);
    return bottom + top + left + right <= 1;
}

void KeepCentralRegion(std::int16_t* stack, std::uint8_t* map) {
    for (int x = 59; x <= 61; ++x)
        for (int y = 59; y <= 61; ++y) {
            const std::uint8_t seed = map[y * N + x];
            if (seed == 0) continue;
            fill(stack, map, x, y, 200, nullptr);
            for (int i = 0; i < kPatchArea; ++i) map[i] = map[i] == 200 ? seed : 0;
            return;
        }
    std::memset(map, 0, kPatchArea);
}

EdgeRegionResult EdgeRegionCheck(std::int16_t* stack, std::uint8_t* w0, std::uint8_t* w1, int mx,
                                 int my, bool class2) {
    EdgeRegionResult r;
    Box feature;
    for (;;) {
        // The set camera pixel nearest the centre along the eight directions.
        int sx = -1, sy = -1;
        for (int k = 0; k < 60 && sx < 0; ++k)
            for (int d = 0; d < 8; ++d) {
                const int x = 60 + k * kDirX[d], y = 60 + k * kDirY[d];
                if (w0[y * N + x] != 0) {
                    sx = x;
                    sy = y;
                    break;
                }
            }
        if (sx < 0) return r;
        const int count = fill(stack, w0, sx, sy, 128, &feature);
        if (count >= 50 && (!class2 || diagonal(feature) >= 30.0f)) break;
        if (anySet(w0, 255) != anySet(w1, 255)) break;
        // A small region: its extent across the reference's run becomes the
        // measure, and the search goes on without it.
        const bool bothColumns = columnSet(w1, mx) && columnSet(w1, 119 - mx);
        const bool noColumn = !columnSet(w1, mx) && !columnSet(w1, 119 - mx);
        const bool bothRows = rowSet(w1, my) && rowSet(w1, 119 - my);
        r.measure = static_cast<float>(bothColumns || (noColumn && !bothRows)
                                           ? feature.maxY - feature.minY + 1
                                           : feature.maxX - feature.minX + 1);
        fill(stack, w0, sx, sy, 0, nullptr);
    }

    // Reference regions under the feature; the largest is kept.
    int largest = 0;
    Box refBox;
    for (int i = 0; i < kPatchArea; ++i) {
        if (w0[i] != 128 || w1[i] != 255) continue;
        Box b;
        const int count = fill(stack, w1, i % N, i / N, 128, &b);
        if (count > largest) {
            largest = count;
            refBox = b;
        }
    }
    // Other camera regions on those reference regions, counted after the
    // feature itself.
    int regions = 1;
    if (largest > 0) {
        for (int i = 0; i < kPatchArea; ++i)
            if (w1[i] == 128 && w0[i] == 255) {
                fill(stack, w0, i % N, i / N, 128, nullptr);
                ++regions;
            }
    }
    if (largest == 0) {
        r.measure = std::max(r.measure, diagonal(feature));
        return r;
    }
    if (!class2) return r;

    // The feature cuts straight across a reference bar that spans the window
    // symmetrically.
    const int boxW = refBox.maxX - refBox.minX, boxH = refBox.maxY - refBox.minY;
    if (boxH * boxW - largest < 1) {
        const bool acrossTall = boxW <= boxH && refBox.minY == 119 - refBox.maxY &&
                                feature.maxY - feature.minY < boxH - 10;
        const bool acrossWide = boxW > boxH && refBox.minX == 119 - refBox.maxX &&
                                feature.maxX - feature.minX < boxW - 10;
        if (acrossTall || acrossWide) {
            r.persist = true;
            return r;
        }
    }
    if (regions < 2) return r;

    // Camera regions along the reference skeleton.
    for (int i = 0; i < kPatchArea; ++i) {
        w0[i] = w0[i] == 128 ? 255 : 0;
        w1[i] = w1[i] == 128 ? 255 : 0;
    }
    SkeletonThin(w1, N, N, N, 1);
    int counted = 0;
    long long farthest = -1;
    for (int i = 0; i < kPatchArea; ++i) {
        if (w0[i] != 255 || w1[i] == 0) continue;
        Box b;
        const int count = fill(stack, w0, i % N, i / N, 128, &b);
        const bool sameSide = b.maxY == refBox.maxY || b.minY == refBox.minY ||
                              b.minX == refBox.minX || b.maxX == refBox.maxX;
        if (count > 150 || (count >= 51 && sameSide)) ++counted;
        if (counted > 0) {
            const int cx = (b.minX + b.maxX) / 2, cy = (b.minY + b.maxY) / 2;
            const long long d = static_cast<long long>(cx - 60) * (cx - 60) +
                                static_cast<long long>(cy - 60) * (cy - 60);
            if (d > farthest) {
                farthest = d;
                r.x = cx;
                r.y = cy;
            }
        }
    }
    r.persist = counted >= 2;
    return r;
}

VoidResult VoidCheck(std::int16_t* stack, std::uint8_t* d, const std::uint8_t* r,
                     std::uint8_t* w0) {
    VoidResult v;
    DifferenceMap(w0, r, d);
    for (int y = 45; y <= 75; ++y)
        for (int x = 45; x <= 75; ++x) {
            if (d[y * N + x] != 128) continue;
            Box b;
            fill(stack, d, x, y, 127, &b);
            const int x0 = std::clamp(b.minX - 1, 1, 119), x1 = std::clamp(b.maxX + 1, 1, 119);
            const int y0 = std::clamp(b.minY - 1, 1, 119), y1 = std::clamp(b.maxY + 1, 1, 119);
            // Open when a pixel next to the region is open in the camera.
            // Neighbours beyond the window count as not in the region.
            bool open = false;
            for (int py = y0; py <= y1 && !open; ++py)
                for (int px = x0; px <= x1 && !open; ++px) {
                    const std::uint8_t* p = d + py * N + px;
                    if (*p == 127 || w0[py * N + px] != 0) continue;
                    open = (py + 1 < N && p[N] == 127) || p[-1] == 127 ||
                           (px + 1 < N && p[1] == 127) || p[-N] == 127;
                }
            if (open) continue;
            fill(stack, d, x, y, 64, nullptr);
            v.found = true;
            v.width = std::max(v.width, b.maxX - b.minX + 1);
            v.height = std::max(v.height, b.maxY - b.minY + 1);
        }
    for (int i = 0; i < kPatchArea; ++i)
        if (d[i] == 64) w0[i] = 255;
    ErodeOnce(GrayView{d, N, N, N});
    for (int y = 45; y <= 75; ++y)
        for (int x = 45; x <= 75; ++x)
            if (d[y * N + x] != 64 && fill(stack, d, x, y, 0, nullptr) > 0) v.onlyVoids = false;
    return v;
}

RidgeResult RidgePeak(const std::uint8_t* s, int x0, int y0, bool climb) {
    int px = 0, py = 0;
    long long best = -1;
    for (int y = 0; y < N; ++y)
        for (int x = 0; x < N; ++x) {
            if (s[y * N + x] == 0) continue;
            const long long d = static_cast<long long>(x - x0) * (x - x0) +
                                static_cast<long long>(y - y0) * (y - y0);
            if (best < 0 || d < best) {
                best = d;
                px = x;
                py = y;
            }
        }
    if (climb && best >= 0) {
        for (;;) {
            int bx = px, by = py, bv = -1;
            for (int x = std::max(px - 5, 0); x <= std::min(px + 5, N - 1); ++x)
                for (int y = std::max(py - 5, 0); y <= std::min(py + 5, N - 1); ++y)
                    if (s[y * N + x] > bv) {
                        bv = s[y * N + x];
                        bx = x;
                        by = y;
                    }
            if (bv <= s[py * N + px]) break;
            px = bx;
            py = by;
        }
    }
    px = std::clamp(px, 1, 118);
    py = std::clamp(py, 1, 118);
    if (setNeighbours8(s, px, py) == 1) {
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if ((dx || dy) && s[(py + dy) * N + px + dx] != 0) {
                    px += dx;
                    py += dy;
                    dy = 2;
                    break;
                }
    }
    RidgeResult r;
    r.value = s[py * N + px];
    r.x = px;
    r.y = py;
    const float dx = static_cast<float>(px - x0), dy = static_cast<float>(py - y0);
    r.distance = std::sqrt(dx * dx + dy * dy);
    return r;
}

RingResult RingCheck(std::int16_t* stack, const std::uint8_t* s, std::uint8_t* w2) {
    RingResult r;
    int set = 0, ends = 0, largest = 0, smallest = 0;
    bool any = false;
    for (int y = 1; y < N - 1; ++y)
        for (int x = 1; x < N - 1; ++x) {
            const int v = s[y * N + x];
            if (v == 0) continue;
            ++set;
            const int neighbours = setNeighbours8(s, x, y);
            if (neighbours == 1) ++ends;
            if (neighbours >= 1) {
                if (!any || v > largest) largest = any ? std::max(largest, v) : v;
                if (!any || v < smallest) smallest = any ? std::min(smallest, v) : v;
                any = true;
            }
        }
    // The width along the ring's skeleton must be nearly even. Without any
    // connected skeleton pixel there is no ring to judge.
    if (!any) return r;
    if (ends == 1) {
        if (largest / smallest >= 3) return r;
    } else if (ends == 0) {
        if (set < 2 || largest / smallest >= 2) return r;
    } else {
        return r;
    }

    // The hole: a background region of the reference at the centre.
    Box hole;
    bool found = false;
    for (int y = 57; y <= 63 && !found; ++y)
        for (int x = 57; x <= 63 && !found; ++x)
            if (w2[y * N + x] == 0) found = fill(stack, w2, x, y, 10, &hole) > 100;
    if (!found) return r;

    const RayFan fan =
        rayFan((hole.minX + hole.maxX) / 2, (hole.minY + hole.maxY) / 2, 60, 1, true, 1, 30, 20, 1);
    PointF points[20];
    Circle c;
    if (!MeasureCircle(w2, N, N, N, fan, &c, points)) return r;
    const int valid = CountValidPoints(points, 20);
    if (valid < 16 || !(CircleFitResidual(points, 20, static_cast<int>(0.25 * valid)) < 1.0f))
        return r;
    r.ok = true;
    r.type = ends == 1 ? 1 : 2;
    r.x = truncToInt(c.x);
    r.y = truncToInt(c.y);
    return r;
}

void FillEnclosed(std::int16_t* stack, std::uint8_t* out, const std::uint8_t* a, std::uint8_t* b) {
    for (int i = 0; i < kPatchArea; ++i) out[i] = a[i] != b[i] ? 255 : 0;
    for (int i = 0; i < kPatchArea; ++i) {
        if (out[i] != 255) continue;
        const int x = i % N, y = i / N;
        Box box;
        fill(stack, out, x, y, 128, &box);
        bool enclosed = box.minX > 0 && box.minY > 0 && box.maxX < N - 1 && box.maxY < N - 1;
        for (int py = box.minY - 1; enclosed && py <= box.maxY + 1; ++py)
            for (int px = box.minX - 1; enclosed && px <= box.maxX + 1; ++px) {
                const std::uint8_t* p = out + py * N + px;
                if (*p == 128) continue;
                const bool touches = (py + 1 < N && p[N] == 128) || (px > 0 && p[-1] == 128) ||
                                     (px + 1 < N && p[1] == 128) || (py > 0 && p[-N] == 128);
                if (touches && b[py * N + px] == 0) enclosed = false;
            }
        fill(stack, out, x, y, enclosed ? 64 : 127, nullptr);
    }
    for (int i = 0; i < kPatchArea; ++i)
        if (out[i] == 64) b[i] = 255;
}

}  // namespace pcbinspect
