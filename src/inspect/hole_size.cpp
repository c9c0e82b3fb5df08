// Hole-size check: the drilled hole nearest the candidate, measured in both
// windows, and the verdict on the difference of the two radii.
#include <cmath>
#include <cstdint>

#include "imaging/radial_edges.h"
#include "inspect/window_checks.h"

namespace pcbinspect {
namespace {

constexpr int kHoleKindMeasured = 12;
constexpr int kRays = 50;

// Edge points that lie on the image: both coordinates non-negative.
int countPointsOnImage(const PointF* points, int count) {
    int n = 0;
    for (int i = 0; i < count; ++i)
        if (points[i].x >= 0.0f && points[i].y >= 0.0f) ++n;
    return n;
}

// Measures the dark hole around (cx, cy) of a window: a fan of 50 rays from
// radius 1 out to 84, looking for the step up onto the copper around it.
// False unless more than 16 rays found the edge (when `needMany`) and the
// circle fitted to the points, a quarter of them discarded, is at most one
// pixel off on average.
bool measureHole(ConstGrayView window, int cx, int cy, int threshold, int samples, bool needMany,
                 Circle* circle) {
    const RayFan fan = rayFan(cx, cy, 84, 1, true, 1, threshold, kRays, samples);
    PointF points[kRays];
    if (!MeasureCircle(window.data, window.width, window.stride, window.height, fan, circle, points))
        return false;
    const int valid = countPointsOnImage(points, kRays);
    if (needMany && valid <= 16) return false;
    return CircleFitResidual(points, kRays, valid / 4) <= 1.0f;
}

}  // namespace

int holeSizeVerdict(float r0, float r1, const InspectParams& params, float* score) {
    *score = 0.0f;
    const float d = r1 - r0;
    // The difference stays single precision and is compared with 0.01 as a
    // double, so a difference that is the float nearest 0.01 counts as none.
    if (std::fabs(d) <= 0.01) return 0;
    const float q = d / r0;
    if (d > 0.0f) {
        if (q > params[29]) {
            *score = q;
            return kHoleLargerRelative;
        }
        if (d > params[31]) {
            *score = d;
            return kHoleLargerAbsolute;
        }
        return 0;
    }
    if (-q > params[30]) {
        *score = -q;
        return kHoleSmallerRelative;
    }
    if (-d > params[32]) {
        *score = -d;
        return kHoleSmallerAbsolute;
    }
    return 0;
}

int holeSizeCheck(ConstGrayView reference, ConstGrayView camera, const std::int32_t* holeOrigin,
                  int x, int y, const HoleRecord* holes, int holeCount,
                  const InspectParams& params, float* score) {
    *score = 0.0f;
    if (holes == nullptr || holeOrigin == nullptr) return 0;
    // The nearest measured hole, in reference coordinates; ties keep the
    // earlier record. Squared distances in 64 bits: hole lists come from the
    // host and may lie far away.
    const HoleRecord* nearest = nullptr;
    long long best = 0;
    int hx = 0, hy = 0;
    for (int i = 0; i < holeCount; ++i) {
        if (holes[i].kind != kHoleKindMeasured) continue;
        const long long rx = static_cast<long long>(holes[i].x) - holeOrigin[0];
        const long long ry = static_cast<long long>(holes[i].y) - holeOrigin[1];
        const long long d2 = (rx - x) * (rx - x) + (ry - y) * (ry - y);
        if (nearest == nullptr || d2 < best) {
            nearest = &holes[i];
            best = d2;
            hx = static_cast<int>(rx);
            hy = static_cast<int>(ry);
        }
    }
    if (nearest == nullptr || best >= 6400) return 0;  // 80 pixels or farther

    // The hole's position inside the windows, whose centre is (x, y).
    const int cx = hx - x + kWindowCentre, cy = hy - y + kWindowCentre;
    Circle inRef, inCam;
    float r0 = 0.0f, r1 = 0.0f;
    if (measureHole(reference, cx, cy, 30, 1, true, &inRef) &&
        measureHole(camera, cx, cy, 128, 3, false, &inCam)) {
        r0 = inRef.radius;
        r1 = inCam.radius;
    }
    return holeSizeVerdict(r0, r1, params, score);
}

}  // namespace pcbinspect
