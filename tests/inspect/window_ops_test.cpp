// Window routines of the patch classification (single erosion, line-direction
// correction, excess and missing copper), the square maximum, the window
// shift and both forms of box smoothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include "imaging/window_filters.h"
#include "inspect/window_checks.h"
#include "inspect/window_routines.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::GuardedImage;
using testing::Square;

// ---------------------------------------------------------------------------
// Single erosion, line-direction correction and excess/missing.

GrayView view(Square& s) { return GrayView{s.data(), s.n, s.n, s.n}; }

TEST(ErodeOnce, LeavesTheMiddleOfASquareNeverTheFrame) {
    Square s(9);
    Canvas(s).rect(3, 3, 5, 5, 200);
    ErodeOnce(view(s));
    Square middle(9);
    middle.at(4, 4) = 200;
    EXPECT_EQ(s.pixels, middle.pixels);
    // The frame is never eroded; value 1 anywhere is cleared, but its
    // neighbour counts it as set and stays.
    Square f(6, 7);
    f.at(0, 3) = 1;
    ErodeOnce(view(f));
    EXPECT_EQ(std::tuple(f.at(0, 0), f.at(0, 3), f.at(1, 3)), std::tuple(7, 0, 7));
}

TEST(CorrectLineDirection, AxisLinesKeepTheirValuesDiagonalsShrink) {
    Square axis(40);
    Canvas(axis).rect(5, 20, 34, 20, 8);
    const Square before = axis;
    CorrectLineDirection(view(axis));
    EXPECT_EQ(axis.pixels, before.pixels);
    // A 45-degree line: values 8 become trunc(cos(45) * 8 + 0.5) = 6.
    Square diag(40);
    for (int i = 5; i < 35; ++i) diag.at(i, i) = 8;
    CorrectLineDirection(view(diag));
    for (int i = 10; i < 30; ++i) EXPECT_EQ(diag.at(i, i), 6) << i;
    EXPECT_EQ(diag.at(2, 2), 0);
}

TEST(ExcessMissing, MeasuresHowFarABlobJutsFromTheOutline) {
    // Reference outline along row 60; without a difference nothing is
    // measured. An excess blob 6 pixels wide juts 6 rows straight up from it
    // (rows 54..59): its far side lies 6 rows from the outline, first met at
    // (57, 54) in row order. A blob reaching out of the central square to
    // row 30, capped there by a missing region wholly outside the square:
    // that region is not measured and counts as background beside the blob.
    const struct { std::vector<std::array<int, 5>> rects; std::tuple<float, int, int, float, int, int> expected; } cases[] = {
        {{}, {0.0f, -1, -1, 0.0f, -1, -1}},
        {{{57, 54, 62, 59, 255}}, {6.0f, 57, 54, 0.0f, -1, -1}},
        {{{54, 25, 65, 31, 128}, {57, 30, 62, 59, 255}}, {30.0f, 57, 30, 0.0f, -1, -1}},
        {{{60, 63, 60, 63, 128}}, {0.0f, -1, -1, 3.0f, 60, 63}}};  // a missing pixel 3 rows below
    for (const auto& c : cases) {
        Square d(120), o(120);
        Canvas(o).rect(0, 60, 119, 60, 255);
        for (const auto& [x0, y0, x1, y1, v] : c.rects) Canvas(d).rect(x0, y0, x1, y1, static_cast<std::uint8_t>(v));
        const ExcessMissingResult r = ExcessMissing(d.data(), o.data(), 120, 0, 0);
        EXPECT_EQ(std::tuple(r.excess.value, r.excess.x, r.excess.y, r.missing.value, r.missing.x, r.missing.y), c.expected);
    }
}

// ---------------------------------------------------------------------------
// Square maximum, window shift and both forms of box smoothing.

