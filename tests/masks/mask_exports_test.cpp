// getMaskGray and ZeroOutboundGray through the public header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "boundary/last_error.h"
#include "pcbinspect/exports.h"
#include "support/shape_images.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::GuardedImage;
using testing::rectanglePolygon;
using Points = std::vector<std::int32_t>;

// Calls getMaskGray with one erase and one paint polygon list and garbage in
// the reserved arguments, which are never read.
void maskWith(GuardedImage& img, const Points& erase, const Points& eraseCounts, const Points& paint,
              const Points& paintCounts, float ox = 0, float oy = 0, float angle = 0) {
    const auto orNull = [](const Points& v) { return v.empty() ? nullptr : v.data(); };
    getMaskGray(reinterpret_cast<const void*>(std::uintptr_t{0x10}), nullptr, orNull(erase),
                orNull(eraseCounts), static_cast<int>(eraseCounts.size()), orNull(paint),
                orNull(paintCounts), static_cast<int>(paintCounts.size()), img.data(), img.width(),
                img.stride(), img.height(), ox, oy, angle);
}

TEST(GetMaskGray, WithoutPolygonsThresholdsAndReplicatesBlocks) {
    // Widths and heights with 0, 1 and 2 columns and rows beyond the last
    // block, which take the last whole block; below one block nothing changes.
    const int sizes[][3] = {{9, 6, 9}, {11, 8, 16}, {10, 7, 13}, {3, 3, 3}, {2, 9, 5}, {9, 2, 12}, {1, 1, 4}};
    for (const auto& s : sizes) {
        GuardedImage img(s[0], s[1], s[2]);
        img.fillRandom(static_cast<std::uint32_t>(s[0] * 100 + s[1]), 60, 200);
        // Blocks (0, 0) and (1, 0), where whole, at sums of 1152 (set) and 1151 (cleared).
        for (int j = 0; j < 18 && s[1] >= 3 && s[0] >= 3 * (j / 9 + 1); ++j)
            img.at(3 * (j / 9) + j % 3, j % 9 / 3) = j == 13 ? 127 : 128;
        const int w3 = s[0] / 3, h3 = s[1] / 3;
        const bool blocks = w3 > 0 && h3 > 0;
        std::vector<std::uint8_t> expected = img.pixels();
        for (int y = 0; blocks && y < s[1]; ++y)
            for (int x = 0; x < s[0]; ++x) {
                const int c = std::min(x / 3, w3 - 1), r = std::min(y / 3, h3 - 1);
                int sum = 0;
                for (int j = 0; j < 9; ++j) sum += img.at(3 * c + j % 3, 3 * r + j / 3);
                expected[y * s[0] + x] = sum >= 1152 ? 255 : 0;
            }
        setLastError("probe", "unchanged");
        // Below one block even a polygon over everything changes nothing.
        maskWith(img, {}, {}, blocks ? Points{} : rectanglePolygon(-90, -90, 90, 90), blocks ? Points{} : Points{4});
        EXPECT_EQ(img.pixels(), expected) << s[0] << "x" << s[1];
        EXPECT_TRUE(img.guardsIntact());
        EXPECT_STREQ(getLastError(), "probe: unchanged");  // not an error
    }
}

