#include "imaging/line_edges.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <utility>
#include <vector>

#include "imaging/ray_sampling.h"
#include "imaging/line_fit.h"

namespace pcbinspect {
namespace {

constexpr float kPi = 3.1415925f;  // the rake's own value of pi

// Rake coordinates (along t, across u) to the image.
struct RakeFrame {
    double cs, sn;
    float cx, cy;
    PointF at(float t, float u) const {
        return PointF{static_cast<float>(cx + t * cs - u * sn),
                      static_cast<float>(cy + t * sn + u * cs)};
    }
};

// Points in the frame of a line fit: exchanged when the line is steep, so
// that the fit always runs along the first coordinate.
struct FittedLine {
    std::vector<PointF> points;
    bool exchanged = false;
    double a = 0.0, b = 0.0;

    void exchange() {
        for (PointF& p : points) std::swap(p.x, p.y);
        exchanged = !exchanged;
    }
    void fit() { FitLine(static_cast<int>(points.size()), points.data(), &a, &b); }
    // Fits, and when the slope is steep exchanges the axes and fits again.
    void fitFlat() {
        fit();
        if (std::fabs(a) > 1.0) {
            exchange();
            fit();
        }
    }
    // The line through the fitted values at the first and last points.
    std::pair<PointF, PointF> reference() const {
        const double u0 = points.front().x, u1 = points.back().x;
        return {PointF{static_cast<float>(u0), static_cast<float>(a * u0 + b)},
                PointF{static_cast<float>(u1), static_cast<float>(a * u1 + b)}};
    }
    // Index and distance of the point farthest from the reference line.
    std::pair<int, float> farthest() const {
        const auto [s, e] = reference();
        int worst = 0;
        float worstDistance = -1.0f;
        for (int i = 0; i < static_cast<int>(points.size()); ++i) {
            const float d = PointLineDistance(s, e, points[i]);
            if (d > worstDistance) {
                worstDistance = d;
                worst = i;
            }
        }
        return {worst, worstDistance};
    }
};

std::vector<PointF> presentPoints(const PointF* points, int count) {
    std::vector<PointF> kept;
    for (int i = 0; i < count; ++i)
        if (!isAbsent(points[i])) kept.push_back(points[i]);
    return kept;
}

}  // namespace

bool RakeEdgePoints(const std::uint8_t* image, int width, int stride, int height,
                    const Rake& rake, PointF* out) {
    const int n = rake.rays;
    if (n > 0) std::fill(out, out + n, kAbsentPoint);
    const int f = 1 << std::clamp(rake.exponent, 0, 5);
    const int L = rake.halfLength, H = rake.halfWidth;
    if (L < 1 || H < 1 || width < 1 || height < 1 || n < 1) return false;

    int w0 = rake.window;
    if (w0 >= L) w0 = L - 1;
    w0 = std::max(w0, 1);
    const int w = w0 * f;
    const int samples = (2 * L + 1) * f;
    const float c = static_cast<float>((2 * L + 1) * f - 1) / 2.0f;
    const float radians = rake.angle / 180.0f * kPi;
    const RakeFrame frame{std::cos(static_cast<double>(radians)),
                          std::sin(static_cast<double>(radians)), static_cast<float>(rake.cx),
                          static_cast<float>(rake.cy)};
    auto across = [&](int i) {
        return static_cast<float>(i * (2 * H + 1)) / static_cast<float>(n) - static_cast<float>(H);
    };

    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(n) * samples);
    std::uint8_t previous = 0;
    std::uint8_t* sample = buffer.data();
    for (int i = 0; i < n; ++i) {
        const float u = across(i);
        for (int j = 0; j < samples; ++j) {
            const float t = (static_cast<float>(j) - c) / static_cast<float>(f);
            const PointF p = frame.at(t, u);
            previous = oversampledSample(image, width, stride, height, p.x, p.y, f, previous);
            *sample++ = previous;
        }
    }
    const std::int64_t threshold = static_cast<std::int64_t>(rake.threshold) * w;
    for (int i = 0; i < n; ++i) {
        const int p = findEdgeOnRay(buffer.data() + static_cast<std::size_t>(i) * samples, samples,
                                    w, threshold, rake.polarity, rake.stopMode);
        if (p < 0) continue;
        const float s = static_cast<float>(p + w) - 1.5f;
        out[i] = frame.at((s - c) / static_cast<float>(f), across(i));
    }
    return true;
}

bool MeasureLine(const std::uint8_t* image, int width, int stride, int height, const Rake& rake,
                 int groupSize, float* x0, float* y0, float* x1, float* y1, PointF* points) {
    const int n = rake.rays;
    if (n > 0) std::fill(points, points + n, kAbsentPoint);
    RakeEdgePoints(image, width, stride, height, rake, points);
    if (n < 1) return false;
    dropIncompleteGroups(points, n, std::max(groupSize, 1));
    FittedLine line;
    line.points = presentPoints(points, n);
    const int m = static_cast<int>(line.points.size());
    std::copy(line.points.begin(), line.points.end(), points);
    std::fill(points + m, points + n, kAbsentPoint);
    if (m < 2) return false;

    PointF first = line.points.front(), last = line.points.back();
    line.fitFlat();
    if (m > 3) {
        const int rounds = std::max(static_cast<int>(0.2 * m), 1);
        for (int round = 0; round < rounds; ++round) {
            const auto [worst, distance] = line.farthest();
            if (distance <= 3.0f) break;
            line.points.erase(line.points.begin() + worst);
            line.fitFlat();
        }
    }
    // The segment's ends keep the coordinate the fit runs along and take the
    // fitted other coordinate.
    if (!line.exchanged) {
        first.y = static_cast<float>(line.a * first.x + line.b);
        last.y = static_cast<float>(line.a * last.x + line.b);
    } else {
        first.x = static_cast<float>(line.a * first.y + line.b);
        last.x = static_cast<float>(line.a * last.y + line.b);
    }
    *x0 = first.x;
    *y0 = first.y;
    *x1 = last.x;
    *y1 = last.y;
    return true;
}

float LineFitResidual(const PointF* points, int count, int maxRemovals) {
    FittedLine line;
    line.points = presentPoints(points, count);
    int m = static_cast<int>(line.points.size());
    if (m < count / 3 || m < 5) return FLT_MAX;
    line.fitFlat();
    if (m > 5) {
        const int rounds = std::min(m - 5, maxRemovals);
        for (int round = 0; round < rounds; ++round) {
            const auto [worst, distance] = line.farthest();
            if (distance <= 3.0f) break;
            line.points.erase(line.points.begin() + worst);
            --m;
            line.fitFlat();
        }
    }
    const auto [s, e] = line.reference();
    float sum = 0.0f;
    for (const PointF& p : line.points) sum += PointLineDistance(s, e, p);
    return sum / static_cast<float>(m);
}

}  // namespace pcbinspect
