// Nearest set pixel and the best nearest point of a window.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "imaging/nearest_pixel.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Square;

TEST(NearestSetPixel, ValueIsTheMeanOfTheSetBlockOrTheRingPixelsOwn) {
    Square s(40);
    int x = 5, y = 5;
    EXPECT_EQ(NearestSetPixel(s.data(), 40, 20, 20, &x, &y), 0.0f);  // none found
    EXPECT_EQ(std::pair(x, y), std::pair(-1, -1));
    s.at(10, 12) = 200;
    // One set pixel: 200 / (1 + 0.01), rounded to single precision.
    EXPECT_EQ(NearestSetPixel(s.data(), 40, 30, 30, &x, &y), static_cast<float>(200 / 1.01));
    EXPECT_EQ(std::pair(x, y), std::pair(10, 12));
    // (9, 11) is nearest to the origin; its 3 x 3 block holds (10, 12) but
    // not (11, 13), and zeros do not count.
    s.at(11, 13) = 100, s.at(9, 11) = 30;
    EXPECT_EQ(NearestSetPixel(s.data(), 40, 0, 0, &x, &y), static_cast<float>(230 / 2.01));
    EXPECT_EQ(std::pair(x, y), std::pair(9, 11));
    // On the outer ring the pixel's own value, whatever its neighbours.
    for (auto [px, py] : {std::pair{0, 7}, {7, 0}, {19, 7}, {7, 19}}) {
        Square r(20);
        r.at(px, py) = 90, r.at(px == 19 ? 18 : (px == 0 ? 1 : px), py == 19 ? 18 : (py == 0 ? 1 : py)) = 10;
        const int qx = px == 0 ? -3 : (px == 19 ? 22 : px), qy = py == 0 ? -3 : (py == 19 ? 22 : py);
        EXPECT_EQ(NearestSetPixel(r.data(), 20, qx, qy, &x, &y), 90.0f);
        EXPECT_EQ(std::pair(x, y), std::pair(px, py));
    }
}

TEST(NearestSetPixel, TiesGoToSmallerXThenSmallerY) {
    // (12, 15) right and (6, 15) left of (9, 15), and (9, 18) below it, lie 3
    // away: the smaller x wins; then above and below: the smaller y.
    Square s(30);
    s.at(12, 15) = 50, s.at(6, 15) = 60, s.at(9, 18) = 70;
    int x = 0, y = 0;
    NearestSetPixel(s.data(), 30, 9, 15, &x, &y);
    EXPECT_EQ(std::pair(x, y), std::pair(6, 15));
    s.at(6, 15) = 0, s.at(9, 12) = 80;
    NearestSetPixel(s.data(), 30, 9, 15, &x, &y);
    EXPECT_EQ(std::pair(x, y), std::pair(9, 12));
}

TEST(BestNearestInWindow, SmallestTruncatedValueOverTheMaskedWindow) {
    Square mask(240), values(240);
    values.at(100, 100) = 40;
    int x = 50, y = 60;
    // Radius 0 considers only the point itself, and only where the mask is set.
    EXPECT_EQ(BestNearestInWindow(mask.data(), values.data(), &x, &y, 0), -1);
    EXPECT_EQ(std::pair(x, y), std::pair(50, 60));
    mask.at(50, 60) = 1;
    EXPECT_EQ(BestNearestInWindow(mask.data(), values.data(), &x, &y, 0), 39);  // 40 / 1.01, truncated
    EXPECT_EQ(std::pair(x, y), std::pair(50, 60));

    // Near the corner the window stays inside the image; (0, 0) comes first
    // of the candidates whose nearest value pixel is the 9.
    // The mask's corner is set, and so are the bytes above and left of it
    // (the end of the row before), which must not be read.
    Square cornerValues(240);
    std::vector<std::uint8_t> guarded(245 * 240, 0);
    std::fill_n(guarded.begin(), 5 * 240, 1);
    for (int y = 0; y <= 5; ++y) std::fill_n(guarded.begin() + (5 + y) * 240, 6, 1), guarded[(5 + y) * 240 + 239] = 1;
    cornerValues.at(0, 0) = 9, cornerValues.at(30, 2) = 200, cornerValues.at(3, 30) = 150;
    x = 2, y = 2;
    EXPECT_EQ(BestNearestInWindow(guarded.data() + 5 * 240, cornerValues.data(), &x, &y, 4), 9);
    EXPECT_EQ(std::pair(x, y), std::pair(0, 0));

    // A later candidate must lie strictly below the truncated best.
    // (100, 100), considered first, is nearest to 120: 120 / 1.01 = 118.8,
    // kept as 118; (104, 100) to 119: 119 / 1.01 = 117.8, below 118.
    Square m(240), v(240);
    m.at(100, 100) = m.at(104, 100) = 1;
    v.at(90, 100) = 120, v.at(114, 100) = 119;
    x = 100, y = 100;
    EXPECT_EQ(BestNearestInWindow(m.data(), v.data(), &x, &y, 4), 117);
    EXPECT_EQ(std::pair(x, y), std::pair(104, 100));
    v.at(115, 100) = 119;  // (119 + 119) / 2.01 = 118.4: not below 118, the point stays
    x = 100;
    EXPECT_EQ(BestNearestInWindow(m.data(), v.data(), &x, &y, 4), 118);
    EXPECT_EQ(x, 100);
}

}  // namespace
}  // namespace pcbinspect
