#include <cmath>
#include <cstring>
#include <vector>

#include "boundary/numeric.h"
#include "inspect/window_routines.h"
#include "imaging/nearest_pixel.h"
#include "inspect/recheck_stages.h"
#include "imaging/region_fill.h"
#include "imaging/thickness_map.h"

namespace pcbinspect {
namespace {

constexpr int N = 120;

struct MiddlePoint {
    int x = -1, y = -1;
    int value = 0;
};

// The set pixel of the width map nearest to (px, py), skipping pixels whose
// `exclude` pixel is 128; squared distances compared in single precision,
// the first found column by column winning among equals.
MiddlePoint nearestMiddle(const std::uint8_t* w, int px, int py, const std::uint8_t* exclude) {
    MiddlePoint m;
    float best = 0.0f;
    for (int x = 0; x < N; ++x)
        for (int y = 0; y < N; ++y) {
            const std::uint8_t v = w[y * N + x];
            if (v == 0 || (exclude && exclude[y * N + x] == 128)) continue;
            const float d = static_cast<float>((x - px) * (x - px) + (y - py) * (y - py));
            if (m.x < 0 || d < best) {
                best = d;
                m = MiddlePoint{x, y, v};
            }
        }
    return m;
}

void widthMap(std::uint8_t* w, const std::uint8_t* from) {
    std::memcpy(w, from, N * N);
    ThicknessMap(GrayView{w, N, N, N});
    CorrectLineDirection(GrayView{w, N, N, N});
}

float distance(int x0, int y0, int x1, int y1) {
    return std::sqrt(static_cast<float>((x0 - x1) * (x0 - x1) + (y0 - y1) * (y0 - y1)));
}

}  // namespace

int SpacingStage(std::uint8_t* r, std::uint8_t* c, const InspectParams& params, float* score,
                 const float* toleranceTable, int toleranceCount) {
    std::vector<std::uint8_t> w(N * N);
    std::vector<std::int16_t> stack(2 * N * N);

    // The reference conductor nearest the centre and the nearest middle line
    // of another conductor. Without a conductor there is no gap to measure.
    widthMap(w.data(), r);
    const MiddlePoint n1 = nearestMiddle(w.data(), 60, 60, nullptr);
    if (n1.x < 0) return 0;
    RegionFill(stack.data(), r, N, N, N, n1.x, n1.y, 128, nullptr);
    const MiddlePoint n2 = nearestMiddle(w.data(), n1.x, n1.y, r);
    if (n1.value == 0 || n2.value == 0 || n1.value > 25 || n2.value > 25) return 0;

    // The same two conductors in the camera.
    widthMap(w.data(), c);
    int x3, y3;
    const int b1 = truncToInt(NearestSetPixel(w.data(), N, n1.x, n1.y, &x3, &y3));
    if (x3 < 0) return 0;
    RegionFill(stack.data(), c, N, N, N, x3, y3, 128, nullptr);
    const MiddlePoint n4 = nearestMiddle(w.data(), n2.x, n2.y, c);
    if (distance(x3, y3, n1.x, n1.y) > 10.0f || n4.x < 0 ||
        distance(n4.x, n4.y, n2.x, n2.y) > 10.0f || b1 == 0 || n4.value == 0)
        return 0;

    // Widths count across the line joining the two middle lines.
    float alpha = std::atan2(static_cast<float>(n1.y - n2.y), static_cast<float>(n1.x - n2.x)) /
                  3.14159f * 180.0f;
    while (alpha < 0.0f) alpha += 90.0f;
    while (alpha > 90.0f) alpha -= 90.0f;
    if (alpha > 45.0f) alpha = 90.0f - alpha;
    const float cs = static_cast<float>(std::cos(alpha / 180.0 * 3.14159));

    const int refGap = truncToInt(distance(n1.x, n1.y, n2.x, n2.y) -
                                  static_cast<float>(truncToInt(n1.value * cs)) -
                                  static_cast<float>(truncToInt(n2.value * cs)));
    const int camGap = truncToInt(distance(x3, y3, n4.x, n4.y) -
                                  static_cast<float>(truncToInt(b1 * cs)) -
                                  static_cast<float>(truncToInt(n4.value * cs)));

    float limit = params[7];
    const float width = static_cast<float>(2 * truncToInt(n1.value * cs));
    if (const WidthTolerance* t = findWidthTolerance(toleranceTable, toleranceCount, width))
        limit = t->spacingLimit;

    if (camGap < 1 || refGap < 1) return 0;
    // A difference of a pixel or two either way is no change.
    int d = refGap - camGap;
    if (d >= 1)
        d -= 2;
    else if (d <= -1)
        d += 2;
    if (refGap < 4) return 0;
    const float ratio = static_cast<float>(d) / static_cast<float>(refGap);
    if (!(ratio > limit)) return 0;
    *score = ratio;
    return kSpacing;
}

}  // namespace pcbinspect
