// The GPU environment against a simulated device: the one-time set-up, the
// buffer slots, the launch shape, and the clarity measure of the warm-up
// export PrebuildCudaEnv against a plain model on both paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "gpu/clarity.h"
#include "gpu/cuda_env.h"
#include "gpu/launch_shape.h"
#include "pcbinspect/exports.h"
#include "support/fake_device.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

// A device of compute capability 2.x is refused (and reset); one of 3.0 is
// set up and hands out the lowest free slot, up to 1024; bad slots do nothing.
TEST(DeviceSlots, NeedADeviceOfThreeOrMoreAndGoLowestFreeFirstUpTo1024) {
    testing::FakeDevice device;
    device.properties = {2, 0, 256};
    testing::DeviceScope scope(device);
    CudaEnv* env = getCudaEnv();
    initCudaDevice(env);
    EXPECT_EQ(cudaEnvMaxThreadsPerBlock(env), 0);
    EXPECT_EQ(cudaEnvMessage(env), "Cuda capacity of video card is too lower.");
    EXPECT_EQ(allocDeviceBuffer(env, 8), -1);
    device.properties = {3, 0, 256};
    initCudaDevice(env);
    device.failOn("malloc", 1);
    EXPECT_EQ(allocDeviceBuffer(env, 8), -1);  // the runtime refused: the slot stays free
    for (int i = 0; i < kDeviceSlotCount; ++i) ASSERT_EQ(allocDeviceBuffer(env, 8), i);
    EXPECT_EQ(allocDeviceBuffer(env, 8), -1);  // the 1025th asks the device for nothing
    for (int slot : {700, 5, 3, 3, -1, kDeviceSlotCount}) freeDeviceBuffer(env, slot);
    EXPECT_EQ(allocDeviceBuffer(env, 8), 3);
    EXPECT_EQ(allocDeviceBuffer(env, 8), 5);
    EXPECT_EQ(getDeviceBuffer(env, kDeviceSlotCount), nullptr);
    EXPECT_EQ(getDeviceBuffer(env, -1), nullptr);
    // One operation's slots: at most four, and its end gives back those
    // four and no other.
    for (int slot = 0; slot < kDeviceSlotCount; ++slot) freeDeviceBuffer(env, slot);
    {
        DeviceSlots slots(env);
        for (int i = 0; i < 4; ++i) EXPECT_NE(slots.take(8), nullptr);
        EXPECT_EQ(slots.take(8), nullptr);
        EXPECT_EQ(allocDeviceBuffer(env, 8), 4);
    }
    EXPECT_NE(getDeviceBuffer(env, 4), nullptr);
    EXPECT_EQ(allocDeviceBuffer(env, 8), 0);
}

TEST(LaunchShape, SquareBlocksCoverTheOutput) {
    const struct {
        int threads, w, h;
        unsigned side, gx, gy;  // side 0: refused
    } cases[] = {{1024, 100, 70, 32, 4, 3}, {1024, 64, 32, 32, 2, 1}, {1000, 62, 63, 31, 2, 3},
                 {512, 1, 1, 22, 1, 1},     {1, 5, 3, 1, 5, 3},       {0, 10, 10, 0, 0, 0},
                 {1024, 0, 10, 0, 0, 0},    {1024, 10, 0, 0, 0, 0}};
    for (const auto& c : cases) {
        LaunchShape s;
        EXPECT_EQ(launchShape(c.threads, c.w, c.h, s), c.side > 0);
        EXPECT_EQ(std::make_tuple(s.blockX, s.blockY, s.gridX, s.gridY),
                  std::make_tuple(c.side, c.side, c.gx, c.gy)) << c.threads << " " << c.w;
    }
}

