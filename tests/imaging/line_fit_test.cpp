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

TEST(FitLine, ExactSlopesDegenerateSpreadsAndRestoredPoints) {
    const struct { std::vector<PointF> points; double a, b; } cases[] = {
        {{{0, 3}, {2, 4}, {4, 5}, {6, 6}, {8, 7}}, 0.5, 3.0},                // y = 0.5 x + 3, directly
        {{{1, 0}, {1.5f, 2}, {2, 4}, {2.5f, 6}, {3, 8}}, 4.0, -4.0},         // steep: the exchanged fit
        {{{3, 4}}, 0.0, 0.0},                                                // one point
        {std::vector<PointF>(4, PointF{3, 4}), 8388608.0, 0.0},              // no spread at all
        // One shared x: the exchanged fit is flat, its slope becomes 2^23
        // and b = mean y - a * mean x.
        {{{2, 1}, {2, 3}, {2, 5}}, 8388608.0, 3.0 - 8388608.0 * 2.0},
    };
    for (const auto& c : cases) {
        std::vector<PointF> p = c.points;
        double a = 9, b = 9;
        FitLine(static_cast<int>(p.size()), p.data(), &a, &b);
        EXPECT_EQ(std::pair(a, b), std::pair(c.a, c.b)) << &c - cases;
        for (std::size_t i = 0; i < p.size(); ++i) EXPECT_TRUE(p[i].x == c.points[i].x && p[i].y == c.points[i].y);
    }
}

TEST(PointLineDistance, PerpendicularDistanceToTheLineOrFltMax) {
    EXPECT_FLOAT_EQ(PointLineDistance({0, 0}, {10, 0}, {3, 4}), 4.0f);
    EXPECT_FLOAT_EQ(PointLineDistance({0, 0}, {0, 10}, {-3, 4}), 3.0f);
    EXPECT_FLOAT_EQ(PointLineDistance({0, 0}, {4, 4}, {0, 4}), std::sqrt(8.0f));
    EXPECT_FLOAT_EQ(PointLineDistance({0, 0}, {1, 0}, {50, -2}), 2.0f);  // a line, not a segment
    EXPECT_EQ(PointLineDistance({5, 5}, {5, 5}, {0, 0}), FLT_MAX);
}

TEST(IsNotStraight, StraightThickLinesInAnyDirectionAndNotCornersOrFewPixels) {
    // Pixels around (30, 30) of a 60 x 60 image.
    const struct { void (*draw)(Square&); bool notStraight; } cases[] = {
        {[](Square& s) { s.rect(0, 30, 59, 31, 255); }, false},
        {[](Square& s) { s.rect(30, 0, 31, 59, 255); }, false},  // fitted with the axes exchanged
        {[](Square& s) { for (int i = 0; i < 60; ++i) s.at(i, i) = s.at(std::min(i + 1, 59), i) = 255; }, false},
        // An L: the first forty points collected cover both arms.
        {[](Square& s) { s.rect(10, 30, 30, 30, 255), s.rect(30, 30, 30, 50, 255); }, true},
        {[](Square& s) { s.rect(28, 30, 31, 30, 255); }, true},   // four points
        {[](Square& s) { s.rect(28, 30, 32, 30, 255); }, false},  // five points on a line
    };
    for (const auto& c : cases) {
        Square s(60);
        c.draw(s);
        EXPECT_EQ(IsNotStraight(s.data(), 60, 30, 30), c.notStraight) << &c - cases;
    }
    // An L whose upright is the image's first column: those pixels count.
    Square l(60);
    l.rect(0, 30, 0, 50, 255), l.rect(0, 30, 30, 30, 255);
    EXPECT_TRUE(IsNotStraight(l.data(), 60, 10, 30));
}

}  // namespace
}  // namespace pcbinspect
