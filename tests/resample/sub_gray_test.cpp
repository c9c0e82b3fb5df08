// Sub-image extraction through the exports getSubGray and getSubGrayNearest,
// on the CPU and on a simulated device, against a plain model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
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

constexpr std::uint8_t kOld = 0x5A;  // what a destination held before a call

GuardedImage window(int w, int h, int stride) {
    GuardedImage dst(w, h, stride);
    dst.fill(kOld);
    return dst;
}

enum Path { kBilinear, kNearest, kDevice };

// Model of window pixel (i, j), or -1 where it is left as it was. Rotations
// start at 0.001 degrees (pi taken as 3.1415925f). Unrotated, the nearest
// window is copied at its corner plus a half, truncated toward zero; the
// bilinear one at its truncated corner when both fractions are below 0.2.
// Otherwise positions are single-precision; the bilinear cell (truncated, so
// (-1, 0) is cell 0 with a negative fraction) needs a right and a lower
// neighbour, its mix is rounded half up in double and clamped to a byte. The
// device takes the centre in whole pixels and clears what it does not cover.
int model(const GuardedImage& src, int i, int j, int dw, int dh, float cx, float cy, float angle,
          Path path) {
    const auto at = [&](int x, int y, int margin, int outside) {
        const bool in = x >= 0 && y >= 0 && x < src.width() - margin && y < src.height() - margin;
        return in ? src.at(x, y) : outside;
    };
    const bool rotated = std::fabs(angle) >= 0.001;
    if (!rotated && path == kNearest)
        return at(static_cast<int>(cx - (dw - 1) * 0.5 + 0.5) + i,
                  static_cast<int>(cy - (dh - 1) * 0.5 + 0.5) + j, 0, 0);
    const float ox = cx - (dw - 1) * 0.5f, oy = cy - (dh - 1) * 0.5f;
    if (!rotated && std::fabs(ox - std::trunc(ox)) < 0.2f && std::fabs(oy - std::trunc(oy)) < 0.2f)
        return at(static_cast<int>(ox) + i, static_cast<int>(oy) + j, 0, -1);
    const bool device = rotated && path == kDevice;
    if (device) cx = std::trunc(cx), cy = std::trunc(cy);
    const float t = angle / 180.0f * 3.1415925f;
    const float s = rotated ? std::sin(t) : 0.0f, c = rotated ? std::cos(t) : 1.0f;
    const float dx = i - (dw - 1) * 0.5f, dy = j - (dh - 1) * 0.5f;
    const float sx = cx + dx * c - dy * s, sy = cy + dx * s + dy * c;
    if (path == kNearest)
        return at(static_cast<int>(sx + 0.5), static_cast<int>(sy + 0.5), 1, 0);
    const int ix = static_cast<int>(sx), iy = static_cast<int>(sy);
    if (at(ix, iy, 1, -1) < 0) return device ? 0 : -1;
    const float fx = sx - ix, fy = sy - iy;
    const float v = src.at(ix, iy) * (1 - fx) * (1 - fy) + src.at(ix, iy + 1) * (1 - fx) * fy +
                    src.at(ix + 1, iy) * fx * (1 - fy) + src.at(ix + 1, iy + 1) * fx * fy;
    return std::clamp(static_cast<int>(v + 0.5), 0, 255);
}

TEST(GetSubGray, EveryPathMatchesTheModelBitForBit) {
    std::mt19937 rng(21);
    std::uniform_int_distribution<int> size(1, 24), pad(0, 5), tenths(-60, 300);
    std::uniform_real_distribution<float> turn(-200.0f, 200.0f);
    const float angles[] = {0.0f, 0.001f, -0.001f, std::nextafter(0.001f, 0.0f), 90.0f, -90.0f};
    FakeDevice device;
    DeviceScope scope(device);
    for (int n = 0; n < 604; ++n) {
        int sw = size(rng), sh = size(rng), dh = size(rng);
        int dw = n % 40 == 0 ? 530 + size(rng) : size(rng);  // rows of several chunks
        // Whole, near-whole and fractional corners.
        float cx = tenths(rng) / 10.0f, cy = tenths(rng) / 10.0f;
        float a = n % 2 ? turn(rng) : angles[n / 2 % 6];
        if (n >= 600) {
            // The middle pixel of an odd window sits at the centre itself: the
            // float just below 0.5, whose float sum with 0.5 rounds up to 1.
            sw = sh = 24, dw = 9 + 2 * (n - 600), dh = 9;
            cx = cy = std::nextafter(0.5f, 0.0f);
            a = 30.0f + n;
        }
        GuardedImage src(sw, sh, sw + pad(rng));
        src.fillRandom(n);
        for (Path path : {kBilinear, kNearest, kDevice}) {
            GuardedImage dst = window(dw, dh, dw + pad(rng));
            if (path == kNearest)
                getSubGrayNearest(src.data(), sw, src.stride(), sh, dst.data(), dw, dst.stride(),
                                  dh, cx, cy, a);
            else
                getSubGray(src.data(), sw, src.stride(), sh, dst.data(), dw, dst.stride(), dh, cx,
                           cy, a, path == kDevice);
            ASSERT_TRUE(dst.guardsIntact());
            for (int j = 0; j < dh; ++j)
                for (int i = 0; i < dw; ++i) {
                    const int want = model(src, i, j, dw, dh, cx, cy, a, path);
                    ASSERT_EQ(dst.at(i, j), want < 0 ? kOld : want)
                        << "case " << n << " path " << path << " pixel " << i << "," << j;
                }
        }
    }
    EXPECT_EQ(device.liveBuffers(), 0);
    EXPECT_EQ(cudaEnvMessage(getCudaEnv()), "");  // nothing went wrong
}

