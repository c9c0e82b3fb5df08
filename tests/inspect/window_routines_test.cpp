// Margins, single erosion, line-direction correction and excess/missing.
#include <gtest/gtest.h>

#include <cmath>

#include "inspect/window_routines.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::Square;

GrayView view(Square& s) { return GrayView{s.data(), s.n, s.n, s.n}; }

TEST(ClearMargins, ClearsTheBandsOnly) {
    Square s(20, 9);
    ClearMargins(s.data(), 20, 0, 0);
    EXPECT_EQ(s.pixels, Square(20, 9).pixels);
    ClearMargins(s.data(), 20, 3, 2);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool band = y < 2 || y >= 18 || x < 3 || x >= 17;
            ASSERT_EQ(s.at(x, y), band ? 0 : 9) << x << "," << y;
        }
    Square t(10, 9);
    ClearMargins(t.data(), 10, -4, 30);  // larger than the window: all rows
    EXPECT_EQ(t.pixels, Square(10).pixels);
}

TEST(ErodeOnce, LeavesTheMiddleOfASquare) {
    Square s(9);
    Canvas(s).rect(3, 3, 5, 5, 200);
    ErodeOnce(view(s));
    int set = 0;
    for (auto v : s.pixels) set += v != 0;
    EXPECT_EQ(set, 1);
    EXPECT_EQ(s.at(4, 4), 200);
    // The frame is never eroded; value 1 anywhere is cleared.
    Square f(6, 7);
    f.at(0, 3) = 1;
    ErodeOnce(view(f));
    EXPECT_EQ(f.at(0, 0), 7);
    EXPECT_EQ(f.at(0, 3), 0);
    EXPECT_EQ(f.at(1, 3), 7);  // its neighbour 1 counts as set, so it stays
}

TEST(CorrectLineDirection, AxisLinesKeepTheirValuesDiagonalsShrink) {
    Square axis(40);
    Canvas(axis).rect(5, 20, 34, 20, 8);
    Square before = axis;
    CorrectLineDirection(view(axis));
    EXPECT_EQ(axis.pixels, before.pixels);
    // A 45-degree line: values 8 become trunc(cos(45) * 8 + 0.5) = 6.
    Square diag(40);
    for (int i = 5; i < 35; ++i) diag.at(i, i) = 8;
    CorrectLineDirection(view(diag));
    for (int i = 10; i < 30; ++i) EXPECT_EQ(diag.at(i, i), 6) << i;
    EXPECT_EQ(diag.at(2, 2), 0);
}

TEST(ExcessMissing, NoRegionGivesNothing) {
    Square d(120), o(120);
    Canvas(o).rect(0, 60, 119, 60, 255);
    const ExcessMissingResult r = ExcessMissing(d.data(), o.data(), 120, 0, 0);
    EXPECT_EQ(r.excess.value, 0.0f);
    EXPECT_EQ(r.excess.x, -1);
    EXPECT_EQ(r.missing.y, -1);
}

TEST(ExcessMissing, MeasuresHowFarABlobJutsFromTheOutline) {
    // Reference outline along row 60; an excess blob 6 pixels wide juts 6
    // rows straight up from it (rows 54..59): its far side lies 6 rows from
    // the outline.
    Square d(120), o(120);
    Canvas(o).rect(0, 60, 119, 60, 255);
    Canvas(d).rect(57, 54, 62, 59, 255);
    const ExcessMissingResult r = ExcessMissing(d.data(), o.data(), 120, 0, 0);
    EXPECT_FLOAT_EQ(r.excess.value, 6.0f);
    EXPECT_EQ(r.excess.y, 54);
    EXPECT_EQ(r.excess.x, 57);  // the first far-side pixel in row order
    EXPECT_EQ(r.missing.value, 0.0f);
}

}  // namespace
}  // namespace pcbinspect
