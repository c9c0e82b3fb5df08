// Sub-image extraction through the exports getSubGray and getSubGrayNearest,
// on the CPU and on a simulated device.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>

#include "gpu/cuda_env.h"
#include "pcbinspect/exports.h"
#include "support/fake_device.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::DeviceScope;
using testing::FakeDevice;
using testing::GuardedImage;

constexpr std::uint8_t kOld = 0x5A;  // what a destination held before a call

GuardedImage window(int w, int h, int stride) {
    GuardedImage dst(w, h, stride);
    dst.fill(kOld);
    return dst;
}

// A source whose row y holds 10 y + x (mod 256): every pixel tells its place.
GuardedImage placeImage(int w, int h, int stride) {
    GuardedImage src(w, h, stride);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) src.at(x, y) = static_cast<std::uint8_t>((10 * y + x) % 256);
    return src;
}

// An independent transcription of the bilinear rule: single-precision
// geometry and weights, trunc(v + 0.5) in double, clamped to a byte.
int referenceBilinear(const GuardedImage& src, int i, int j, int dw, int dh, float cx, float cy,
                      float angle) {
    float s = 0.0f, c = 1.0f;
    if (std::fabs(angle) >= 0.001) {
        const float t = angle / 180.0f * 3.1415925f;
        s = std::sin(t);
        c = std::cos(t);
    }
    const float dx = static_cast<float>(i) - static_cast<float>(dw - 1) * 0.5f;
    const float dy = static_cast<float>(j) - static_cast<float>(dh - 1) * 0.5f;
    const float sx = cx + dx * c - dy * s;
    const float sy = cy + dx * s + dy * c;
    // trunc(sx) in [0, width - 2] and trunc(sy) in [0, height - 2].
    if (src.width() < 2 || src.height() < 2) return -1;
    if (!(sx > -1.0f && sy > -1.0f && sx < src.width() - 1 && sy < src.height() - 1)) return -1;
    const int ix = static_cast<int>(sx), iy = static_cast<int>(sy);
    const float fx = sx - ix, fy = sy - iy;
    const float v = src.at(ix, iy) * (1 - fx) * (1 - fy) + src.at(ix, iy + 1) * (1 - fx) * fy +
                    src.at(ix + 1, iy) * fx * (1 - fy) + src.at(ix + 1, iy + 1) * fx * fy;
    const int b = static_cast<int>(std::trunc(static_cast<double>(v) + 0.5));
    return b < 0 ? 0 : (b > 255 ? 255 : b);
}

TEST(GetSubGray, RotatedWindowMatchesTheBilinearRuleBitForBit) {
    std::mt19937 rng(21);
    std::uniform_int_distribution<int> size(1, 24), pad(0, 5);
    std::uniform_real_distribution<float> angle(-200.0f, 200.0f), centre(-6.0f, 30.0f);
    for (int n = 0; n < 400; ++n) {
        const int sw = size(rng), sh = size(rng), dw = size(rng), dh = size(rng);
        GuardedImage src(sw, sh, sw + pad(rng));
        src.fillRandom(n);
        GuardedImage dst = window(dw, dh, dw + pad(rng));
        const float cx = centre(rng), cy = centre(rng), a = angle(rng);
        getSubGray(src.data(), sw, src.stride(), sh, dst.data(), dw, dst.stride(), dh, cx, cy, a,
                   false);
        ASSERT_TRUE(dst.guardsIntact());
        for (int j = 0; j < dh; ++j) {
            for (int i = 0; i < dw; ++i) {
                const int want = referenceBilinear(src, i, j, dw, dh, cx, cy, a);
                ASSERT_EQ(dst.at(i, j), want < 0 ? kOld : want)
                    << "case " << n << " pixel " << i << "," << j;
            }
        }
    }
}

