// Gap measurement on reference and camera windows.
#include <gtest/gtest.h>

#include <vector>

#include "inspect/window_checks.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Square;

// Rpre, Rpost, Cb and Cc of side n; Rpre starts as a copy of Rpost, Cc as a
// copy of Cb, unless a test changes them.
struct GapWindows {
    int n;
    Square rPre, rPost, cb, cc;
    int history[20];
    explicit GapWindows(int side = kWindowSide)
        : n(side), rPre(side), rPost(side), cb(side), cc(side) {
        for (int& h : history) h = -1;
    }
    void ref(int x0, int y0, int x1, int y1) {
        rPost.rect(x0, y0, x1, y1, 255);
        rPre.rect(x0, y0, x1, y1, 255);
    }
    void cam(int x0, int y0, int x1, int y1) {
        cb.rect(x0, y0, x1, y1, 255);
        cc.rect(x0, y0, x1, y1, 255);
    }
    GapResult run(int mx = 0, int my = 0) {
        CheckScratch scratch;
        return measureGap(rPre.data(), rPost.data(), cb.data(), cc.data(), n, mx, my, history,
                          scratch);
    }
};

TEST(MeasureGap, IslandOffAVerticalLineIsMeasuredAcross) {
    // The camera copies the line (columns 20..39, all rows: accepted, 2400
    // pixels all under the reference) and adds an island 10 wide, 20 high.
    // The reference reaches rows 0 and 119 but neither column 0 nor 119, so
    // the island's extent is its width: 64 - 55 + 1.
    GapWindows w;
    w.ref(20, 0, 39, 119);
    w.cam(20, 0, 39, 119);
    w.cam(55, 50, 64, 69);
    const std::vector<std::uint8_t> refBefore = w.rPost.pixels;
    const GapResult r = w.run();
    EXPECT_EQ(r.measure, 10);
    EXPECT_FALSE(r.refEmpty);
    EXPECT_FALSE(r.noMatch);
    EXPECT_EQ(w.history[0], 55);
    EXPECT_EQ(w.history[1], 50);
    EXPECT_EQ(w.history[2], -1);
    EXPECT_EQ(w.rPost.pixels, refBefore);
    // Cc keeps only the accepted line.
    EXPECT_EQ(w.cc.at(30, 60), 255);
    EXPECT_EQ(w.cc.at(60, 60), 0);
}

TEST(MeasureGap, IslandOffAHorizontalLineIsMeasuredDown) {
    // Reference across columns 0 and 119: the extent is the island's height.
    GapWindows w;
    w.ref(0, 20, 119, 39);
    w.cam(0, 20, 119, 39);
    w.cam(55, 50, 64, 69);
    EXPECT_EQ(w.run().measure, 20);
}

TEST(MeasureGap, IslandsTouchingTheEarlierReferenceAreNoGaps) {
    GapWindows w;
    w.ref(20, 0, 39, 119);
    w.cam(20, 0, 39, 119);
    w.cam(55, 50, 64, 69);
    w.rPre.rect(60, 60, 60, 60, 255);  // the reference before the edge comparison reached it
    EXPECT_EQ(w.run().measure, 0);
}

TEST(MeasureGap, IslandsOutsideTheCentralBandOrAtTheMarginAreNotMeasured) {
    GapWindows band;
    band.ref(20, 0, 39, 119);
    band.cam(20, 0, 39, 119);
    band.cam(80, 50, 90, 69);  // left 80 > 75
    EXPECT_EQ(band.run().measure, 0);

    GapWindows margin;
    margin.ref(20, 0, 39, 119);
    margin.cam(20, 0, 39, 119);
    margin.cam(55, 50, 64, 69);
    // mx = 55: the island's left column lies on the margin.
    EXPECT_EQ(margin.run(55, 0).measure, 0);
}

TEST(MeasureGap, WithoutReferenceOnlyTheBlobNearestTheCentreIsMeasured) {
    GapWindows w;
    w.cam(58, 50, 62, 57);  // 3 rings above the centre
    w.cam(58, 80, 62, 90);  // 20 rings below
    const GapResult r = w.run();
    // No reference at all: the extent is the height, 57 - 50 + 1.
    EXPECT_EQ(r.measure, 8);
    EXPECT_TRUE(r.refEmpty);
    EXPECT_TRUE(r.noMatch);
    EXPECT_EQ(w.history[0], 58);
    EXPECT_EQ(w.history[1], 50);
    EXPECT_EQ(w.history[2], -1);  // the far blob was removed, not measured
}

