// The scores and image operations of the suspected-flaw search.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "search/search_ops.h"
#include "boards/images.h"

namespace pcbinspect::testing {
namespace {

ConstGrayView cview(const GuardedImage& g) {
    return ConstGrayView{g.data(), g.width(), g.stride(), g.height()};
}
GrayView view(GuardedImage& g) { return GrayView{g.data(), g.width(), g.stride(), g.height()}; }

TEST(PatchDisc, Holds201CellsSymmetrically) {
    int cells = 0;
    for (int r = 0; r < kPatchSide; ++r)
        for (int c = 0; c < kPatchSide; ++c) {
            cells += PatchDisc15[r][c];
            EXPECT_EQ(PatchDisc15[r][c], PatchDisc15[c][r]);
            EXPECT_EQ(PatchDisc15[r][c], PatchDisc15[14 - r][c]);
        }
    EXPECT_EQ(cells, 9 * 2 + 11 * 2 + 13 * 2 + 15 * 9);  // = 201
}

TEST(PatchAgreement, SelfComplementAndEdges) {
    GuardedImage a(40, 40, 43), b(40, 40, 41);
    a.fillRandom(3);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 40; ++x) b.at(x, y) = static_cast<std::uint8_t>(~a.at(x, y));
    EXPECT_FLOAT_EQ(patchAgreement(cview(a), 10, 11, cview(a), 10, 11), 1.0f);
    EXPECT_FLOAT_EQ(patchAgreement(cview(a), 10, 11, cview(b), 10, 11), 0.0f);  // no byte equals its complement
    // One disc cell changed: 200 of 201 agree; a corner outside the disc
    // changed: all agree.
    GuardedImage c = a;
    c.at(17, 18) ^= 1;  // cell (7, 7) of the patch at (10, 11)
    EXPECT_FLOAT_EQ(patchAgreement(cview(a), 10, 11, cview(c), 10, 11), 200.0f / 201.0f);
    c = a;
    c.at(10, 11) ^= 1;  // cell (0, 0), outside the disc
    EXPECT_FLOAT_EQ(patchAgreement(cview(a), 10, 11, cview(c), 10, 11), 1.0f);
    // A patch touching the last row (25 + 15 = 40) counts as agreeing.
    EXPECT_FLOAT_EQ(patchAgreement(cview(a), 5, 25, cview(b), 5, 5), 1.0f);
    EXPECT_FLOAT_EQ(patchAgreement(cview(a), 5, -1, cview(b), 5, 5), 1.0f);
    // Columns: a patch ending on the last column is compared; one leaving
    // the image is treated like a row that does not fit.
    EXPECT_FLOAT_EQ(patchAgreement(cview(a), 25, 5, cview(b), 25, 5), 0.0f);
    EXPECT_FLOAT_EQ(patchAgreement(cview(a), 26, 5, cview(b), 25, 5), 1.0f);
    EXPECT_FLOAT_EQ(patchAgreement(cview(a), -1, 5, cview(b), 25, 5), 1.0f);
    EXPECT_TRUE(a.guardsIntact() && b.guardsIntact());
}

TEST(IsBlankPatch, ZeroPatchesInsideOnly) {
    GuardedImage a(30, 30, 32);
    a.fill(0);
    EXPECT_TRUE(isBlankPatch(cview(a), 0, 0));
    EXPECT_TRUE(isBlankPatch(cview(a), 15, 14));   // last column included, row 28 the last read
    EXPECT_FALSE(isBlankPatch(cview(a), 0, 15));   // touches the last row
    EXPECT_FALSE(isBlankPatch(cview(a), 16, 0));   // would leave the columns
    EXPECT_FALSE(isBlankPatch(cview(a), -1, 0));
    a.at(14, 14) = 1;  // the corner pixel of the patch at (0, 0)
    EXPECT_FALSE(isBlankPatch(cview(a), 0, 0));
    EXPECT_TRUE(isBlankPatch(cview(a), 15, 0));
}

TEST(BlockAlignmentScore, IdenticalMapsAndPlacement) {
    GuardedImage map(40, 30, 41), marker(40, 30, 41), templ(20, 10, 22), mask(20, 10, 22);
    map.fillRandom(5);
    marker.fill(0);
    mask.fill(0);
    // Template cut from the map with its top-left at (8, 12): centre (18, 17).
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x) templ.at(x, y) = map.at(8 + x, 12 + y);
    EXPECT_DOUBLE_EQ(blockAlignmentScore(cview(map), cview(marker), cview(templ), cview(mask), 18, 17), 1.0);
    // Touching the right edge (x0 + w = 40) or bottom edge scores 0.
    EXPECT_DOUBLE_EQ(blockAlignmentScore(cview(map), cview(marker), cview(templ), cview(mask), 30, 17), 0.0);
    EXPECT_DOUBLE_EQ(blockAlignmentScore(cview(map), cview(marker), cview(templ), cview(mask), 18, 25), 0.0);
    EXPECT_GT(blockAlignmentScore(cview(map), cview(marker), cview(templ), cview(mask), 29, 24), 0.0);
    // One visited cell off by 160: (160 / 320)^8 over the 200 cells of the
    // window, under marker 0.
    templ.at(4, 2) = static_cast<std::uint8_t>(map.at(12, 14) >= 160 ? map.at(12, 14) - 160 : map.at(12, 14) + 160);
    EXPECT_DOUBLE_EQ(blockAlignmentScore(cview(map), cview(marker), cview(templ), cview(mask), 18, 17),
                     1.0 - std::pow(0.5, 8) / 200.0);
    // Under marker 255 the cell takes its best neighbour: a neighbour equal
    // to the map clears it.
    marker.at(12, 14) = 255;
    templ.at(5, 2) = map.at(12, 14);
    EXPECT_DOUBLE_EQ(blockAlignmentScore(cview(map), cview(marker), cview(templ), cview(mask), 18, 17), 1.0);
    // A masked cell under marker 0 is skipped.
    marker.at(12, 14) = 0;
    mask.at(4, 2) = 1;
    EXPECT_DOUBLE_EQ(blockAlignmentScore(cview(map), cview(marker), cview(templ), cview(mask), 18, 17), 1.0);
}