TEST(GetSubGray, WholePixelCornerIsAnExactCopy) {
    // A 5 x 4 window centred at (3, 1.5) has its corner at (1, 0); centred at
    // (-1, 8.5) at (-3, 7), half outside: outside parts keep their value for
    // getSubGray and are 0 for getSubGrayNearest. The nearest rule rounds the
    // corner as trunc(x + 0.5), toward zero: -3 + 0.5 gives column -2.
    const GuardedImage src = placeImage(9, 10, 12);
    struct Case {
        float cx, cy;
        int left, top, nearestLeft;
    };
    for (const Case& c : {Case{3.0f, 1.5f, 1, 0, 1}, Case{-1.0f, 8.5f, -3, 7, -2}}) {
        GuardedImage bilinear = window(5, 4, 7);
        GuardedImage nearest = window(5, 4, 7);
        getSubGray(src.data(), 9, 12, 10, bilinear.data(), 5, 7, 4, c.cx, c.cy, 0.0f, false);
        getSubGrayNearest(src.data(), 9, 12, 10, nearest.data(), 5, 7, 4, c.cx, c.cy, 0.0f);
        ASSERT_TRUE(bilinear.guardsIntact());
        ASSERT_TRUE(nearest.guardsIntact());
        for (int j = 0; j < 4; ++j) {
            for (int i = 0; i < 5; ++i) {
                const int x = c.left + i, y = c.top + j, nx = c.nearestLeft + i;
                const bool inside = x >= 0 && y >= 0 && x < 9 && y < 10;
                const bool nearInside = nx >= 0 && y >= 0 && nx < 9 && y < 10;
                EXPECT_EQ(bilinear.at(i, j), inside ? src.at(x, y) : kOld) << i << "," << j;
                EXPECT_EQ(nearest.at(i, j), nearInside ? src.at(nx, y) : 0) << i << "," << j;
            }
        }
    }
}

TEST(GetSubGray, RotationStartsAtOneThousandthOfADegree) {
    // Rows alternate 200 and 0. Rotated by 0.001 degrees, the centre row's
    // right end (dx = 500) samples 500 sin(0.001 deg) = 0.0087 rows lower:
    // 200 (1 - 0.0087) = 198.25, stored as 198. Just below 0.001 the window
    // is an exact copy.
    GuardedImage src(1100, 20);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 1100; ++x) src.at(x, y) = y % 2 == 0 ? 200 : 0;
    GuardedImage rotated = window(1001, 5, 1001);
    GuardedImage straight = window(1001, 5, 1001);
    getSubGray(src.data(), 1100, 1100, 20, rotated.data(), 1001, 1001, 5, 550.0f, 10.0f, 0.001f,
               false);
    getSubGray(src.data(), 1100, 1100, 20, straight.data(), 1001, 1001, 5, 550.0f, 10.0f,
               std::nextafter(0.001f, 0.0f), false);
    EXPECT_EQ(rotated.at(1000, 2), 198);
    EXPECT_EQ(rotated.at(500, 2), 200);  // the centre does not move
    for (int j = 0; j < 5; ++j)
        for (int i = 0; i < 1001; ++i) ASSERT_EQ(straight.at(i, j), src.at(i + 50, j + 8));
    // The same holds for negative angles.
    getSubGray(src.data(), 1100, 1100, 20, rotated.data(), 1001, 1001, 5, 550.0f, 10.0f, -0.001f,
               false);
    EXPECT_EQ(rotated.at(0, 2), 198);  // dx = -500 samples 0.0087 rows lower too
}

TEST(GetSubGray, FractionRuleIsTakenTowardZero) {
    // A 5 x 1 window of the ramp 10 x; its corner is centre x - 2.
    GuardedImage src(20, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 20; ++x) src.at(x, y) = static_cast<std::uint8_t>(10 * x);
    struct Case {
        float cx;
        int first, second;  // the window's first two pixels
    };
    const Case cases[] = {
        {4.9f, 29, 39},  // corner 2.9, fraction 0.9: sampled, 20 (0.1) + 30 (0.9) = 29
        {5.1f, 30, 40},  // corner 3.1, fraction 0.1 < 0.2: copied at column 3
        {4.3f, 23, 33},  // corner 2.3, fraction 0.3: sampled
        {1.9f, 0, 10},   // corner -0.1 truncates to 0, fraction 0.1: copied at column 0
        {1.7f, 0, 7},    // corner -0.3: sampled; -0.3 lies in cell 0, 10 (-0.3) = -3 -> 0
    };
    for (const Case& c : cases) {
        GuardedImage dst = window(5, 1, 5);
        getSubGray(src.data(), 20, 20, 3, dst.data(), 5, 5, 1, c.cx, 1.0f, 0.0f, false);
        EXPECT_EQ(dst.at(0, 0), c.first) << "centre " << c.cx;
        EXPECT_EQ(dst.at(1, 0), c.second) << "centre " << c.cx;
    }
}

