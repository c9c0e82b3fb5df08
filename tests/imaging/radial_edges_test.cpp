// Edge points along ray fans and the circle measurements.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "imaging/radial_edges.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::GuardedImage;

// A dark disc of radius 20 about (50, 50) on a bright ground.
GuardedImage darkDisc() {
    GuardedImage img(100, 100, 104);
    img.fill(220);
    Canvas(img).disc(50, 50, 20, 20);
    return img;
}

RayFan fanAt(int cx, int cy, int outer, int inner, int rays, bool outward, int polarity) {
    return rayFan(cx, cy, outer, inner, outward, polarity, 10, rays, 3);
}

bool absent(const PointF& p) { return p.x == -FLT_MAX && p.y == -FLT_MAX; }

TEST(RadialEdgePoints, ThinRingIsBadGeometry) {
    const GuardedImage img = darkDisc();
    std::vector<PointF> out(8, PointF{7, 7});
    EXPECT_FALSE(RadialEdgePoints(img.data(), 100, 104, 100, fanAt(50, 50, 12, 10, 8, true, 1),
                                  out.data()));
    EXPECT_EQ(out[0].x, 7.0f);  // nothing written
    EXPECT_FALSE(RadialEdgePointsFine(img.data(), 100, 104, 100, fanAt(50, 50, 12, 10, 8, true, 1),
                                      0, 0, out.data()));
    for (const PointF& p : out) EXPECT_TRUE(absent(p));  // the fine sampler cleared them
}

TEST(RadialEdgePoints, FindsTheRimOfADarkDisc) {
    const GuardedImage img = darkDisc();
    std::vector<PointF> out(50);
    ASSERT_TRUE(RadialEdgePoints(img.data(), 100, 104, 100, fanAt(50, 50, 30, 10, 50, true, 1),
                                 out.data()));
    for (const PointF& p : out) {
        ASSERT_FALSE(absent(p));
        EXPECT_NEAR(std::hypot(p.x - 50.0, p.y - 50.0), 20.0, 1.0);
    }
    Circle c;
    std::vector<PointF> points(50);
    EXPECT_TRUE(MeasureCircle(img.data(), 100, 104, 100, fanAt(50, 50, 30, 10, 50, true, 1), &c,
                              points.data()));
    EXPECT_NEAR(c.x, 50.0f, 0.5f);
    EXPECT_NEAR(c.y, 50.0f, 0.5f);
    EXPECT_NEAR(c.radius, 20.0f, 1.0f);
}

TEST(RadialEdgePoints, WrongPolarityFindsNothing) {
    const GuardedImage img = darkDisc();
    std::vector<PointF> out(50);
    ASSERT_TRUE(RadialEdgePoints(img.data(), 100, 104, 100, fanAt(50, 50, 30, 10, 50, true, -1),
                                 out.data()));
    for (const PointF& p : out) EXPECT_TRUE(absent(p));
    Circle c{1, 2, 3};
    std::vector<PointF> points(50);
    EXPECT_FALSE(MeasureCircle(img.data(), 100, 104, 100, fanAt(50, 50, 30, 10, 50, true, -1), &c,
                               points.data()));
    EXPECT_EQ(c.radius, 3.0f);  // circle not written
}

TEST(RadialEdgePoints, EdgeStillRisingAtTheEndGivesNoPoint) {
    // A ramp that brightens all along the ray never passes its peak.
    GuardedImage img(100, 100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) img.at(x, y) = static_cast<std::uint8_t>(std::min(x * 4, 255));
    RayFan f = fanAt(10, 50, 40, 5, 1, true, 1);
    f.startAngle = -1.0f;  // one ray pointing right
    f.endAngle = 1.0f;
    PointF out;
    ASSERT_TRUE(RadialEdgePoints(img.data(), 100, 100, 100, f, &out));
    EXPECT_TRUE(absent(out));
}

TEST(RadialEdgePoints, FourRaysPointDiagonally) {
    // A bright square ring around a dark centre: each of the four rays at
    // -135, -45, 45 and 135 degrees finds the ring in its own quadrant.
    GuardedImage img(100, 100);
    img.fill(0);
    Canvas(img).rect(20, 20, 80, 80, 200);
    Canvas(img).rect(35, 35, 65, 65, 0);
    std::vector<PointF> out(4);
    ASSERT_TRUE(RadialEdgePoints(img.data(), 100, 100, 100, fanAt(50, 50, 40, 2, 4, true, 1),
                                 out.data()));
    const int sx[4] = {-1, 1, 1, -1}, sy[4] = {-1, -1, 1, 1};
    for (int i = 0; i < 4; ++i) {
        ASSERT_FALSE(absent(out[i]));
        EXPECT_EQ((out[i].x - 50) > 0 ? 1 : -1, sx[i]) << i;
        EXPECT_EQ((out[i].y - 50) > 0 ? 1 : -1, sy[i]) << i;
        EXPECT_NEAR(std::fabs(out[i].x - 50), std::fabs(out[i].y - 50), 0.01);
    }
}

