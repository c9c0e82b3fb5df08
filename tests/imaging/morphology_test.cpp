// Step-wise growing and shrinking, border counts and the 2 x 2 steps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "imaging/morphology.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Square;

GrayView view(Square& s) { return GrayView{s.data(), s.n, s.n, s.n}; }

TEST(DilateSteps, GrowsByCityBlockDistanceCopyingTheFirstNeighbour) {
    MorphologyScratch scratch;
    for (int n : {1, 2, 5}) {
        Square s(40);
        s.at(20, 20) = 9;
        // 2n(n + 1) pixels lie at city-block distance 1..n.
        EXPECT_EQ(DilateSteps(scratch, view(s), n, 200), 2 * n * (n + 1));
        for (int i = 0; i < 1600; ++i) {
            const int d = std::abs(i % 40 - 20) + std::abs(i / 40 - 20);
            ASSERT_EQ(s.pixels[i], d == 0 ? 9 : (d <= n ? 200 : 0)) << n << ": " << i % 40 << "," << i / 40;
        }
    }
    Square corner(10);  // near the border only pixels inside the image are set
    corner.at(0, 0) = 1;
    EXPECT_EQ(DilateSteps(scratch, view(corner), 3, 5), 9);  // 2 + 3 + 4
    // With a negative value a zero pixel copies its first set neighbour of
    // below, left, right, above.
    // (3, 3) takes its left before right and above, (5, 4) and (4, 2) what lies below.
    Square s(40);
    s.at(2, 3) = 50, s.at(4, 3) = 60, s.at(3, 2) = 80, s.at(5, 5) = 70;
    DilateSteps(scratch, view(s), 1, -1);
    EXPECT_EQ((std::vector<int>{s.at(3, 3), s.at(5, 4), s.at(3, 1), s.at(4, 2)}), (std::vector<int>{50, 70, 80, 60}));
}

TEST(ErodeSteps, ClearsRingsTreatingTheEdgeAndOtherValuesAsBackground) {
    MorphologyScratch scratch;
    // One step clears the outer ring of a 20 x 20 square (76 pixels), three
    // everything within city-block distance 2 of it.
    for (auto [steps, cleared] : {std::pair{1, 76}, {3, 76 + 68 + 60}}) {
        Square t(30);
        t.rect(5, 5, 24, 24, 255);
        EXPECT_EQ(ErodeSteps(scratch, view(t), steps), cleared);
        for (int i = 0; i < 900; ++i) {
            const int x = i % 30, y = i / 30, ring = std::min(std::min(x - 5, 24 - x), std::min(y - 5, 24 - y));
            ASSERT_EQ(t.pixels[i], ring >= steps ? 255 : 0) << steps << ": " << x << "," << y;
        }
    }
    Square full(12, 7);  // a full image loses its outermost ring
    EXPECT_EQ(ErodeSteps(scratch, view(full), 1), 44);
    EXPECT_EQ(full.at(1, 1), 7);
    for (bool wide : {false, true}) {  // one pixel wide or high: all edge
        std::uint8_t line[5] = {7, 7, 7, 7, 7};
        EXPECT_EQ(ErodeSteps(scratch, wide ? GrayView{line, 5, 5, 1} : GrayView{line, 1, 1, 5}, 1), 5);
    }
    // The contact line of two regions belongs to both.
    Square two(12);
    two.rect(2, 2, 5, 9, 100);
    two.rect(6, 2, 9, 9, 200);
    ErodeSteps(scratch, view(two), 1);
    for (int y = 3; y <= 8; ++y)
        EXPECT_EQ((std::vector<int>{two.at(4, y), two.at(5, y), two.at(6, y), two.at(7, y)}), (std::vector<int>{100, 0, 0, 200}));
}

// Continuing a call step by step gives the image and count of one call with
// all the steps, on speckled images of several values.
TEST(MorphologySteps, ContinuingMatchesOneCall) {
    MorphologyScratch once, stepwise;
    std::srand(5);
    // Dense speckle of two values (a zero in three pixels), and one seed
    // (dilation) or hole (erosion) in 300 pixels of one value, which five
    // steps leave far from done.
    for (const auto& [side, holes] : {std::pair{3, 3}, {20, 3}, {61, 3}, {61, 300}}) {
        for (const bool dilate : {true, false}) {
            Square start(side);
            for (auto& p : start.pixels)
                p = (std::rand() % holes == 0) != (dilate && holes > 3) ? 0 : (holes > 3 || std::rand() % 2 ? 200 : 90);
            Square whole = start, parts = start;
            const int total = dilate ? DilateSteps(once, view(whole), 5, -1) : ErodeSteps(once, view(whole), 5);
            int sum = dilate ? DilateSteps(stepwise, view(parts), 2, -1) : ErodeSteps(stepwise, view(parts), 2);
            for (int k = 0; k < 3; ++k)
                sum += dilate ? DilateMoreSteps(stepwise, view(parts), 1) : ErodeMoreSteps(stepwise, view(parts), 1);
            EXPECT_EQ(sum, total) << side << dilate;
            EXPECT_EQ(parts.pixels, whole.pixels) << side << dilate;
        }
    }
}

TEST(WindowSteps, BorderCountsAndTheQuadOpening) {
    Square s(120);
    s.rect(50, 50, 59, 59, 255);
    EXPECT_EQ(CountBorderPixels(s.data()), 36);
    Square e(120);  // touching the window edge: its edge pixels count too
    e.rect(0, 0, 9, 9, 255);
    EXPECT_EQ(CountBorderPixels(e.data()), 36);
    e.rect(0, 0, 9, 9, 254);  // only value 255 counts
    EXPECT_EQ(CountBorderPixels(e.data()), 0);

    // Opening restores squares and removes lone pixels and thin lines.
    Square o(120);
    o.rect(30, 30, 39, 39, 255);
    const Square expected = o;
    o.at(80, 80) = 255, o.rect(60, 10, 60, 50, 255);
    ErodeQuad(o.data());
    EXPECT_EQ((std::vector<int>{o.at(30, 30), o.at(31, 31)}), (std::vector<int>{0, 255}));  // upper and left set: stays
    DilateQuad(o.data());
    EXPECT_EQ(o.pixels, expected.pixels);

    Square full(120, 255);  // row 0 and column 0 clear; a gap in row 0 clears below and right of it
    full.at(5, 0) = 0;
    ErodeQuad(full.data());
    for (int i = 0; i < 120; ++i) EXPECT_TRUE(full.at(i, 0) == 0 && full.at(0, i) == 0) << i;
    EXPECT_EQ((std::vector<int>{full.at(1, 1), full.at(5, 1), full.at(6, 1), full.at(5, 2)}), (std::vector<int>{255, 0, 0, 255}));
    Square d(120);  // row 119 and column 119 grow up and left only
    d.at(119, 119) = 9;
    // Row 0 and column 0 take values from below and from the right too.
    d.at(1, 1) = 7, d.at(0, 5) = 5;
    DilateQuad(d.data());
    EXPECT_EQ((std::vector<int>{d.at(118, 118), d.at(119, 118), d.at(118, 119), d.at(117, 118)}), (std::vector<int>{9, 9, 9, 0}));
    EXPECT_EQ((std::vector<int>{d.at(0, 0), d.at(1, 0), d.at(0, 1), d.at(0, 4), d.at(0, 3), d.at(1, 4)}), (std::vector<int>{7, 7, 7, 5, 0, 0}));
    EXPECT_EQ(std::count(d.pixels.begin(), d.pixels.end(), 0), 120 * 120 - 10);
}

}  // namespace
}  // namespace pcbinspect