TEST(GetSubGray, ExtrapolatedValuesAreClampedToAByte) {
    // Column -0.5 lies in cell 0 with fraction -0.5: 255 (1.5) + 0 (-0.5) =
    // 382.5 is stored as 255, and 0 (1.5) + 255 (-0.5) = -127.5 as 0.
    GuardedImage src(4, 2);
    src.fill(0);
    src.at(0, 0) = 255;
    src.at(1, 1) = 255;
    GuardedImage dst = window(1, 2, 1);
    getSubGray(src.data(), 4, 4, 2, dst.data(), 1, 1, 2, -0.5f, 0.5f, 0.0f, false);
    EXPECT_EQ(dst.at(0, 0), 255);
    EXPECT_EQ(dst.at(0, 1), kOld);  // row 1 is the last: its cell is not sampled
    GuardedImage row = window(1, 1, 1);
    getSubGray(src.data(), 4, 4, 2, row.data(), 1, 1, 1, -0.5f, 1.0e-7f, 0.0f, false);
    EXPECT_EQ(row.at(0, 0), 255);  // fy = 1e-7 barely moves it
    src.at(0, 0) = 0;
    src.at(1, 0) = 255;
    getSubGray(src.data(), 4, 4, 2, row.data(), 1, 1, 1, -0.5f, 0.0f, 0.0f, false);
    EXPECT_EQ(row.at(0, 0), 0);
}

TEST(GetSubGray, QuarterTurnTransposes) {
    // At 90 degrees sin is 1 and cos 7.5e-8, below half a unit in the last
    // place of coordinates near 40: samples land on whole pixels, and
    // destination (i, j) takes source (cx - dy, cy + dx).
    GuardedImage src(100, 80, 104);
    src.fillRandom(9);
    GuardedImage dst = window(21, 15, 24);
    getSubGray(src.data(), 100, 104, 80, dst.data(), 21, 24, 15, 50.0f, 40.0f, 90.0f, false);
    GuardedImage nearest = window(21, 15, 24);
    getSubGrayNearest(src.data(), 100, 104, 80, nearest.data(), 21, 24, 15, 50.0f, 40.0f, 90.0f);
    ASSERT_TRUE(dst.guardsIntact());
    for (int j = 0; j < 15; ++j) {
        for (int i = 0; i < 21; ++i) {
            const int x = 50 - (j - 7), y = 40 + (i - 10);
            EXPECT_EQ(dst.at(i, j), src.at(x, y)) << i << "," << j;
            EXPECT_EQ(nearest.at(i, j), src.at(x, y)) << i << "," << j;
        }
    }
}

TEST(GetSubGray, LastSourceColumnIsOnlyARightNeighbour) {
    // A 3 x 1 window centred at (8.5, 5) of a 10-wide ramp 10 x samples
    // columns 7.5, 8.5 and 9.5: 75, 85, and nothing (cell 9 is the last).
    GuardedImage src(10, 10);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) src.at(x, y) = static_cast<std::uint8_t>(10 * x);
    GuardedImage dst = window(3, 1, 3);
    getSubGray(src.data(), 10, 10, 10, dst.data(), 3, 3, 1, 8.5f, 5.0f, 0.0f, false);
    EXPECT_EQ(dst.at(0, 0), 75);
    EXPECT_EQ(dst.at(1, 0), 85);
    EXPECT_EQ(dst.at(2, 0), kOld);
    // Rotated by a hair, a nearest-pixel window covering the whole source
    // rounds every position to its own pixel but leaves the last column and
    // row 0: their cells have no right or lower neighbour.
    GuardedImage nearest = window(10, 10, 10);
    getSubGrayNearest(src.data(), 10, 10, 10, nearest.data(), 10, 10, 10, 4.5f, 4.5f, 0.001f);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            EXPECT_EQ(nearest.at(x, y), x == 9 || y == 9 ? 0 : src.at(x, y)) << x << "," << y;
}

