// Width-carrying skeletons.
#include <gtest/gtest.h>

#include "imaging/thickness_map.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::Square;

GrayView view(Square& s) { return GrayView{s.data(), s.n, s.n, s.n}; }

TEST(ThicknessMap, EmptyStaysEmptyAndALonePixelIsOne) {
    Square empty(30);
    ThicknessMap(view(empty));
    EXPECT_EQ(empty.pixels, Square(30).pixels);
    Square one(30);
    one.at(15, 12) = 77;  // any foreground value counts as 1
    ThicknessMap(view(one));
    EXPECT_EQ(one.at(15, 12), 1);
    int set = 0;
    for (auto v : one.pixels) set += v != 0;
    EXPECT_EQ(set, 1);
}

TEST(ThicknessMap, RectanglesGiveTheirHalfHeightAlongTheMiddleRow) {
    for (int k : {2, 3, 5, 8}) {
        // 2k + 1 rows high, 100 long: values k + 1 along the middle row
        // away from the ends.
        Square s(140);
        Canvas(s).rect(20, 40, 119, 40 + 2 * k, 200);
        ThicknessMap(view(s));
        for (int x = 40; x < 100; ++x) EXPECT_EQ(s.at(x, 40 + k), k + 1) << "k " << k << " x " << x;
        for (int x = 40; x < 100; ++x) {
            EXPECT_EQ(s.at(x, 40 + k - 1), 0);
            EXPECT_EQ(s.at(x, 40 + k + 1), 0);
        }
    }
}

TEST(ThicknessMap, ForegroundOnTheBorderLosesItsOuterRing) {
    Square s(20, 255);
    ThicknessMap(view(s));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(s.at(i, 0), 0);
        EXPECT_EQ(s.at(19, i), 0);
    }
    int maxValue = 0;
    for (auto v : s.pixels) maxValue = std::max<int>(maxValue, v);
    EXPECT_GT(maxValue, 4);  // the 18 x 18 remainder thins over several passes
    EXPECT_LT(maxValue, 255);
}

}  // namespace
}  // namespace pcbinspect