// A 30 x 30 image reduces to 10 x 10 with its centre at (5, 5): board point
// (x, y) lands on reduced pixel (x / 3 + 5, y / 3 + 5) when there is no
// offset or angle. The board square (-9, -9)-(6, 6) is the reduced square
// (2, 2)-(7, 7): its outline is rows and columns 2 and 7, its inside 3..6.
TEST(GetMaskGray, ErasesThenPaintsTheInsidesOfShiftedAndTurnedPolygons) {
    const Points square = rectanglePolygon(-9, -9, 6, 6), huge = rectanglePolygon(-300, -300, 300, 300);
    // More than 100 points: the square's edges walked in steps of 1, every
    // point twice; the repeated ones make edges of length 0 that draw nothing.
    Points walked;
    const auto walk = [&](int x, int y) { walked.insert(walked.end(), {x, y, x, y}); };
    for (int i = 0; i < 60; ++i) {  // the four edges in turn
        const int t = i % 15, x[4] = {-9 + t, 6, 6 - t, -9}, y[4] = {-9, -9 + t, 6, 6 - t};
        walk(x[i / 15], y[i / 15]);
    }
    Points skipped = {-300, -300, 300, 300};  // counts -4 and 0 take none, 2 points are skipped
    skipped.insert(skipped.end(), square.begin(), square.end());
    const struct {
        std::uint8_t fill;
        Points erase, eraseCounts, paint, paintCounts;
        float ox, oy, angle;
        std::uint8_t inside, rest;  // expected: the reduced box x0..x1, y0..y1 with its outline
        int x0, y0, x1, y1;         // and everything outside it `rest`, its inside `inside`
        int w = 30, h = 30;
    } cases[] = {
        {0, {}, {}, square, {4}, 0, 0, 0, 255, 0, 2, 2, 7, 7},  // painting sets the inside only
        {255, square, {4}, {}, {}, 0, 0, 0, 0, 255, 2, 2, 7, 7},  // erasing clears the inside only
        // Around the whole reduced image, every edge outside it.
        {0, {}, {}, huge, {4}, 0, 0, 0, 255, 255, 2, 2, 7, 7},
        {255, huge, {4}, {}, {}, 0, 0, 0, 0, 0, 2, 2, 7, 7},
        {255, huge, {4}, square, {4}, 0, 0, 0, 255, 0, 2, 2, 7, 7},  // painting comes last and wins
        {0, {}, {}, skipped, {-4, 0, 2, 4}, 0, 0, 0, 255, 0, 2, 2, 7, 7},
        {0, {}, {}, walked, {static_cast<std::int32_t>(walked.size() / 2)}, 0, 0, 0, 255, 0, 2, 2, 7, 7},
        // An offset of (6, 0) moves polygons by -2 reduced pixels in x.
        {0, {}, {}, square, {4}, 6, 0, 0, 255, 0, 0, 2, 5, 7},
        // (-9, -9)-(6, 0) is reduced (-3, -3)-(2, 0) about the centre; +90
        // degrees turns it by -90, (X, Y) -> (Y, -X): (2, 3)-(5, 8) in the image.
        {0, {}, {}, rectanglePolygon(-9, -9, 6, 0), {4}, 0, 0, 90, 255, 0, 2, 3, 5, 8},
        // 33001 reduced columns, 2 rows, centre (16500.5, 1), beyond 16-bit
        // coordinates. Board x maps to trunc(x / 3 + 16501): -49473 -> 10 and
        // 49467 -> 32990; board y -18 and 27 land on rows -4 and 10, beyond
        // the image.
        {0, {}, {}, rectanglePolygon(-49473, -18, 49467, 27), {4}, 0, 0, 0, 255, 0, 10, -4, 32990, 10, 3 * 33001, 6},
    };
    for (const auto& c : cases) {
        GuardedImage img(c.w, c.h, c.w + 3);
        img.fill(c.fill);
        maskWith(img, c.erase, c.eraseCounts, c.paint, c.paintCounts, c.ox, c.oy, c.angle);
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) {
                const int r = y / 3, col = x / 3;
                const bool in = col > c.x0 && col < c.x1 && r > c.y0 && r < c.y1;
                ASSERT_EQ(img.at(x, y), in ? c.inside : c.rest) << &c - cases << ": " << x << "," << y;
            }
        EXPECT_TRUE(img.guardsIntact());
    }
}

TEST(MaskExports, RejectBadArgumentsWithoutWriting) {
    GuardedImage img(12, 9, 16);
    img.fillRandom(9);
    const auto before = img.pixels();
    const std::int32_t four = 4, one = 1, none = 0;
    // No point lists are passed: the counts are checked first.
    const struct { std::uint8_t* image; int w, s, h; const std::int32_t* eraseCounts; int eraseCount;
                   const std::int32_t* paintCounts; int paintCount; const char* message; } cases[] = {
        {nullptr, 12, 16, 9, nullptr, 0, nullptr, 0, "getMaskGray: image pixels are null"},
        {img.data(), 0, 16, 9, nullptr, 0, nullptr, 0, "getMaskGray: image width 0 is below 1"},
        {img.data(), 12, 11, 9, nullptr, 0, nullptr, 0, "getMaskGray: image stride 11 is below its width 12"},
        {img.data(), 12, 16, -1, nullptr, 0, nullptr, 0, "getMaskGray: image height -1 is below 1"},
        {img.data(), 12, 16, 9, nullptr, 1, nullptr, 0, "getMaskGray: eraseCounts is null"},
        {img.data(), 12, 16, 9, nullptr, 0, &four, 1, "getMaskGray: paintPoints is null"},
        {img.data(), 12, 16, 9, &one, 1, nullptr, 0, "getMaskGray: erasePoints is null"},  // one point
    };
    for (const auto& c : cases) {
        getMaskGray(nullptr, nullptr, nullptr, c.eraseCounts, c.eraseCount, nullptr, c.paintCounts,
                    c.paintCount, c.image, c.w, c.s, c.h, 0, 0, 0);
        EXPECT_STREQ(getLastError(), c.message);
    }
    ZeroOutboundGray(nullptr, 20, 23, 20, 20, 20, 20, 20, 0.0f, 0, 0, 20, 20);
    EXPECT_STREQ(getLastError(), "ZeroOutboundGray: image pixels are null");
    ZeroOutboundGray(img.data(), 12, 11, 9, 20, 20, 20, 20, 0.0f, 0, 0, 12, 9);
    EXPECT_STREQ(getLastError(), "ZeroOutboundGray: image stride 11 is below its width 12");
    ZeroOutboundGray(img.data(), 12, 16, 0, 20, 20, 20, 20, 0.0f, 0, 0, 12, 9);
    EXPECT_STREQ(getLastError(), "ZeroOutboundGray: image height 0 is below 1");
    EXPECT_EQ(img.pixels(), before);
    EXPECT_TRUE(img.guardsIntact());
    // Lists whose polygons take no points need no point array.
    setLastError("probe", "kept");
    getMaskGray(nullptr, nullptr, nullptr, &none, 1, nullptr, nullptr, -2, img.data(), 12, 16, 9, 0, 0, 0);
    EXPECT_STREQ(getLastError(), "probe: kept");
    EXPECT_NE(img.pixels(), before);  // thresholded
}

