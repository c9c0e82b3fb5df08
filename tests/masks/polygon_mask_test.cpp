// The edge conditions of the inside test, the point turn and the board
// transform, and the whole-image polygon rasteriser.
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

TEST(PointInPolygon, SumsTheSeenAnglesOfEitherWinding) {
    const auto square = testing::rectanglePolygon(0, 0, 10, 10);
    const std::vector<std::int32_t> reversed = {0, 10, 10, 10, 10, 0, 0, 0};
    // On a vertex the two edges through it add nothing and the others see
    // only 90 degrees. On the middle of an edge that edge is seen under 180
    // degrees with a cross product of 0, which counts as positive: with the
    // other three edges turning the same way the sum is a full turn, against
    // them it is 0.
    const struct { double x, y; int count; bool square, reversed; } cases[] = {
        {5, 5, 4, true, true}, {0.5, 9.5, 4, true, true}, {15, 5, 4, false, false}, {-1, -1, 4, false, false},
        {5, 5, 0, false, false}, {0, 0, 4, false, false}, {5, 0, 4, true, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(PointInPolygon(c.x, c.y, c.count, square.data()), c.square) << c.x << "," << c.y;
        EXPECT_EQ(PointInPolygon(c.x, c.y, c.count, reversed.data()), c.reversed) << c.x << "," << c.y;
    }
}

TEST(Affine, TinyAnglesLeaveTheIdentityAndHalfATurnUsesTheShortPi) {
    double x = 3.25, y = -7.5;
    rotatePointDeg(x, y, 1e-7);  // up to the float epsilon the point stays exactly
    EXPECT_TRUE(x == 3.25 && y == -7.5);
    rotatePointDeg(x, y, 2e-7);  // just above it the point moves
    EXPECT_NE(y, -7.5);
    const Affine3 tiny = affineRotation(1e-17), id = affineIdentity();
    for (int i = 0; i < 9; ++i) EXPECT_EQ(tiny.m[i], id.m[i]) << i;
    // pi as the float 3.1415925 falls short of pi: the sine term of half a
    // turn is negative, where the float nearest pi would give a positive one.
    EXPECT_EQ(boardToReducedImage(0, 0, 0.0f, 0.0f, 180.0f).m[1], std::sin(static_cast<double>(-3.1415925f)));
}

TEST(PolygonMask, FillsTheInsideButNotTheOutline) {
    const auto square = testing::rectanglePolygon(2, 2, 7, 7);
    std::vector<std::uint8_t> mask(100, 99), out(100, 17);
    std::vector<std::int32_t> stack;
    PolygonMask(stack, mask.data(), out.data(), 10, 10, 10, square.data(), 4, 255);
    for (int i = 0; i < 100; ++i) {
        const int x = i % 10, y = i / 10;
        const bool inside = x > 2 && x < 7 && y > 2 && y < 7, box = x >= 2 && x <= 7 && y >= 2 && y <= 7;
        ASSERT_EQ(mask[i], inside ? kMaskInside : box ? kMaskOutline : kMaskOutside) << x << "," << y;
        ASSERT_EQ(out[i], inside ? 255 : 17) << x << "," << y;
    }
}

}  // namespace
}  // namespace pcbinspect
