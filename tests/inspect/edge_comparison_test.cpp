// Edge comparison: the reference reduced to one camera region.
#include <gtest/gtest.h>

#include "inspect/window_checks.h"
#include "support/test_images.h"

namespace pcbinspect {
namespace {

using testing::Square;

// Camera regions A (columns 20..40) and B (columns 70..90), rows 40..80;
// the reference is copper everywhere.
struct EdgeWindows {
    Square blob{kWindowSide}, cam{kWindowSide}, ref{kWindowSide, 255};
    EdgeWindows() {
        cam.rect(20, 40, 40, 80, 255);
        cam.rect(70, 40, 90, 80, 9);
    }
    void run(int mx = 0, int my = 0) {
        CheckScratch scratch;
        compareEdges(blob.data(), cam.data(), ref.data(), mx, my, scratch);
    }
    // True when the reference is copper exactly over the given camera rect.
    bool refIsOnly(int x0, int x1) {
        for (int y = 0; y < kWindowSide; ++y)
            for (int x = 0; x < kWindowSide; ++x) {
                const bool in = x >= x0 && x <= x1 && y >= 40 && y <= 80;
                if (ref.at(x, y) != (in ? 255 : 0)) return false;
            }
        return true;
    }
};

TEST(CompareEdges, KeepsTheRegionTheBlobOverlapsMost) {
    EdgeWindows w;
    w.blob.rect(38, 60, 40, 60, 5);  // 3 pixels on A: count 2 (the first starts the fill)
    w.blob.rect(70, 61, 73, 61, 5);  // 4 pixels on B: count 3
    w.run();
    EXPECT_TRUE(w.refIsOnly(70, 90));
}

TEST(CompareEdges, TiesGoToTheSmallerLabel) {
    // 3 pixels on each, so both count 2; the region met first in row order
    // takes label 2 and wins.
    EdgeWindows w;
    w.blob.rect(70, 60, 72, 60, 5);
    w.blob.rect(38, 61, 40, 61, 5);
    w.run();
    // A: label 3 (met second on row 61), B: label 2, both count 2.
    EXPECT_TRUE(w.refIsOnly(70, 90));
    EdgeWindows v;
    v.blob.rect(38, 60, 40, 60, 5);
    v.blob.rect(70, 61, 72, 61, 5);
    v.run();
    EXPECT_TRUE(v.refIsOnly(20, 40));
}

TEST(CompareEdges, WithoutCountsTheRegionNearestTheCentreStays) {
    // One blob pixel on each region labels both but counts nothing: the ring
    // search decides. A's right edge (40) is 20 from the centre, B's left
    // edge (70) 10: B stays.
    EdgeWindows w;
    w.blob.at(30, 60) = 1;
    w.blob.at(80, 60) = 1;
    w.run();
    EXPECT_TRUE(w.refIsOnly(70, 90));

    // A region never labelled still holds 1 and is kept with the one found.
    EdgeWindows both;
    both.blob.at(80, 60) = 1;
    both.run();
    EXPECT_EQ(both.ref.at(30, 60), 255);
    EXPECT_EQ(both.ref.at(80, 60), 255);
    EXPECT_EQ(both.ref.at(55, 60), 0);

    // At equal distance the row below the centre is searched first.
    Square blob(kWindowSide), cam(kWindowSide), ref(kWindowSide, 255);
    cam.rect(50, 70, 70, 80, 255);  // ring 10 below
    cam.rect(50, 40, 70, 50, 255);  // ring 10 above
    blob.at(60, 78) = 1;
    blob.at(60, 42) = 1;
    CheckScratch scratch;
    compareEdges(blob.data(), cam.data(), ref.data(), 0, 0, scratch);
    EXPECT_EQ(ref.at(60, 75), 255);
    EXPECT_EQ(ref.at(60, 45), 0);

    // No camera pixel at all: the reference is emptied.
    Square emptyBlob(kWindowSide), emptyCam(kWindowSide), full(kWindowSide, 255);
    compareEdges(emptyBlob.data(), emptyCam.data(), full.data(), 0, 0, scratch);
    EXPECT_TRUE(isEmptyWindow(full.data()));
}

TEST(CompareEdges, OverlapInsideTheMarginsIsIgnored) {
    // With mx = 30 columns 30..89 are scanned: B's overlap in column 90 is
    // not seen, B keeps no label and A wins.
    EdgeWindows w;
    w.blob.rect(38, 60, 40, 60, 5);  // A: count 2
    w.blob.rect(90, 50, 90, 59, 5);  // B: 10 pixels in column 90
    w.run(30, 0);
    EXPECT_TRUE(w.refIsOnly(20, 40));
    EdgeWindows v;
    v.blob.rect(38, 60, 40, 60, 5);
    v.blob.rect(90, 50, 90, 59, 5);
    v.run(0, 0);
    EXPECT_TRUE(v.refIsOnly(70, 90));
}

}  // namespace
}  // namespace pcbinspect