// Clears the window (wx, wy, ww, wh) of a random non-zero ww x wh image
// (rows of ww + 3) outside the turned rectangle; returns the image before.
std::vector<std::uint8_t> zeroOutbound(GuardedImage& img, int cx, int cy, int rw, int rh, float angle,
                                       int wx, int wy) {
    img.fillRandom(77, 1, 255);
    const auto before = img.pixels();
    ZeroOutboundGray(img.data(), img.width(), img.stride(), img.height(), cx, cy, rw, rh, angle, wx,
                     wy, img.width(), img.height());
    EXPECT_TRUE(img.guardsIntact());
    return before;
}

TEST(ZeroOutboundGray, ClearsOutsideTheRectangleOnlyWhenSomeCornersAreInside) {
    const auto all = [](int, int) { return true; };
    const auto corner = [](int x, int y) { return x > 10 && y > 10; };
    const struct { int w, h, cx, cy, rw, rh; float angle; int wx, wy; bool (*kept)(int, int); } cases[] = {
        // The window wholly inside (also after a turn: corners 14 from the
        // centre), the rectangle wholly within the window, or far away: unchanged.
        {20, 20, 10, 10, 40, 40, 0.0f, 0, 0, all}, {20, 20, 110, 60, 40, 40, 30.0f, 100, 50, all},
        {20, 20, 10, 10, 6, 6, 0.0f, 0, 0, all}, {20, 20, 100, 100, 10, 10, 45.0f, 0, 0, all},
        // The rectangle (10, 10)-(30, 30) relative to the window covers its
        // corner (20, 20); its outline (row and column 10) is cleared with the
        // outside. The window lies at (0, 0), then at (100, 50) of the image.
        {20, 20, 20, 20, 20, 20, 0.0f, 0, 0, corner}, {20, 20, 120, 70, 20, 20, 0.0f, 100, 50, corner},
        // (20000, -10)-(60000, 10) covers the right corners of a 40000 x 3
        // window; only its outline column 20000 crosses the rows.
        {40000, 3, 40000, 0, 40000, 20, 0.0f, 0, 0, [](int x, int) { return x > 20000; }},
    };
    for (const auto& c : cases) {
        GuardedImage img(c.w, c.h, c.w + 3);
        const auto before = zeroOutbound(img, c.cx, c.cy, c.rw, c.rh, c.angle, c.wx, c.wy);
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x)
                ASSERT_EQ(img.at(x, y), c.kept(x, y) ? before[y * c.w + x] : 0) << &c - cases << ": " << x << "," << y;
    }
}

TEST(ZeroOutboundGray, TurnsTheRectangleByTheAngle) {
    // A 60 x 20 rectangle centred on the corner (40, 40) of a 40 x 40 window,
    // turned by +30 degrees: points on its long axis, (40, 40) - t (cos 30,
    // sin 30), are kept; points 15 pixels beside it (beyond the half-height
    // of 10) are cleared. Turned the other way the axis would leave them.
    GuardedImage img(40, 40);
    const auto before = zeroOutbound(img, 40, 40, 60, 20, 30.0f, 0, 0);
    const double c = std::cos(30.0 / 180.0 * 3.141592653589793), s = 0.5;
    for (int t = 4; t <= 24; t += 4) {
        const int ax = static_cast<int>(40 - t * c), ay = static_cast<int>(40 - t * s);
        EXPECT_EQ(img.at(ax, ay), before[ay * 40 + ax]) << "axis t=" << t;
        const int bx = static_cast<int>(40 - t * c + 15 * s), by = static_cast<int>(40 - t * s - 15 * c);
        if (bx >= 0 && by >= 0 && bx < 40 && by < 40) {
            EXPECT_EQ(img.at(bx, by), 0) << "beside t=" << t;
        }
    }
}

}  // namespace
}  // namespace pcbinspect