// Model of the energy: zoom by truncated single-precision block bounds (the
// last row and column never used, an empty block 0); with a radius, a pixel
// takes the mean of its clamped window when the window's spread about that
// mean is below the threshold; sum the squared central differences
// (horizontal on even columns, vertical on odd) two pixels in from the border.
double modelEnergy(const testing::GuardedImage& img, int zw, int zh, int r, int threshold) {
    const int w = img.width(), h = img.height(), n = (2 * r + 1) * (2 * r + 1);
    const float fx = static_cast<float>(w) / zw, fy = static_cast<float>(h) / zh;
    std::vector<int> zoomed, window;
    for (int y = 0; y < zh; ++y)
        for (int x = 0; x < zw; ++x) {
            int sum = 0, count = 0;
            for (int v = y * fy; v < std::min(static_cast<int>((y + 1) * fy), h - 1); ++v)
                for (int u = x * fx; u < std::min(static_cast<int>((x + 1) * fx), w - 1); ++u)
                    sum += img.at(u, v), ++count;
            zoomed.push_back(count > 0 ? sum / count : 0);
        }
    std::vector<int> cleaned = zoomed;
    for (int y = 0; y < zh && r > 0; ++y)
        for (int x = 0; x < zw; ++x) {
            window.clear();
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx)
                    window.push_back(
                        zoomed[std::clamp(y + dy, 0, zh - 1) * zw + std::clamp(x + dx, 0, zw - 1)]);
            int sum = 0;
            float spread = 0.0f;
            for (int v : window) sum += v;
            for (int v : window) spread += (sum / n - v) * (sum / n - v);
            if (spread / n < threshold) cleaned[y * zw + x] = sum / n;
        }
    double energy = 0.0;
    for (int y = 2; y < zh - 2; ++y)
        for (int x = 2; x < zw - 2; ++x) {
            const int step = x % 2 == 0 ? 1 : zw;  // left and right, or above and below
            const int d = cleaned[y * zw + x + step] - cleaned[y * zw + x - step];
            energy += d * d;
        }
    return energy;
}

// Zoomed to at least 8 x 8 by the shift taken modulo 32 (a negative one as 0);
// divided by (zw - 4)(zh - 4) on the CPU, by (zw - 2)(zh - 2) on the device.
TEST(Clarity, MatchesTheModelOnCpuAndDevice) {
    const struct {
        int w, stride, h, shift, radius, lo, hi, zw, zh;
    } cases[] = {{3, 3, 3, 0, 1, 0, 255, 8, 8},          {8, 8, 8, 0, 1, 100, 103, 8, 8},
                 {64, 70, 64, 3, 1, 0, 255, 8, 8},       {100, 104, 40, 1, 2, 90, 110, 50, 20},
                 {100, 100, 40, -4, 1, 0, 255, 100, 40}, {100, 100, 40, 33, 0, 0, 255, 50, 20},
                 {37, 41, 29, 0, 3, 60, 70, 37, 29},     {90, 90, 70, 2, -1, 0, 255, 22, 17}};
    testing::FakeDevice device;
    testing::DeviceScope scope(device);
    EXPECT_EQ(PrebuildCudaEnv(), 0.1f);  // the warm-up sample: 0 / 36 on the device, plus 0.1
    int seed = 0;
    testing::GuardedImage img(1, 1);
    for (const auto& c : cases)
        for (int threshold : {1, 2, 25, 400, 1 << 30}) {
            img = testing::GuardedImage(c.w, c.h, c.stride);
            img.fillRandom(++seed, c.lo, c.hi);
            const double energy = modelEnergy(img, c.zw, c.zh, c.radius, threshold);
            for (int k : {4, 2})  // the CPU, then the device
                EXPECT_EQ(measureClarity(img.data(), c.w, c.stride, c.h, c.shift, c.radius,
                                         threshold, k == 2),
                          static_cast<float>(energy / ((c.zw - k) * (c.zh - k)))) << seed;
        }
    // A device that refuses the second buffer gives the CPU figure, and nothing is kept.
    device.failOn("malloc", device.calls("malloc") + 2);
    EXPECT_EQ(measureClarity(img.data(), 90, 90, 70, 2, -1, 1 << 30, true),
              measureClarity(img.data(), 90, 90, 70, 2, -1, 1 << 30, false));
    EXPECT_EQ(device.liveBuffers(), 0);
}

}  // namespace
}  // namespace pcbinspect
