// Step-wise growing and shrinking, border counts and the 2 x 2 steps.
#include <gtest/gtest.h>

#include <cstdlib>

#include "imaging/morphology.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::Square;

GrayView view(Square& s) { return GrayView{s.data(), s.n, s.n, s.n}; }

TEST(DilateSteps, GrowsByCityBlockDistance) {
    for (int n : {1, 2, 5}) {
        Square s(40);
        s.at(20, 20) = 9;
        MorphologyScratch scratch;
        // 2n(n + 1) pixels lie at city-block distance 1..n.
        EXPECT_EQ(DilateSteps(scratch, view(s), n, 200), 2 * n * (n + 1));
        for (int y = 0; y < 40; ++y)
            for (int x = 0; x < 40; ++x) {
                const int d = std::abs(x - 20) + std::abs(y - 20);
                ASSERT_EQ(s.at(x, y), d == 0 ? 9 : (d <= n ? 200 : 0)) << n << ":" << x << "," << y;
            }
    }
    // Near the border only pixels inside the image are set.
    Square corner(10);
    corner.at(0, 0) = 1;
    MorphologyScratch scratch;
    EXPECT_EQ(DilateSteps(scratch, view(corner), 3, 5), 9);  // 2 + 3 + 4
}

TEST(DilateSteps, CopiesTheFirstNeighbourInFixedOrder) {
    // A zero pixel between a region of 50 (left) and one of 60 (right)
    // looks below, left, right, above: left wins; one with a 70 below takes 70.
    Square s(7);
    s.at(2, 3) = 50;
    s.at(4, 3) = 60;
    s.at(3, 2) = 80;  // above the gap
    s.at(5, 5) = 70;
    MorphologyScratch scratch;
    DilateSteps(scratch, view(s), 1, -1);
    EXPECT_EQ(s.at(3, 3), 50);   // left before right and above
    EXPECT_EQ(s.at(5, 4), 70);   // below first
    EXPECT_EQ(s.at(3, 1), 80);
    EXPECT_EQ(s.at(4, 2), 60);   // below (4, 3) comes first
}

TEST(ErodeSteps, ClearsRingsAndTreatsTheEdgeAsBackground) {
    Square s(30);
    Canvas(s).rect(5, 5, 24, 24, 255);
    MorphologyScratch scratch;
    // One step: the outer ring of the 20 x 20 square, 76 pixels.
    EXPECT_EQ(ErodeSteps(scratch, view(s), 1), 76);
    EXPECT_EQ(s.at(5, 5), 0);
    EXPECT_EQ(s.at(6, 6), 255);
    Square t(30);
    Canvas(t).rect(5, 5, 24, 24, 255);
    // Three steps: everything within city-block distance 2 of the ring.
    ErodeSteps(scratch, view(t), 3);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 30; ++x) {
            const bool inSquare = x >= 5 && x <= 24 && y >= 5 && y <= 24;
            int ring = 100;  // city-block distance to the nearest ring pixel
            for (int ry = 5; ry <= 24; ++ry)
                for (int rx = 5; rx <= 24; ++rx)
                    if (rx == 5 || rx == 24 || ry == 5 || ry == 24)
                        ring = std::min(ring, std::abs(rx - x) + std::abs(ry - y));
            ASSERT_EQ(t.at(x, y), inSquare && ring > 2 ? 255 : 0) << x << "," << y;
        }
    // A full image loses its outermost ring in the first step.
    Square full(12, 7);
    EXPECT_EQ(ErodeSteps(scratch, view(full), 1), 44);
    EXPECT_EQ(full.at(1, 1), 7);
}

TEST(ErodeSteps, ContactLinesBelongToBothRegions) {
    Square s(12);
    Canvas(s).rect(2, 2, 5, 9, 100);
    Canvas(s).rect(6, 2, 9, 9, 200);
    MorphologyScratch scratch;
    ErodeSteps(scratch, view(s), 1);
    for (int y = 3; y <= 8; ++y) {
        EXPECT_EQ(s.at(5, y), 0);
        EXPECT_EQ(s.at(6, y), 0);
        EXPECT_EQ(s.at(4, y), 100);
        EXPECT_EQ(s.at(7, y), 200);
    }
}

TEST(RegionFillGrowing, FillsHugeRegions) {
    std::vector<std::uint8_t> img(2000 * 2000, 4);
    RegionFillGrowing(img.data(), 2000, 2000, 2000, 7, 1999, 5);
    EXPECT_EQ(std::count(img.begin(), img.end(), 5), 4000000);
}

TEST(CountBorderPixels, CountsTheRingOfSquares) {
    Square s(120);
    Canvas(s).rect(50, 50, 59, 59, 255);
    EXPECT_EQ(CountBorderPixels(s.data()), 36);
    // Touching the window edge: its edge pixels are border pixels too.
    Square e(120);
    Canvas(e).rect(0, 0, 9, 9, 255);
    EXPECT_EQ(CountBorderPixels(e.data()), 36);
    Canvas(e).rect(0, 0, 9, 9, 254);  // only value 255 counts
    EXPECT_EQ(CountBorderPixels(e.data()), 0);
}

TEST(QuadSteps, OpeningRestoresSquaresAndRemovesThinThings) {
    Square s(120);
    Canvas(s).rect(30, 30, 39, 39, 255);
    s.at(80, 80) = 255;                        // a lone pixel
    Canvas(s).rect(60, 10, 60, 50, 255);       // a line one pixel wide
    Square expected(120);
    Canvas(expected).rect(30, 30, 39, 39, 255);
    ErodeQuad(s.data());
    EXPECT_EQ(s.at(30, 30), 0);  // only pixels with upper and left neighbours stay
    EXPECT_EQ(s.at(31, 31), 255);
    DilateQuad(s.data());
    EXPECT_EQ(s.pixels, expected.pixels);
}

TEST(QuadSteps, EdgesOfTheWindow) {
    Square s(120, 255);
    ErodeQuad(s.data());
    for (int i = 0; i < 120; ++i) {
        EXPECT_EQ(s.at(i, 0), 0);
        EXPECT_EQ(s.at(0, i), 0);
    }
    EXPECT_EQ(s.at(1, 1), 255);
    Square d(120);
    d.at(119, 119) = 9;
    DilateQuad(d.data());
    EXPECT_EQ(d.at(118, 118), 9);
    EXPECT_EQ(d.at(119, 118), 9);
    EXPECT_EQ(d.at(118, 119), 9);
    EXPECT_EQ(d.at(117, 118), 0);
}

}  // namespace
}  // namespace pcbinspect
