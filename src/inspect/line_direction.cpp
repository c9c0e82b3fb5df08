// Direction of the straight line that the set pixels around a point follow.
#include <algorithm>
#include <cmath>

#include "inspect/window_checks.h"
#include "imaging/line_edges.h"
#include "imaging/line_fit.h"

namespace pcbinspect {

bool LineDirection(const std::uint8_t* window, int x, int y, float* angle) {
    constexpr int kMaxPoints = 100;
    PointF points[kMaxPoints];
    int count = 0;
    const int x0 = std::max(x - 20, 0), x1 = std::min(x + 20, kWindowSide - 1);
    const int y0 = std::max(y - 20, 0), y1 = std::min(y + 20, kWindowSide - 1);
    for (int yy = y0; yy <= y1 && count < kMaxPoints; ++yy)
        for (int xx = x0; xx <= x1 && count < kMaxPoints; ++xx)
            if (window[yy * kWindowSide + xx] != 0)
                points[count++] = PointF{static_cast<float>(xx), static_cast<float>(yy)};
    if (count < 21) return false;
    if (!(LineFitResidual(points, count, 0) < 1.2f)) return false;
    double a = 0.0, b = 0.0;
    FitLine(count, points, &a, &b);
    // Degrees with the project's value of pi.
    *angle = static_cast<float>(std::atan(a) / 3.14159 * 180.0);
    return true;
}

}  // namespace pcbinspect