TEST(RadialEdgePoints, OnePixelWideImageYieldsNoPointsAndReadsNothingOutside) {
    GuardedImage img(1, 60, 1);
    img.fill(200);
    std::vector<PointF> out(6, PointF{3, 3});
    EXPECT_TRUE(RadialEdgePoints(img.data(), 1, 1, 60, fanAt(0, 30, 20, 2, 6, true, 0),
                                 out.data()));
    for (const PointF& p : out) EXPECT_TRUE(absent(p));
}

TEST(RadialEdgePointsFine, OversamplingFindsTheSameRim) {
    const GuardedImage img = darkDisc();
    for (int exponent : {0, 1, 3}) {
        std::vector<PointF> out(24);
        ASSERT_TRUE(RadialEdgePointsFine(img.data(), 100, 104, 100,
                                         fanAt(50, 50, 30, 10, 24, true, 1), 0, exponent,
                                         out.data()));
        for (const PointF& p : out) {
            ASSERT_FALSE(absent(p)) << exponent;
            EXPECT_NEAR(std::hypot(p.x - 50.0, p.y - 50.0), 20.0, 1.5) << exponent;
        }
    }
}

TEST(RadialEdgePointsFine, ExponentIsClampedToFive) {
    const GuardedImage img = darkDisc();
    std::vector<PointF> five(12), nine(12);
    const RayFan f = fanAt(50, 50, 30, 10, 12, true, 1);
    ASSERT_TRUE(RadialEdgePointsFine(img.data(), 100, 104, 100, f, 0, 5, five.data()));
    ASSERT_TRUE(RadialEdgePointsFine(img.data(), 100, 104, 100, f, 0, 9, nine.data()));
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(five[i].x, nine[i].x);
        EXPECT_EQ(five[i].y, nine[i].y);
    }
}

TEST(RadialEdgePointsFine, StopModesPlaceTheEdgeInOrder) {
    // A soft edge: the first crossing of the threshold lies before the
    // peak, which lies before the fall below the threshold.
    GuardedImage img(100, 100);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x)
            img.at(x, y) = static_cast<std::uint8_t>(std::clamp((x - 40) * 20, 0, 240));
    RayFan f = fanAt(10, 50, 80, 2, 1, true, 1);
    f.startAngle = -1.0f;
    f.endAngle = 1.0f;
    PointF early, peak, late;
    ASSERT_TRUE(RadialEdgePointsFine(img.data(), 100, 100, 100, f, -1, 0, &early));
    ASSERT_TRUE(RadialEdgePointsFine(img.data(), 100, 100, 100, f, 0, 0, &peak));
    ASSERT_TRUE(RadialEdgePointsFine(img.data(), 100, 100, 100, f, 1, 0, &late));
    EXPECT_LT(early.x, peak.x);
    EXPECT_LT(peak.x, late.x);
}

TEST(MeasureCircleGrouped, AGroupWithAMissingRayIsDropped) {
    // The disc is cut by a bright wedge over rays 5..9 (of 20 rays starting
    // at -180 degrees): ray 7 at -45 degrees finds no rim.
    GuardedImage img = darkDisc();
    for (int y = 25; y < 50; ++y)
        for (int x = 50; x < 75; ++x)
            if (std::fabs(std::atan2(y - 50.0, x - 50.0) + M_PI / 4) < 0.1) img.at(x, y) = 220;
    std::vector<PointF> points(20);
    Circle c;
    ASSERT_TRUE(MeasureCircleGrouped(img.data(), 100, 104, 100, fanAt(50, 50, 30, 10, 20, true, 1),
                                     5, &c, points.data(), 0, 0));
    // Three groups of five remain, packed at the front.
    for (int i = 0; i < 15; ++i) EXPECT_FALSE(absent(points[i])) << i;
    for (int i = 15; i < 20; ++i) EXPECT_TRUE(absent(points[i])) << i;
    EXPECT_NEAR(c.radius, 20.0f, 1.0f);
    EXPECT_FALSE(MeasureCircleGrouped(img.data(), 100, 104, 100,
                                      fanAt(50, 50, 30, 10, 2, true, 1), 1, &c, points.data(), 0,
                                      0));
}

}  // namespace
}  // namespace pcbinspect
