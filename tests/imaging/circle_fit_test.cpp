// Circle fitting, outlier rejection, 16-bit smoothing and valid points.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "imaging/circle_fit.h"

namespace pcbinspect {
namespace {

std::vector<PointF> circlePoints(float cx, float cy, float r, int n) {
    std::vector<PointF> p;
    for (int i = 0; i < n; ++i)
        p.push_back(PointF{static_cast<float>(cx + r * std::cos(0.1 + 2 * M_PI * i / n)),
                           static_cast<float>(cy + r * std::sin(0.1 + 2 * M_PI * i / n))});
    return p;
}

TEST(FitCircle, DegenerateInputsAndValidPoints) {
    float cx = 77, cy = 77, r = 0;
    EXPECT_FALSE(Circumcentre(0, 0, 1, 1, 2, 2, &cx, &cy));  // collinear: nothing written
    EXPECT_EQ(cx, 77);
    EXPECT_TRUE(Circumcentre(0, 0, 10, 0, 0, 10, &cx, &cy) && cx == 5.0f && cy == 5.0f);
    // Three points give their circle, fewer (0, 0) and radius 0, collinear ones no finite circle.
    std::vector<PointF> line{{0, 0}, {10, 0}, {0, 10}};
    FitCircle(line.data(), 3, &cx, &cy, &r);
    EXPECT_TRUE(std::fabs(cx - 5) < 1e-4f && std::fabs(cy - 5) < 1e-4f && std::fabs(r - std::sqrt(50.0f)) < 1e-4f);
    FitCircle(line.data(), 2, &cx, &cy, &r);
    EXPECT_TRUE(cx == 0.0f && cy == 0.0f && r == 0.0f);
    line = {{0, 0}, {1, 1}, {2, 2}, {3, 3}};
    Circle c;
    FitCircle(line.data(), 4, &c.x, &c.y, &c.radius);
    EXPECT_FALSE(isFinite(c));
    // -0.5 truncates to 0 and counts as valid; -1 and the absent point do not.
    const PointF valid[] = {{0, 0}, {-0.5f, 3}, {-1, 3}, {3, -1.5f}, kAbsentPoint, {1e9f, 2}};
    EXPECT_EQ(CountValidPoints(valid, 6), 3);
}

TEST(CircleFit, ResidualAndOutlierRejectionRemoveFarPoints) {
    auto p = circlePoints(50, 50, 20, 100);
    for (int i = 30; i < 100; ++i) p[i] = kAbsentPoint;  // 30 valid of 100: fewer than a third
    EXPECT_EQ(std::pair(CircleFitResidual(p.data(), 100, 3), CircleFitResidual(p.data(), 4, 3)), std::pair(FLT_MAX, FLT_MAX));  // and fewer than five
    auto stray = circlePoints(60, 60, 25, 20);
    stray.insert(stray.begin() + 7, PointF{95.0f, 60});  // 10 pixels outside the radius
    EXPECT_TRUE(CircleFitResidual(stray.data(), 21, 3) < 1e-3f && CircleFitResidual(stray.data(), 21, 0) > 0.5f);  // removed, unless not allowed
    // Rejection: fewer than five points, or no removal allowed, change nothing.
    int n4 = 4, n20 = 20;
    RejectCircleOutliers(p.data(), &n4, 2);
    RejectCircleOutliers(stray.data(), &n20, 0);
    EXPECT_TRUE(n4 == 4 && n20 == 20 && stray[7].x == 95.0f);
    // 40 points at radius 30 and 5 strays at radius 45: the voting finds the
    // centre, and the 8 largest deviations go, the strays first.
    auto q = circlePoints(100, 100, 30, 40);
    for (int i = 0; i < 5; ++i) q.insert(q.begin() + i * 8, circlePoints(100, 100, 45, 5)[i]);
    int n = 45;
    RejectCircleOutliers(q.data(), &n, 8);
    EXPECT_EQ(n, 37);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(std::hypot(q[i].x - 100.0, q[i].y - 100.0), 30.0, 0.01) << i;
}

TEST(SmoothGray16, SpreadsAnImpulseSymmetricallyKeepsPaddingAndCapsSigma) {
    // 9 x 7 samples in rows of 12 (stride 24 bytes); padding must stay.
    std::vector<std::uint16_t> img(12 * 7, 0);
    for (int y = 0; y < 7; ++y) img[y * 12 + 9] = img[y * 12 + 10] = img[y * 12 + 11] = 4242;
    img[3 * 12 + 4] = 60000;
    const auto original = img;
    auto forty = img, fifty = img, same = img;
    SmoothGray16(img.data(), 9, 24, 7, 1.0);
    EXPECT_TRUE(img[3 * 12 + 4] < 60000 && img[3 * 12 + 4] > img[3 * 12 + 3]);
    // The four neighbours of the impulse receive the same value.
    EXPECT_EQ((std::vector<int>{img[3 * 12 + 5], img[2 * 12 + 4], img[4 * 12 + 4]}), std::vector<int>(3, img[3 * 12 + 3]));
    for (int y = 0; y < 7; ++y) EXPECT_TRUE(img[y * 12 + 9] == 4242 && img[y * 12 + 11] == 4242) << y;
    std::vector<std::uint16_t> flat(25, 1000);  // the weights sum to one, at the edges too
    SmoothGray16(flat.data(), 5, 10, 5, 2.0);
    for (auto v : flat) EXPECT_NEAR(v, 1000, 1);
    // Sigma 0 leaves the image; sigma is capped at 40.
    SmoothGray16(same.data(), 9, 24, 7, 0.0);
    SmoothGray16(forty.data(), 9, 24, 7, 40.0);
    SmoothGray16(fifty.data(), 9, 24, 7, 50.0);
    EXPECT_EQ(same, original);
    EXPECT_EQ(forty, fifty);
    EXPECT_NE(forty, original);
}

}  // namespace
}  // namespace pcbinspect
