// Region fill: the 16-bit fills on working tiles and the whole-image fill,
// checked against a breadth-first model of 4-connected components.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "imaging/region_fill.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::GuardedImage;

struct Fill {
    std::int64_t count = 0;
    std::array<int, 4> box{-9, -9, -9, -9};  // bottom, top, left, right
};

// Model: breadth-first 4-connected component of the seed's value.
template <class Pixel>
Fill modelFill(std::vector<Pixel>& img, int w, int h, int x, int y, Pixel v) {
    Fill f;
    const Pixel old = img[y * w + x];
    if (old == v) return f;
    std::deque<std::pair<int, int>> queue{{x, y}};
    img[y * w + x] = v;
    f.box = {y, y, x, x};
    while (!queue.empty()) {
        auto [px, py] = queue.front();
        queue.pop_front();
        ++f.count;
        f.box = {std::max(f.box[0], py), std::min(f.box[1], py), std::min(f.box[2], px),
                 std::max(f.box[3], px)};
        const int nx[4] = {px, px - 1, px + 1, px}, ny[4] = {py + 1, py, py, py - 1};
        for (int k = 0; k < 4; ++k) {
            if (nx[k] < 0 || ny[k] < 0 || nx[k] >= w || ny[k] >= h) continue;
            Pixel& q = img[ny[k] * w + nx[k]];
            if (q != old) continue;
            q = v;
            queue.push_back({nx[k], ny[k]});
        }
    }
    return f;
}

TEST(RegionFill, MatchesTheComponentModelOnRandomLabels) {
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        const int w = 3 + seed % 29, h = 2 + (seed * 7) % 31, stride = w + seed % 5;
        const auto labels = testing::randomLabels(w, h, seed, {0, 0, 1, 200});
        GuardedImage tile(w, h, stride);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) tile.at(x, y) = labels[y * w + x];
        GuardedImage large = tile;
        std::vector<std::uint8_t> model = labels;
        std::vector<std::int16_t> stack(2 * w * h);

        const int sx = (seed * 13) % w, sy = (seed * 5) % h;
        const std::uint8_t v = 77;
        const Fill expected = modelFill<std::uint8_t>(model, w, h, sx, sy, v);
        Fill got, gotLarge;
        got.count = RegionFill(stack.data(), tile.data(), w, stride, h, sx, sy, v, got.box.data());
        gotLarge.count = RegionFillLarge(large.data(), w, stride, h, sx, sy, v, gotLarge.box.data());
        EXPECT_EQ(got.count, expected.count) << "seed " << seed;
        EXPECT_EQ(got.box, expected.box) << "seed " << seed;
        EXPECT_EQ(gotLarge.count, expected.count);
        EXPECT_EQ(gotLarge.box, expected.box);
        EXPECT_EQ(tile.pixels(), model);
        EXPECT_EQ(large.pixels(), model);
        EXPECT_TRUE(tile.guardsIntact());
        EXPECT_TRUE(large.guardsIntact());
    }
}

TEST(RegionFill, SeedOfTheNewValueTouchesNothing) {
    GuardedImage img(5, 4);
    img.fill(9);
    std::vector<std::int16_t> stack(40);
    std::array<int, 4> box{-1, -2, -3, -4};
    EXPECT_EQ(RegionFill(stack.data(), img.data(), 5, 5, 4, 2, 2, 9, box.data()), 0);
    EXPECT_EQ(RegionFillLarge(img.data(), 5, 5, 4, 2, 2, 9, box.data()), 0);
    EXPECT_EQ(box, (std::array<int, 4>{-1, -2, -3, -4}));
    EXPECT_EQ(img.pixels(), std::vector<std::uint8_t>(20, 9));
    // Empty sizes return 0 as well.
    EXPECT_EQ(RegionFill(stack.data(), img.data(), 0, 5, 4, 0, 0, 1, box.data()), 0);
    EXPECT_EQ(RegionFillLarge(img.data(), 5, 5, 0, 0, 0, 1, nullptr), 0);
    EXPECT_EQ(img.pixels(), std::vector<std::uint8_t>(20, 9));
}

TEST(RegionFill, IsolatedPixelAndCheckerboard) {
    GuardedImage board(8, 6, 11);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) board.at(x, y) = (x + y) % 2 ? 40 : 50;
    std::vector<std::int16_t> stack(2 * 48);
    std::array<int, 4> box{};
    // Diagonal neighbours are not connected: one pixel per call.
    EXPECT_EQ(RegionFill(stack.data(), board.data(), 8, 11, 6, 3, 2, 1, box.data()), 1);
    EXPECT_EQ(box, (std::array<int, 4>{2, 2, 3, 3}));
    EXPECT_EQ(board.at(3, 2), 1);
    EXPECT_EQ(RegionFill(stack.data(), board.data(), 8, 11, 6, 0, 0, 1, box.data()), 1);
    EXPECT_EQ(box, (std::array<int, 4>{0, 0, 0, 0}));
    EXPECT_EQ(RegionFillLarge(board.data(), 8, 11, 6, 7, 5, 1, box.data()), 1);
    EXPECT_EQ(box, (std::array<int, 4>{5, 5, 7, 7}));
    EXPECT_TRUE(board.guardsIntact());
}

