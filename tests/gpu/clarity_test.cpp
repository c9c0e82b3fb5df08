// The clarity measure on the CPU and on a simulated device, and the warm-up
// export PrebuildCudaEnv.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "gpu/clarity.h"
#include "gpu/cuda_env.h"
#include "pcbinspect/exports.h"
#include "support/fake_device.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::DeviceScope;
using testing::FakeDevice;
using testing::GuardedImage;

// The warm-up sample's first nine bytes as a 3 x 3 image.
const std::uint8_t kSample[9] = {1, 1, 1, 1, 1, 20, 20, 20, 20};

TEST(ClarityZoom, SizesAndShift) {
    struct Case {
        int w, h, shift, zw, zh;
    };
    const Case cases[] = {
        {3, 3, 0, 8, 8},        // small images are enlarged to 8 x 8
        {64, 64, 3, 8, 8},      // 64 >> 3
        {100, 40, 1, 50, 20},   // 100 >> 1, 40 >> 1
        {100, 40, -4, 100, 40}, // a negative shift counts as 0
        {100, 40, 33, 50, 20},  // the shift is taken modulo 32
    };
    for (const Case& c : cases) {
        const ZoomSize z = clarityZoomSize(c.w, c.h, c.shift);
        EXPECT_EQ(z.zw, c.zw);
        EXPECT_EQ(z.zh, c.zh);
    }
}

TEST(ClarityZoom, WarmUpSampleHasFourOnes) {
    // Scale 3/8 = 0.375: only zoomed columns 2 ([0, 1)) and 5 ([1, 2)) have a
    // non-empty source range, and the same for rows; the source's last row
    // and column are never used.
    std::vector<std::uint8_t> zoomed(64, 77);
    zoomGray(kSample, 3, 3, 3, zoomed.data(), 8, 8);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            const bool one = (x == 2 || x == 5) && (y == 2 || y == 5);
            EXPECT_EQ(zoomed[y * 8 + x], one ? 1 : 0) << x << "," << y;
        }
    }
    cleanGray(zoomed.data(), 8, 8, 1, 20);  // every window sums to at most 1: mean 0
    for (std::uint8_t v : zoomed) EXPECT_EQ(v, 0);
}

TEST(ClarityZoom, BlockMeansLeaveOutTheLastRowAndColumn) {
    GuardedImage src(64, 64, 70);
    src.fillRandom(5);
    std::vector<std::uint8_t> zoomed(64);
    zoomGray(src.data(), 64, 70, 64, zoomed.data(), 8, 8);
    for (int zy = 0; zy < 8; ++zy) {
        for (int zx = 0; zx < 8; ++zx) {
            // Block of 8 x 8, the last ones cut at source index 63.
            const int x1 = zx == 7 ? 63 : zx * 8 + 8, y1 = zy == 7 ? 63 : zy * 8 + 8;
            int sum = 0, n = 0;
            for (int y = zy * 8; y < y1; ++y)
                for (int x = zx * 8; x < x1; ++x) sum += src.at(x, y), ++n;
            EXPECT_EQ(zoomed[zy * 8 + zx], sum / n) << zx << "," << zy;
        }
    }
}

TEST(ClarityClean, ThresholdIsStrictAndRadiusZeroChangesNothing) {
    std::vector<std::uint8_t> image(64, 100);
    image[4 * 8 + 4] = 103;
    auto cleaned = image;
    cleanGray(cleaned.data(), 8, 8, 0, 1000);
    EXPECT_EQ(cleaned, image);
    // Windows holding the 103 have sum 903, mean 100, spread 9 / 9 = 1.
    cleaned = image;
    cleanGray(cleaned.data(), 8, 8, 1, 1);  // 1 < 1 fails: nothing changes
    EXPECT_EQ(cleaned, image);
    cleanGray(cleaned.data(), 8, 8, 1, 2);  // 1 < 2: the bump is flattened
    EXPECT_EQ(cleaned, std::vector<std::uint8_t>(64, 100));
}

TEST(ClarityClean, WindowsReadTheImageBeforeCleaning) {
    // With a threshold no spread reaches, every pixel becomes the integer
    // mean of its clamped 5 x 5 window of the original image.
    std::vector<std::uint8_t> image(12 * 9);
    std::mt19937 rng(3);
    for (auto& v : image) v = static_cast<std::uint8_t>(rng() % 256);
    auto cleaned = image;
    cleanGray(cleaned.data(), 12, 9, 2, 1 << 30);
    for (int y = 0; y < 9; ++y) {
        for (int x = 0; x < 12; ++x) {
            int sum = 0;
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx)
                    sum += image[std::clamp(y + dy, 0, 8) * 12 + std::clamp(x + dx, 0, 11)];
            EXPECT_EQ(cleaned[y * 12 + x], sum / 25) << x << "," << y;
        }
    }
}