TEST(SquareMaximum, LooksWithin27PixelsOfTheCentre) {
    const struct { std::vector<std::array<int, 3>> pixels; int cx, cy, max; } cases[] = {
        {{}, 60, 60, 0},
        {{{88, 60, 250}, {60, 32, 240}}, 60, 60, 0},  // 28 off in x, in y: outside
        {{{88, 60, 250}, {60, 32, 240}, {87, 33, 90}, {40, 70, 40}}, 60, 60, 90},  // 27 and 27: inside
        {{{0, 0, 12}, {29, 0, 200}}, 1, 1, 12},  // clipped at the corner; 28 columns from cx = 1
    };
    for (const auto& c : cases) {
        Square w(kWindowSide);
        for (const auto& [x, y, v] : c.pixels) w.at(x, y) = static_cast<std::uint8_t>(v);
        EXPECT_EQ(squareMaximum(w.data(), c.cx, c.cy), c.max) << &c - cases;
    }
}

// The shift written directly: each pixel reads the source at (x - dx, y - dy)
// bilinearly from the truncated position and its right and lower neighbours
// (clamped into the image), keeping the low eight bits of the truncated
// value; positions truncating outside the image take the fill value. With
// shifts in quarters every product is exact, so any order of the sums gives
// the same bytes.
std::vector<std::uint8_t> referenceShift(const GuardedImage& img, double dx, double dy, int fill) {
    const int w = img.width(), h = img.height();
    std::vector<std::uint8_t> out(static_cast<std::size_t>(w) * h, static_cast<std::uint8_t>(fill));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double sx = x - dx, sy = y - dy;
            const int ix = static_cast<int>(sx), iy = static_cast<int>(sy);
            if (ix < 0 || ix >= w || iy < 0 || iy >= h) continue;
            const double fx = sx - ix, fy = sy - iy;
            const int ix1 = std::min(ix + 1, w - 1), iy1 = std::min(iy + 1, h - 1);
            const double v = (1 - fx) * (1 - fy) * img.at(ix, iy) + (1 - fx) * fy * img.at(ix, iy1) +
                             fx * (1 - fy) * img.at(ix1, iy) + fx * fy * img.at(ix1, iy1);
            out[static_cast<std::size_t>(y) * w + x] = static_cast<std::uint8_t>(static_cast<int>(v) & 0xFF);
        }
    return out;
}

TEST(ShiftWindow, WholeAndFractionalShiftsMatchTheDirectBilinearRead) {
    // Whole shifts within the window move the content; one beyond it leaves
    // only the fill. Half a pixel right at x = 0 reads -0.5, which truncates
    // to 0 and extrapolates with the weights 1.5 and -0.5.
    const std::pair<double, double> shifts[] = {{3, -2},     {-5, 4},     {0, 0},      {25, 0},
                                                {0.5, 0},    {-0.5, 0},   {0.5, 0.5},  {-1.25, 0.75},
                                                {2.5, -1.5}, {0, -0.25},  {-0.75, -3}, {19.5, 0}};
    for (const auto& [dx, dy] : shifts) {
        GuardedImage img(20, 15, 24);
        img.fillRandom(11);
        const std::vector<std::uint8_t> expected = referenceShift(img, dx, dy, 7);
        shiftWindow(GrayView{img.data(), 20, img.stride(), 15}, static_cast<float>(dx), static_cast<float>(dy), 7);
        EXPECT_EQ(img.pixels(), expected) << dx << "," << dy;
        EXPECT_TRUE(img.guardsIntact());
    }
}

// The box mean written directly: for every pixel the sum of the 2r + 1
// values around it, indices clamped into the line, divided by 2r + 1 with
// truncation; rows first into a temporary, then columns back. A radius
// below 1 changes nothing.
std::vector<std::uint8_t> referenceBlur(std::vector<std::uint8_t> img, int w, int h, long long r) {
    if (r < 1) return img;
    for (const bool rows : {true, false}) {
        const std::vector<std::uint8_t> src = img;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                long long s = 0;
                for (long long k = -r; k <= r; ++k)
                    s += rows ? src[static_cast<std::size_t>(y * w + std::clamp<long long>(x + k, 0, w - 1))]
                              : src[static_cast<std::size_t>(std::clamp<long long>(y + k, 0, h - 1) * w + x)];
                img[static_cast<std::size_t>(y * w + x)] = static_cast<std::uint8_t>(s / (2 * r + 1));
            }
    }
    return img;
}

