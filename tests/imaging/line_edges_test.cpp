// Rakes across straight edges, the measured segment and the line residual.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "imaging/line_edges.h"
#include "imaging/ray_sampling.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::GuardedImage;

// Rays along x (angle 0) over +-L, spread over +-H across, window 3, threshold 20.
Rake rakeAt(int cx, int cy, int L, int H, int rays, int window = 3) {
    Rake r;
    r.cx = cx, r.cy = cy, r.halfLength = L, r.halfWidth = H, r.rays = rays, r.window = window, r.threshold = 20;
    return r;
}

// Dark on the left of column 50, bright from it on; `notch` moves the edge
// of rows 60 and 61 by that many pixels.
GuardedImage verticalEdge(int notch = 0) {
    GuardedImage img(100, 100, 100);
    img.fill(10);
    Canvas(img).rect(50, 0, 99, 99, 210);
    Canvas(img).rect(50, 60, 49 + notch, 61, 10);
    return img;
}

TEST(RakeEdgePoints, GeometryWindowAndCrossOffsets) {
    const GuardedImage img = verticalEdge();
    // Half-length, half-width and ray count below 1 are bad geometry: every
    // entry absent. 1, 1 and 1 are enough; a window of 10 is cut below L = 3.
    const struct { Rake rake; bool ok; } cases[] = {
        {rakeAt(50, 50, 0, 10, 5), false}, {rakeAt(50, 50, 10, 0, 5), false}, {rakeAt(50, 50, 10, 10, 0), false},
        {rakeAt(50, 50, 1, 1, 1), true}, {rakeAt(50, 50, 3, 5, 3, 10), true}};
    for (const auto& c : cases) {
        std::vector<PointF> out(5, PointF{1, 1});
        EXPECT_EQ(RakeEdgePoints(img.data(), 100, 100, 100, c.rake, out.data()), c.ok) << &c - cases;
        for (int i = 0; i < c.rake.rays && !c.ok; ++i) EXPECT_TRUE(isAbsent(out[i])) << i;
        for (int i = 0; i < c.rake.rays && c.rake.halfLength == 3; ++i) EXPECT_NEAR(out[i].x, 50.0f, 1.5f);
    }
    // So is an empty image.
    std::vector<PointF> out(4);
    for (auto [w, h] : {std::pair{0, 100}, {100, 0}})
        EXPECT_FALSE(RakeEdgePoints(img.data(), w, 100, h, rakeAt(50, 50, 3, 5, 3), out.data())) << w;
    // Each ray finds the edge at y = 50 + u, u = i * 21 / 4 - 10 for n = 4, H = 10.
    // One sample a pixel (the default): samples x = 25 .. 65 are 10 up to
    // column 49, 210 from 50 on; the rising response of two windows of 3
    // peaks (600) at window start p = 22 and the walk stops at p = 23, placed
    // at p + 3 - 1.5 = 24.5 samples from x = 25: x = 49.5, between the columns.
    ASSERT_TRUE(RakeEdgePoints(img.data(), 100, 100, 100, rakeAt(45, 50, 20, 10, 4), out.data()));
    const float u[4] = {-10.0f, -4.75f, 0.5f, 5.75f};
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::fabs(out[i].y - 50.0f - u[i]) < 1e-4f && std::fabs(out[i].x - 49.5f) < 1e-4f) << i;
    // A middle column of 110 between 10 and 210: the rising responses of
    // windows p = 20 .. 24 are 100, 300, 500, 500, 300; the walk passes the
    // tied peak and stops at p = 24, at 25.5 samples: x = 50.5.
    GuardedImage ramp = verticalEdge();
    Canvas(ramp).rect(50, 0, 50, 99, 110);
    ASSERT_TRUE(RakeEdgePoints(ramp.data(), 100, 100, 100, rakeAt(45, 50, 20, 10, 4), out.data()));
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(out[i].x, 50.5f, 1e-4f) << i;
}

TEST(MeasureLine, ExchangedFrameAndStrayPoints) {
    std::vector<PointF> points(20);
    float x0, y0, x1, y1;
    // A vertical edge: y from the first and last points (the rays' cross
    // offsets), x fitted with the axes exchanged.
    ASSERT_TRUE(MeasureLine(verticalEdge().data(), 100, 100, 100, rakeAt(45, 50, 20, 30, 20), 1, &x0, &y0, &x1, &y1, points.data()));
    EXPECT_EQ(std::pair(y0, y1), std::pair(points[0].y, points[19].y));
    EXPECT_NEAR(x0, 49.5f, 1.0f);
    EXPECT_FLOAT_EQ(x0, x1);
    // A notch of 10 pixels makes a stray point that no longer tilts the fit;
    // one of 3 pixels is within tolerance: the point stays and pulls.
    ASSERT_TRUE(MeasureLine(verticalEdge(10).data(), 100, 100, 100, rakeAt(45, 50, 25, 30, 20), 1, &x0, &y0, &x1, &y1, points.data()));
    EXPECT_NEAR(x0, x1, 0.01f);
    EXPECT_NEAR(x0, 49.5f, 0.6f);
    ASSERT_TRUE(MeasureLine(verticalEdge(3).data(), 100, 100, 100, rakeAt(45, 50, 25, 30, 20), 1, &x0, &y0, &x1, &y1, points.data()));
    EXPECT_GT(std::fabs(x0 - x1), 0.01f);
    // Fewer than two points: no segment.
    EXPECT_FALSE(MeasureLine(verticalEdge().data(), 100, 100, 100, rakeAt(45, 50, 20, 30, 1), 1, &x0, &y0, &x1, &y1, points.data()));
}

TEST(LineFitResidual, RemovesFarPointsAndNeedsFivePresent) {
    // 20 points on y = 30 but one 10 pixels off: removed, unless no removal
    // is allowed. Five present points of 15 are enough, four are not.
    std::vector<PointF> line(20), sparse(15, kAbsentPoint);
    for (int i = 0; i < 20; ++i) line[i] = PointF{static_cast<float>(i * 2), i == 7 ? 40.0f : 30.0f};
    for (int i = 0; i < 5; ++i) sparse[3 * i] = PointF{static_cast<float>(i), static_cast<float>(i)};
    EXPECT_TRUE(LineFitResidual(line.data(), 20, 3) < 1e-5f && LineFitResidual(line.data(), 20, 0) > 0.2f);
    EXPECT_LT(LineFitResidual(sparse.data(), 15, 3), 1e-5f);
    sparse[0] = kAbsentPoint;
    EXPECT_EQ(LineFitResidual(sparse.data(), 15, 3), FLT_MAX);
}

}  // namespace
}  // namespace pcbinspect