TEST(CubicAndQuadrantAgreement, IdenticalAndTooFew) {
    GuardedImage a(60, 60, 61), mask(60, 60, 61), b(30, 30, 33), d(30, 30, 33);
    a.fillRandom(9);
    mask.fill(0);
    d.fill(0);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 30; ++x) b.at(x, y) = a.at(10 + x, 20 + y);
    bool tooFew = true;
    EXPECT_DOUBLE_EQ(cubicAgreement(cview(a), cview(mask), cview(b), 25, 35, &tooFew), 1.0);
    EXPECT_FALSE(tooFew);  // 6 x 6 sampled cells
    // A difference of 255 on the sampled cell (0, 0): 1 - 255^3 / 37 / 255^3.
    b.at(0, 0) = static_cast<std::uint8_t>(a.at(10, 20) < 128 ? a.at(10, 20) + 255 - 2 * a.at(10, 20) : 0);
    const int diff = std::abs(static_cast<int>(a.at(10, 20)) - b.at(0, 0));
    EXPECT_DOUBLE_EQ(cubicAgreement(cview(a), cview(mask), cview(b), 25, 35, &tooFew),
                     1.0 - static_cast<double>(diff) * diff * diff / 37.0 / 16581375.0);
    b.at(0, 0) = a.at(10, 20);
    // The mask leaves 3 cells (n = 4 < 10): flagged, same formula.
    mask.fill(1);
    mask.at(10, 20) = 0;
    mask.at(15, 20) = 0;
    mask.at(20, 25) = 0;
    EXPECT_DOUBLE_EQ(cubicAgreement(cview(a), cview(mask), cview(b), 25, 35, &tooFew), 1.0);
    EXPECT_TRUE(tooFew);
    EXPECT_DOUBLE_EQ(cubicAgreement(cview(a), cview(mask), cview(b), 50, 35, &tooFew), 0.0);
    EXPECT_FALSE(tooFew);

    // Quadrants: identical content scores 1 in every quadrant and the
    // weights sum to 1.
    a.fill(200);
    b.fill(200);
    EXPECT_NEAR(quadrantAgreement(cview(a), cview(b), cview(d), 25, 35), 1.0, 1e-12);
    // Empty quadrants (no non-zero cell) move to the back; all four empty
    // keeps the order and the result.
    a.fill(0);
    b.fill(0);
    EXPECT_NEAR(quadrantAgreement(cview(a), cview(b), cview(d), 25, 35), 1.0, 1e-12);
    // Camera full where the reference is empty: each quadrant of k sampled
    // cells scores 1 - k / (k + 1) = 1 / (k + 1) (the count starts at 1).
    // Columns 0..25 step 5 split at 16: quadrant cells 16, 8, 8, 4. Ranked
    // q3, q1, q2, q0; the walk sends q3 (4 cells), then q2, then q3 again
    // to the back: q1, q0, q2, q3.
    b.fill(255);
    EXPECT_NEAR(quadrantAgreement(cview(a), cview(b), cview(d), 25, 35),
                0.6 / 9 + 0.3 / 17 + 0.07 / 9 + 0.03 / 5, 1e-12);
    EXPECT_DOUBLE_EQ(quadrantAgreement(cview(a), cview(b), cview(d), 50, 35), 0.0);  // off the image
}