TEST(GetSubGrayNearest, HalfIsAddedAndTruncatedTowardZero) {
    // Rotated by a hair, window 1 x 1 centred at x = -1.2: -1.2 + 0.5 = -0.7
    // truncates to column 0. At -1.6, -1.1 truncates to -1: nothing, 0 stays.
    GuardedImage src = placeImage(6, 6, 6);
    GuardedImage dst = window(1, 1, 1);
    getSubGrayNearest(src.data(), 6, 6, 6, dst.data(), 1, 1, 1, -1.2f, 2.0f, 0.01f);
    EXPECT_EQ(dst.at(0, 0), src.at(0, 2));
    getSubGrayNearest(src.data(), 6, 6, 6, dst.data(), 1, 1, 1, -1.6f, 2.0f, 0.01f);
    EXPECT_EQ(dst.at(0, 0), 0);
    // Unrotated, the corner -0.6 + 0.5 = -0.1 truncates to 0 as well.
    GuardedImage row = window(3, 1, 3);
    getSubGrayNearest(src.data(), 6, 6, 6, row.data(), 3, 3, 1, 0.4f, 3.0f, 0.0f);
    EXPECT_EQ(row.at(0, 0), src.at(0, 3));
    EXPECT_EQ(row.at(2, 0), src.at(2, 3));
}

TEST(GetSubGrayNearest, QuarterTurnUsesThisLibrarysPi) {
    // With pi taken as 3.1415925f, 90 degrees is 1.57079625 rad and its
    // cosine +7.5e-8 (with the nearest float to pi it would be -4.4e-8). A
    // 21 x 1 window centred at (0.5, 20) samples x = 0.5 + dx cos: right of
    // the centre just above 0.5, rounding to column 1, left of it just below,
    // rounding to column 0; y = 20 + dx.
    GuardedImage src = placeImage(5, 40, 5);
    GuardedImage dst = window(21, 1, 21);
    getSubGrayNearest(src.data(), 5, 5, 40, dst.data(), 21, 21, 1, 0.5f, 20.0f, 90.0f);
    for (int i = 0; i < 21; ++i) {
        const int dx = i - 10;
        EXPECT_EQ(dst.at(i, 0), src.at(dx >= 0 ? 1 : 0, 20 + dx)) << i;
    }
}

TEST(GetSubGray, GpuFlagWithoutADeviceGivesTheCpuResult) {
    GuardedImage src(60, 50, 64);
    src.fillRandom(4);
    GuardedImage cpu = window(31, 23, 33), gpu = window(31, 23, 33);
    DeviceScope scope(noDeviceRuntime());
    getSubGray(src.data(), 60, 64, 50, cpu.data(), 31, 33, 23, 20.7f, 18.2f, 33.0f, false);
    getSubGray(src.data(), 60, 64, 50, gpu.data(), 31, 33, 23, 20.7f, 18.2f, 33.0f, true);
    EXPECT_EQ(gpu.pixels(), cpu.pixels());
    EXPECT_TRUE(gpu.guardsIntact());
}

TEST(GetSubGray, DeviceUsesTheWholePixelCentreAndClearsUncoveredPixels) {
    // Quarter turn about (20.7, 18.2), taken as (20, 18) on the device:
    // destination (i, j) takes source (20 - dy, 18 + dx) when that cell has
    // neighbours inside the source, and 0 otherwise.
    GuardedImage src(30, 25, 32);
    src.fillRandom(8);
    GuardedImage dst = window(21, 15, 24);
    FakeDevice device;
    DeviceScope scope(device);
    getSubGray(src.data(), 30, 32, 25, dst.data(), 21, 24, 15, 20.7f, 18.2f, 90.0f, true);
    EXPECT_EQ(device.calls("subGray"), 1);
    EXPECT_EQ(device.liveBuffers(), 0);
    ASSERT_TRUE(dst.guardsIntact());  // row padding is not written
    for (int j = 0; j < 15; ++j) {
        for (int i = 0; i < 21; ++i) {
            const int x = 20 - (j - 7), y = 18 + (i - 10);
            const bool covered = x >= 0 && y >= 0 && x < 29 && y < 24;
            EXPECT_EQ(dst.at(i, j), covered ? src.at(x, y) : 0) << i << "," << j;
        }
    }
}