TEST(GetSubGray, NoDeviceOrOneFailingMidwayGivesTheCpuResult) {
    GuardedImage src(40, 30, 40);
    src.fillRandom(6);
    GuardedImage cpu = window(17, 13, 19);
    getSubGray(src.data(), 40, 40, 30, cpu.data(), 17, 19, 13, 30.6f, 4.3f, 27.0f, false);
    {
        DeviceScope none(noDeviceRuntime());  // asked for the GPU where there is none
        GuardedImage dst = window(17, 13, 19);
        getSubGray(src.data(), 40, 40, 30, dst.data(), 17, 19, 13, 30.6f, 4.3f, 27.0f, true);
        EXPECT_EQ(dst.pixels(), cpu.pixels());
        EXPECT_EQ(cudaEnvMessage(getCudaEnv()), "no CUDA-capable device is detected");
    }
    const std::pair<const char*, int> failures[] = {{"malloc", 1}, {"malloc", 2},
                                                    {"copyToDevice", 1}, {"memset", 1},
                                                    {"subGray", 1}, {"copyToHost", 1}};
    for (const auto& [step, nth] : failures) {
        FakeDevice device;
        DeviceScope scope(device);
        ASSERT_TRUE(ensureCudaDevice(true));
        device.failOn(step, nth);
        GuardedImage dst = window(17, 13, 19);
        getSubGray(src.data(), 40, 40, 30, dst.data(), 17, 19, 13, 30.6f, 4.3f, 27.0f, true);
        EXPECT_EQ(dst.pixels(), cpu.pixels()) << step << " #" << nth;
        EXPECT_TRUE(dst.guardsIntact());
        EXPECT_EQ(device.liveBuffers(), 0);
    }
}

TEST(GetSubGray, BadInputIsRejectedWithoutWriting) {
    GuardedImage src(8, 8, 8);
    src.fillRandom(1);
    GuardedImage dst = window(4, 4, 6);
    const struct {
        const std::uint8_t* s;
        int sw, ss, sh;
        std::uint8_t* d;
        int dw, ds, dh;
        const char* problem;
    } cases[] = {
        {nullptr, 8, 8, 8, dst.data(), 4, 6, 4, "source pixels are null"},
        {src.data(), 8, 8, 8, nullptr, 4, 6, 4, "destination pixels are null"},
        {src.data(), 0, 8, 8, dst.data(), 4, 6, 4, "source width 0 is below 1"},
        {src.data(), 8, 8, 8, dst.data(), 4, 6, -1, "destination height -1 is below 1"},
        {src.data(), 8, 7, 8, dst.data(), 4, 6, 4, "source stride 7 is below its width 8"},
    };
    // getSubGrayNearest clears a usable destination before it looks at the
    // source: a rejected source leaves it cleared, a rejected destination
    // untouched.
    GuardedImage cleared = window(4, 4, 6);
    cleared.fill(0);
    for (const auto& c : cases) {
        dst.fill(kOld);
        getSubGray(c.s, c.sw, c.ss, c.sh, c.d, c.dw, c.ds, c.dh, 3.0f, 3.0f, 10.0f, false);
        EXPECT_EQ(getLastError(), "getSubGray: " + std::string(c.problem));
        EXPECT_EQ(dst.pixels(), window(4, 4, 6).pixels());
        getSubGrayNearest(c.s, c.sw, c.ss, c.sh, c.d, c.dw, c.ds, c.dh, 3.0f, 3.0f, 10.0f);
        EXPECT_EQ(getLastError(), "getSubGrayNearest: " + std::string(c.problem));
        const bool usableDestination = c.d != nullptr && c.dh >= 1;
        EXPECT_EQ(dst.pixels(), (usableDestination ? cleared : window(4, 4, 6)).pixels())
            << c.problem;
        EXPECT_TRUE(dst.guardsIntact());
    }
}

}  // namespace
}  // namespace pcbinspect
