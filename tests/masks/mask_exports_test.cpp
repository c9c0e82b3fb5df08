// getMaskGray and ZeroOutboundGray through the public header.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "boundary/last_error.h"
#include "pcbinspect/exports.h"
#include "support/shape_images.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::GuardedImage;
using testing::rectanglePolygon;

// Model of the mask without polygons: each pixel takes the thresholded 3 x 3
// block it falls in, the last whole block for the one or two columns and rows
// beyond the last whole block.
std::vector<std::uint8_t> blockThreshold(const GuardedImage& img) {
    const int w3 = img.width() / 3, h3 = img.height() / 3;
    std::vector<std::uint8_t> out;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const int c = std::min(x / 3, w3 - 1), r = std::min(y / 3, h3 - 1);
            int sum = 0;
            for (int j = 0; j < 3; ++j)
                for (int i = 0; i < 3; ++i) sum += img.at(3 * c + i, 3 * r + j);
            out.push_back(sum >= 1152 ? 255 : 0);  // a mean of at least 128
        }
    }
    return out;
}

// Calls getMaskGray with one erase and one paint polygon list and garbage in
// the reserved arguments, which are never read.
void maskWith(GuardedImage& img, const std::vector<std::int32_t>& erasePoints,
              const std::vector<std::int32_t>& eraseCounts,
              const std::vector<std::int32_t>& paintPoints,
              const std::vector<std::int32_t>& paintCounts, float ox = 0, float oy = 0,
              float angle = 0) {
    const void* garbage = reinterpret_cast<const void*>(std::uintptr_t{0x10});
    getMaskGray(garbage, nullptr, erasePoints.empty() ? nullptr : erasePoints.data(),
                eraseCounts.empty() ? nullptr : eraseCounts.data(),
                static_cast<int>(eraseCounts.size()),
                paintPoints.empty() ? nullptr : paintPoints.data(),
                paintCounts.empty() ? nullptr : paintCounts.data(),
                static_cast<int>(paintCounts.size()), img.data(), img.width(), img.stride(),
                img.height(), ox, oy, angle);
}

// Expected full-resolution mask from a reduced w3 x h3 one.
std::vector<std::uint8_t> expand(const std::vector<std::uint8_t>& small, int w3, int h3, int w,
                                 int h) {
    std::vector<std::uint8_t> out;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            out.push_back(small[std::min(y / 3, h3 - 1) * w3 + std::min(x / 3, w3 - 1)]);
    return out;
}

TEST(GetMaskGray, WithoutPolygonsThresholdsAndReplicatesBlocks) {
    // Widths and heights with 0, 1 and 2 columns and rows beyond the last block.
    const int sizes[][3] = {{9, 6, 9}, {11, 8, 16}, {10, 7, 13}, {3, 3, 3}};
    for (const auto& s : sizes) {
        GuardedImage img(s[0], s[1], s[2]);
        img.fillRandom(static_cast<std::uint32_t>(s[0] * 100 + s[1]), 60, 200);
        // Block (0, 0) at the threshold exactly: a sum of 1152 is set.
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 3; ++i) img.at(i, j) = 128;
        const auto expected = blockThreshold(img);
        maskWith(img, {}, {}, {}, {});
        EXPECT_EQ(img.pixels(), expected) << s[0] << "x" << s[1];
        EXPECT_EQ(img.at(0, 0), 255);
        EXPECT_TRUE(img.guardsIntact());
    }
    // One grey level less in one pixel: a sum of 1151 is cleared.
    GuardedImage img(3, 3);
    img.fill(128);
    img.at(1, 1) = 127;
    maskWith(img, {}, {}, {}, {});
    EXPECT_EQ(img.pixels(), std::vector<std::uint8_t>(9, 0));
}

TEST(GetMaskGray, ImagesBelowOneBlockStayUnchanged) {
    for (auto [w, h] : {std::pair{2, 9}, std::pair{9, 2}, std::pair{1, 1}}) {
        GuardedImage img(w, h, w + 3);
        img.fillRandom(5);
        const auto before = img.pixels();
        setLastError("probe", "unchanged");
        maskWith(img, {}, {}, rectanglePolygon(-90, -90, 90, 90), {4});
        EXPECT_EQ(img.pixels(), before);
        EXPECT_TRUE(img.guardsIntact());
        EXPECT_STREQ(getLastError(), "probe: unchanged");  // not an error
    }
}

