// Line fits, point-to-line distance and the straightness test.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

#include "imaging/line_fit.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Square;

TEST(FitLine, FitsAShallowLineDirectly) {
    // y = 0.5 x + 3, exactly on the points.
    std::vector<PointF> p{{0, 3}, {2, 4}, {4, 5}, {6, 6}, {8, 7}};
    double a = 0, b = 0;
    FitLine(5, p.data(), &a, &b);
    EXPECT_DOUBLE_EQ(a, 0.5);
    EXPECT_DOUBLE_EQ(b, 3.0);
}

TEST(FitLine, SteepPointsUseTheExchangedFitAndAreRestored) {
    // x = 0.25 y + 1 is y = 4 x - 4.
    std::vector<PointF> p{{1, 0}, {1.5f, 2}, {2, 4}, {2.5f, 6}, {3, 8}};
    const auto original = p;
    double a = 0, b = 0;
    FitLine(5, p.data(), &a, &b);
    EXPECT_DOUBLE_EQ(a, 4.0);
    EXPECT_DOUBLE_EQ(b, -4.0);
    for (std::size_t i = 0; i < p.size(); ++i) {
        EXPECT_EQ(p[i].x, original[i].x);
        EXPECT_EQ(p[i].y, original[i].y);
    }
}

TEST(FitLine, DegenerateInputs) {
    double a = 9, b = 9;
    std::vector<PointF> one{{3, 4}};
    FitLine(1, one.data(), &a, &b);
    EXPECT_EQ(a, 0.0);
    EXPECT_EQ(b, 0.0);
    // One repeated point: no spread at all.
    std::vector<PointF> same(4, PointF{3, 4});
    FitLine(4, same.data(), &a, &b);
    EXPECT_EQ(a, 8388608.0);
    EXPECT_EQ(b, 0.0);
    // One shared x: the exchanged fit has a flat slope, turned into 2^23,
    // and b = mean y - a * mean x.
    std::vector<PointF> column{{2, 1}, {2, 3}, {2, 5}};
    FitLine(3, column.data(), &a, &b);
    EXPECT_EQ(a, 8388608.0);
    EXPECT_EQ(b, 3.0 - 8388608.0 * 2.0);
}

TEST(PointLineDistance, PerpendicularDistanceOrFltMax) {
    EXPECT_FLOAT_EQ(PointLineDistance({0, 0}, {10, 0}, {3, 4}), 4.0f);
    EXPECT_FLOAT_EQ(PointLineDistance({0, 0}, {0, 10}, {-3, 4}), 3.0f);
    EXPECT_FLOAT_EQ(PointLineDistance({0, 0}, {4, 4}, {0, 4}), std::sqrt(8.0f));
    // The foot may lie beyond the segment: it is a line, not a segment.
    EXPECT_FLOAT_EQ(PointLineDistance({0, 0}, {1, 0}, {50, -2}), 2.0f);
    EXPECT_EQ(PointLineDistance({5, 5}, {5, 5}, {0, 0}), FLT_MAX);
}

TEST(IsNotStraight, ThickStraightLinesAreStraight) {
    Square horizontal(60);
    horizontal.rect(0, 30, 59, 31, 255);
    EXPECT_FALSE(IsNotStraight(horizontal.data(), 60, 30, 30));
    // A vertical line fits with the axes exchanged.
    Square vertical(60);
    vertical.rect(20, 0, 21, 59, 255);
    EXPECT_FALSE(IsNotStraight(vertical.data(), 60, 20, 30));
    // Diagonal, two pixels thick.
    Square diagonal(60);
    for (int i = 0; i < 60; ++i) {
        diagonal.at(i, i) = 255;
        if (i + 1 < 60) diagonal.at(i + 1, i) = 255;
    }
    EXPECT_FALSE(IsNotStraight(diagonal.data(), 60, 30, 30));
}

TEST(IsNotStraight, CornersAndSparsePixelsAreNot) {
    // An L: a horizontal arm to the left of the point and a vertical arm
    // below it; the first forty points collected cover both arms.
    Square corner(60);
    corner.rect(10, 30, 30, 30, 255);
    corner.rect(30, 30, 30, 50, 255);
    EXPECT_TRUE(IsNotStraight(corner.data(), 60, 30, 30));
    Square sparse(60);
    for (int i = 0; i < 4; ++i) sparse.at(28 + i, 30) = 255;
    EXPECT_TRUE(IsNotStraight(sparse.data(), 60, 30, 30));
    sparse.at(32, 30) = 255;  // five points on a line: straight
    EXPECT_FALSE(IsNotStraight(sparse.data(), 60, 30, 30));
}

}  // namespace
}  // namespace pcbinspect
