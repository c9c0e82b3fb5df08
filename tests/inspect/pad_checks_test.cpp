// Pad-area test, pad test, run count and profile ratio.
#include <gtest/gtest.h>

#include "inspect/window_checks.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::Square;

TEST(PadAreaTest, LimitBelowOneFails) {
    Square r(kWindowSide);
    r.rect(50, 50, 70, 70, 255);
    CheckScratch scratch;
    EXPECT_FALSE(padAreaTest(r.data(), 0, scratch));
    EXPECT_TRUE(padAreaTest(r.data(), 1, scratch));
}

TEST(PadAreaTest, AnotherFeatureWithinTheLimitFails) {
    // The centre lies on the pad 50..70; the first pixel off it on the rings
    // around the centre is (49, 49), the corner of the top side of ring 11.
    // A second pad at columns 60..70, rows 35..40 lies 11 rings from there
    // (60 - 49 columns): it counts with a limit of 12 (rings 0..11), not
    // with 11.
    Square r(kWindowSide);
    r.rect(50, 50, 70, 70, 200);  // any non-zero label is copper
    r.rect(60, 35, 70, 40, 255);
    const std::vector<std::uint8_t> before = r.pixels;
    CheckScratch scratch;
    EXPECT_TRUE(padAreaTest(r.data(), 11, scratch));
    EXPECT_FALSE(padAreaTest(r.data(), 12, scratch));
    EXPECT_EQ(r.pixels, before);  // works on a copy
}

TEST(PadAreaTest, FeaturesWithinThreeRingsAreTakenAsTheCentreFeature) {
    // Same pad; a separate pixel 3 rings left of (49, 49) is erased like the
    // pad itself, one 4 rings away is a neighbour.
    CheckScratch scratch;
    Square three(kWindowSide);
    three.rect(50, 50, 70, 70, 255);
    three.at(46, 49) = 255;
    EXPECT_TRUE(padAreaTest(three.data(), 20, scratch));
    Square four(kWindowSide);
    four.rect(50, 50, 70, 70, 255);
    four.at(45, 49) = 255;
    EXPECT_FALSE(padAreaTest(four.data(), 20, scratch));
    EXPECT_TRUE(padAreaTest(four.data(), 4, scratch));  // rings 0..3 only
}

TEST(PadAreaTest, CentreOnBackgroundStartsAtTheNearestCopper) {
    // The centre is open; the first copper on the rings is the pad's corner
    // (65, 55) on ring 5 (top side first). The other pad, 12 rings right of
    // the corner (77 - 65), fails only when the limit reaches ring 12.
    Square r(kWindowSide);
    r.rect(65, 55, 68, 58, 255);
    r.rect(77, 40, 80, 80, 255);
    CheckScratch scratch;
    EXPECT_TRUE(padAreaTest(r.data(), 12, scratch));  // 77 - 65 = 12 rings
    EXPECT_FALSE(padAreaTest(r.data(), 13, scratch));
}

TEST(RunCount, LongestRunOfValidPoints) {
    const PointF v{1.0f, 2.0f}, x{-1.0f, 5.0f}, zero{0.0f, 0.0f};
    // v v x v v v x v v v: the last entry is overwritten first, so the runs
    // are 2, 3 and 2.
    PointF a[] = {v, v, x, v, zero, v, x, v, v, v};
    int start = 0;
    EXPECT_EQ(runCount(a, 10, &start), 3);
    EXPECT_EQ(start, 3);
    EXPECT_EQ(a[9].x, -1.0f);
    EXPECT_EQ(a[9].y, -1.0f);

    // Equal runs: the first wins.
    PointF b[] = {x, v, v, x, v, v, x};
    start = 0;
    EXPECT_EQ(runCount(b, 7, &start), 2);
    EXPECT_EQ(start, 1);

    // All valid: the overwritten last entry ends the run one short.
    PointF c[] = {v, v, v, v, v};
    start = 9;
    EXPECT_EQ(runCount(c, 5, &start), 4);
    EXPECT_EQ(start, 0);

    // No valid entry: 0, the start stays as the caller set it.
    PointF d[] = {x, PointF{3.0f, -0.5f}, v};
    start = 7;
    EXPECT_EQ(runCount(d, 3, &start), 0);
    EXPECT_EQ(start, 7);
}

TEST(ProfileRatio, MeanRadialResidualOverTheRunLength) {
    const Circle c{10.0f, 10.0f, 5.0f};
    // Residuals 0 (on the circle), 3 (8 from the centre), skipped (negative
    // x) and 0 (3-4-5): 3 / 4.
    const PointF pts[] = {{15.0f, 10.0f}, {10.0f, 18.0f}, {-1.0f, 5.0f}, {13.0f, 14.0f}};
    EXPECT_FLOAT_EQ(profileRatio(c, pts, 4), 0.75f);
    EXPECT_FLOAT_EQ(profileRatio(c, pts, 2), 1.5f);
}

// A reference window with a round opening in the copper: the opening's
// centre lies left of the window centre, and the camera sees the same
// opening. The widest open place lies on the row of the centre, the pad's
// edge is round and faces the window centre: the pad test holds.
TEST(PadTest, FindsARoundEdgeAroundAnOpening) {
    Square ref(kWindowSide, 255), cam(kWindowSide, 255);
    Canvas(ref).disc(30, 60, 50, 0);
    Canvas(cam).disc(30, 60, 50, 0);
    CheckScratch scratch;
    float best = 999.0f;
    Circle circle;
    EXPECT_TRUE(padTest(ref.data(), cam.data(), kWindowSide, 90, 0.5f, &best, &circle, scratch));
    EXPECT_LT(best, 0.5f);
    // A quarter of the opening's edge, drawn on whole pixels, fits the
    // opening to within about a pixel.
    EXPECT_NEAR(circle.x, 30.0f, 1.5f);
    EXPECT_NEAR(circle.y, 60.0f, 1.5f);
    EXPECT_NEAR(circle.radius, 50.0f, 1.5f);
}

TEST(PadTest, NoOpenAreaOrOpenCopperFails) {
    CheckScratch scratch;
    Circle circle{1.0f, 2.0f, 3.0f};
    // A camera without open area: the widest open place is below 5.
    {
        Square ref(kWindowSide, 255), cam(kWindowSide, 255);
        Canvas(ref).disc(30, 60, 50, 0);
        float best = 999.0f;
        EXPECT_FALSE(padTest(ref.data(), cam.data(), kWindowSide, 90, 0.5f, &best, &circle, scratch));
        EXPECT_EQ(best, 999.0f);
    }
    // Open camera areas over reference copper are skipped.
    {
        Square ref(kWindowSide, 255), cam(kWindowSide, 255);
        Canvas(cam).disc(30, 60, 50, 0);
        float best = 999.0f;
        EXPECT_FALSE(padTest(ref.data(), cam.data(), kWindowSide, 90, 0.5f, &best, &circle, scratch));
        EXPECT_EQ(best, 999.0f);
    }
    EXPECT_EQ(circle.radius, 3.0f);  // never written
}

}  // namespace
}  // namespace pcbinspect