// A 30 x 30 image reduces to 10 x 10 with its centre at (5, 5): board point
// (x, y) lands on reduced pixel (x / 3 + 5, y / 3 + 5) when there is no
// offset or angle. The board square (-9, -9)-(6, 6) is the reduced square
// (2, 2)-(7, 7): its outline is rows and columns 2 and 7, its inside 3..6.
const std::vector<std::int32_t> kSquare = rectanglePolygon(-9, -9, 6, 6);
const std::vector<std::int32_t> kHuge = rectanglePolygon(-300, -300, 300, 300);

std::vector<std::uint8_t> reducedSquare(std::uint8_t inside, std::uint8_t rest, int x0 = 2,
                                        int y0 = 2, int x1 = 7, int y1 = 7) {
    std::vector<std::uint8_t> small(100, rest);
    for (int r = y0 + 1; r < y1; ++r)
        for (int c = x0 + 1; c < x1; ++c) small[r * 10 + c] = inside;
    return small;
}

TEST(GetMaskGray, ErasesThenPaintsPolygonInsides) {
    // Painting a black image sets the inside only; the outline keeps its 0.
    GuardedImage img(30, 30, 33);
    img.fill(0);
    maskWith(img, {}, {}, kSquare, {4});
    EXPECT_EQ(img.pixels(), expand(reducedSquare(255, 0), 10, 10, 30, 30));
    EXPECT_TRUE(img.guardsIntact());

    // Erasing a white image clears the inside only; the outline stays 255.
    img.fill(255);
    maskWith(img, kSquare, {4}, {}, {});
    EXPECT_EQ(img.pixels(), expand(reducedSquare(0, 255), 10, 10, 30, 30));

    // A polygon around the whole reduced image, with every edge outside it,
    // fills it (paint) or clears it (erase).
    img.fill(0);
    maskWith(img, {}, {}, kHuge, {4});
    EXPECT_EQ(img.pixels(), std::vector<std::uint8_t>(900, 255));
    maskWith(img, kHuge, {4}, {}, {});
    EXPECT_EQ(img.pixels(), std::vector<std::uint8_t>(900, 0));

    // Erase everything, paint the square: painting comes last and wins.
    img.fill(255);
    maskWith(img, kHuge, {4}, kSquare, {4});
    EXPECT_EQ(img.pixels(), expand(reducedSquare(255, 0), 10, 10, 30, 30));
}

TEST(GetMaskGray, ShiftsAndTurnsBoardPolygons) {
    GuardedImage img(30, 30);
    // An offset of (6, 0) moves polygons by -2 reduced pixels in x.
    img.fill(0);
    maskWith(img, {}, {}, kSquare, {4}, 6.0f, 0.0f, 0.0f);
    EXPECT_EQ(img.pixels(), expand(reducedSquare(255, 0, 0, 2, 5, 7), 10, 10, 30, 30));
    // The board rectangle (-9, -9)-(6, 0) is reduced (-3, -3)-(2, 0) about
    // the centre. An angle of +90 turns it by -90 degrees, (X, Y) -> (Y, -X):
    // x from -3 to 0 and y from -2 to 3, that is (2, 3)-(5, 8) in the image.
    img.fill(0);
    maskWith(img, {}, {}, rectanglePolygon(-9, -9, 6, 0), {4}, 0.0f, 0.0f, 90.0f);
    EXPECT_EQ(img.pixels(), expand(reducedSquare(255, 0, 2, 3, 5, 8), 10, 10, 30, 30));
}

TEST(GetMaskGray, SkipsPolygonsWithoutThreePoints) {
    GuardedImage img(30, 30);
    img.fill(0);
    // Counts -4 and 0 take no points; the two-point polygon takes the first
    // two and is skipped; the square follows them.
    std::vector<std::int32_t> points = {-300, -300, 300, 300};
    points.insert(points.end(), kSquare.begin(), kSquare.end());
    maskWith(img, {}, {}, points, {-4, 0, 2, 4});
    EXPECT_EQ(img.pixels(), expand(reducedSquare(255, 0), 10, 10, 30, 30));

    // A polygon of more than 100 points: the square's edges walked in steps
    // of 1, every point twice. The points map onto the same reduced outline,
    // and the repeated ones make edges of length 0 that draw nothing.
    std::vector<std::int32_t> walked;
    const auto walk = [&](int x, int y) { walked.insert(walked.end(), {x, y, x, y}); };
    for (int x = -9; x < 6; ++x) walk(x, -9);
    for (int y = -9; y < 6; ++y) walk(6, y);
    for (int x = 6; x > -9; --x) walk(x, 6);
    for (int y = 6; y > -9; --y) walk(-9, y);
    ASSERT_GT(walked.size() / 2, 100u);
    img.fill(0);
    maskWith(img, {}, {}, walked, {static_cast<std::int32_t>(walked.size() / 2)});
    EXPECT_EQ(img.pixels(), expand(reducedSquare(255, 0), 10, 10, 30, 30));
}

