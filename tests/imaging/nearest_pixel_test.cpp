// Nearest set pixel and the best nearest point of a window.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "imaging/nearest_pixel.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Square;

TEST(NearestSetPixel, EmptyImageGivesNoneAndZero) {
    Square s(40);
    int x = 5, y = 5;
    EXPECT_EQ(NearestSetPixel(s.data(), 40, 20, 20, &x, &y), 0.0f);
    EXPECT_EQ(x, -1);
    EXPECT_EQ(y, -1);
}

TEST(NearestSetPixel, AveragesTheThreeByThreeBlock) {
    Square s(40);
    s.at(10, 12) = 200;
    int x = 0, y = 0;
    // One set pixel: 200 / (1 + 0.01), rounded to single precision.
    EXPECT_EQ(NearestSetPixel(s.data(), 40, 30, 30, &x, &y), static_cast<float>(200 / 1.01));
    EXPECT_EQ(x, 10);
    EXPECT_EQ(y, 12);
    // Set neighbours of the nearest pixel join the mean; zeros and pixels
    // outside its 3 x 3 block do not. (9, 11) is nearest to the origin; its
    // block holds (10, 12) but not (11, 13).
    s.at(11, 13) = 100;
    s.at(9, 11) = 30;
    EXPECT_EQ(NearestSetPixel(s.data(), 40, 0, 0, &x, &y), static_cast<float>(230 / 2.01));
    EXPECT_EQ(x, 9);
    EXPECT_EQ(y, 11);
}

TEST(NearestSetPixel, OuterRingGivesItsOwnValue) {
    for (auto [px, py] : {std::pair{0, 7}, {7, 0}, {19, 7}, {7, 19}}) {
        Square s(20);
        s.at(px, py) = 90;
        s.at(px == 19 ? 18 : (px == 0 ? 1 : px), py == 19 ? 18 : (py == 0 ? 1 : py)) = 10;
        int x = 0, y = 0;
        // Query just beyond the border pixel so it is the nearest.
        const int qx = px == 0 ? -3 : (px == 19 ? 22 : px);
        const int qy = py == 0 ? -3 : (py == 19 ? 22 : py);
        EXPECT_EQ(NearestSetPixel(s.data(), 20, qx, qy, &x, &y), 90.0f);
        EXPECT_EQ(x, px);
        EXPECT_EQ(y, py);
    }
}

TEST(NearestSetPixel, TiesGoToSmallerXThenSmallerY) {
    Square s(30);
    s.at(12, 15) = 50;  // distance 3 to the right ...
    s.at(6, 15) = 60;   // ... and to the left: the smaller x wins
    s.at(9, 18) = 70;   // below, same distance, larger x than 6
    int x = 0, y = 0;
    NearestSetPixel(s.data(), 30, 9, 15, &x, &y);
    EXPECT_EQ(x, 6);
    EXPECT_EQ(y, 15);
    s.at(6, 15) = 0;
    s.at(9, 12) = 80;  // above and below at x = 9: the smaller y wins
    NearestSetPixel(s.data(), 30, 9, 15, &x, &y);
    EXPECT_EQ(x, 9);
    EXPECT_EQ(y, 12);
}

TEST(BestNearestInWindow, RadiusZeroConsidersOnlyThePoint) {
    Square mask(240), values(240);
    values.at(100, 100) = 40;
    int x = 50, y = 60;
    EXPECT_EQ(BestNearestInWindow(mask.data(), values.data(), &x, &y, 0), -1);
    EXPECT_EQ(x, 50);
    EXPECT_EQ(y, 60);
    mask.at(50, 60) = 1;
    // 40 / 1.01 = 39.6, kept truncated.
    EXPECT_EQ(BestNearestInWindow(mask.data(), values.data(), &x, &y, 0), 39);
    EXPECT_EQ(x, 50);
    EXPECT_EQ(y, 60);
}

TEST(BestNearestInWindow, MovesToTheSmallestValueAndStaysInside) {
    Square mask(240), values(240);
    mask.rect(0, 0, 5, 5, 1);
    values.at(0, 0) = 9;      // nearest to the corner candidates, on the ring
    values.at(30, 2) = 200;   // nearer to candidates at larger x
    values.at(3, 30) = 150;
    int x = 2, y = 2;
    const int best = BestNearestInWindow(mask.data(), values.data(), &x, &y, 4);
    EXPECT_EQ(best, 9);
    EXPECT_GE(x, 0);
    EXPECT_GE(y, 0);
    // (0, 0) is considered first of all candidates whose nearest pixel is the 9.
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
}

TEST(BestNearestInWindow, StrictlySmallerAgainstTheTruncatedBest) {
    Square mask(240), values(240);
    mask.at(100, 100) = 1;  // considered first (smaller dx)
    mask.at(104, 100) = 1;
    values.at(90, 100) = 120;   // nearest to (100, 100): 120 / 1.01 = 118.8, kept as 118
    values.at(114, 100) = 119;  // nearest to (104, 100): 119 / 1.01 = 117.8, below 118
    int x = 100, y = 100;
    EXPECT_EQ(BestNearestInWindow(mask.data(), values.data(), &x, &y, 4), 117);
    EXPECT_EQ(x, 104);
    EXPECT_EQ(y, 100);
    // (119 + 119) / 2.01 = 118.4 lies below 118.8 but not below the
    // truncated 118: the point stays.
    values.at(115, 100) = 119;
    x = 100;
    EXPECT_EQ(BestNearestInWindow(mask.data(), values.data(), &x, &y, 4), 118);
    EXPECT_EQ(x, 100);
}

}  // namespace
}  // namespace pcbinspect
