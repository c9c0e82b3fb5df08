// Clean-up of the reference window.
#include <gtest/gtest.h>

#include "inspect/window_checks.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Square;

TEST(CleanReference, RemovesShortBumpsOnFeatureEdges) {
    Square r(kWindowSide);
    r.rect(40, 50, 80, 70, 255);
    r.rect(60, 49, 61, 49, 255);  // 2-pixel bump on the top edge: copper below only
    r.rect(45, 71, 48, 71, 255);  // 4 pixels: too long to be a bump
    r.at(39, 60) = 255;           // 1-pixel bump on the left edge
    r.at(60, 60) = 0;             // one-pixel hole
    cleanReference(r.data(), 0, 0);
    EXPECT_EQ(r.at(60, 49), 0);
    EXPECT_EQ(r.at(61, 49), 0);
    EXPECT_EQ(r.at(45, 71), 255);
    EXPECT_EQ(r.at(48, 71), 255);
    EXPECT_EQ(r.at(39, 60), 0);   // removed by the column pass: left 0, right copper
    EXPECT_EQ(r.at(60, 60), 255); // hole closed with its left neighbour
    EXPECT_EQ(r.at(40, 50), 255); // the feature itself stays
}

TEST(CleanReference, HoleTakesTheLeftNeighboursValue) {
    Square r(kWindowSide);
    r.rect(40, 40, 80, 80, 200);
    r.at(59, 60) = 77;
    r.at(60, 60) = 0;
    cleanReference(r.data(), 0, 0);
    EXPECT_EQ(r.at(60, 60), 77);
}

TEST(CleanReference, RunsAreJudgedInPlaceOneAfterAnother) {
    // An isolated 2-pixel segment keeps its row run (nothing above or below
    // either pixel: they agree). In the column pass column 60 goes first: its
    // left is 0, its right is copper, so it is cleared; then column 61 has 0
    // on both sides and stays.
    Square r(kWindowSide);
    r.rect(60, 30, 61, 30, 255);
    cleanReference(r.data(), 0, 0);
    EXPECT_EQ(r.at(60, 30), 0);
    EXPECT_EQ(r.at(61, 30), 255);
}

TEST(CleanReference, RunsStartingAtTheFirstScannedPlaceStay) {
    // Row pass with mx = 0 starts at column 1: a bump over columns 1..2 stays,
    // one over columns 2..3 goes.
    Square a(kWindowSide);
    a.rect(0, 50, 30, 70, 255);
    a.rect(1, 49, 2, 49, 255);
    a.rect(20, 49, 21, 49, 255);
    cleanReference(a.data(), 0, 0);
    EXPECT_EQ(a.at(1, 49), 255);
    EXPECT_EQ(a.at(20, 49), 0);
    Square b(kWindowSide);
    b.rect(0, 50, 30, 70, 255);
    b.rect(2, 49, 3, 49, 255);
    cleanReference(b.data(), 0, 0);
    EXPECT_EQ(b.at(2, 49), 0);

    // Column pass with my = 0 starts at row 0: a spur left of a feature over
    // rows 0..1 stays, one over rows 1..2 goes.
    Square c(kWindowSide);
    c.rect(11, 0, 30, 20, 255);
    c.rect(10, 0, 10, 1, 255);
    cleanReference(c.data(), 0, 0);
    EXPECT_EQ(c.at(10, 0), 255);
    EXPECT_EQ(c.at(10, 1), 255);
    Square d(kWindowSide);
    d.rect(11, 0, 30, 20, 255);
    d.rect(10, 1, 10, 2, 255);
    cleanReference(d.data(), 0, 0);
    EXPECT_EQ(d.at(10, 1), 0);
    EXPECT_EQ(d.at(10, 2), 0);
}

TEST(CleanReference, MarginsAreLeftAlone) {
    // With mx = my = 10 the row pass covers rows 11..108 and columns
    // 11..108; the column pass columns 10..109 and rows 10..109.
    Square r(kWindowSide);
    r.rect(40, 6, 80, 20, 255);
    r.at(60, 5) = 255;  // bump in the margin
    r.rect(40, 100, 80, 115, 255);
    r.at(60, 116) = 255;
    r.rect(40, 50, 80, 70, 255);
    r.at(60, 49) = 255;  // the same bump inside is removed
    cleanReference(r.data(), 10, 10);
    EXPECT_EQ(r.at(60, 5), 255);
    EXPECT_EQ(r.at(60, 116), 255);
    EXPECT_EQ(r.at(60, 49), 0);
}

}  // namespace
}  // namespace pcbinspect
