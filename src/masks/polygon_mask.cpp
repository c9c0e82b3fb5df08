#include "masks/polygon_mask.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "boundary/numeric.h"
#include "imaging/region_fill.h"

namespace pcbinspect {
namespace {

// The float epsilon, written out as the exact double it converts to.
constexpr double kTiny = 1.1920928955078125e-7;

struct Edge {
    std::int64_t x0, y0, x1, y1;
};

Edge edgeOf(const std::int32_t* points, int count, int k) {
    const int next = k + 1 < count ? k + 1 : 0;
    return Edge{points[2 * k], points[2 * k + 1], points[2 * next], points[2 * next + 1]};
}

// Side of (cx, cy) against the edge's line, in single precision.
float sideOf(const Edge& e, std::int64_t cx, std::int64_t cy) {
    const float dx = static_cast<float>(e.x1 - e.x0), dy = static_cast<float>(e.y1 - e.y0);
    return static_cast<float>(cy - e.y0) * dx - static_cast<float>(cx - e.x0) * dy;
}

// Draws the pixels of one edge that fall in `area` with the outline label;
// returns false when neither the edge nor its line can touch the image of
// `width` x `height`.
bool drawEdge(const Edge& e, std::uint8_t* mask, int stride, int width, int height,
              const PixelArea& area) {
    if ((e.x0 < 0 && e.x1 < 0) || (e.x0 >= width && e.x1 >= width) || (e.y0 < 0 && e.y1 < 0) ||
        (e.y0 >= height && e.y1 >= height))
        return false;
    const std::int64_t lastColumn = width - 1, lastRow = height - 1;
    const float s[4] = {sideOf(e, 0, 0), sideOf(e, 0, lastRow), sideOf(e, lastColumn, 0),
                        sideOf(e, lastColumn, lastRow)};
    if ((s[0] > 0 && s[1] > 0 && s[2] > 0 && s[3] > 0) ||
        (s[0] < 0 && s[1] < 0 && s[2] < 0 && s[3] < 0))
        return false;

    const std::int64_t left = area.left, top = area.top, right = area.right,
                       bottom = area.bottom;
    const std::int64_t dx = e.x1 - e.x0, dy = e.y1 - e.y0;
    // Steps one pixel along the longer axis; the other coordinate is the
    // truncated position on the line. A zero-length edge gives a NaN slope,
    // whose position lies outside every image, so it draws nothing.
    if ((dx < 0 ? -dx : dx) <= (dy < 0 ? -dy : dy)) {
        const double slope = static_cast<double>(dx) / static_cast<double>(dy);
        const std::int64_t first = std::max<std::int64_t>(std::min(e.y0, e.y1), top);
        const std::int64_t last = std::min<std::int64_t>(std::max(e.y0, e.y1), bottom);
        for (std::int64_t y = first; y <= last; ++y) {
            const int x = truncToInt(static_cast<double>(y - e.y0) * slope +
                                     static_cast<double>(e.x0));
            if (x >= left && x <= right) mask[y * stride + x] = kMaskOutline;
        }
    } else {
        const double slope = static_cast<double>(dy) / static_cast<double>(dx);
        const std::int64_t first = std::max<std::int64_t>(std::min(e.x0, e.x1), left);
        const std::int64_t last = std::min<std::int64_t>(std::max(e.x0, e.x1), right);
        for (std::int64_t x = first; x <= last; ++x) {
            const int y = truncToInt(static_cast<double>(x - e.x0) * slope +
                                     static_cast<double>(e.y0));
            if (y >= top && y <= bottom) mask[static_cast<std::ptrdiff_t>(y) * stride + x] = kMaskOutline;
        }
    }
    return true;
}

}  // namespace

bool PointInPolygon(double x, double y, int count, const std::int32_t* points) {
    if (count < 1) return false;
    double sum = 0.0;
    for (int k = 0; k < count; ++k) {
        const int next = k + 1 < count ? k + 1 : 0;
        const double ux = points[2 * k] - x, uy = points[2 * k + 1] - y;
        const double vx = points[2 * next] - x, vy = points[2 * next + 1] - y;
        const double cross = vy * ux - vx * uy;
        const double sign = cross < -kTiny ? -1.0 : 1.0;
        const double lu = std::sqrt(ux * ux + uy * uy), lv = std::sqrt(vx * vx + vy * vy);
        if (lu < kTiny || lv < kTiny) continue;
        double c = (ux * vx + uy * vy) / (lu * lv);
        c = std::clamp(c, -1.0, 1.0);
        // Degrees with the circle finder's value of pi.
        sum += sign * std::acos(c) * 180.0 / 3.1415926;
    }
    return std::fabs(sum) > 359.99;
}

void PolygonMask(std::vector<std::int32_t>& stack, std::uint8_t* mask, std::uint8_t* out, int width,
                 int stride, int height, const std::int32_t* points, int count,
                 std::uint8_t value) {
    if (width < 1 || height < 1) return;
    PolygonMaskIn(stack, mask, out, width, stride, height,
                  PixelArea{0, 0, width - 1, height - 1}, points, count, value);
}

void PolygonMaskIn(std::vector<std::int32_t>& stack, std::uint8_t* mask, std::uint8_t* out,
                   int imageWidth, int stride, int imageHeight, const PixelArea& area,
                   const std::int32_t* points, int count, std::uint8_t value) {
    const int width = area.right - area.left + 1, height = area.bottom - area.top + 1;
    if (width < 1 || height < 1) return;
    const std::ptrdiff_t origin = static_cast<std::ptrdiff_t>(area.top) * stride + area.left;
    std::uint8_t* const areaMask = mask + origin;
    std::uint8_t* const areaOut = out + origin;
    for (int y = 0; y < height; ++y)
        std::memset(areaMask + static_cast<std::ptrdiff_t>(y) * stride, kMaskUnlabelled,
                    static_cast<std::size_t>(width));

    bool crossed = false;
    for (int k = 0; k < count; ++k)
        if (drawEdge(edgeOf(points, count, k), mask, stride, imageWidth, imageHeight, area))
            crossed = true;

    if (!crossed) {
        // No edge reaches the image: it lies wholly inside or wholly outside.
        if (PointInPolygon(0.0, 0.0, count, points)) {
            for (int y = 0; y < imageHeight; ++y)
                std::memset(out + static_cast<std::ptrdiff_t>(y) * stride, value,
                            static_cast<std::size_t>(imageWidth));
        }
        return;
    }

    // Every region the outline leaves is labelled by the side its first
    // pixel lies on.
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = areaMask + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            if (row[x] != kMaskUnlabelled) continue;
            const std::uint8_t label =
                PointInPolygon(area.left + x, area.top + y, count, points) ? kMaskInside
                                                                           : kMaskOutside;
            SpanFill(stack, areaMask, width, stride, height, x, y, label);
        }
    }
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* m = areaMask + static_cast<std::ptrdiff_t>(y) * stride;
        std::uint8_t* o = areaOut + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = 0; x < width; ++x)
            if (m[x] == kMaskInside) o[x] = value;
    }
}

}  // namespace pcbinspect
