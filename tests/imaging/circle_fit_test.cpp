// Circle fitting, outlier rejection, 16-bit smoothing and valid points.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>
#include <vector>

#include "imaging/circle_fit.h"

namespace pcbinspect {
namespace {

std::vector<PointF> circlePoints(float cx, float cy, float r, int n, float phase = 0.1f) {
    std::vector<PointF> p;
    for (int i = 0; i < n; ++i) {
        const double a = phase + 2 * M_PI * i / n;
        p.push_back(PointF{static_cast<float>(cx + r * std::cos(a)),
                           static_cast<float>(cy + r * std::sin(a))});
    }
    return p;
}

TEST(Circumcentre, CentreOfThreePointsOrNoneWhenCollinear) {
    float cx = -1, cy = -1;
    // (0,0), (10,0), (0,10) lie on the circle about (5, 5).
    ASSERT_TRUE(Circumcentre(0, 0, 10, 0, 0, 10, &cx, &cy));
    EXPECT_FLOAT_EQ(cx, 5.0f);
    EXPECT_FLOAT_EQ(cy, 5.0f);
    cx = cy = 77;
    EXPECT_FALSE(Circumcentre(0, 0, 1, 1, 2, 2, &cx, &cy));
    EXPECT_EQ(cx, 77);  // nothing written
    EXPECT_EQ(cy, 77);
}

TEST(FitCircle, ExactPointsGiveTheirCircleAndAreRestored) {
    auto p = circlePoints(40.0f, 30.0f, 12.0f, 3);
    const auto before = p;
    float cx, cy, r;
    FitCircle(p.data(), 3, &cx, &cy, &r);
    EXPECT_NEAR(cx, 40.0f, 1e-3);
    EXPECT_NEAR(cy, 30.0f, 1e-3);
    EXPECT_NEAR(r, 12.0f, 1e-3);
    for (std::size_t i = 0; i < p.size(); ++i) {
        EXPECT_NEAR(p[i].x, before[i].x, 1e-4);
        EXPECT_NEAR(p[i].y, before[i].y, 1e-4);
    }
    FitCircle(p.data(), 2, &cx, &cy, &r);
    EXPECT_EQ(cx, 0.0f);
    EXPECT_EQ(cy, 0.0f);
    EXPECT_EQ(r, 0.0f);
}

TEST(FitCircle, CollinearPointsGiveNonFiniteValues) {
    std::vector<PointF> line{{0, 0}, {1, 1}, {2, 2}, {3, 3}};
    Circle c;
    FitCircle(line.data(), 4, &c.x, &c.y, &c.radius);
    EXPECT_FALSE(isFinite(c));
}

TEST(CircleFitResidual, NeedsEnoughValidPoints) {
    // 30 valid of 100: fewer than a third.
    auto p = circlePoints(50, 50, 20, 100);
    for (int i = 30; i < 100; ++i) p[i] = kAbsentPoint;
    EXPECT_EQ(CircleFitResidual(p.data(), 100, 3), FLT_MAX);
    EXPECT_EQ(CircleFitResidual(p.data(), 4, 3), FLT_MAX);  // fewer than five
    // 12 exact points: no removal, residual near 0.
    auto exact = circlePoints(50, 50, 20, 12);
    EXPECT_LT(CircleFitResidual(exact.data(), 12, 3), 1e-3f);
}

TEST(CircleFitResidual, RemovesAPointFarOffTheCircle) {
    auto p = circlePoints(60, 60, 25, 20);
    const PointF stray{60 + 35.0f, 60};  // 10 pixels outside the radius
    p.insert(p.begin() + 7, stray);
    EXPECT_LT(CircleFitResidual(p.data(), 21, 3), 1e-3f);
    // With no removal allowed the stray point spoils the fit.
    EXPECT_GT(CircleFitResidual(p.data(), 21, 0), 0.5f);
}

TEST(RejectCircleOutliers, EarlyReturnsChangeNothing) {
    auto four = circlePoints(30, 30, 10, 4);
    four[0] = PointF{-1, -1};
    int n = 4;
    RejectCircleOutliers(four.data(), &n, 2);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(four[0].x, -1.0f);
    auto twenty = circlePoints(30, 30, 10, 20);
    twenty[3] = PointF{-5, 4};
    n = 20;
    RejectCircleOutliers(twenty.data(), &n, 0);
    EXPECT_EQ(n, 20);
    EXPECT_EQ(twenty[3].x, -5.0f);
}

TEST(RejectCircleOutliers, RemovesTheFarthestFromTheMedianRadius) {
    // 40 points on a circle of radius 30 and 5 strays at radius 45: the
    // voting finds the centre, and the 8 largest deviations go, the strays
    // first.
    auto p = circlePoints(100, 100, 30, 40);
    for (int i = 0; i < 5; ++i) {
        const double a = 0.3 + i * 1.2;
        p.insert(p.begin() + i * 8, PointF{static_cast<float>(100 + 45 * std::cos(a)),
                                           static_cast<float>(100 + 45 * std::sin(a))});
    }
    int n = 45;
    RejectCircleOutliers(p.data(), &n, 8);
    EXPECT_EQ(n, 37);
    for (int i = 0; i < n; ++i) {
        const double d = std::hypot(p[i].x - 100.0, p[i].y - 100.0);
        EXPECT_NEAR(d, 30.0, 0.01) << "point " << i;
    }
}

TEST(RejectCircleOutliers, DropsPointsWithNegativeCoordinates) {
    auto p = circlePoints(200, 200, 40, 12);
    p[2] = PointF{-3, 50};
    p[5] = PointF{50, -0.5f};
    int n = 12;
    RejectCircleOutliers(p.data(), &n, 1);
    // The one removal allowed takes a stray (both lie about 250 pixels from
    // the centre); the other is dropped for its negative coordinate.
    EXPECT_EQ(n, 10);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(std::hypot(p[i].x - 200.0, p[i].y - 200.0), 40.0, 0.01);
}

TEST(SmoothGray16, SigmaZeroLeavesTheImageAndSigmaIsCapped) {
    std::mt19937 rng(3);
    std::vector<std::uint16_t> img(30 * 30);
    for (auto& v : img) v = static_cast<std::uint16_t>(rng() % 65536);
    auto same = img;
    SmoothGray16(same.data(), 30, 60, 30, 0.0);
    EXPECT_EQ(same, img);
    auto forty = img, fifty = img;
    SmoothGray16(forty.data(), 30, 60, 30, 40.0);
    SmoothGray16(fifty.data(), 30, 60, 30, 50.0);
    EXPECT_EQ(forty, fifty);
    EXPECT_NE(forty, img);
}

TEST(SmoothGray16, SpreadsAnImpulseSymmetricallyAndKeepsPadding) {
    // 9 x 7 samples in rows of 12 (stride 24 bytes); padding must stay.
    std::vector<std::uint16_t> img(12 * 7, 0);
    for (int y = 0; y < 7; ++y)
        for (int x = 9; x < 12; ++x) img[y * 12 + x] = 4242;
    img[3 * 12 + 4] = 60000;
    SmoothGray16(img.data(), 9, 24, 7, 1.0);
    EXPECT_LT(img[3 * 12 + 4], 60000);
    EXPECT_GT(img[3 * 12 + 4], img[3 * 12 + 3]);
    EXPECT_EQ(img[3 * 12 + 3], img[3 * 12 + 5]);
    EXPECT_EQ(img[2 * 12 + 4], img[4 * 12 + 4]);
    EXPECT_EQ(img[3 * 12 + 3], img[2 * 12 + 4]);
    for (int y = 0; y < 7; ++y)
        for (int x = 9; x < 12; ++x) ASSERT_EQ(img[y * 12 + x], 4242);
    // A constant image stays constant (the weights sum to one).
    std::vector<std::uint16_t> flat(25, 1000);
    SmoothGray16(flat.data(), 5, 10, 5, 2.0);
    for (auto v : flat) EXPECT_NEAR(v, 1000, 1);
}

TEST(CountValidPoints, TruncationDecides) {
    // -0.5 truncates to 0 and counts; -1 and the absent point do not.
    const PointF p[] = {{0, 0}, {-0.5f, 3}, {-1, 3}, {3, -1.5f}, kAbsentPoint, {1e9f, 2}};
    EXPECT_EQ(CountValidPoints(p, 6), 3);
}

}  // namespace
}  // namespace pcbinspect