TEST(MeasureGap, BlobAcrossTwoBordersWithoutReferenceHasNoVerdict) {
    // Columns 0..70, rows 0..70 touch row 0 and column 0: two border lines
    // are cleared and 71 * 71 - 71 - 70 pixels remain, more than 120.
    GapWindows two;
    two.cam(0, 0, 70, 70);
    EXPECT_EQ(two.run().measure, kNoVerdict);

    // Only column 0 is touched: one line cleared, the rest (columns 1..70,
    // rows 10..70) is measured by its height, 70 - 10 + 1.
    GapWindows one;
    one.cam(0, 10, 70, 70);
    EXPECT_EQ(one.run().measure, 61);
}

TEST(MeasureGap, CameraFarFromAReferenceIsAMissingFeature) {
    // A 21 x 21 reference square (441 > 200 pixels) with no camera region
    // under it or within 10 steps.
    GapWindows w;
    w.ref(10, 10, 30, 30);
    w.cam(60, 60, 70, 70);
    const GapResult r = w.run();
    EXPECT_EQ(r.measure, kMissingFeature);
    EXPECT_TRUE(r.noMatch);
    // 200 reference pixels or fewer: the measure of the island stands.
    GapWindows small;
    small.ref(10, 10, 19, 29);  // 200 pixels
    small.cam(60, 60, 70, 70);
    EXPECT_EQ(small.run().measure, 11);  // height 70 - 60 + 1
}

TEST(MeasureGap, RejectedRegionsNearTheReferenceAreAccepted) {
    // The camera blob overlaps the reference square by 9 of its 64 pixels: it
    // is rejected at first, but lies within 10 steps of the reference, so it
    // is accepted after the growth and Cc keeps it.
    GapWindows w;
    w.ref(10, 10, 30, 30);
    w.cam(28, 28, 35, 35);
    const GapResult r = w.run();
    EXPECT_EQ(r.measure, 0);
    EXPECT_FALSE(r.noMatch);
    EXPECT_EQ(w.cc.at(35, 35), 255);
    EXPECT_EQ(w.rPost.at(31, 31), 0);  // the growth is taken back
}

TEST(MeasureGap, MostlyCoveredRegionsNeedMoreThanThreePixelsOff) {
    // 11 pixels with 8 under the reference: 8 > 5 but 8 < 11 - 3 fails, so
    // the region is not accepted; with nothing accepted and 441 reference
    // pixels the feature is missing. 12 pixels with 8 under: 8 < 9, accepted.
    GapWindows eleven;
    eleven.ref(10, 10, 30, 30);
    eleven.cam(27, 20, 31, 21);  // columns 27..30 under, 31 off: 8 of 10
    eleven.cam(32, 20, 32, 20);  // one more off
    EXPECT_EQ(eleven.run().measure, kMissingFeature);
    GapWindows twelve;
    twelve.ref(10, 10, 30, 30);
    twelve.cam(27, 20, 30, 21);  // 8 under
    twelve.cam(31, 20, 32, 21);  // 4 off
    const GapResult r = twelve.run();
    EXPECT_EQ(r.measure, 0);
    EXPECT_FALSE(r.noMatch);
}

TEST(MeasureGap, ABorderRegionAfterAMeasuredGapMakesItDoubtful) {
    // The accepted line is missing from Cc, so noMatch holds. An island is
    // measured first (column 55), then a region on the window's right edge
    // (column 100..119) is met: the measure becomes 99999.
    GapWindows late;
    late.ref(20, 0, 39, 119);
    late.cam(20, 0, 39, 119);
    late.cc.rect(20, 0, 39, 119, 0);
    late.cam(55, 50, 64, 69);
    late.cam(100, 0, 119, 10);
    const GapResult r = late.run();
    EXPECT_TRUE(r.noMatch);
    EXPECT_EQ(r.measure, kNoVerdict);
    // The same border region met before any measure leaves it alone.
    GapWindows early;
    early.ref(20, 0, 39, 119);
    early.cam(20, 0, 39, 119);
    early.cc.rect(20, 0, 39, 119, 0);
    early.cam(55, 50, 64, 69);
    early.cam(45, 0, 48, 5);
    EXPECT_EQ(early.run().measure, 10);
}

TEST(MeasureGap, WorksOnTheEnlargedWindow) {
    // 240 x 240: the central band is 90..150. An island 20 wide off a
    // vertical line is measured; one left of 90 is not.
    GapWindows w(240);
    w.ref(40, 0, 79, 239);
    w.cam(40, 0, 79, 239);
    w.cam(110, 100, 129, 139);
    EXPECT_EQ(w.run().measure, 20);
    GapWindows off(240);
    off.ref(40, 0, 79, 239);
    off.cam(40, 0, 79, 239);
    off.cam(85, 100, 89, 139);
    EXPECT_EQ(off.run().measure, 0);
}

}  // namespace
}  // namespace pcbinspect
