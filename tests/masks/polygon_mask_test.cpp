// The edge conditions of the inside test, the point turn and the board
// transform, and the whole-image polygon rasteriser.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
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

// Polygons that hold the whole 10 x 10 image, given at its lower-left corner
// and carried to every corner by transposing and mirroring, in both windings.
// `skim`: an edge passes within a pixel outside the corner, its line leaves
// all four image corners on one side (one at a cross product of 1): it draws
// nothing, although its positions would truncate into column 0, and the
// whole image is inside. `touch`: an edge ends on the corner pixel and runs
// outside column 0 at under half a pixel (its line through one image corner,
// the others on one side): its positions truncate to column 0, which becomes
// outline; the rest is inside.
TEST(PolygonMask, EdgesAlongTheImageBorderOutlineOnlyWhatTheyTouch) {
    const std::vector<std::pair<int, int>> skim = {{0, 10}, {-1, -10}, {30, -10}, {30, 30}},
                                           touch = {{0, 9}, {-2, -31}, {30, -31}, {30, 30}, {-2, 30}};
    for (int variant = 0; variant < 32; ++variant) {
        const auto place = [variant](std::pair<int, int> p) {
            if (variant & 1) std::swap(p.first, p.second);
            return std::pair{variant & 2 ? 9 - p.first : p.first, variant & 4 ? 9 - p.second : p.second};
        };
        auto corners = variant & 16 ? touch : skim;
        if (variant & 8) std::reverse(corners.begin(), corners.end());
        std::vector<std::int32_t> points;
        for (const auto& c : corners) points.insert(points.end(), {place(c).first, place(c).second});
        std::vector<std::uint8_t> outline(100, 0), mask(100), out(100, 17);
        for (int y = 0; y < 10 && (variant & 16); ++y) outline[place({0, y}).second * 10 + place({0, y}).first] = 1;
        std::vector<std::int32_t> stack;
        PolygonMask(stack, mask.data(), out.data(), 10, 10, 10, points.data(), static_cast<int>(corners.size()), 255);
        for (int i = 0; i < 100; ++i) ASSERT_EQ(out[i], outline[i] ? 17 : 255) << variant << ": " << i % 10 << "," << i / 10;
    }
}

}  // namespace
}  // namespace pcbinspect
