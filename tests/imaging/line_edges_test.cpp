// Rakes across straight edges, the measured segment and the line residual.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "imaging/line_edges.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::GuardedImage;

bool absent(const PointF& p) { return p.x == -FLT_MAX && p.y == -FLT_MAX; }

Rake rakeAt(int cx, int cy, int L, int H, float angle, int rays) {
    Rake r;
    r.cx = cx;
    r.cy = cy;
    r.halfLength = L;
    r.halfWidth = H;
    r.angle = angle;
    r.rays = rays;
    r.window = 3;
    r.threshold = 20;
    r.polarity = 1;
    return r;
}

// Dark on the left of column 50, bright from it on.
GuardedImage verticalEdge() {
    GuardedImage img(100, 100, 100);
    img.fill(10);
    Canvas(img).rect(50, 0, 99, 99, 210);
    return img;
}

TEST(RakeEdgePoints, BadGeometryLeavesEveryEntryAbsent) {
    const GuardedImage img = verticalEdge();
    std::vector<PointF> out(5, PointF{1, 1});
    EXPECT_FALSE(RakeEdgePoints(img.data(), 100, 100, 100, rakeAt(50, 50, 0, 10, 0, 5), out.data()));
    for (const PointF& p : out) EXPECT_TRUE(absent(p));
    out.assign(5, PointF{1, 1});
    EXPECT_FALSE(RakeEdgePoints(img.data(), 100, 100, 100, rakeAt(50, 50, 10, 0, 0, 5), out.data()));
    for (const PointF& p : out) EXPECT_TRUE(absent(p));
    EXPECT_FALSE(RakeEdgePoints(img.data(), 100, 100, 100, rakeAt(50, 50, 10, 10, 0, 0), out.data()));
}

TEST(RakeEdgePoints, RaysSitAtTheirCrossOffsets) {
    // Horizontal rays (angle 0) across a vertical edge: each finds the edge
    // near x = 50 at y = 50 + u, u = i * 21 / 4 - 10 for n = 4, H = 10.
    const GuardedImage img = verticalEdge();
    std::vector<PointF> out(4);
    ASSERT_TRUE(RakeEdgePoints(img.data(), 100, 100, 100, rakeAt(45, 50, 20, 10, 0, 4), out.data()));
    const float u[4] = {-10.0f, -4.75f, 0.5f, 5.75f};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(out[i].y, 50.0f + u[i], 1e-4) << i;
        EXPECT_NEAR(out[i].x, 50.0f, 1.0f) << i;
    }
}

TEST(RakeEdgePoints, WindowIsCutBelowTheHalfLength) {
    // With L = 3 a window of 10 becomes 2: the edge is still found.
    const GuardedImage img = verticalEdge();
    Rake r = rakeAt(50, 50, 3, 5, 0, 3);
    r.window = 10;
    std::vector<PointF> out(3);
    ASSERT_TRUE(RakeEdgePoints(img.data(), 100, 100, 100, r, out.data()));
    for (const PointF& p : out) EXPECT_NEAR(p.x, 50.0f, 1.5f);
}

TEST(MeasureLine, VerticalEdgeUsesTheExchangedFrame) {
    const GuardedImage img = verticalEdge();
    std::vector<PointF> points(20);
    float x0, y0, x1, y1;
    ASSERT_TRUE(MeasureLine(img.data(), 100, 100, 100, rakeAt(45, 50, 20, 30, 0, 20), 1, &x0, &y0,
                            &x1, &y1, points.data()));
    // y from the first and last points (the rays' cross offsets), x fitted.
    EXPECT_FLOAT_EQ(y0, points[0].y);
    EXPECT_FLOAT_EQ(y1, points[19].y);
    EXPECT_NEAR(x0, 49.5f, 1.0f);
    EXPECT_NEAR(x1, 49.5f, 1.0f);
    EXPECT_FLOAT_EQ(x0, x1);  // a vertical fit
}

TEST(MeasureLine, DropsAStrayPointButKeepsANearOne) {
    // An edge at column 50 with a notch that moves one row's edge 10 pixels.
    GuardedImage img = verticalEdge();
    Canvas(img).rect(50, 60, 59, 61, 10);
    std::vector<PointF> points(20);
    float x0, y0, x1, y1;
    ASSERT_TRUE(MeasureLine(img.data(), 100, 100, 100, rakeAt(45, 50, 25, 30, 0, 20), 1, &x0, &y0,
                            &x1, &y1, points.data()));
    EXPECT_NEAR(x0, x1, 0.01f);  // the stray point no longer tilts the fit
    EXPECT_NEAR(x0, 49.5f, 0.6f);
    // A notch of 3 pixels is within tolerance: the point stays and pulls.
    GuardedImage near = verticalEdge();
    Canvas(near).rect(50, 60, 52, 61, 10);
    ASSERT_TRUE(MeasureLine(near.data(), 100, 100, 100, rakeAt(45, 50, 25, 30, 0, 20), 1, &x0,
                            &y0, &x1, &y1, points.data()));
    EXPECT_GT(std::fabs(x0 - x1), 0.01f);
}

TEST(LineFitResidual, RemovesFarPointsAndNeedsEnoughPresent) {
    std::vector<PointF> line;
    for (int i = 0; i < 20; ++i) line.push_back(PointF{static_cast<float>(i * 2), 30.0f});
    EXPECT_LT(LineFitResidual(line.data(), 20, 3), 1e-5f);
    line[7].y = 40.0f;  // 10 pixels off
    EXPECT_LT(LineFitResidual(line.data(), 20, 3), 1e-5f);
    EXPECT_GT(LineFitResidual(line.data(), 20, 0), 0.2f);
    line[7].y = 33.0f;  // 3 pixels off: stays
    EXPECT_GT(LineFitResidual(line.data(), 20, 3), 0.05f);
    std::vector<PointF> sparse(12, kAbsentPoint);
    sparse[0] = PointF{1, 1};
    sparse[4] = PointF{2, 2};
    sparse[9] = PointF{3, 3};
    EXPECT_EQ(LineFitResidual(sparse.data(), 12, 3), FLT_MAX);
}

}  // namespace
}  // namespace pcbinspect
