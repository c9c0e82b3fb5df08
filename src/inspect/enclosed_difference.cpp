#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

#include "boundary/numeric.h"
#include "inspect/recheck_stages.h"
#include "imaging/region_fill.h"

namespace pcbinspect {
namespace {

constexpr int N = kRecheckSide;
constexpr float kPi = 3.14f;  // this check's own value of pi

bool isEdgeOf(const std::uint8_t* m, int x, int y) {
    if (m[y * N + x] == 0) return false;
    return (y + 1 < N && m[(y + 1) * N + x] == 0) || (x > 0 && m[y * N + x - 1] == 0) ||
           (x + 1 < N && m[y * N + x + 1] == 0) || (y > 0 && m[(y - 1) * N + x] == 0);
}

bool touches(const std::uint8_t* d, int x, int y, std::uint8_t value) {
    return (y + 1 < N && d[(y + 1) * N + x] == value) || (x > 0 && d[y * N + x - 1] == value) ||
           (x + 1 < N && d[y * N + x + 1] == value) || (y > 0 && d[(y - 1) * N + x] == value);
}

struct Point {
    int x = 0, y = 0;
};

// The first set pixel on the line through (cx, cy) from s = from towards 0.
// Steep lines step by rows, the others by columns.
Point firstOnLine(const std::uint8_t* m, int cx, int cy, int from, bool byRows, float slope) {
    const int step = from < 0 ? 1 : -1;
    for (int s = from; step > 0 ? s <= 0 : s >= 0; s += step) {
        const int along = truncToInt(static_cast<float>(s) * slope);
        const int x = byRows ? cx + along : cx + s;
        const int y = byRows ? cy + s : cy + along;
        if (x < 0 || y < 0 || x >= N || y >= N) continue;
        if (m[y * N + x] != 0) return Point{x, y};
    }
    return Point{};
}

float length(const Point& a, const Point& b) {
    const int dx = a.x - b.x, dy = a.y - b.y;
    return std::sqrt(static_cast<float>(dx * dx + dy * dy));
}

}  // namespace

bool EnclosedDifferenceCheck(std::uint8_t* d, const std::uint8_t* p, std::uint8_t* q, float limit,
                             float* score, const float* toleranceTable, int toleranceCount) {
    for (int i = 0; i < kRecheckArea; ++i) d[i] = (p[i] != 0) != (q[i] != 0) ? 255 : 0;
    std::vector<std::int16_t> stack(2 * kRecheckArea);
    std::vector<Point> boundary;
    boundary.reserve(240);
    int largest = 0, cx = 0, cy = 0, seedX = -1, seedY = -1;
    for (int y = 60; y <= 180; ++y)
        for (int x = 60; x <= 180; ++x) {
            if (boundary.size() < 240 && isEdgeOf(p, x, y)) boundary.push_back(Point{x, y});
            if (d[y * N + x] != 255) continue;
            int b[4];
            RegionFill(stack.data(), d, N, N, N, x, y, 128, b);
            const int top = std::max(b[1] - 1, 1), bottom = std::min(b[0] + 1, 239);
            const int left = std::max(b[2] - 1, 1), right = std::min(b[3] + 1, 239);
            // Open when a pixel next to the region is background in q.
            bool open = false;
            for (int yy = top; yy <= bottom && !open; ++yy)
                for (int xx = left; xx <= right && !open; ++xx)
                    open = d[yy * N + xx] != 128 && touches(d, xx, yy, 128) && q[yy * N + xx] == 0;
            if (open) {
                RegionFill(stack.data(), d, N, N, N, x, y, 127, nullptr);
                continue;
            }
            const int count = RegionFill(stack.data(), d, N, N, N, x, y, 63, b);
            if (count > largest) {
                if (seedX >= 0) RegionFill(stack.data(), d, N, N, N, seedX, seedY, 63, nullptr);
                largest = count;
                cx = (b[2] + b[3]) / 2;
                cy = (b[1] + b[0]) / 2;
                RegionFill(stack.data(), d, N, N, N, x, y, 64, nullptr);
                seedX = x;
                seedY = y;
            }
        }

    // The edge of p nearest the region, and the edge's direction there.
    Point edge;
    long long best = -1;
    for (const Point& e : boundary) {
        const long long dd = static_cast<long long>(e.x - cx) * (e.x - cx) +
                             static_cast<long long>(e.y - cy) * (e.y - cy);
        if (best < 0 || dd < best) {
            best = dd;
            edge = e;
        }
    }
    Point toward;
    for (int x = edge.x - 3; x <= edge.x + 3; ++x) {
        if (x < 0 || x >= N) continue;
        for (int y = edge.y - 3; y <= edge.y + 3; ++y) {
            if (y < 0 || y >= N || !isEdgeOf(p, x, y)) continue;
            toward = Point{x, y};
            break;
        }
    }
    const float theta = std::atan2(static_cast<float>(toward.y - edge.y),
                                   static_cast<float>(toward.x - edge.x)) /
                        kPi * 180.0f;
    const float sn = std::sin(theta / 180.0f * kPi), cs = std::cos(theta / 180.0f * kPi);

    // How far the region reaches across the edge direction.
    float lo = FLT_MAX, hi = -FLT_MAX;
    for (int y = 0; y < N; ++y)
        for (int x = 0; x < N; ++x) {
            if (d[y * N + x] != 64) continue;
            const float v = static_cast<float>(x - cx) * sn + static_cast<float>(y - cy) * cs;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    const float extent = hi - lo + 1.0f;

    // Widths of p and q along the line through the region's centre across
    // the edge.
    float phi = theta + 90.0f;
    while (phi > 90.0f) phi -= 180.0f;
    while (phi < -90.0f) phi += 180.0f;
    const bool byRows = std::fabs(phi) >= 45.0f;
    const float psi = phi > 0.0f ? 90.0f - phi : -phi - 90.0f;
    const float slope = std::tan((byRows ? psi : phi) / 180.0f * kPi);
    const float widthP = length(firstOnLine(p, cx, cy, -240, byRows, slope),
                                firstOnLine(p, cx, cy, 240, byRows, slope));
    const float widthQ = length(firstOnLine(q, cx, cy, -240, byRows, slope),
                                firstOnLine(q, cx, cy, 240, byRows, slope));

    if (const WidthTolerance* t = findWidthTolerance(toleranceTable, toleranceCount, 0.5f * widthP))
        limit = t->differenceLimit;
    for (int i = 0; i < kRecheckArea; ++i)
        if (d[i] == 63 || d[i] == 64) q[i] = 255;

    // Without a width of q across the line there is nothing to compare with.
    if (!(widthQ > 0.0f)) return false;
    const float ratio = extent / (2.0f * (0.5f * widthQ));
    if (!(ratio >= limit)) return false;
    *score = ratio;
    return true;
}

}  // namespace pcbinspect
