// Square maximum, window shift and both forms of box smoothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "imaging/window_filters.h"
#include "inspect/window_checks.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::GuardedImage;
using testing::Square;

TEST(SquareMaximum, LooksWithin27PixelsOfTheCentre) {
    Square w(kWindowSide);
    EXPECT_EQ(squareMaximum(w.data(), 60, 60), 0);  // nothing set
    w.at(88, 60) = 250;  // |x - cx| = 28: outside
    w.at(60, 32) = 240;  // |y - cy| = 28: outside
    EXPECT_EQ(squareMaximum(w.data(), 60, 60), 0);
    w.at(87, 33) = 90;  // 27 and 27: inside
    w.at(40, 70) = 40;
    EXPECT_EQ(squareMaximum(w.data(), 60, 60), 90);
    // Near the corner the square is clipped.
    Square c(kWindowSide);
    c.at(0, 0) = 12;
    c.at(29, 0) = 200;  // 28 columns from cx = 1
    EXPECT_EQ(squareMaximum(c.data(), 1, 1), 12);
}

TEST(ShiftWindow, WholePixelShiftsMoveTheContent) {
    const int w = 20, h = 15;
    for (const auto& [dx, dy] : {std::pair{3, -2}, std::pair{-5, 4}, std::pair{0, 0},
                                std::pair{25, 0}}) {
        GuardedImage img(w, h, 24);
        img.fillRandom(11);
        const GuardedImage before = img;
        shiftWindow(GrayView{img.data(), w, img.stride(), h}, static_cast<float>(dx),
                    static_cast<float>(dy), 7);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int sx = x - dx, sy = y - dy;
                const bool in = sx >= 0 && sy >= 0 && sx < w && sy < h;
                ASSERT_EQ(img.at(x, y), in ? before.at(sx, sy) : 7) << dx << "," << dy << " at " << x << "," << y;
            }
        EXPECT_TRUE(img.guardsIntact());
    }
}

TEST(ShiftWindow, FractionalShiftsInterpolate) {
    GuardedImage img(4, 1, 4);
    img.at(0, 0) = 100;
    img.at(1, 0) = 50;
    img.at(2, 0) = 31;
    img.at(3, 0) = 200;
    shiftWindow(GrayView{img.data(), 4, 4, 1}, 0.5f, 0.0f, 0);
    // Source x - 0.5 truncates to x - 1 with weight 0.5 on both neighbours,
    // except at x = 0, where -0.5 truncates to 0 and the weights become
    // 1.5 and -0.5: 150 - 25.
    EXPECT_EQ(img.at(0, 0), 125);
    EXPECT_EQ(img.at(1, 0), 75);
    EXPECT_EQ(img.at(2, 0), 40);   // (50 + 31) / 2, truncated
    EXPECT_EQ(img.at(3, 0), 115);  // (31 + 200) / 2
    // Shifting left by half a pixel reads x + 0.5; the last column clamps its
    // right neighbour to itself.
    GuardedImage right(3, 1, 3);
    right.at(0, 0) = 10;
    right.at(1, 0) = 20;
    right.at(2, 0) = 41;
    shiftWindow(GrayView{right.data(), 3, 3, 1}, -0.5f, 0.0f, 0);
    EXPECT_EQ(right.at(0, 0), 15);
    EXPECT_EQ(right.at(1, 0), 30);
    EXPECT_EQ(right.at(2, 0), 41);
}

// The box mean written directly: for every pixel the sum of the 2r + 1
// values around it, indices clamped into the line, divided by 2r + 1 with
// truncation; rows first into a temporary, then columns back.
void referenceBlur(std::vector<std::uint8_t>& img, int w, int h, long long r) {
    std::vector<std::uint8_t> tmp(img.size());
    const long long span = 2 * r + 1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            long long s = 0;
            for (long long k = -r; k <= r; ++k) {
                const long long xx = std::clamp<long long>(x + k, 0, w - 1);
                s += img[static_cast<std::size_t>(y * w + xx)];
            }
            tmp[static_cast<std::size_t>(y * w + x)] = static_cast<std::uint8_t>(s / span);
        }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            long long s = 0;
            for (long long k = -r; k <= r; ++k) {
                const long long yy = std::clamp<long long>(y + k, 0, h - 1);
                s += tmp[static_cast<std::size_t>(yy * w + x)];
            }
            img[static_cast<std::size_t>(y * w + x)] = static_cast<std::uint8_t>(s / span);
        }
}

