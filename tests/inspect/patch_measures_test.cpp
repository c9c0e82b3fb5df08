// Window measures of the patch classification.
#include <gtest/gtest.h>

#include <vector>

#include "inspect/patch_measures.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::Square;

struct Stack {
    std::vector<std::int16_t> v = std::vector<std::int16_t>(2 * kPatchArea);
    std::int16_t* data() { return v.data(); }
};

TEST(DifferenceMap, MarksWhereOnlyOneSideIsSet) {
    Square c(120), r(120), d(120);
    c.at(1, 1) = 255;
    r.at(2, 2) = 255;
    c.at(3, 3) = r.at(3, 3) = 255;
    DifferenceMap(c.data(), r.data(), d.data());
    EXPECT_EQ(d.at(1, 1), 255);
    EXPECT_EQ(d.at(2, 2), 128);
    EXPECT_EQ(d.at(3, 3), 0);
    EXPECT_EQ(d.at(4, 4), 0);
}

TEST(EndsInBox, LineEndsAndBoxesLeavingTheWindow) {
    Square s(120);
    Canvas(s).rect(0, 58, 65, 62, 255);  // a line from the left ending at x = 65
    EXPECT_FALSE(EndsInBox(s.data(), 5, 60));   // box leaves the window
    EXPECT_TRUE(EndsInBox(s.data(), 65, 60));   // only the left side is crossed
    EXPECT_FALSE(EndsInBox(s.data(), 40, 60));  // crossed left and right
    EXPECT_TRUE(EndsInBox(s.data(), 100, 100)); // nothing at all
}

TEST(KeepCentralRegion, KeepsTheCentreRegionWithItsValue) {
    Stack stack;
    Square m(120);
    Canvas(m).rect(50, 50, 70, 70, 128);
    Canvas(m).rect(0, 0, 10, 10, 128);  // same value, not connected
    KeepCentralRegion(stack.data(), m.data());
    EXPECT_EQ(m.at(60, 60), 128);
    EXPECT_EQ(m.at(5, 5), 0);
    Square empty(120);
    Canvas(empty).rect(0, 0, 50, 50, 255);
    KeepCentralRegion(stack.data(), empty.data());
    EXPECT_EQ(empty.pixels, Square(120).pixels);
}

TEST(RidgePeak, EmptyMapAndClimbing) {
    Square s(120);
    RidgeResult r = RidgePeak(s.data(), 60, 60, false);
    EXPECT_EQ(r.value, 0);
    EXPECT_EQ(r.x, 1);
    EXPECT_EQ(r.y, 1);
    // A skeleton line along row 60 whose values rise to the right: x - 19.
    for (int x = 20; x < 100; ++x) s.at(x, 60) = static_cast<std::uint8_t>(x - 19);
    r = RidgePeak(s.data(), 50, 62, false);
    EXPECT_EQ(r.value, 31);
    EXPECT_EQ(r.x, 50);
    EXPECT_FLOAT_EQ(r.distance, 2.0f);
    // Climbing moves up to five columns at a time to the line's end at 99;
    // an end pixel has a single neighbour, so the point steps back onto 98.
    r = RidgePeak(s.data(), 50, 62, true);
    EXPECT_EQ(r.x, 98);
    EXPECT_EQ(r.value, 79);
}

TEST(VoidCheck, FindsAnEnclosedHoleAndFillsIt) {
    Stack stack;
    Square w0(120), r(120, 255), d(120);
    Canvas(w0).rect(30, 30, 90, 90, 255);
    Canvas(w0).rect(58, 59, 62, 61, 0);  // a 5 x 3 hole the reference has solid
    Canvas(r).rect(0, 0, 119, 20, 0);
    const VoidResult v = VoidCheck(stack.data(), d.data(), r.data(), w0.data());
    EXPECT_TRUE(v.found);
    EXPECT_EQ(v.width, 5);
    EXPECT_EQ(v.height, 3);
    EXPECT_EQ(w0.at(60, 60), 255);  // filled in the camera copy
}

TEST(VoidCheck, AnOpenNotchIsNoVoid) {
    Stack stack;
    Square w0(120), r(120), d(120);
    Canvas(w0).rect(30, 30, 90, 90, 255);
    Canvas(r).rect(30, 30, 90, 90, 255);
    Canvas(w0).rect(58, 30, 62, 61, 0);  // a notch open to the outside
    const VoidResult v = VoidCheck(stack.data(), d.data(), r.data(), w0.data());
    EXPECT_FALSE(v.found);
    EXPECT_EQ(w0.at(60, 60), 0);
}

TEST(FillEnclosed, PaintsEnclosedDifferencesOnly) {
    Stack stack;
    Square out(120), a(120), b(120);
    // b: copper with a hole at the centre; a: solid. The hole is enclosed by
    // b and gets painted; a difference touching the edge does not.
    Canvas(a).rect(20, 20, 100, 100, 255);
    Canvas(b).rect(20, 20, 100, 100, 255);
    Canvas(b).rect(55, 55, 65, 65, 0);
    Canvas(a).rect(0, 0, 5, 5, 255);
    FillEnclosed(stack.data(), out.data(), a.data(), b.data());
    EXPECT_EQ(out.at(60, 60), 64);
    EXPECT_EQ(b.at(60, 60), 255);
    EXPECT_EQ(out.at(2, 2), 127);
    EXPECT_EQ(b.at(2, 2), 0);
    // Every difference touching the edge: b is left as it was.
    Square out2(120), a2(120), b2(120);
    Canvas(a2).rect(0, 40, 119, 50, 255);
    const auto before = b2.pixels;
    FillEnclosed(stack.data(), out2.data(), a2.data(), b2.data());
    EXPECT_EQ(b2.pixels, before);
}

TEST(RingCheck, AnnularPadAroundARoundHole) {
    Stack stack;
    // Thickness-like skeleton: a closed ring of even values.
    Square s(120), w2(120);
    Canvas(s).ring(60, 60, 25.5, 24.5, 4);
    Canvas(w2).disc(60, 60, 30, 255);
    Canvas(w2).disc(60, 60, 15, 0);
    const RingResult r = RingCheck(stack.data(), s.data(), w2.data());
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.type, 2);
    EXPECT_NEAR(r.x, 60, 1);
    EXPECT_NEAR(r.y, 60, 1);
    // Widths that vary by a factor of two or more along a closed ring fail.
    Square uneven = s;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 120; ++x)
            if (uneven.at(x, y)) uneven.at(x, y) = 9;
    Square w2b(120);
    Canvas(w2b).disc(60, 60, 30, 255);
    Canvas(w2b).disc(60, 60, 15, 0);
    EXPECT_FALSE(RingCheck(stack.data(), uneven.data(), w2b.data()).ok);
}

}  // namespace
}  // namespace pcbinspect
