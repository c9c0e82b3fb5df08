#include "classify/radial_edges.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "boundary/numeric.h"

namespace pcbinspect {
namespace {

// The ray samplers work in single precision throughout: the ray angle, its
// cosine and sine, the sample coordinates and the interpolation weights.
constexpr float kPi = 3.14159f;           // the angle conversion's own value of pi
constexpr float kLowest = 1.1920929e-7f;  // coordinates are raised to at least this
constexpr float kNoPointBelow = -2147483648.0f;

struct Direction {
    float cos, sin;
};

// Ray i points at ((i + 0.5) * step + a0) degrees, the fan spanning at most
// one full turn.
std::vector<Direction> rayDirections(const RayFan& fan) {
    const float a0 = fan.startAngle;
    float a1 = fan.endAngle;
    while (a1 - a0 > 360.0f) a1 -= 360.0f;
    while (a1 - a0 < -360.0f) a1 += 360.0f;
    const float step = (a1 - a0) / static_cast<float>(fan.rays);
    std::vector<Direction> dirs(static_cast<std::size_t>(fan.rays));
    for (int i = 0; i < fan.rays; ++i) {
        const float angle = ((static_cast<float>(i) + 0.5f) * step + a0) / 180.0f * kPi;
        dirs[i] = Direction{std::cos(angle), std::sin(angle)};
    }
    return dirs;
}

// Index and fraction of a coordinate that is at least kLowest; coordinates
// beyond the int range report `limit` so that callers treat them as past
// the image.
void splitCoordinate(float v, int limit, int& index, float& fraction) {
    const float whole = std::trunc(v);
    fraction = v - whole;
    index = whole < static_cast<float>(limit) ? static_cast<int>(whole) : limit;
}

std::uint8_t bilinear(const std::uint8_t* image, std::ptrdiff_t stride, int ix, int iy, float fx,
                      float fy) {
    const std::uint8_t* p = image + iy * stride + ix;
    const float v = (1 - fx) * (1 - fy) * p[0] + (1 - fx) * fy * p[stride] +
                    fx * (1 - fy) * p[1] + fx * fy * p[stride + 1];
    return static_cast<std::uint8_t>(static_cast<int>(v));
}

// Cubic convolution kernel with a = -0.5.
float cubicWeight(float t) {
    const float a = std::fabs(t);
    if (a < 1.0f) return 1.0f - 2.5f * t * t + 1.5f * a * a * a;
    if (a < 2.0f) return 2.0f - 4.0f * a + 2.5f * t * t - 0.5f * a * a * a;
    return 0.0f;
}

// Bicubic value at (x, y); the caller keeps (x, y) at least 2 pixels inside.
std::uint8_t bicubic(const std::uint8_t* image, std::ptrdiff_t stride, float x, float y) {
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

// Walks the two adjacent windows of W samples along one ray and returns the
// position p of the edge, or -1. `stopMode` < 0 stops at the first response
// above T, 0 once the peak response exceeds the current step, > 0 once the
// step falls below T.
int findEdge(const std::uint8_t* s, int samples, int w, std::int64_t t, int polarity,
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

// Samples per ray, the window and the sum threshold, scaled by the
// oversampling factor f.
struct RaySampling {
    int samples, window;
    std::int64_t threshold;
};

RaySampling raySampling(const RayFan& fan, int f) {
    const int span = fan.outerRadius - fan.innerRadius;
    const int w = std::max(std::min(span / 2, fan.window), 1) * f;
    return RaySampling{(span + 1) * f, w, static_cast<std::int64_t>(fan.threshold) * w};
}

// Edge search on every ray of the sample buffer; edges become points at the
// found offset (in samples, divided by f) along their ray.
void edgesToPoints(const std::vector<std::uint8_t>& buffer, const RayFan& fan,
                   const std::vector<Direction>& dirs, const RaySampling& rs, int f, int stopMode,
                   PointF* out) {
    for (int i = 0; i < fan.rays; ++i) {
        out[i] = kAbsentPoint;
        const int p = findEdge(buffer.data() + static_cast<std::size_t>(i) * rs.samples,
                               rs.samples, rs.window, rs.threshold, fan.polarity, stopMode);
        if (p < 0) continue;
        const float offset = (static_cast<float>(p + rs.window) - 1.5f) / static_cast<float>(f);
        const float radius = fan.outward ? static_cast<float>(fan.innerRadius) + offset
                                         : static_cast<float>(fan.outerRadius) - offset;
        out[i] = PointF{static_cast<float>(fan.cx) + radius * dirs[i].cos,
                        static_cast<float>(fan.cy) + radius * dirs[i].sin};
    }
}

// Sample j of a ray lies at this radius.
float sampleRadius(const RayFan& fan, int j, int f) {
    const float along = f == 1 ? static_cast<float>(j)
                               : static_cast<float>(j) / static_cast<float>(f);
    return fan.outward ? static_cast<float>(fan.innerRadius) + along
                       : static_cast<float>(fan.outerRadius) - along;
}

// Keeps the points with both coordinates >= 0, in order.
std::vector<PointF> validPoints(const PointF* points, int count) {
    std::vector<PointF> kept;
    for (int i = 0; i < count; ++i)
        if (points[i].x >= 0.0f && points[i].y >= 0.0f) kept.push_back(points[i]);
    return kept;
}

// Rejects outliers (up to a fifth of the points) and fits the circle.
bool fitKeptPoints(std::vector<PointF>& kept, Circle* circle) {
    int m = static_cast<int>(kept.size());
    if (m >= 5) RejectCircleOutliers(kept.data(), &m, static_cast<int>(m * 0.2));
    if (m < 3) return false;
    FitCircle(kept.data(), m, &circle->x, &circle->y, &circle->radius);
    return true;
}

}  // namespace

bool RadialEdgePoints(const std::uint8_t* image, int width, int stride, int height,
                      const RayFan& fan, PointF* out) {
    if (fan.outerRadius - fan.innerRadius < 3 || width < 1 || height < 1) return false;
    if (fan.rays < 1) return true;
    if (width < 2 || height < 2) {
        // No 2 x 2 cell to interpolate in: no ray finds an edge.
        std::fill(out, out + fan.rays, kAbsentPoint);
        return true;
    }
    const std::vector<Direction> dirs = rayDirections(fan);
    const RaySampling rs = raySampling(fan, 1);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(fan.rays) * rs.samples);
    std::uint8_t* sample = buffer.data();
    for (int i = 0; i < fan.rays; ++i) {
        for (int j = 0; j < rs.samples; ++j) {
            const float rho = sampleRadius(fan, j, 1);
            const float x = std::max(static_cast<float>(fan.cx) + rho * dirs[i].cos, kLowest);
            const float y = std::max(static_cast<float>(fan.cy) + rho * dirs[i].sin, kLowest);
            int ix, iy;
            float fx, fy;
            splitCoordinate(x, width, ix, fx);
            splitCoordinate(y, height, iy, fy);
            // Samples past the last column or row use the last 2 x 2 cell
            // with their own fractions.
            if (ix >= width - 1) ix = width - 2;
            if (iy >= height - 1) iy = height - 2;
            *sample++ = bilinear(image, stride, ix, iy, fx, fy);
        }
    }
    edgesToPoints(buffer, fan, dirs, rs, 1, 0, out);
    return true;
}

bool RadialEdgePointsFine(const std::uint8_t* image, int width, int stride, int height,
                          const RayFan& fan, int stopMode, int exponent, PointF* out) {
    if (fan.rays > 0) std::fill(out, out + fan.rays, kAbsentPoint);
    if (fan.outerRadius - fan.innerRadius < 3 || width < 1 || height < 1 || fan.rays < 1)
        return false;
    const int f = 1 << std::clamp(exponent, 0, 5);
    const std::vector<Direction> dirs = rayDirections(fan);
    const RaySampling rs = raySampling(fan, f);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(fan.rays) * rs.samples);
    std::uint8_t previous = 0;  // samples off the image repeat the one stored before them
    std::uint8_t* sample = buffer.data();
    for (int i = 0; i < fan.rays; ++i) {
        for (int j = 0; j < rs.samples; ++j) {
            const float rho = sampleRadius(fan, j, f);
            float x = static_cast<float>(fan.cx) + rho * dirs[i].cos;
            float y = static_cast<float>(fan.cy) + rho * dirs[i].sin;
            if (f == 1) {
                x = std::max(x, kLowest);
                y = std::max(y, kLowest);
                int ix, iy;
                float fx, fy;
                splitCoordinate(x, width, ix, fx);
                splitCoordinate(y, height, iy, fy);
                if (ix < width - 1 && iy < height - 1)
                    previous = bilinear(image, stride, ix, iy, fx, fy);
            } else {
                const int ix = truncToInt(x), iy = truncToInt(y);
                if (ix >= 2 && iy >= 2 && ix < width - 2 && iy < height - 2)
                    previous = bicubic(image, stride, x, y);
            }
            *sample++ = previous;
        }
    }
    edgesToPoints(buffer, fan, dirs, rs, f, stopMode, out);
    return true;
}

bool MeasureCircle(const std::uint8_t* image, int width, int stride, int height,
                   const RayFan& fan, Circle* circle, PointF* points) {
    const bool ok = RadialEdgePoints(image, width, stride, height, fan, points);
    // A fan that measured nothing leaves the caller's array as it was; it
    // holds no points of this measurement.
    std::vector<PointF> kept = ok ? validPoints(points, fan.rays) : std::vector<PointF>{};
    return fitKeptPoints(kept, circle) && ok;
}

bool MeasureCircleGrouped(const std::uint8_t* image, int width, int stride, int height,
                          const RayFan& fan, int groupSize, Circle* circle, PointF* points,
                          int stopMode, int exponent) {
    const int n = fan.rays;
    if (n < 3) return false;
    const int g = std::max(groupSize, 1);
    const bool ok =
        RadialEdgePointsFine(image, width, stride, height, fan, stopMode, exponent, points);
    for (int start = 0; start < n; start += g) {
        const int end = std::min(start + g, n);
        bool missing = false;
        for (int i = start; i < end; ++i)
            missing |= points[i].x < kNoPointBelow && points[i].y < kNoPointBelow;
        if (missing) std::fill(points + start, points + end, kAbsentPoint);
    }
    std::vector<PointF> kept = validPoints(points, n);
    std::copy(kept.begin(), kept.end(), points);
    std::fill(points + kept.size(), points + n, kAbsentPoint);
    return fitKeptPoints(kept, circle) && ok;
}

}  // namespace pcbinspect
