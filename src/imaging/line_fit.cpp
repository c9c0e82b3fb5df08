#include "imaging/line_fit.h"

#include <cfloat>
#include <cmath>
#include <utility>

namespace pcbinspect {
namespace {

constexpr double kFlatSlope = 1.1920929e-7;  // FLT_EPSILON as the fits compare it

void swapAxes(int count, PointF* points) {
    for (int i = 0; i < count; ++i) std::swap(points[i].x, points[i].y);
}

struct Spread {
    double meanX = 0, meanY = 0, sxx = 0, syy = 0, sxy = 0;
};

Spread spreadOf(int count, const PointF* points) {
    Spread s;
    double sumX = 0, sumY = 0;
    for (int i = 0; i < count; ++i) {
        sumX += points[i].x;
        sumY += points[i].y;
    }
    s.meanX = sumX / count;
    s.meanY = sumY / count;
    for (int i = 0; i < count; ++i) {
        const double dx = points[i].x - s.meanX;
        const double dy = points[i].y - s.meanY;
        s.sxx += dx * dx;
        s.syy += dy * dy;
        s.sxy += dx * dy;
    }
    return s;
}

}  // namespace

void FitLine(int count, PointF* points, double* a, double* b) {
    if (count < 2) {
        *a = 0.0;
        *b = 0.0;
        return;
    }
    const Spread s = spreadOf(count, points);
    if (s.syy > s.sxx) {
        // Steep points: regress x on y, where the spread is, and invert.
        swapAxes(count, points);
        double swappedA = 0.0, swappedB = 0.0;
        FitLine(count, points, &swappedA, &swappedB);
        swapAxes(count, points);
        *a = std::fabs(swappedA) < kFlatSlope ? kVerticalSlope : 1.0 / swappedA;
        *b = s.meanY - *a * s.meanX;
        return;
    }
    if (s.sxx < kFlatSlope) {
        *a = kVerticalSlope;
        *b = 0.0;
        return;
    }
    *a = s.sxy / s.sxx;
    *b = s.meanY - *a * s.meanX;
}

float PointLineDistance(PointF a, PointF b, PointF p) {
    // Second line: through P and P + (B - A) turned by 90 degrees.
    const float dx = b.x - a.x, dy = b.y - a.y;
    const PointF q{p.x - dy, p.y + dx};
    const float det = (a.x - b.x) * (p.y - q.y) - (a.y - b.y) * (p.x - q.x);
    if (std::fabs(det) < FLT_EPSILON) return FLT_MAX;
    const float ab = a.x * b.y - a.y * b.x;
    const float pq = p.x * q.y - p.y * q.x;
    const float footX = (ab * (p.x - q.x) - (a.x - b.x) * pq) / det;
    const float footY = (ab * (p.y - q.y) - (a.y - b.y) * pq) / det;
    const float ex = p.x - footX, ey = p.y - footY;
    return std::sqrt(ex * ex + ey * ey);
}

bool IsNotStraight(const std::uint8_t* image, int n, int px, int py) {
    constexpr int kReach = 20;
    constexpr int kMaxPoints = 40;
    PointF points[kMaxPoints];
    int count = 0;
    for (int dx = -kReach; dx <= kReach && count < kMaxPoints; ++dx) {
        const int x = px + dx;
        if (x < 0 || x >= n) continue;
        for (int dy = -kReach; dy <= kReach && count < kMaxPoints; ++dy) {
            const int y = py + dy;
            if (y < 0 || y >= n || image[y * n + x] == 0) continue;
            points[count++] = PointF{static_cast<float>(x), static_cast<float>(y)};
        }
    }
    if (count < 5) return true;

    double a = 0.0, b = 0.0;
    FitLine(count, points, &a, &b);
    if (std::fabs(a) > 1.0) {
        // Steep line: work in the frame with the axes exchanged.
        swapAxes(count, points);
        FitLine(count, points, &a, &b);
    }
    const double u0 = points[0].x, u1 = points[count - 1].x;
    const PointF start{static_cast<float>(u0), static_cast<float>(a * u0 + b)};
    const PointF end{static_cast<float>(u1), static_cast<float>(a * u1 + b)};
    float farthest = 0.0f;
    for (int i = 0; i < count; ++i) {
        const float d = PointLineDistance(start, end, points[i]);
        if (d > farthest) farthest = d;
    }
    return farthest > 2.0f;
}

}  // namespace pcbinspect
