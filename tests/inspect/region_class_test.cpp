// Region class lookup and line check on reference images.
#include <gtest/gtest.h>

#include "inspect/window_checks.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Square;

ConstGrayView view(Square& s) { return ConstGrayView{s.data(), s.n, s.n, s.n}; }

TEST(RegionClassAt, ExcludingLabelWinsOverEverything) {
    Square ref(80);
    ref.at(37, 37) = kLabelExcluded;  // first row of the 7 x 7 square around (40, 40)
    ref.at(43, 43) = kLabelClass1;    // later in the scan, still no class
    ref.at(40, 45) = kLabelReferenceLine;
    EXPECT_EQ(regionClassAt(view(ref), 40, 40, true), 5);
    EXPECT_EQ(regionClassAt(view(ref), 40, 40, false), 5);

    // Found only in the second square (half-size 6) by the full form.
    Square far(80);
    far.at(45, 40) = kLabelExcluded;
    EXPECT_EQ(regionClassAt(view(far), 40, 40, false), 5);
    EXPECT_EQ(regionClassAt(view(far), 40, 40, true), -1);
    // A class in the first square ends the search before the 152 is seen.
    far.at(41, 41) = kLabelClass1;
    EXPECT_EQ(regionClassAt(view(far), 40, 40, false), 1);
}

TEST(RegionClassAt, LastClassifyingPixelInRowOrderWins) {
    struct Case {
        std::uint8_t first, second;
        int expected;
    };
    // (38, 38) is scanned before (42, 39): the second pixel decides.
    const Case cases[] = {
        {kLabelClass1, kLabelClass2, 2},
        {kLabelClass2, kLabelClass1, 1},
        {kLabelClass1, 200, 0},          // any other copper label is class 0
        {kLabelClass2, kLabelLine, 2},   // line labels change nothing
        {kLabelClass3, 153, 0},
        {kLabelClass1, kLabelClass3, 3},
    };
    for (const Case& c : cases) {
        Square ref(80);
        ref.at(38, 38) = c.first;
        ref.at(42, 39) = c.second;
        EXPECT_EQ(regionClassAt(view(ref), 40, 40, true), c.expected) << int(c.first) << "," << int(c.second);
    }
}

TEST(RegionClassAt, QuickFormStopsAtTheFirstSquare) {
    // A reference line 5 pixels away lies outside the 7 x 7 square: the quick
    // form finds nothing; the full form finds nothing either, but the line
    // rule turns the point into a line point.
    Square ref(80);
    ref.at(45, 40) = kLabelReferenceLine;
    EXPECT_EQ(regionClassAt(view(ref), 40, 40, true), -1);
    EXPECT_EQ(regionClassAt(view(ref), 40, 40, false), 3);

    // Copper 20 pixels away is found by the full form in the square of
    // half-size 24.
    Square copper(80);
    copper.at(60, 40) = 200;
    EXPECT_EQ(regionClassAt(view(copper), 40, 40, true), -1);
    EXPECT_EQ(regionClassAt(view(copper), 40, 40, false), 0);
    // 49 pixels away is beyond the largest square (half-size 48).
    Square beyond(100);
    beyond.at(89, 40) = 200;
    EXPECT_EQ(regionClassAt(view(beyond), 40, 40, false), -1);
    beyond.at(88, 40) = 200;
    EXPECT_EQ(regionClassAt(view(beyond), 40, 40, false), 0);
}

TEST(RegionClassAt, ReferenceLineWithinTenPixelsMakesClassThree) {
    Square ref(80);
    ref.at(40, 40) = kLabelClass1;
    ref.at(51, 30) = kLabelReferenceLine;  // 11 columns away: outside the square
    EXPECT_EQ(regionClassAt(view(ref), 40, 40, true), 1);
    ref.at(50, 30) = kLabelReferenceLine;  // corner of the square of half-size 10
    EXPECT_EQ(regionClassAt(view(ref), 40, 40, true), 3);
    // Clipping at the image corner: the squares shrink, nothing breaks.
    Square corner(20);
    corner.at(0, 0) = kLabelClass2;
    EXPECT_EQ(regionClassAt(view(corner), 1, 1, true), 2);
}

TEST(NearReferenceLine, NearestNonZeroPixelDecides) {
    Square ref(60);
    ref.at(33, 30) = kLabelReferenceLine;  // ring 3
    EXPECT_TRUE(nearReferenceLine(view(ref), 30, 30, 10));
    EXPECT_FALSE(nearReferenceLine(view(ref), 30, 30, 3));  // rings 1..2 only
    EXPECT_TRUE(nearReferenceLine(view(ref), 30, 30, 4));
    EXPECT_FALSE(nearReferenceLine(view(ref), 30, 30, 1));  // below 2: never
    ref.at(28, 29) = 200;  // copper on ring 2 hides the line on ring 3
    EXPECT_FALSE(nearReferenceLine(view(ref), 30, 30, 10));
    // The point itself is not looked at.
    Square self(60);
    self.at(30, 30) = kLabelReferenceLine;
    EXPECT_FALSE(nearReferenceLine(view(self), 30, 30, 10));
    // Ring 9 is the last one searched with radius 10.
    Square edge(60);
    edge.at(30, 39) = kLabelReferenceLine;
    EXPECT_TRUE(nearReferenceLine(view(edge), 30, 30, 10));
    Square out(60);
    out.at(30, 40) = kLabelReferenceLine;
    EXPECT_FALSE(nearReferenceLine(view(out), 30, 30, 10));
}

TEST(NearReferenceLine, VerticalSidesOfARingComeFirst) {
    // Both on ring 2 around (30, 30): (28, 32) is on the left side (and the
    // bottom row), (29, 28) only on the top row; the left side is searched
    // first.
    Square a(60);
    a.at(28, 32) = 200;
    a.at(29, 28) = kLabelReferenceLine;
    EXPECT_FALSE(nearReferenceLine(view(a), 30, 30, 10));
    Square b(60);
    b.at(28, 32) = kLabelReferenceLine;
    b.at(29, 28) = 200;
    EXPECT_TRUE(nearReferenceLine(view(b), 30, 30, 10));
}

}  // namespace
}  // namespace pcbinspect
