// Affine helpers, point rotation, the inside test and polygon rasterising.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "masks/affine.h"
#include "masks/mask_gray.h"
#include "masks/polygon_mask.h"
#include "support/shape_images.h"

namespace pcbinspect {
namespace {

using testing::rectanglePolygon;

TEST(Affine, ComposesRotationsAndTranslationsInOrder) {
    const double quarter = 1.5707963267948966;
    double x = 0, y = 0;
    // Rotation first, then translation: (1, 0) turns to (0, 1), then moves by (2, 3).
    affineApply(affineProduct(affineTranslation(2, 3), affineRotation(quarter)), 1, 0, x, y);
    EXPECT_NEAR(x, 2.0, 1e-12);
    EXPECT_NEAR(y, 4.0, 1e-12);
    // The other order moves (1, 0) to (3, 3) first and turns that to (-3, 3).
    affineApply(affineProduct(affineRotation(quarter), affineTranslation(2, 3)), 1, 0, x, y);
    EXPECT_NEAR(x, -3.0, 1e-12);
    EXPECT_NEAR(y, 3.0, 1e-12);
    // Angles below the double epsilon give the exact identity.
    const Affine3 tiny = affineRotation(1e-17);
    const Affine3 id = affineIdentity();
    for (int i = 0; i < 9; ++i) EXPECT_EQ(tiny.m[i], id.m[i]) << i;
}

TEST(Affine, BoardToReducedImageShiftsTurnsAndCentres) {
    double x = 0, y = 0;
    // Offset (6, -9) is (-2, +3) in reduced pixels; the centre of 10 x 20 is (5, 10).
    affineApply(boardToReducedImage(10, 20, 6.0f, -9.0f, 0.0f), 4, 0, x, y);
    EXPECT_EQ(x, 7.0);
    EXPECT_EQ(y, 13.0);
    // +90 degrees turns board points by -90: (X, Y) -> (Y, -X); (4, 0)
    // shifted to (2, 3) becomes (3, -2), centred (8, 8).
    affineApply(boardToReducedImage(10, 20, 6.0f, -9.0f, 90.0f), 4, 0, x, y);
    EXPECT_NEAR(x, 8.0, 1e-5);
    EXPECT_NEAR(y, 8.0, 1e-5);
    // Half a turn uses pi as the float 3.1415925, which falls short of pi by
    // 1.5e-7: the sine term is then negative, where the float nearest pi
    // (above pi) would give a positive one.
    const Affine3 half = boardToReducedImage(0, 0, 0.0f, 0.0f, 180.0f);
    EXPECT_EQ(half.m[1], std::sin(static_cast<double>(-3.1415925f)));
    EXPECT_LT(half.m[1], 0.0);
}

TEST(RotatePointDeg, TurnsFromTheOriginalCoordinates) {
    double x = 1, y = 2;
    rotatePointDeg(x, y, 90.0);  // (x, y) -> (-y, x)
    EXPECT_NEAR(x, -2.0, 1e-12);
    EXPECT_NEAR(y, 1.0, 1e-12);
    // Angles up to the float epsilon leave the point exactly as it was.
    x = 3.25, y = -7.5;
    rotatePointDeg(x, y, 1e-7);
    EXPECT_EQ(x, 3.25);
    EXPECT_EQ(y, -7.5);
    // Just above it the point moves.
    rotatePointDeg(x, y, 2e-7);
    EXPECT_NE(y, -7.5);
}

TEST(PointInPolygon, SumsTheSeenAngles) {
    const auto square = rectanglePolygon(0, 0, 10, 10);
    EXPECT_TRUE(PointInPolygon(5, 5, 4, square.data()));
    EXPECT_TRUE(PointInPolygon(0.5, 9.5, 4, square.data()));
    EXPECT_FALSE(PointInPolygon(15, 5, 4, square.data()));
    EXPECT_FALSE(PointInPolygon(-1, -1, 4, square.data()));
    EXPECT_FALSE(PointInPolygon(5, 5, 0, square.data()));
    // Either winding is inside: only the size of the sum counts.
    const std::vector<std::int32_t> reversed = {0, 10, 10, 10, 10, 0, 0, 0};
    EXPECT_TRUE(PointInPolygon(5, 5, 4, reversed.data()));
    // On a vertex the two edges through it add nothing and the others see
    // only 90 degrees.
    EXPECT_FALSE(PointInPolygon(0, 0, 4, square.data()));
    // On the middle of an edge that edge is seen under 180 degrees with a
    // cross product of 0, which counts as positive: with the other three
    // edges turning the same way the sum is a full turn, against them it is 0.
    EXPECT_TRUE(PointInPolygon(5, 0, 4, square.data()));
    EXPECT_FALSE(PointInPolygon(5, 0, 4, reversed.data()));
}

struct Raster {
    std::vector<std::uint8_t> mask, out;
    std::vector<std::int32_t> stack;
    Raster(int w, int h, std::uint8_t outValue)
        : mask(static_cast<std::size_t>(w) * h, 99),
          out(static_cast<std::size_t>(w) * h, outValue) {}
};

TEST(PolygonMask, FillsTheInsideButNotTheOutline) {
    const int w = 10, h = 10;
    const auto square = rectanglePolygon(2, 2, 7, 7);
    {
        Raster r(w, h, 17);
        PolygonMask(r.stack, r.mask.data(), r.out.data(), w, w, h,
                    square.data(), 4, 255);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const bool outline = (x == 2 || x == 7 || y == 2 || y == 7) && x >= 2 && x <= 7 &&
                                     y >= 2 && y <= 7;
                const bool inside = x > 2 && x < 7 && y > 2 && y < 7;
                const std::uint8_t label = outline ? kMaskOutline : inside ? kMaskInside
                                                                           : kMaskOutside;
                ASSERT_EQ(r.mask[y * w + x], label) << x << "," << y;
                ASSERT_EQ(r.out[y * w + x], inside ? 255 : 17) << x << "," << y;
            }
        }
    }
}