TEST(GetMaskGray, ReducedImagesWiderThan16BitCoordinates) {
    // 33001 reduced columns, 2 rows, centre (16500.5, 1). Board x maps to
    // trunc(x / 3 + 16501): -49473 -> 10 and 49467 -> 32990; board y -18
    // and 27 land on rows -4 and 10, beyond the image. The outline columns 10
    // and 32990 stay 0, the columns between are painted.
    const int w = 3 * 33001, h = 6;
    GuardedImage img(w, h);
    img.fill(0);
    maskWith(img, {}, {}, rectanglePolygon(-49473, -18, 49467, 27), {4});
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            ASSERT_EQ(img.at(x, y), x / 3 > 10 && x / 3 < 32990 ? 255 : 0) << x << "," << y;
    EXPECT_TRUE(img.guardsIntact());
}

TEST(GetMaskGray, RejectsBadArgumentsWithoutWriting) {
    GuardedImage img(12, 9, 16);
    img.fillRandom(9);
    const auto before = img.pixels();
    const std::int32_t four = 4, none = 0;
    struct Case {
        std::uint8_t* image;
        int w, s, h;
        const std::int32_t *erasePoints, *eraseCounts;
        int eraseCount;
        const std::int32_t *paintPoints, *paintCounts;
        int paintCount;
        const char* message;
    };
    const Case cases[] = {
        {nullptr, 12, 16, 9, nullptr, nullptr, 0, nullptr, nullptr, 0,
         "getMaskGray: image pixels are null"},
        {img.data(), 0, 16, 9, nullptr, nullptr, 0, nullptr, nullptr, 0,
         "getMaskGray: image width 0 is below 1"},
        {img.data(), 12, 11, 9, nullptr, nullptr, 0, nullptr, nullptr, 0,
         "getMaskGray: image stride 11 is below its width 12"},
        {img.data(), 12, 16, -1, nullptr, nullptr, 0, nullptr, nullptr, 0,
         "getMaskGray: image height -1 is below 1"},
        {img.data(), 12, 16, 9, kSquare.data(), nullptr, 1, nullptr, nullptr, 0,
         "getMaskGray: eraseCounts is null"},
        {img.data(), 12, 16, 9, nullptr, nullptr, 0, nullptr, &four, 1,
         "getMaskGray: paintPoints is null"},
    };
    for (const Case& c : cases) {
        getMaskGray(nullptr, nullptr, c.erasePoints, c.eraseCounts, c.eraseCount, c.paintPoints,
                    c.paintCounts, c.paintCount, c.image, c.w, c.s, c.h, 0, 0, 0);
        EXPECT_STREQ(getLastError(), c.message);
        EXPECT_EQ(img.pixels(), before);
        EXPECT_TRUE(img.guardsIntact());
    }
    // Lists whose polygons take no points need no point array.
    setLastError("probe", "kept");
    getMaskGray(nullptr, nullptr, nullptr, &none, 1, nullptr, nullptr, -2, img.data(), 12, 16, 9,
                0, 0, 0);
    EXPECT_STREQ(getLastError(), "probe: kept");
    EXPECT_NE(img.pixels(), before);  // thresholded
}

// A 20 x 20 window of random non-zero pixels.
GuardedImage randomWindow(int w = 20, int h = 20, int stride = 23) {
    GuardedImage img(w, h, stride);
    img.fillRandom(77, 1, 255);
    return img;
}

TEST(ZeroOutboundGray, LeavesTheWindowWhenAllOrNoCornersAreInside) {
    struct Case {
        int cx, cy, rw, rh;
        float angle;
        int wx, wy;
    };
    const Case cases[] = {
        {10, 10, 40, 40, 0.0f, 0, 0},     // window wholly inside
        {110, 60, 40, 40, 30.0f, 100, 50}, // inside after a turn too (corners 14 from the centre)
        {10, 10, 6, 6, 0.0f, 0, 0},       // rectangle wholly within the window
        {100, 100, 10, 10, 45.0f, 0, 0},  // far away
    };
    for (const Case& c : cases) {
        GuardedImage img = randomWindow();
        const auto before = img.pixels();
        ZeroOutboundGray(img.data(), 20, img.stride(), 20, c.cx, c.cy, c.rw, c.rh, c.angle, c.wx,
                         c.wy, 20, 20);
        EXPECT_EQ(img.pixels(), before) << c.cx << "," << c.cy;
        EXPECT_TRUE(img.guardsIntact());
    }
}