TEST(BoxBlurGray, MatchesTheDirectMeanOnOddSizesStridesAndRadiiWholeOrByRows) {
    // Up to radius 90 rows are differences of prefix sums, beyond it running
    // sums four rows at a time; beyond radius 4095 the quotient is divided
    // out; beyond about 4.2 million the running sums need 64 bits.
    const std::vector<int> radii{1, 2, 3, 10, 12, 40, 90, 91, 150};
    const struct { int w, h, pad; std::vector<int> radii; } sizes[] = {
        {1, 1, 0, radii},   {1, 7, 3, radii},  {7, 1, 1, radii},  {3, 5, 2, radii},    {17, 13, 5, radii},
        {31, 9, 0, radii},  {64, 33, 7, radii}, {101, 57, 3, radii}, {3, 2, 1, {5000, 4300000}},
        {9, 8, 3, {0, -1, std::numeric_limits<int>::min()}}};
    std::uint32_t seed = 1;
    for (const auto& s : sizes)
        for (const int r : s.radii) {
            GuardedImage img(s.w, s.h, s.w + s.pad);
            img.fillRandom(seed++);
            const std::vector<std::uint8_t> expected = referenceBlur(img.pixels(), s.w, s.h, r);
            // Into another image by row ranges: the last third, the first,
            // then the middle, the source left as it was.
            const std::vector<std::uint8_t> source = img.pixels();
            GuardedImage out(s.w, s.h, s.w + 1);
            const int cut1 = s.h / 3, cut2 = 2 * s.h / 3;
            for (const auto& [from, to] : {std::pair{cut2, s.h}, std::pair{0, cut1}, std::pair{cut1, cut2}})
                boxBlurGrayRows(img.data(), img.stride(), out.data(), out.stride(), s.w, s.h, r, from, to);
            ASSERT_EQ(out.pixels(), expected) << s.w << "x" << s.h << " r " << r << " by rows";
            ASSERT_EQ(img.pixels(), source);
            ASSERT_TRUE(out.guardsIntact());
            boxBlurGray(img.data(), s.w, img.stride(), s.h, r);
            ASSERT_EQ(img.pixels(), expected) << s.w << "x" << s.h << " r " << r;
            ASSERT_TRUE(img.guardsIntact());
        }
}

TEST(BoxSmoothing, FloatFormTruncatesTheRadiusAndRunsThreeRounds) {
    GuardedImage img(19, 11, 21);
    img.fillRandom(77);
    std::vector<std::uint8_t> expected = img.pixels();
    for (int i = 0; i < 3; ++i) expected = referenceBlur(expected, 19, 11, 2);
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
    // Uniform images stay uniform for any radius, at the edges too:
    // (2r + 1) v / (2r + 1) = v.
    for (int v : {0, 1, 128, 255})
        for (int r : {1, 2, 10, 12, 59, 60, 500, 100000}) {
            GuardedImage a(37, 23, 40);
            a.fill(static_cast<std::uint8_t>(v));
            GuardedImage b = a;
            boxBlurGray(a.data(), 37, a.stride(), 23, r);
            boxSmooth(GrayView{b.data(), 37, b.stride(), 23}, static_cast<float>(r));
            ASSERT_EQ(a.pixels(), b.pixels()) << v << " r " << r;
            ASSERT_EQ(a.pixels(), std::vector<std::uint8_t>(37 * 23, static_cast<std::uint8_t>(v)));
        }
}

}  // namespace
}  // namespace pcbinspect
