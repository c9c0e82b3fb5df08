// Pad checks: whether the feature at the centre stands alone (pad-area
// test), whether a round pad edge lies behind the camera's open areas (pad
// test), and the run and profile measures of edge-point lists.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "boundary/numeric.h"
#include "imaging/radial_edges.h"
#include "inspect/window_checks.h"
#include "inspect/window_rings.h"
#include "imaging/region_fill.h"
#include "imaging/thickness_map.h"

namespace pcbinspect {

bool padAreaTest(const std::uint8_t* reference, int limit, CheckScratch& scratch) {
    if (limit < 1) return false;
    constexpr int n = kWindowSide, c = kWindowCentre;
    std::uint8_t* copy = scratch.work(0, n * n);
    for (int i = 0; i < n * n; ++i) copy[i] = reference[i] != 0 ? 255 : 0;

    // The edge point: the first pixel on the rings around the centre whose
    // value differs from the centre's.
    const std::uint8_t centre = copy[c * n + c];
    int ex = c, ey = c;
    for (int d = 1; d <= 56; ++d) {
        const bool hit = visitRing(kHorizontalFirst, c, c, d, n, n, [&](int x, int y) {
            if (copy[y * n + x] == centre) return false;
            ex = x;
            ey = y;
            return true;
        });
        if (hit) break;
    }

    // Features touching the edge point's close neighbourhood (3 rings) are
    // the centre feature itself; any other feature within the limit fails.
    std::int16_t* stack = scratch.fillStack(n, n);
    const int rings = std::min(limit, 60);
    for (int d = 0; d < rings; ++d) {
        const bool failed = visitRing(kHorizontalFirst, ex, ey, d, n, n, [&](int x, int y) {
            if (copy[y * n + x] == 0) return false;
            if (d > 3) return true;
            RegionFill(stack, copy, n, n, n, x, y, 0, nullptr);
            return false;
        });
        if (failed) return false;
    }
    return true;
}

namespace {

constexpr int kPadRays = 20;
constexpr double kPi = 3.14159;

// Radians to degrees with the project's value of pi, in double precision and
// stored as a float.
float degrees(float radians) { return static_cast<float>(radians / kPi * 180.0); }

// |a - b| folded into 0 .. 180.
float angleBetween(float a, float b) {
    float d = std::fabs(a - b);
    if (d > 180.0f) d = 360.0f - d;
    return d;
}

// An outward fan of 20 rays looking for the step up onto reference copper.
bool padEdge(const std::uint8_t* reference, int n, int cx, int cy, int outer, int inner,
             float startAngle, int sectorWidth, Circle* circle, PointF* points) {
    const RayFan fan = rayFan(cx, cy, outer, inner, true, 1, 100, kPadRays, 5, startAngle,
                              startAngle + static_cast<float>(sectorWidth));
    return MeasureCircleGrouped(reference, n, n, n, fan, 1, circle, points, 0, 0);
}

}  // namespace

bool padTest(const std::uint8_t* reference, const std::uint8_t* camera, int n, int sectorWidth,
             float residualLimit, float* bestResidual, Circle* circle, CheckScratch& scratch) {
    if (n < 1) return false;
    const int h = n / 2;
    const std::size_t pixels = static_cast<std::size_t>(n) * n;

    // The widths of the camera's open areas.
    std::uint8_t* a = scratch.work(2, pixels);
    for (std::size_t i = 0; i < pixels; ++i) a[i] = camera[i] == 0 ? 255 : 0;
    ThicknessMap(GrayView{a, n, n, n});

    const int offsets[3] = {-sectorWidth, -sectorWidth / 2, 0};
    PointF points[kPadRays];
    for (int peak = 0; peak < 4; ++peak) {
        // The widest open place, first in row order.
        int m = -1, x = 0, y = 0;
        for (int yy = 0; yy < n; ++yy)
            for (int xx = 0; xx < n; ++xx)
                if (a[yy * n + xx] > m) {
                    m = a[yy * n + xx];
                    x = xx;
                    y = yy;
                }
        if (m < 5) return false;

        // Centre of the pixels of that width within m of it.
        {
            long long sx = 0, sy = 0, count = 0;
            for (int yy = std::max(y - m, 0); yy <= std::min(y + m, n - 1); ++yy)
                for (int xx = std::max(x - m, 0); xx <= std::min(x + m, n - 1); ++xx)
                    if (a[yy * n + xx] == m) {
                        sx += xx;
                        sy += yy;
                        ++count;
                    }
            x = static_cast<int>(sx / count);
            y = static_cast<int>(sy / count);
        }
        // Clear around it so that the next round finds the next place.
        const int clear = std::max(m, 30);
        for (int yy = std::max(y - clear, 0); yy <= std::min(y + clear, n - 1); ++yy)
            for (int xx = std::max(x - clear, 0); xx <= std::min(x + clear, n - 1); ++xx)
                a[yy * n + xx] = 0;

        // Direction from the open place toward the window centre; a place
        // closer than 30 pixels is pushed out to 30.
        float dx = static_cast<float>(h - x), dy = static_cast<float>(h - y);
        float d = std::sqrt(dx * dx + dy * dy) + 0.1f;
        if (d < 30.0f) {
            const float scale = 30.0f / d;
            dx *= scale;
            dy *= scale;
            x = truncToInt(static_cast<float>(h) - dx);
            y = truncToInt(static_cast<float>(h) - dy);
            d = std::sqrt(dx * dx + dy * dy) + 0.1f;
        }
        const float theta = degrees(std::atan2(dy, dx));
        const float reach = std::min(3.0f * d, static_cast<float>(n));

        if (x < 0 || y < 0 || x >= n || y >= n) continue;  // pushed off the window
        if (reference[y * n + x] != 0) continue;

        for (int o : offsets) {
            Circle first;
            if (!padEdge(reference, n, x, y, truncToInt(reach), truncToInt(d * 0.5f),
                         theta + static_cast<float>(o), sectorWidth, &first, points))
                continue;
            if (CountValidPoints(points, kPadRays) != kPadRays || !(first.radius <= 200.0f))
                continue;

            // The circle's centre seen from the window centre; when it lies
            // on the far side of the open place it is mirrored through the
            // window centre.
            float ex = static_cast<float>(h) - first.x, ey = static_cast<float>(h) - first.y;
            float phi = degrees(std::atan2(ey, ex));
            float centreX = first.x, centreY = first.y;
            if (angleBetween(phi, theta) > 90.0f) {
                const double turn = kPi;
                const double cs = std::cos(turn), sn = std::sin(turn);
                const float tx = static_cast<float>(cs * ex - sn * ey);
                const float ty = static_cast<float>(sn * ex + cs * ey);
                centreX = static_cast<float>(h) - tx;
                centreY = static_cast<float>(h) - ty;
                phi = degrees(std::atan2(ty, tx));
            }
            const float top = static_cast<float>(n - 1);
            centreX = std::clamp(centreX, 0.0f, top);
            centreY = std::clamp(centreY, 0.0f, top);

            const float offX = centreX - static_cast<float>(h), offY = centreY - static_cast<float>(h);
            const float fromCentre = std::sqrt(offX * offX + offY * offY);
            Circle second;
            if (!padEdge(reference, n, truncToInt(centreX), truncToInt(centreY),
                         truncToInt(std::min(2.0f * first.radius, static_cast<float>(n))),
                         truncToInt(0.5f * fromCentre), phi + static_cast<float>(o), sectorWidth,
                         &second, points))
                continue;
            if (CountValidPoints(points, kPadRays) != kPadRays) continue;

            const float q = profileRatio(second, points, kPadRays);
            if (q < *bestResidual) {
                *bestResidual = q;
                *circle = second;
            }
            const float psi = degrees(std::atan2(static_cast<float>(h) - second.y,
                                                 static_cast<float>(h) - second.x));
            if (second.radius >= 30.0f && second.radius <= 200.0f && angleBetween(phi, psi) < 90.0f &&
                q < residualLimit)
                return true;
        }
    }
    return false;
}

int runCount(PointF* points, int count, int* start) {
    if (count < 1) return 0;
    // Every run ends inside the list.
    points[count - 1] = PointF{-1.0f, -1.0f};
    int best = 0, run = 0, runStart = 0;
    for (int i = 0; i < count; ++i) {
        if (points[i].x >= 0.0f && points[i].y >= 0.0f) {
            if (run == 0) runStart = i;
            ++run;
            continue;
        }
        if (run > best) {  // strictly longer: of equal runs the first stays
            best = run;
            *start = runStart;
        }
        run = 0;
    }
    return best;
}

float profileRatio(const Circle& circle, const PointF* points, int count) {
    if (count < 1) return 0.0f;
    float sum = 0.0f;
    for (int i = 0; i < count; ++i) {
        const PointF& p = points[i];
        if (!(p.x >= 0.0f && p.y >= 0.0f)) continue;
        const float ddx = circle.x - p.x, ddy = circle.y - p.y;
        sum += std::fabs(std::sqrt(ddx * ddx + ddy * ddy) - circle.radius);
    }
    return sum / static_cast<float>(count);
}

}  // namespace pcbinspect
