// Region fill: every variant checked against a breadth-first model of
// 4-connected components, and the edge conditions of the fills.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <deque>
#include <vector>

#include "imaging/region_fill.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using Box = std::array<int, 4>;  // bottom, top, left, right

// Model: breadth-first 4-connected component of the seed's value in a w x h
// image of `stride` elements a row; returns the count and fills `box`.
template <class Pixel>
std::int64_t modelFill(Pixel* img, int w, int stride, int h, int x, int y, Pixel v, Box& box) {
    const Pixel old = img[y * stride + x];
    if (old == v) return 0;
    std::deque<std::pair<int, int>> queue{{x, y}};
    img[y * stride + x] = v;
    box = {y, y, x, x};
    std::int64_t count = 0;
    while (!queue.empty()) {
        auto [px, py] = queue.front();
        queue.pop_front();
        ++count;
        box = {std::max(box[0], py), std::min(box[1], py), std::min(box[2], px), std::max(box[3], px)};
        const int nx[4] = {px, px - 1, px + 1, px}, ny[4] = {py + 1, py, py, py - 1};
        for (int k = 0; k < 4; ++k) {
            if (nx[k] < 0 || ny[k] < 0 || nx[k] >= w || ny[k] >= h || img[ny[k] * stride + nx[k]] != old) continue;
            img[ny[k] * stride + nx[k]] = v;
            queue.push_back({nx[k], ny[k]});
        }
    }
    return count;
}

TEST(RegionFill, EveryVariantMatchesTheComponentModelOnRandomLabels) {
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        // Every tenth image is one pixel wide, every fourteenth one row high.
        const int w = seed % 10 == 0 ? 1 : 3 + seed * 5 % 61, h = seed % 14 == 0 ? 1 : 2 + (seed * 7) % 31, stride = w + seed % 5;
        const int sx = (seed * 13) % w, sy = (seed * 5) % h;
        // 8-bit labels with padding that holds the seed's value now and then.
        std::vector<std::uint8_t> img(stride * h, seed % 3 == 0 ? 0 : 0xA5);
        const auto labels = testing::randomLabels(w, h, seed, {0, 0, 1, 200});
        for (int y = 0; y < h; ++y) std::copy_n(labels.begin() + y * w, w, img.begin() + y * stride);
        auto model = img, large = img, span = img, tile = img;
        Box expected{}, got{}, gotLarge{};
        const std::int64_t count = modelFill<std::uint8_t>(model.data(), w, stride, h, sx, sy, 77, expected);
        std::vector<std::int16_t> stack(2 * w * h);
        std::vector<std::int32_t> spanStack;
        // A second fill from the same seed finds it holding the new value: 0, nothing touched.
        for (std::int64_t n : {count, std::int64_t{0}}) {
            EXPECT_EQ(RegionFill(stack.data(), tile.data(), w, stride, h, sx, sy, 77, got.data()), n);
            EXPECT_EQ(RegionFillLarge(large.data(), w, stride, h, sx, sy, 77, gotLarge.data()), n);
            EXPECT_EQ(SpanFill(spanStack, span.data(), w, stride, h, sx, sy, 77), n);
            EXPECT_TRUE(got == expected && gotLarge == expected);
            EXPECT_TRUE(tile == model && large == model && span == model);
        }
        // 16-bit labels, padding holding one of them: 4000 does not fit a byte, the
        // fills must write 16-bit values.
        std::vector<std::uint16_t> img16(stride * h, 0xBEEF);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) img16[y * stride + x] = std::array<std::uint16_t, 3>{300, 301, 0xBEEF}[labels[(x * 7 + y) % (w * h)] % 3];
        auto model16 = img16, large16 = img16;
        const std::int64_t count16 = modelFill<std::uint16_t>(model16.data(), w, stride, h, sx, sy, 4000, expected);
        EXPECT_EQ(RegionFill16(stack.data(), img16.data(), w, stride, h, sx, sy, 4000, got.data()), count16);
        EXPECT_EQ(RegionFillLarge16(large16.data(), w, stride, h, sx, sy, 4000, gotLarge.data()), count16);
        EXPECT_TRUE(got == expected && gotLarge == expected);
        EXPECT_TRUE(img16 == model16 && large16 == model16);
    }
    // Regions on the left and the right edge whose pixels beyond the edge in
    // memory (the last of the row above, the first of the row below, the
    // rows above and below the image) hold the same value: no fill leaves
    // the image.
    const std::vector<std::uint8_t> wrap = {1, 1, 1, 1, 1, 0, 1, 1, 0, 1, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0,
                                            0, 1, 0, 0, 1, 1, 1, 1, 1, 1};
    const int seeds[][2] = {{0, 1}, {4, 0}, {1, 0}, {1, 3}, {4, 3}};
    for (const auto& seed : seeds) {
        auto model = wrap, tile = wrap, large = wrap, span = wrap;
        Box expected{}, got{}, gotLarge{};
        const std::int64_t count = modelFill<std::uint8_t>(model.data() + 5, 5, 5, 4, seed[0], seed[1], 7, expected);
        std::vector<std::int16_t> wrapStack(40);
        std::vector<std::int32_t> spanStack;
        EXPECT_EQ(RegionFill(wrapStack.data(), tile.data() + 5, 5, 5, 4, seed[0], seed[1], 7, got.data()), count);
        EXPECT_EQ(RegionFillLarge(large.data() + 5, 5, 5, 4, seed[0], seed[1], 7, gotLarge.data()), count);
        EXPECT_EQ(SpanFill(spanStack, span.data() + 5, 5, 5, 4, seed[0], seed[1], 7), count);
        EXPECT_TRUE(tile == model && large == model && span == model && got == expected && gotLarge == expected);
    }
    // Empty sizes fill nothing.
    std::vector<std::uint8_t> one(1, 9);
    std::vector<std::int16_t> stack(2);
    EXPECT_EQ(RegionFill(stack.data(), one.data(), 0, 1, 1, 0, 0, 1, nullptr), 0);
    EXPECT_EQ(RegionFillLarge(one.data(), 1, 1, 0, 0, 0, 1, nullptr), 0);
    EXPECT_EQ(one[0], 9);
}