TEST(ClarityMeasure, RampOnCpuAndDevice) {
    // 8 x 8 ramp 10 x, shift 0: the zoom copies it except the last column and
    // row (0). Even columns 2 and 4 of rows 2..5 give (20)^2 = 400, odd
    // columns 3 and 5 see equal values above and below: energy 8 * 400 = 3200.
    std::vector<std::uint8_t> ramp(64);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) ramp[y * 8 + x] = static_cast<std::uint8_t>(10 * x);
    EXPECT_FLOAT_EQ(measureClarity(ramp.data(), 8, 8, 8, 0, 0, 20, false), 200.0f);  // / 16

    FakeDevice device;
    DeviceScope scope(device);
    ASSERT_TRUE(ensureCudaDevice(true));
    EXPECT_EQ(measureClarity(ramp.data(), 8, 8, 8, 0, 0, 20, true),
              static_cast<float>(3200.0 / 36.0));  // the device divides by 6 * 6
    EXPECT_EQ(device.calls("zoomGray"), 1);
    EXPECT_EQ(device.calls("cleanGray"), 1);  // launched even with radius 0
    EXPECT_EQ(device.calls("countClarity"), 1);
    EXPECT_EQ(device.liveBuffers(), 0);
    // A uniform image has no energy on either path.
    const std::vector<std::uint8_t> flat(40 * 30, 90);
    EXPECT_EQ(measureClarity(flat.data(), 40, 40, 30, 0, 1, 20, true), 0.0f);
    EXPECT_EQ(measureClarity(flat.data(), 40, 40, 30, 0, 1, 20, false), 0.0f);
}

TEST(ClarityMeasure, FailedDeviceStepGivesTheCpuFigure) {
    std::vector<std::uint8_t> ramp(64);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) ramp[y * 8 + x] = static_cast<std::uint8_t>(10 * x);
    for (const char* step : {"malloc", "copyToDevice", "zoomGray", "synchronize",
                             "copyOnDevice", "cleanGray", "memset", "countClarity",
                             "copyToHost"}) {
        SCOPED_TRACE(step);
        FakeDevice device;
        DeviceScope scope(device);
        ASSERT_TRUE(ensureCudaDevice(true));
        device.failOn(step, 1);
        EXPECT_FLOAT_EQ(measureClarity(ramp.data(), 8, 8, 8, 0, 0, 20, true), 200.0f);
        EXPECT_EQ(device.liveBuffers(), 0);
    }
}

TEST(PrebuildCudaEnv, FirstCallWarmsUpLaterCallsReturnZero) {
    {
        DeviceScope scope(noDeviceRuntime());
        EXPECT_EQ(PrebuildCudaEnv(), 0.1f);  // CPU warm-up: clarity 0, plus 0.1
        EXPECT_EQ(PrebuildCudaEnv(), 0.0f);
        EXPECT_EQ(cudaEnvMessage(getCudaEnv()), "no CUDA-capable device is detected");
    }
    {
        FakeDevice device;
        DeviceScope scope(device);
        EXPECT_EQ(PrebuildCudaEnv(), 0.1f);  // device warm-up: 0 / 36, plus 0.1
        EXPECT_EQ(device.calls("zoomGray"), 1);
        EXPECT_EQ(device.calls("countClarity"), 1);
        EXPECT_EQ(device.liveBuffers(), 0);
        EXPECT_EQ(PrebuildCudaEnv(), 0.0f);
        EXPECT_EQ(device.calls("getDevice"), 1);
    }
    {
        FakeDevice device;
        device.failOn("cleanGray", 1);  // the device fails midway: CPU warm-up
        DeviceScope scope(device);
        EXPECT_EQ(PrebuildCudaEnv(), 0.1f);
        EXPECT_EQ(device.liveBuffers(), 0);
    }
}

TEST(PrebuildCudaEnv, ReturnsZeroWhenAnExportAskedForTheGpuFirst) {
    for (bool emptySizes : {true, false}) {
        DeviceScope scope(noDeviceRuntime());
        std::uint8_t src[4] = {1, 2, 3, 4}, dst[4] = {};
        if (emptySizes) {
            getSubGray(nullptr, 0, 0, 0, nullptr, 0, 0, 0, 0.0f, 0.0f, 30.0f, true);
        } else {
            getSubGray(src, 2, 2, 2, dst, 2, 2, 2, 0.5f, 0.5f, 30.0f, true);
        }
        EXPECT_EQ(PrebuildCudaEnv(), 0.0f);
    }
    {
        DeviceScope scope(noDeviceRuntime());
        std::uint8_t pixels[3 * 4 * 4] = {};
        skewDIB(pixels, 4, 12, 4, 1, true);
        EXPECT_EQ(PrebuildCudaEnv(), 0.0f);
    }
    {
        // Without the use-GPU flag the set-up is not tried.
        DeviceScope scope(noDeviceRuntime());
        std::uint8_t pixels[3 * 4 * 4] = {};
        skewDIB(pixels, 4, 12, 4, 1, false);
        skewDIB(pixels, 4, 12, 4, 0, true);  // skew 0 does not set the device up
        EXPECT_EQ(PrebuildCudaEnv(), 0.1f);
    }
}

}  // namespace
}  // namespace pcbinspect
