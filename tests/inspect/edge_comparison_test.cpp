// Edge comparison: the reference reduced to the features under one camera
// region.
#include <gtest/gtest.h>

#include "inspect/window_checks.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Square;

// Reference features, rows 40..80: A (columns 20..40), B (columns 70..90)
// and C (columns 100..110), the last touched by no camera region. The
// camera shows A only in its upper half (copper missing below row 60) and
// B whole.
struct EdgeWindows {
    Square blob{kWindowSide}, cam{kWindowSide}, ref{kWindowSide};
    EdgeWindows() {
        ref.rect(20, 40, 40, 80, 255);
        ref.rect(70, 40, 90, 80, 255);
        ref.rect(100, 40, 110, 80, 255);
        cam.rect(20, 40, 40, 60, 255);
        cam.rect(70, 40, 90, 80, 9);
    }
    void run(int mx = 0, int my = 0) {
        CheckScratch scratch;
        compareEdges(blob.data(), cam.data(), ref.data(), mx, my, scratch);
    }
    // True when the reference is copper exactly over the whole feature whose
    // columns are x0..x1.
    bool refIsOnly(int x0, int x1) {
        for (int y = 0; y < kWindowSide; ++y)
            for (int x = 0; x < kWindowSide; ++x) {
                const bool in = x >= x0 && x <= x1 && y >= 40 && y <= 80;
                if (ref.at(x, y) != (in ? 255 : 0)) return false;
            }
        return true;
    }
};

// The chosen camera region keeps the whole reference feature it lies on,
// also where the camera lacks its copper, and nothing of the others.
TEST(CompareEdges, KeepsWholeFeaturesUnderTheChosenRegion) {
    EdgeWindows w;
    w.blob.rect(30, 50, 33, 50, 5);  // 4 pixels on A: count 3
    w.blob.rect(80, 50, 82, 50, 5);  // 3 pixels on B: count 2
    w.run();
    EXPECT_TRUE(w.refIsOnly(20, 40));  // rows 61..80 of A stay, missing in the camera

    // A camera region that touches two features keeps both.
    EdgeWindows bridge;
    bridge.cam.rect(40, 60, 70, 62, 255);  // joins A and B
    bridge.blob.rect(50, 61, 55, 61, 5);
    bridge.run();
    EXPECT_EQ(bridge.ref.at(30, 75), 255);
    EXPECT_EQ(bridge.ref.at(80, 75), 255);
    EXPECT_EQ(bridge.ref.at(105, 60), 0);
    EXPECT_EQ(bridge.ref.at(55, 61), 0);  // the bridge itself is not in the reference
}

TEST(CompareEdges, TiesGoToTheSmallerLabel) {
    // 3 pixels on each, so both count 2; the region met first in row order
    // takes label 2 and wins.
    EdgeWindows w;
    w.blob.rect(70, 50, 72, 50, 5);
    w.blob.rect(38, 51, 40, 51, 5);
    w.run();
    EXPECT_TRUE(w.refIsOnly(70, 90));
    EdgeWindows v;
    v.blob.rect(38, 50, 40, 50, 5);
    v.blob.rect(70, 51, 72, 51, 5);
    v.run();
    EXPECT_TRUE(v.refIsOnly(20, 40));
}

TEST(CompareEdges, WithoutCountsTheRegionNearestTheCentreStays) {
    // One blob pixel on each region labels both but counts nothing: the ring
    // search decides. A's right edge (40) is 20 from the centre, B's left
    // edge (70) 10: B stays.
    EdgeWindows w;
    w.blob.at(30, 50) = 1;
    w.blob.at(80, 60) = 1;
    w.run();
    EXPECT_TRUE(w.refIsOnly(70, 90));

    // A region never labelled still holds 1 and is kept with the one found.
    EdgeWindows both;
    both.blob.at(80, 60) = 1;
    both.run();
    EXPECT_EQ(both.ref.at(30, 75), 255);
    EXPECT_EQ(both.ref.at(80, 60), 255);
    EXPECT_EQ(both.ref.at(105, 60), 0);

    // No camera pixel at all: the reference is emptied.
    Square emptyBlob(kWindowSide), emptyCam(kWindowSide), full(kWindowSide, 255);
    CheckScratch scratch;
    compareEdges(emptyBlob.data(), emptyCam.data(), full.data(), 0, 0, scratch);
    EXPECT_TRUE(isEmptyWindow(full.data()));
}

TEST(CompareEdges, OverlapInsideTheMarginsIsIgnored) {
    // With mx = 30 columns 30..89 are scanned: B's overlap in column 90 is
    // not seen, B keeps no label and A wins.
    EdgeWindows w;
    w.blob.rect(38, 50, 40, 50, 5);  // A: count 2
    w.blob.rect(90, 50, 90, 59, 5);  // B: 10 pixels in column 90
    w.run(30, 0);
    EXPECT_TRUE(w.refIsOnly(20, 40));
    EdgeWindows v;
    v.blob.rect(38, 50, 40, 50, 5);
    v.blob.rect(90, 50, 90, 59, 5);
    v.run(0, 0);
    EXPECT_TRUE(v.refIsOnly(70, 90));
}

}  // namespace
}  // namespace pcbinspect