TEST(ZeroOutboundGray, ClearsOutsideTheRectangleInWindowCoordinates) {
    // The rectangle (10, 10)-(30, 30) relative to the window covers its
    // corner (20, 20). Its outline (row and column 10) is cleared with the
    // outside; pixels with both coordinates above 10 keep their values. The
    // second case places the window at (100, 50) of the whole image.
    for (auto [wx, wy] : {std::pair{0, 0}, std::pair{100, 50}}) {
        GuardedImage img = randomWindow();
        const auto before = img.pixels();
        ZeroOutboundGray(img.data(), 20, img.stride(), 20, wx + 20, wy + 20, 20, 20, 0.0f, wx, wy,
                         20, 20);
        for (int y = 0; y < 20; ++y)
            for (int x = 0; x < 20; ++x)
                ASSERT_EQ(img.at(x, y), x > 10 && y > 10 ? before[y * 20 + x] : 0) << x << "," << y;
        EXPECT_TRUE(img.guardsIntact());
    }
}

TEST(ZeroOutboundGray, TurnsTheRectangleByTheAngle) {
    // A 60 x 20 rectangle centred on the corner (40, 40) of a 40 x 40 window,
    // turned by +30 degrees: its long axis runs along (cos 30, sin 30), so the
    // points (40, 40) - t (cos 30, sin 30) lie on it and are kept, while the
    // points 15 pixels beside the axis (beyond its half-height of 10) are
    // cleared. Turned the other way the axis would leave those points.
    GuardedImage img = randomWindow(40, 40, 40);
    const auto before = img.pixels();
    ZeroOutboundGray(img.data(), 40, 40, 40, 40, 40, 60, 20, 30.0f, 0, 0, 40, 40);
    const double c = std::cos(30.0 / 180.0 * 3.141592653589793), s = 0.5;
    for (int t = 4; t <= 24; t += 4) {
        const int ax = static_cast<int>(40 - t * c), ay = static_cast<int>(40 - t * s);
        EXPECT_EQ(img.at(ax, ay), before[ay * 40 + ax]) << "axis t=" << t;
        const int bx = static_cast<int>(40 - t * c + 15 * s);
        const int by = static_cast<int>(40 - t * s - 15 * c);
        if (bx >= 0 && by >= 0 && bx < 40 && by < 40) {
            EXPECT_EQ(img.at(bx, by), 0) << "beside t=" << t;
        }
    }
}

TEST(ZeroOutboundGray, WindowsWiderThan16BitCoordinates) {
    // The rectangle (20000, -10)-(60000, 10) covers the window's right
    // corners; of its outline only the column 20000 crosses the 3 rows, so
    // the columns beyond it are kept and the others cleared.
    GuardedImage img(40000, 3);
    img.fillRandom(3, 1, 255);
    const auto before = img.pixels();
    ZeroOutboundGray(img.data(), 40000, 40000, 3, 40000, 0, 40000, 20, 0.0f, 0, 0, 40000, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 40000; ++x)
            ASSERT_EQ(img.at(x, y), x > 20000 ? before[y * 40000 + x] : 0) << x << "," << y;
}

TEST(ZeroOutboundGray, RejectsBadArgumentsWithoutWriting) {
    GuardedImage img = randomWindow();
    const auto before = img.pixels();
    ZeroOutboundGray(nullptr, 20, 23, 20, 20, 20, 20, 20, 0.0f, 0, 0, 20, 20);
    EXPECT_STREQ(getLastError(), "ZeroOutboundGray: image pixels are null");
    ZeroOutboundGray(img.data(), 20, 19, 20, 20, 20, 20, 20, 0.0f, 0, 0, 20, 20);
    EXPECT_STREQ(getLastError(), "ZeroOutboundGray: image stride 19 is below its width 20");
    ZeroOutboundGray(img.data(), 20, 23, 0, 20, 20, 20, 20, 0.0f, 0, 0, 20, 20);
    EXPECT_STREQ(getLastError(), "ZeroOutboundGray: image height 0 is below 1");
    EXPECT_EQ(img.pixels(), before);
    EXPECT_TRUE(img.guardsIntact());
}

}  // namespace
}  // namespace pcbinspect