TEST(PolygonMask, DrawsSlantedEdgesByTruncatedSteps) {
    // A triangle whose slanted edge (0, 0)-(6, 3) steps along x: the row is
    // trunc(x * 0.5), so columns 0,1 lie on row 0, 2,3 on row 1, 4,5 on row 2.
    const int w = 8, h = 5;
    const std::vector<std::int32_t> triangle = {0, 0, 6, 3, 0, 3};
    Raster r(w, h, 0);
    PolygonMask(r.stack, r.mask.data(), r.out.data(), w, w, h, triangle.data(), 3, 1);
    for (int x = 0; x <= 6; ++x) EXPECT_EQ(r.mask[(x / 2) * w + x], kMaskOutline) << x;
    // Below the slanted edge and right of column 0, above row 3: (2, 2) and (3, 2).
    EXPECT_EQ(r.out[2 * w + 2], 1);
    EXPECT_EQ(r.out[2 * w + 3], 1);
    EXPECT_EQ(r.out[1 * w + 4], 0);  // above the edge
}

TEST(PolygonMask, PolygonsWhoseEdgesMissTheImage) {
    const int w = 10, h = 10;
    // Wholly around the image: every edge lies beyond one side.
    const auto around = rectanglePolygon(-5, -5, 20, 20);
    // Around it as well, but two edges have ends on both sides of the image
    // in x or y: only their lines, which pass beyond all four corners, show
    // that they miss it.
    const std::vector<std::int32_t> triangle = {-10, 5, 5, -10, 40, 40};
    for (const auto* polygon : {&around, &triangle}) {
        Raster r(w, h, 3);
        PolygonMask(r.stack, r.mask.data(), r.out.data(), w, w, h, polygon->data(),
                    static_cast<int>(polygon->size() / 2), 200);
        for (std::size_t i = 0; i < r.out.size(); ++i) {
            ASSERT_EQ(r.out[i], 200) << i;
            ASSERT_EQ(r.mask[i], 0) << i;  // cleared, never labelled
        }
    }
    // Wholly outside: nothing is written.
    const auto beside = rectanglePolygon(20, 0, 30, 9);
    Raster r(w, h, 3);
    PolygonMask(r.stack, r.mask.data(), r.out.data(), w, w, h, beside.data(), 4, 200);
    for (std::uint8_t v : r.out) ASSERT_EQ(v, 3);
}

}  // namespace
}  // namespace pcbinspect
