// Edge points along ray fans and the circle measurements.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "imaging/radial_edges.h"
#include "imaging/ray_sampling.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::GuardedImage;

// A dark disc of radius 20 about (50, 50) on a bright ground, rows of 104.
GuardedImage darkDisc() {
    GuardedImage img(100, 100, 104);
    img.fill(220);
    Canvas(img).disc(50, 50, 20, 20);
    return img;
}

RayFan fanAt(int outer, int inner, int rays, int polarity = 1) { return rayFan(50, 50, outer, inner, true, polarity, 10, rays, 3); }

TEST(RadialEdgePoints, FindTheRimOfADarkDiscAtEveryOversampling) {
    const GuardedImage img = darkDisc();
    // -1: the plain bilinear sampler; 0, 1, 3: the fine one with 2^e samples
    // per pixel; 9 is clamped to 5 and gives the points of 5 to the bit.
    for (int exponent : {-1, 0, 1, 3, 9}) {
        std::vector<PointF> out(50), five(50);
        ASSERT_TRUE(exponent < 0 ? RadialEdgePoints(img.data(), 100, 104, 100, fanAt(30, 10, 50), out.data())
                                 : RadialEdgePointsFine(img.data(), 100, 104, 100, fanAt(30, 10, 50), 0, exponent, out.data()));
        // Ray i points at (i + 0.5) * 7.2 - 180 degrees.
        for (int i = 0; i < 50; ++i) {
            EXPECT_NEAR(std::hypot(out[i].x - 50.0, out[i].y - 50.0), 20.0, exponent < 0 ? 1.0 : 1.5) << exponent;
            EXPECT_NEAR(std::remainder(std::atan2(out[i].y - 50.0, out[i].x - 50.0) * 180 / M_PI - (i + 0.5) * 7.2 + 180, 360), 0, 0.5) << i;
        }
        if (exponent != 9) continue;
        ASSERT_TRUE(RadialEdgePointsFine(img.data(), 100, 104, 100, fanAt(30, 10, 50), 0, 5, five.data()));
        for (int i = 0; i < 50; ++i) EXPECT_TRUE(five[i].x == out[i].x && five[i].y == out[i].y) << i;
    }
}

// Ray i points at a0 + (i + 0.5) span / rays: spans beyond a full turn are
// reduced to one, a full turn either way stays whole.
TEST(RadialEdgePoints, FansOfEverySpanAndDirection) {
    const GuardedImage img = darkDisc();
    const float fans[][3] = {{180, -180, -360}, {0, 720, 360}, {90, -630, -360}, {-90, 270, 360}, {30, 120, 90}};
    for (const auto& [a0, a1, span] : fans) {
        std::vector<PointF> out(50);
        ASSERT_TRUE(RadialEdgePoints(img.data(), 100, 104, 100, rayFan(50, 50, 30, 10, true, 1, 10, 50, 3, a0, a1), out.data()));
        for (int i = 0; i < 50; ++i)
            EXPECT_NEAR(std::remainder(std::atan2(out[i].y - 50.0, out[i].x - 50.0) * 180 / M_PI - (i + 0.5) * span / 50 - a0, 360), 0, 0.5) << a0 << " " << i;
    }
}

TEST(RadialEdgePoints, RingsThinnerThanThreeWrongPolarityAndTinyImages) {
    const GuardedImage img = darkDisc();
    std::vector<PointF> out(8, PointF{7, 7});
    // A ring of 2 pixels is bad geometry: the plain sampler writes nothing,
    // the fine one clears the entries; 3 pixels is enough.
    EXPECT_FALSE(RadialEdgePoints(img.data(), 100, 104, 100, fanAt(12, 10, 8), out.data()));
    EXPECT_EQ(out[0].x, 7.0f);
    EXPECT_FALSE(RadialEdgePointsFine(img.data(), 100, 104, 100, fanAt(12, 10, 8), 0, 0, out.data()));
    for (const PointF& p : out) EXPECT_TRUE(isAbsent(p));
    EXPECT_TRUE(RadialEdgePoints(img.data(), 100, 104, 100, fanAt(13, 10, 8), out.data()) &&
                RadialEdgePointsFine(img.data(), 100, 104, 100, fanAt(13, 10, 8), 0, 0, out.data()));
    // Brighter beyond the edge finds nothing on a dark disc; the circle is not written.
    Circle c{1, 2, 3};
    EXPECT_FALSE(MeasureCircle(img.data(), 100, 104, 100, fanAt(30, 10, 8, -1), &c, out.data()));
    EXPECT_EQ(c.radius, 3.0f);
    // A one-pixel-wide or -high image has no 2 x 2 cell: no points, nothing
    // read outside.
    for (auto [w, h] : {std::pair{1, 60}, {60, 1}}) {
        GuardedImage narrow(w, h, w);
        narrow.fill(200);
        out.assign(6, PointF{3, 3});
        EXPECT_TRUE(RadialEdgePoints(narrow.data(), w, w, h, rayFan(0, 30, 20, 2, true, 0, 10, 6, 3), out.data()));
        for (int i = 0; i < 6; ++i) EXPECT_TRUE(isAbsent(out[i])) << w;
    }
}

TEST(MeasureCircle, FitsTheRimAndDropsGroupsWithAMissingRay) {
    GuardedImage img = darkDisc();
    std::vector<PointF> points(20);
    Circle c;
    ASSERT_TRUE(MeasureCircle(img.data(), 100, 104, 100, fanAt(30, 10, 20), &c, points.data()));
    EXPECT_TRUE(std::fabs(c.x - 50.0f) < 0.5f && std::fabs(c.y - 50.0f) < 0.5f && std::fabs(c.radius - 20.0f) < 1.0f);
    // A bright wedge over ray 10 (of 20 from -180 degrees, at 9 degrees),
    // the first of its group: that group of five is dropped, the one before
    // it kept, three remain, packed at the front.
    for (int y = 50; y < 75; ++y)
        for (int x = 50; x < 75; ++x)
            if (std::fabs(std::atan2(y - 50.0, x - 50.0) - M_PI / 20) < 0.1) img.at(x, y) = 220;
    ASSERT_TRUE(MeasureCircleGrouped(img.data(), 100, 104, 100, fanAt(30, 10, 20), 5, &c, points.data(), 0, 0));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(isAbsent(points[i]), i >= 15) << i;
    EXPECT_NEAR(c.radius, 20.0f, 1.0f);
    EXPECT_FALSE(MeasureCircleGrouped(img.data(), 100, 104, 100, fanAt(30, 10, 2), 1, &c, points.data(), 0, 0));
}

}  // namespace
}  // namespace pcbinspect