TEST(GetSubGray, DeviceFailingMidwayFallsBackToTheCpu) {
    GuardedImage src(40, 30, 40);
    src.fillRandom(6);
    GuardedImage cpu = window(17, 13, 19);
    getSubGray(src.data(), 40, 40, 30, cpu.data(), 17, 19, 13, 30.6f, 4.3f, 27.0f, false);
    for (const char* step : {"malloc", "copyToDevice", "memset", "subGray", "copyToHost"}) {
        for (int nth : {1, 2}) {
            if (nth == 2 && std::string(step) != "malloc") continue;
            SCOPED_TRACE(std::string(step) + " #" + std::to_string(nth));
            FakeDevice device;
            DeviceScope scope(device);
            ASSERT_TRUE(ensureCudaDevice(true));
            device.failOn(step, nth);
            GuardedImage dst = window(17, 13, 19);
            getSubGray(src.data(), 40, 40, 30, dst.data(), 17, 19, 13, 30.6f, 4.3f, 27.0f, true);
            EXPECT_EQ(dst.pixels(), cpu.pixels());
            EXPECT_TRUE(dst.guardsIntact());
            EXPECT_EQ(device.liveBuffers(), 0);
        }
    }
}

TEST(GetSubGray, BadInputIsRejectedWithoutWriting) {
    GuardedImage src(8, 8, 8);
    src.fillRandom(1);
    GuardedImage dst = window(4, 4, 6);
    struct Case {
        const std::uint8_t* s;
        int sw, ss, sh;
        std::uint8_t* d;
        int dw, ds, dh;
        const char* bilinear;
        const char* nearest;
    };
    const Case cases[] = {
        {nullptr, 8, 8, 8, dst.data(), 4, 6, 4, "getSubGray: source pixels are null",
         "getSubGrayNearest: source pixels are null"},
        {src.data(), 8, 8, 8, nullptr, 4, 6, 4, "getSubGray: destination pixels are null",
         "getSubGrayNearest: destination pixels are null"},
        {src.data(), 0, 8, 8, dst.data(), 4, 6, 4, "getSubGray: source width 0 is below 1",
         "getSubGrayNearest: source width 0 is below 1"},
        {src.data(), 8, 8, 8, dst.data(), 4, 6, -1, "getSubGray: destination height -1 is below 1",
         "getSubGrayNearest: destination height -1 is below 1"},
        {src.data(), 8, 7, 8, dst.data(), 4, 6, 4,
         "getSubGray: source stride 7 is below its width 8",
         "getSubGrayNearest: source stride 7 is below its width 8"},
    };
    // getSubGrayNearest clears a usable destination before it looks at the
    // source: a rejected source leaves it cleared, a rejected destination
    // untouched.
    GuardedImage cleared = window(4, 4, 6);
    cleared.fill(0);
    for (const Case& c : cases) {
        dst.fill(kOld);
        getSubGray(c.s, c.sw, c.ss, c.sh, c.d, c.dw, c.ds, c.dh, 3.0f, 3.0f, 10.0f, false);
        EXPECT_STREQ(getLastError(), c.bilinear);
        EXPECT_EQ(dst.pixels(), window(4, 4, 6).pixels());
        getSubGrayNearest(c.s, c.sw, c.ss, c.sh, c.d, c.dw, c.ds, c.dh, 3.0f, 3.0f, 10.0f);
        EXPECT_STREQ(getLastError(), c.nearest);
        const bool usableDestination = c.d != nullptr && c.dh >= 1;
        EXPECT_EQ(dst.pixels(), (usableDestination ? cleared : window(4, 4, 6)).pixels())
            << c.nearest;
        EXPECT_TRUE(dst.guardsIntact());
    }
}

}  // namespace
}  // namespace pcbinspect
