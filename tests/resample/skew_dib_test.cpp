// Vertical skew correction of colour images through the export skewDIB, on
// the CPU and on a simulated device, against a plain model.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

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

// Model: output row y comes from sheared row r = y + max(skew, 0), which
// samples column x at row x k + r, k = -skew / width; the upper byte weighted
// in double, the lower one's product with the fraction in single, the sum
// truncated. A pixel whose sample row has no row below it, and the bottom
// max(skew, 0) rows, keep their previous values.
int model(const GuardedImage& before, int width, int height, int skew, int x, int y, int ch) {
    const int up = skew > 0 ? skew : 0, old = before.at(3 * x + ch, y);
    if (y >= height - up) return old;
    const float k = -(static_cast<float>(skew) / static_cast<float>(width));
    const float sy = static_cast<float>(x) * k + static_cast<float>(y + up);
    if (!(sy > -1.0f && sy < static_cast<float>(height - 1))) return old;
    const int iy = static_cast<int>(sy);
    const float f = sy - static_cast<float>(iy);
    const double v = before.at(3 * x + ch, iy) * (1.0 - f) +
                     static_cast<float>(before.at(3 * x + ch, iy + 1) * f);
    return v < 0 ? 0 : (v >= 255 ? 255 : static_cast<int>(v));
}

TEST(SkewDib, CpuAndDeviceMatchTheModelForEverySkew) {
    FakeDevice device;
    DeviceScope scope(device);
    int deviceRuns = 0;
    const struct {
        int width, height, pad;
    } sizes[] = {{23, 17, 5}, {100, 30, 4}, {300, 40, 0}, {10, 12, 1}, {37, 21, 3}, {1, 19, 2}, {31, 2, 1}};
    for (const auto& [w, h, pad] : sizes)
        for (int skew : {1, 2, 4, 5, 9, 11, 16, -1, -3, -4, -9, -16})
            for (bool gpu : {false, true}) {
                if (skew >= h || -skew >= h) continue;
                const GuardedImage before = colourImage(w, h, 3 * w + pad, skew + 40);
                GuardedImage image = before;
                skewDIB(image.data(), w, image.stride(), h, skew, gpu);
                deviceRuns += gpu;
                ASSERT_TRUE(image.guardsIntact());
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < 3 * w; ++x)
                        ASSERT_EQ(image.at(x, y), model(before, w, h, skew, x / 3, y, x % 3))
                            << "skew " << skew << " gpu " << gpu << " byte " << x << "," << y;
            }
    EXPECT_EQ(device.calls("skewDib"), deviceRuns);
    EXPECT_EQ(device.liveBuffers(), 0);
}

TEST(SkewDib, BadInputZeroAndOversizedSkewsLeaveTheImage) {
    FakeDevice device;
    DeviceScope scope(device);
    const GuardedImage before = colourImage(8, 6, 24, 3);
    GuardedImage image = before;
    skewDIB(image.data(), 8, 24, 6, 0, true);
    EXPECT_EQ(device.calls("getDevice"), 0);  // skew 0 does not set the device up
    const struct {
        std::uint8_t* pixels;
        int width, stride, height, skew;
        std::string message;
    } cases[] = {
        {nullptr, 8, 24, 6, 2, "image pixels are null"},
        {image.data(), 0, 24, 6, 2, "image width 0 is below 1"},
        {image.data(), 8, 24, 0, 2, "image height 0 is below 1"},
        {image.data(), 8, 23, 6, 2, "image stride 23 is below its row of 24 bytes"},
        {image.data(), 8, 24, 6, 6, "skew 6 does not stay below the height 6"},
        {image.data(), 8, 24, 6, -6, "skew -6 does not stay below the height 6"},
        {image.data(), 8, 24, 6, -2147483647 - 1,
         "skew -2147483648 does not stay below the height 6"},
    };
    for (const auto& c : cases) {
        skewDIB(c.pixels, c.width, c.stride, c.height, c.skew, false);
        EXPECT_EQ(getLastError(), "skewDIB: " + c.message);
    }
    EXPECT_EQ(image.pixels(), before.pixels());
    EXPECT_TRUE(image.guardsIntact());
}

TEST(SkewDib, DeviceFailingMidwayFallsBackToTheCpu) {
    for (int skew : {7, -5}) {
        const GuardedImage before = colourImage(37, 21, 3 * 37 + 3, 50 + skew);
        GuardedImage cpu = before;
        skewDIB(cpu.data(), 37, cpu.stride(), 21, skew, false);
        const std::pair<const char*, int> failures[] = {
            {"malloc", 1}, {"malloc", 2}, {"copyToDevice", 1}, {"copyToDevice", 2},
            {"skewDib", 1}, {"copyToHost", 1}};
        for (const auto& [step, nth] : failures) {
            FakeDevice device;
            DeviceScope scope(device);
            ASSERT_TRUE(ensureCudaDevice(true));
            device.failOn(step, nth);
            GuardedImage gpu = before;
            skewDIB(gpu.data(), 37, gpu.stride(), 21, skew, true);
            EXPECT_EQ(gpu.pixels(), cpu.pixels()) << step << " #" << nth;
            EXPECT_EQ(device.liveBuffers(), 0);
        }
    }
}

}  // namespace
}  // namespace pcbinspect