TEST(RegionFillLarge, WideImagesAndHugeRegions) {
    // 40000 x 3: a 16-bit coordinate would wrap at x = 32768. The rows
    // above and below the image hold the region's value too: untouched.
    const int w = 40000;
    std::vector<std::uint8_t> rows(static_cast<std::size_t>(w) * 5, 170);
    std::uint8_t* img = rows.data() + w;
    img[1 * w + 20000] = 0;  // a hole inside the region
    Box box{};
    EXPECT_EQ(RegionFillLarge(img, w, w, 3, 39999, 2, 255, box.data()), 3LL * w - 1);
    EXPECT_EQ(box, (Box{2, 0, 0, w - 1}));
    EXPECT_EQ((std::vector<int>{img[1 * w + 20000], img[1 * w + 32768]}), (std::vector<int>{0, 255}));
    EXPECT_EQ(std::count(rows.begin(), rows.begin() + w, 170) + std::count(rows.end() - w, rows.end(), 170), 2 * w);
    // The depth-first stack of a 2000 x 2000 region outgrows the first 2048
    // points many times.
    std::vector<std::uint8_t> huge(2000 * 2000, 1);
    EXPECT_EQ(RegionFillLarge(huge.data(), 2000, 2000, 2000, 1000, 1000, 2, box.data()), 4000000LL);
    EXPECT_EQ(box, (Box{1999, 0, 0, 1999}));
    EXPECT_EQ(std::count(huge.begin(), huge.end(), 2), 4000000);
}

}  // namespace
}  // namespace pcbinspect