TEST(RegionFill, FullImageFromAnySeedBoxesTheImage) {
    const int w = 37, h = 23, stride = 40;
    for (auto [sx, sy] : {std::pair{0, 0}, {36, 22}, {17, 0}, {0, 11}, {20, 12}}) {
        GuardedImage img(w, h, stride);
        img.fill(3);
        std::vector<std::int16_t> stack(2 * w * h);
        std::array<int, 4> box{};
        EXPECT_EQ(RegionFill(stack.data(), img.data(), w, stride, h, sx, sy, 4, box.data()), w * h);
        EXPECT_EQ(box, (std::array<int, 4>{h - 1, 0, 0, w - 1}));
        EXPECT_EQ(img.pixels(), std::vector<std::uint8_t>(w * h, 4));
        EXPECT_TRUE(img.guardsIntact());  // padding equals no value of the region
    }
}

TEST(RegionFill, PaddingHoldingTheOldValueIsNeverRead) {
    // The row padding holds the region's own value: a fill that read past the
    // width would leak into it and into the next row's start.
    const int w = 6, h = 5, stride = 9;
    std::vector<std::uint8_t> img(stride * h, 0);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < stride; ++x) img[y * stride + x] = x >= w ? 8 : (x == 0 ? 8 : 0);
    std::vector<std::int16_t> stack(2 * w * h);
    // Column 0 is a separate region of 8 that only the padding would join.
    EXPECT_EQ(RegionFill(stack.data(), img.data(), w, stride, h, 0, 0, 2, nullptr), h);
    for (int y = 0; y < h; ++y)
        for (int x = w; x < stride; ++x) ASSERT_EQ(img[y * stride + x], 8);
}

TEST(RegionFill, ConnectionOnlyThroughAnotherValueDoesNotCount) {
    testing::Square s(9, 5);
    s.rect(0, 4, 8, 4, 1);  // a wall of 1 splits the 5s
    std::vector<std::int16_t> stack(2 * 81);
    EXPECT_EQ(RegionFill(stack.data(), s.data(), 9, 9, 9, 2, 2, 6, nullptr), 36);
    EXPECT_EQ(s.at(2, 6), 5);
    EXPECT_EQ(s.at(8, 8), 5);
}

TEST(RegionFill16, FillsSixteenBitLabels) {
    const int w = 13, h = 11, stride = 16;
    for (std::uint32_t seed = 1; seed <= 10; ++seed) {
        std::vector<std::uint16_t> img(stride * h, 0xBEEF), model(w * h);
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> pick(0, 2);
        const std::uint16_t values[3] = {300, 301, 0xBEEF};
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) img[y * stride + x] = model[y * w + x] = values[pick(rng)];
        std::vector<std::int16_t> stack(2 * w * h);
        Fill got;
        const int sx = seed % w, sy = (seed * 3) % h;
        // 4000 does not fit a byte: the fill must write 16-bit values.
        const Fill expected = modelFill<std::uint16_t>(model, w, h, sx, sy, 4000);
        got.count = RegionFill16(stack.data(), img.data(), w, stride, h, sx, sy, 4000, got.box.data());
        EXPECT_EQ(got.count, expected.count);
        EXPECT_EQ(got.box, expected.box);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) ASSERT_EQ(img[y * stride + x], model[y * w + x]);
            for (int x = w; x < stride; ++x) ASSERT_EQ(img[y * stride + x], 0xBEEF);
        }
    }
}

TEST(RegionFillLarge, HandlesImagesWiderThan32767) {
    // 40000 x 3: a 16-bit coordinate would wrap at x = 32768.
    const int w = 40000, h = 3;
    std::vector<std::uint8_t> img(static_cast<std::size_t>(w) * h, 170);
    img[1 * w + 20000] = 0;  // a hole inside the region
    std::array<int, 4> box{};
    EXPECT_EQ(RegionFillLarge(img.data(), w, w, h, 39999, 2, 255, box.data()), 3LL * w - 1);
    EXPECT_EQ(box, (std::array<int, 4>{2, 0, 0, w - 1}));
    EXPECT_EQ(img[1 * w + 20000], 0);
    EXPECT_EQ(img[1 * w + 32768], 255);
}

TEST(RegionFillLarge, GrowsItsStackForHugeRegions) {
    // The depth-first stack of a 2000 x 2000 region of one value outgrows
    // the first 500,000 points.
    const int w = 2000, h = 2000;
    std::vector<std::uint8_t> img(static_cast<std::size_t>(w) * h, 1);
    std::array<int, 4> box{};
    EXPECT_EQ(RegionFillLarge(img.data(), w, w, h, 1000, 1000, 2, box.data()), 4000000LL);
    EXPECT_EQ(box, (std::array<int, 4>{h - 1, 0, 0, w - 1}));
    EXPECT_EQ(std::count(img.begin(), img.end(), 2), 4000000);
}

}  // namespace
}  // namespace pcbinspect