TEST(BoxBlurGray, MatchesTheDirectReferenceOnOddSizesAndStrides) {
    struct Size {
        int w, h, pad;
    };
    const Size sizes[] = {{1, 1, 0}, {1, 7, 3}, {7, 1, 1}, {3, 5, 2},
                          {17, 13, 5}, {31, 9, 0}, {64, 33, 7}, {101, 57, 3}};
    std::uint32_t seed = 1;
    for (const Size& s : sizes) {
        for (int r : {1, 2, 3, 10, 12, 40}) {
            GuardedImage img(s.w, s.h, s.w + s.pad);
            img.fillRandom(seed++);
            std::vector<std::uint8_t> expected = img.pixels();
            referenceBlur(expected, s.w, s.h, r);
            boxBlurGray(img.data(), s.w, img.stride(), s.h, r);
            ASSERT_EQ(img.pixels(), expected) << s.w << "x" << s.h << " r " << r;
            ASSERT_TRUE(img.guardsIntact());
        }
    }
}

TEST(BoxBlurGray, LargeRadiiUseDivisionAndWideSums) {
    // Beyond radius 4095 the quotient is divided out; beyond about 4.2
    // million the running sums need 64 bits. Both must agree with the
    // direct mean.
    for (long long r : {5000LL, 4300000LL}) {
        GuardedImage img(3, 2, 4);
        img.fillRandom(static_cast<std::uint32_t>(r));
        std::vector<std::uint8_t> expected = img.pixels();
        referenceBlur(expected, 3, 2, r);
        boxBlurGray(img.data(), 3, img.stride(), 2, static_cast<int>(r));
        EXPECT_EQ(img.pixels(), expected) << r;
        EXPECT_TRUE(img.guardsIntact());
    }
}

TEST(BoxBlurGray, RadiusBelowOneChangesNothing) {
    for (int r : {0, -1, std::numeric_limits<int>::min()}) {
        GuardedImage img(9, 8, 12);
        img.fillRandom(5);
        const std::vector<std::uint8_t> before = img.pixels();
        boxBlurGray(img.data(), 9, img.stride(), 8, r);
        EXPECT_EQ(img.pixels(), before) << r;
    }
}

TEST(BoxSmoothing, UniformImagesStayUniform) {
    // (2r + 1) v / (2r + 1) = v for any radius, at the edges too.
    for (int v : {0, 1, 128, 255}) {
        for (int r : {1, 2, 10, 12, 59, 60, 500, 100000}) {
            GuardedImage a(37, 23, 40);
            a.fill(static_cast<std::uint8_t>(v));
            boxBlurGray(a.data(), 37, a.stride(), 23, r);
            GuardedImage b(37, 23, 40);
            b.fill(static_cast<std::uint8_t>(v));
            boxSmooth(GrayView{b.data(), 37, b.stride(), 23}, static_cast<float>(r));
            const std::vector<std::uint8_t> uniform(37 * 23, static_cast<std::uint8_t>(v));
            ASSERT_EQ(a.pixels(), uniform) << v << " r " << r;
            ASSERT_EQ(b.pixels(), uniform) << v << " r " << r;
        }
    }
}

TEST(BoxSmoothing, FloatFormTruncatesTheRadiusAndRunsThreeRounds) {
    GuardedImage img(19, 11, 21);
    img.fillRandom(77);
    std::vector<std::uint8_t> expected = img.pixels();
    for (int i = 0; i < 3; ++i) referenceBlur(expected, 19, 11, 2);
    boxSmooth(GrayView{img.data(), 19, img.stride(), 11}, 2.9f);  // radius 2
    EXPECT_EQ(img.pixels(), expected);
    EXPECT_TRUE(img.guardsIntact());

    // Radii that truncate below 1, and NaN, leave the image alone.
    for (float r : {0.99f, -2.0f, std::numeric_limits<float>::quiet_NaN(), 3e9f}) {
        GuardedImage same(8, 8);
        same.fillRandom(3);
        const std::vector<std::uint8_t> before = same.pixels();
        boxSmooth(GrayView{same.data(), 8, 8, 8}, r);
        EXPECT_EQ(same.pixels(), before) << r;
    }
}

}  // namespace
}  // namespace pcbinspect