TEST(ResizeGrayBilinear, CornerAlignedAndTruncated) {
    GuardedImage src(2, 2, 5), dst(3, 3, 4);
    src.at(0, 0) = 0;
    src.at(1, 0) = 100;
    src.at(0, 1) = 50;
    src.at(1, 1) = 201;
    dst.fill(7);
    resizeGrayBilinear(view(dst), cview(src));
    EXPECT_EQ(dst.at(0, 0), 0);    // corners map onto corners
    EXPECT_EQ(dst.at(2, 0), 100);
    EXPECT_EQ(dst.at(2, 2), 201);
    EXPECT_EQ(dst.at(1, 0), 50);   // halfway: (0 + 100) / 2
    EXPECT_EQ(dst.at(1, 1), 87);   // (0 + 100 + 50 + 201) / 4 = 87.75, truncated
    EXPECT_TRUE(dst.guardsIntact());
    GuardedImage one(1, 5);
    dst.fill(7);
    resizeGrayBilinear(view(dst), cview(one));  // a source of width 1: nothing done
    EXPECT_EQ(dst.at(1, 1), 7);
}

TEST(MarkEdgeContacts, ContactsRelabelledOuterRingKept) {
    GuardedImage img(12, 10, 13);
    img.fillRandom(11, 0, 1);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 12; ++x) img.at(x, y) = img.at(x, y) ? 255 : 1;
    const GuardedImage before = img;
    markEdgeContacts(view(img));
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 12; ++x) {
            if (x == 0 || y == 0 || x == 11 || y == 9) {
                EXPECT_EQ(img.at(x, y), before.at(x, y)) << x << "," << y;
                continue;
            }
            auto any = [&](const GuardedImage& g, std::uint8_t v) {
                return g.at(x - 1, y) == v || g.at(x + 1, y) == v || g.at(x, y - 1) == v ||
                       g.at(x, y + 1) == v;
            };
            if (before.at(x, y) == 255) {
                EXPECT_EQ(img.at(x, y), any(before, 1) ? 168 : 255);
            } else {
                EXPECT_EQ(img.at(x, y), any(img, 168) ? 80 : 1);
            }
        }
    EXPECT_TRUE(img.guardsIntact());
}

TEST(InvertWindow, WholeOrMasked) {
    GuardedImage img(5, 3, 7), mask(5, 3, 7);
    img.fill(0x0F);
    mask.fill(0);
    mask.at(2, 1) = 1;
    invertWindow(view(img), mask.data());
    EXPECT_EQ(img.at(2, 1), 0xF0);
    EXPECT_EQ(img.at(1, 1), 0x0F);
    invertWindow(view(img), nullptr);
    EXPECT_EQ(img.at(2, 1), 0x0F);
    EXPECT_EQ(img.at(0, 0), 0xF0);
    EXPECT_TRUE(img.guardsIntact());
}

TEST(ReduceMaskBlocks, ClearsOnlyWhenJudged) {
    // Without mask blocks (nb = 0) nothing is judged: B stays.
    {
        GuardedImage a(100, 100, 101), b(100, 100, 101);
        a.fill(255);
        b.fill(0);
        for (int x = 0; x < 50; ++x) b.at(x, 3) = 1;  // 5 pixels per block: below 51
        const auto before = b.pixels();
        reduceMaskBlocks(cview(a), view(b));
        EXPECT_EQ(b.pixels(), before);
    }
    // Content in the middle columns, open board left and right of it and
    // above and below; a mask block row across it. The uncovered content
    // blocks open onto empty space on both axes, so after one round B is
    // cleared outside the eroded mask blocks.
    {
        GuardedImage a(200, 200, 200), b(200, 200, 200);
        a.fill(0);
        b.fill(0);
        Canvas(a).rect(60, 40, 139, 159, 255);   // content blocks 6..13 x 4..15
        Canvas(b).rect(60, 90, 139, 99, 255);    // mask block row 9, columns 6..13
        b.at(3, 3) = 255;                        // a lone mask pixel in block (0, 0)
        reduceMaskBlocks(cview(a), view(b));
        // The lone pixel's block never held 51 mask pixels: cleared. The
        // mask row's blocks have open sides above and below: eroded away.
        EXPECT_EQ(b.at(3, 3), 0);
        EXPECT_EQ(b.at(100, 95), 0);
        EXPECT_TRUE(b.guardsIntact());
    }
}

}  // namespace
}  // namespace pcbinspect::testing
