// Two-window comparison, empty test and nearest-blob test.
#include <gtest/gtest.h>

#include <vector>

#include "inspect/window_checks.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Square;

TEST(BridgeCount, NeedsTwoFeaturesOfMoreThan225Pixels) {
    // The camera bar across the centre touches a 26 x 21 feature on the left
    // and a second feature on the right.
    for (int rightRows : {15, 16}) {
        Square ref(kWindowSide), cam(kWindowSide);
        ref.rect(20, 50, 45, 70, 255);
        ref.rect(75, 53, 89, 53 + rightRows - 1, 255);  // 15 x 15 = 225 or 15 x 16 = 240
        cam.rect(40, 58, 80, 62, 255);
        const std::vector<std::uint8_t> refBefore = ref.pixels, camBefore = cam.pixels;
        CheckScratch scratch;
        int features = -1;
        const int result = bridgeCount(cam.data(), ref.data(), scratch, &features);
        if (rightRows == 15) {
            EXPECT_EQ(result, 0);  // exactly 225 pixels is not enough
            EXPECT_EQ(features, 1);
        } else {
            EXPECT_EQ(result, 2);
            EXPECT_EQ(features, 2);
        }
        EXPECT_EQ(ref.pixels, refBefore);
        EXPECT_EQ(cam.pixels, camBefore);
    }
}

TEST(BridgeCount, StartsFromTheNearestBlobAlongTheDirections) {
    // Two camera blobs 10 pixels from the centre, right (1, 0) and up
    // (0, -1). Only one of them bridges two large features; at equal
    // distance the right one is found first.
    auto build = [](bool rightBridges, Square& ref, Square& cam) {
        cam.rect(70, 58, 74, 62, 255);  // right blob
        cam.rect(58, 30, 62, 50, 255);  // upper blob, reaching up to row 30
        if (rightBridges) {
            cam.rect(70, 40, 74, 80, 255);
            ref.rect(65, 20, 79, 44, 255);
            ref.rect(65, 76, 79, 100, 255);
        } else {
            ref.rect(40, 20, 59, 34, 255);
            ref.rect(61, 20, 80, 34, 255);
        }
    };
    CheckScratch scratch;
    {
        Square ref(kWindowSide), cam(kWindowSide);
        build(true, ref, cam);
        EXPECT_EQ(bridgeCount(cam.data(), ref.data(), scratch), 2);
    }
    {
        Square ref(kWindowSide), cam(kWindowSide);
        build(false, ref, cam);
        // The upper blob bridges, but the right blob is the one examined.
        int features = -1;
        EXPECT_EQ(bridgeCount(cam.data(), ref.data(), scratch, &features), 0);
        EXPECT_EQ(features, 0);
        // Without the right blob the upper one is found and bridges.
        cam.rect(70, 58, 74, 62, 0);
        EXPECT_EQ(bridgeCount(cam.data(), ref.data(), scratch), 2);
    }
}

TEST(BridgeCount, NoBlobOnTheDirectionsGivesZero) {
    // A blob off all eight directions is never found: the count is 1.
    Square ref(kWindowSide), cam(kWindowSide);
    // Row 60, column 60 and both diagonals through the centre miss it: on the
    // falling diagonal x = y, but the blob has x >= 75 and y <= 66.
    cam.rect(75, 63, 90, 66, 255);
    ref.rect(0, 0, 119, 119, 255);
    int features = -1;
    CheckScratch scratch;
    EXPECT_EQ(bridgeCount(cam.data(), ref.data(), scratch, &features), 0);
    EXPECT_EQ(features, 1);
}

TEST(IsEmptyWindow, AnySetPixelCounts) {
    Square w(kWindowSide);
    EXPECT_TRUE(isEmptyWindow(w.data()));
    w.at(119, 119) = 1;
    EXPECT_FALSE(isEmptyWindow(w.data()));
}

TEST(KeepNearestBlob, KeepsOnlyTheBlobFirstOnTheRings) {
    Square w(kWindowSide);
    w.rect(65, 58, 70, 62, 7);     // ring 5, any non-zero value is set
    w.rect(40, 40, 45, 45, 255);   // ring 15
    CheckScratch scratch;
    const NearestBlob r = keepNearestBlob(w.data(), 0, 0, 2, scratch);
    EXPECT_EQ(r.code, 0);
    EXPECT_FALSE(r.spansWindow);
    for (int y = 0; y < kWindowSide; ++y)
        for (int x = 0; x < kWindowSide; ++x) {
            const bool kept = x >= 65 && x <= 70 && y >= 58 && y <= 62;
            ASSERT_EQ(w.at(x, y), kept ? 255 : 0) << x << "," << y;
        }

    // Two blobs on ring 5: the top side of the ring is searched before the
    // left side.
    Square tie(kWindowSide);
    tie.rect(60, 50, 62, 55, 255);  // touches row 55
    tie.rect(50, 60, 55, 62, 255);  // touches column 55
    keepNearestBlob(tie.data(), 0, 0, 0, scratch);
    EXPECT_EQ(tie.at(61, 52), 255);
    EXPECT_EQ(tie.at(52, 61), 0);
}

TEST(KeepNearestBlob, NothingWithin29PixelsIsAMissingFeature) {
    struct Case {
        int regionClass, code;
    };
    const Case cases[] = {{1, 24}, {2, 201}, {3, 9}, {0, 18}, {-1, 18}, {4, 18}};
    CheckScratch scratch;
    for (const Case& c : cases) {
        Square w(kWindowSide);
        w.at(90, 60) = 255;  // ring 30
        const NearestBlob r = keepNearestBlob(w.data(), 0, 0, c.regionClass, scratch);
        EXPECT_EQ(r.code, c.code);
        EXPECT_FLOAT_EQ(r.score, 999.0f);
        EXPECT_TRUE(isEmptyWindow(w.data()));
    }
    Square near(kWindowSide);
    near.at(89, 60) = 255;  // ring 29 is the last searched
    EXPECT_EQ(keepNearestBlob(near.data(), 0, 0, 1, scratch).code, 0);
    EXPECT_EQ(near.at(89, 60), 255);
}

TEST(KeepNearestBlob, SpansWindowInsideTheMargins) {
    CheckScratch scratch;
    // my = 5: rows 5..114 are 110 = (60 - 5) * 2 rows.
    Square tall(kWindowSide);
    tall.rect(58, 5, 62, 114, 255);
    EXPECT_TRUE(keepNearestBlob(tall.data(), 3, 5, 0, scratch).spansWindow);
    Square shorter(kWindowSide);
    shorter.rect(58, 6, 62, 114, 255);
    EXPECT_FALSE(keepNearestBlob(shorter.data(), 3, 5, 0, scratch).spansWindow);
    // mx = 10: columns 10..109 are 100 = (60 - 10) * 2 columns.
    Square wide(kWindowSide);
    wide.rect(10, 58, 109, 62, 255);
    EXPECT_TRUE(keepNearestBlob(wide.data(), 10, 0, 0, scratch).spansWindow);
    Square wideNoMargin(kWindowSide);
    wideNoMargin.rect(10, 58, 109, 62, 255);
    EXPECT_FALSE(keepNearestBlob(wideNoMargin.data(), 0, 0, 0, scratch).spansWindow);
}

}  // namespace
}  // namespace pcbinspect
