// Vertical skew correction of colour images through the export skewDIB, on
// the CPU and on a simulated device.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
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

// A colour image is a byte image three times as wide.
GuardedImage colourImage(int width, int height, int stride, std::uint32_t seed) {
    GuardedImage image(3 * width, height, stride);
    image.fillRandom(seed);
    return image;
}

// An independent transcription of the shear and the copy-back: output row y
// comes from sheared row y + max(skew, 0); a pixel whose sample row has no
// row below it keeps its previous value.
int referenceSkew(const GuardedImage& before, int width, int height, int skew, int x, int y,
                  int channel) {
    const int up = skew > 0 ? skew : 0;
    if (y >= height - up) return before.at(3 * x + channel, y);  // bottom rows stay
    const int r = y + up;
    const float k = -(static_cast<float>(skew) / static_cast<float>(width));
    const float sy = static_cast<float>(x) * k + static_cast<float>(r);
    if (!(sy > -1.0f && sy < static_cast<float>(height - 1))) return before.at(3 * x + channel, y);
    const int iy = static_cast<int>(sy);
    const float f = sy - static_cast<float>(iy);
    const double v = before.at(3 * x + channel, iy) * (1.0 - f) +
                     static_cast<float>(before.at(3 * x + channel, iy + 1) * f);
    return v < 0 ? 0 : (v >= 255 ? 255 : static_cast<int>(v));
}

void expectReference(const GuardedImage& before, const GuardedImage& after, int width,
                     int height, int skew) {
    ASSERT_TRUE(after.guardsIntact());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(after.at(3 * x + c, y), referenceSkew(before, width, height, skew, x, y, c))
                    << "skew " << skew << " pixel " << x << "," << y << " channel " << c;
}

TEST(SkewDib, MatchesTheShearRuleForEverySkew) {
    for (int skew : {1, 2, 5, 11, 16, -1, -3, -9, -16}) {
        const GuardedImage before = colourImage(23, 17, 3 * 23 + 5, 100 + skew);
        GuardedImage image = before;
        skewDIB(image.data(), 23, image.stride(), 17, skew, false);
        expectReference(before, image, 23, 17, skew);
    }
}

TEST(SkewDib, PlusFourOnAHundredColumns) {
    // k = -0.04: column 0 samples its own row, column 50 the row 2 above
    // (50 k rounds to exactly -2); the picture then moves up by 4 rows.
    const int h = 30;
    const GuardedImage before = colourImage(100, h, 304, 1);
    GuardedImage image = before;
    skewDIB(image.data(), 100, 304, h, 4, false);
    ASSERT_TRUE(image.guardsIntact());
    for (int c = 0; c < 3; ++c) {
        for (int y = 0; y < h - 5; ++y) {
            EXPECT_EQ(image.at(c, y), before.at(c, y + 4)) << y;               // up by 4
            EXPECT_EQ(image.at(150 + c, y), before.at(150 + c, y + 2)) << y;   // up by 2
        }
        // Output row h - 5 of column 0 would sample row h - 1, which has no
        // row below it: it keeps its previous value.
        EXPECT_EQ(image.at(c, h - 5), before.at(c, h - 5));
        for (int y = h - 4; y < h; ++y)
            for (int b = 0; b < 300; ++b) ASSERT_EQ(image.at(b, y), before.at(b, y));
    }
}

TEST(SkewDib, MinusFourOnAHundredColumns) {
    // k = 0.04: column 0 is unchanged, column 50 takes the row 2 below; its
    // last three rows would sample rows h - 1 and beyond and keep their values.
    const int h = 30;
    const GuardedImage before = colourImage(100, h, 300, 2);
    GuardedImage image = before;
    skewDIB(image.data(), 100, 300, h, -4, false);
    for (int c = 0; c < 3; ++c) {
        for (int y = 0; y < h; ++y) EXPECT_EQ(image.at(c, y), before.at(c, y)) << y;
        for (int y = 0; y < h - 3; ++y) EXPECT_EQ(image.at(150 + c, y), before.at(150 + c, y + 2));
        for (int y = h - 3; y < h; ++y) EXPECT_EQ(image.at(150 + c, y), before.at(150 + c, y));
    }
}

