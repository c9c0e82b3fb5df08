#include "imaging/radial_edges.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "boundary/numeric.h"
#include "imaging/ray_sampling.h"

namespace pcbinspect {
namespace {

// The ray samplers work in single precision throughout: the ray angle, its
// cosine and sine, the sample coordinates and the interpolation weights.
constexpr float kPi = 3.14159f;  // the angle conversion's own value of pi

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
        const int p = findEdgeOnRay(buffer.data() + static_cast<std::size_t>(i) * rs.samples,
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
            const float x = std::max(static_cast<float>(fan.cx) + rho * dirs[i].cos, kLowestCoordinate);
            const float y = std::max(static_cast<float>(fan.cy) + rho * dirs[i].sin, kLowestCoordinate);
            int ix, iy;
            float fx, fy;
            splitCoordinate(x, width, ix, fx);
            splitCoordinate(y, height, iy, fy);
            // Samples past the last column or row use the last 2 x 2 cell
            // with their own fractions.
            if (ix >= width - 1) ix = width - 2;
            if (iy >= height - 1) iy = height - 2;
            *sample++ = bilinearSample(image, stride, ix, iy, fx, fy);
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
            const float x = static_cast<float>(fan.cx) + rho * dirs[i].cos;
            const float y = static_cast<float>(fan.cy) + rho * dirs[i].sin;
            previous = oversampledSample(image, width, stride, height, x, y, f, previous);
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
    dropIncompleteGroups(points, n, g);
    std::vector<PointF> kept = validPoints(points, n);
    std::copy(kept.begin(), kept.end(), points);
    std::fill(points + kept.size(), points + n, kAbsentPoint);
    return fitKeptPoints(kept, circle) && ok;
}

}  // namespace pcbinspect