TEST(SkewDib, MixedRowsAreTruncated) {
    // Width 10, skew -9: column 1 samples row r + 0.9, so row 0 gets
    // 10 (0.1) + 11 (0.9) = 10.9, stored as 10 (not rounded to 11).
    GuardedImage image(30, 12, 30);
    image.fill(0);
    for (int c = 0; c < 3; ++c) {
        image.at(3 + c, 0) = 10;
        image.at(3 + c, 1) = 11;
    }
    skewDIB(image.data(), 10, 30, 12, -9, false);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(image.at(3 + c, 0), 10);
}

TEST(SkewDib, ZeroAndOversizedSkewsLeaveTheImage) {
    FakeDevice device;
    DeviceScope scope(device);
    const GuardedImage before = colourImage(8, 6, 24, 3);
    GuardedImage image = before;
    skewDIB(image.data(), 8, 24, 6, 0, true);
    EXPECT_EQ(image.pixels(), before.pixels());
    EXPECT_EQ(device.calls("getDevice"), 0);  // skew 0 does not set the device up
    for (int skew : {6, -6, 100, -2147483647 - 1}) {
        skewDIB(image.data(), 8, 24, 6, skew, false);
        EXPECT_EQ(image.pixels(), before.pixels());
        EXPECT_EQ(std::string(getLastError()),
                  "skewDIB: skew " + std::to_string(skew) + " does not stay below the height 6");
    }
    EXPECT_TRUE(image.guardsIntact());
}

TEST(SkewDib, BadInputIsRejectedWithoutWriting) {
    const GuardedImage before = colourImage(8, 6, 24, 4);
    GuardedImage image = before;
    struct Case {
        std::uint8_t* pixels;
        int width, stride, height;
        const char* message;
    };
    const Case cases[] = {
        {nullptr, 8, 24, 6, "skewDIB: image pixels are null"},
        {image.data(), 0, 24, 6, "skewDIB: image width 0 is below 1"},
        {image.data(), 8, 24, 0, "skewDIB: image height 0 is below 1"},
        {image.data(), 8, 23, 6, "skewDIB: image stride 23 is below its row of 24 bytes"},
    };
    for (const Case& c : cases) {
        skewDIB(c.pixels, c.width, c.stride, c.height, 2, false);
        EXPECT_STREQ(getLastError(), c.message);
        EXPECT_EQ(image.pixels(), before.pixels());
    }
}

TEST(SkewDib, DeviceGivesTheCpuPixelsAndFallsBackOnFailure) {
    for (int skew : {7, -5}) {
        const GuardedImage before = colourImage(37, 21, 3 * 37 + 3, 50 + skew);
        GuardedImage cpu = before;
        skewDIB(cpu.data(), 37, cpu.stride(), 21, skew, false);
        {
            FakeDevice device;
            DeviceScope scope(device);
            GuardedImage gpu = before;
            skewDIB(gpu.data(), 37, gpu.stride(), 21, skew, true);
            EXPECT_EQ(device.calls("skewDib"), 1);
            EXPECT_EQ(gpu.pixels(), cpu.pixels());
            EXPECT_TRUE(gpu.guardsIntact());
            EXPECT_EQ(device.liveBuffers(), 0);
        }
        for (const char* step : {"malloc", "copyToDevice", "skewDib", "copyToHost"}) {
            SCOPED_TRACE(step);
            FakeDevice device;
            DeviceScope scope(device);
            ASSERT_TRUE(ensureCudaDevice(true));
            device.failOn(step, std::string(step) == "copyToDevice" ? 2 : 1);
            GuardedImage gpu = before;
            skewDIB(gpu.data(), 37, gpu.stride(), 21, skew, true);
            EXPECT_EQ(gpu.pixels(), cpu.pixels());
            EXPECT_EQ(device.liveBuffers(), 0);
        }
    }
}

}  // namespace
}  // namespace pcbinspect
