// Each device kernel against its CPU twin, byte for byte, on random inputs.
// Skips without a usable device; scripts/device-check.sh runs it (label device).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "gpu/clarity.h"
#include "gpu/cuda_env.h"
#include "gpu/device_runtime.h"
#include "gpu/launch_shape.h"
#include "gpu/resample_pixels.h"
#include "pcbinspect/exports.h"
#include "resample/skew_dib.h"
#include "resample/sub_gray.h"

namespace pcbinspect {
namespace {

class KernelParity : public ::testing::Test {
protected:
    // A machine without a usable device has nothing to compare: the tests
    // skip with the reason instead of failing a plain ctest run.
    void SetUp() override {
        if (!ensureCudaDevice(true))
            GTEST_SKIP() << "no CUDA device (" << cudaEnvMessage(getCudaEnv()) << ")";
    }
    LaunchShape shapeFor(int w, int h) {
        LaunchShape s;
        EXPECT_TRUE(launchShape(cudaEnvMaxThreadsPerBlock(getCudaEnv()), w, h, s));
        return s;
    }
};

// A device buffer for one test, filled from and read back to host vectors.
class Buffer {
public:
    explicit Buffer(std::size_t bytes) : bytes_(bytes) {
        EXPECT_EQ(deviceRuntime().malloc(&p_, bytes), kDeviceSuccess);
    }
    ~Buffer() { deviceRuntime().free(p_); }
    template <class T>
    T* as() const { return static_cast<T*>(p_); }
    void up(const void* host) {
        EXPECT_EQ(deviceRuntime().copyToDevice(p_, host, bytes_), kDeviceSuccess);
    }
    std::vector<std::uint8_t> down() const {
        std::vector<std::uint8_t> host(bytes_);
        EXPECT_EQ(deviceRuntime().copyToHost(host.data(), p_, bytes_), kDeviceSuccess);
        return host;
    }

private:
    void* p_ = nullptr;
    std::size_t bytes_;
};

std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed, int hi = 255) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng() % (hi + 1));
    return v;
}

TEST_F(KernelParity, ZoomCleanAndCount) {
    struct Case {
        int w, h, shift, radius, threshold, hi;
    };
    const Case cases[] = {{3, 3, 0, 1, 20, 255},   {64, 64, 3, 1, 20, 255},
                          {333, 101, 1, 2, 400, 40}, {1000, 700, 2, 1, 60, 255},
                          {17, 250, 0, 3, 1000, 30}};
    int seed = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.w);
        const auto src = randomBytes(static_cast<std::size_t>(c.w) * c.h, seed++, c.hi);
        const ZoomSize z = clarityZoomSize(c.w, c.h, c.shift);
        const std::size_t zn = static_cast<std::size_t>(z.zw) * z.zh;
        std::vector<std::uint8_t> zoomed(zn);
        zoomGray(src.data(), c.w, c.w, c.h, zoomed.data(), z.zw, z.zh);
        Buffer in(src.size()), dz(zn), untouched(zn), sum(8);
        in.up(src.data());
        const LaunchShape shape = shapeFor(z.zw, z.zh);
        ASSERT_EQ(deviceRuntime().zoomGray(shape, {in.as<std::uint8_t>(), c.w, c.w, c.h,
                                                   dz.as<std::uint8_t>(), z.zw, z.zh}),
                  kDeviceSuccess);
        EXPECT_EQ(dz.down(), zoomed);

        std::vector<std::uint8_t> cleaned = zoomed;
        cleanGray(cleaned.data(), z.zw, z.zh, c.radius, c.threshold);
        untouched.up(zoomed.data());
        ASSERT_EQ(deviceRuntime().cleanGray(shape, {untouched.as<std::uint8_t>(),
                                                    dz.as<std::uint8_t>(), z.zw, z.zh,
                                                    c.radius, c.threshold}),
                  kDeviceSuccess);
        EXPECT_EQ(dz.down(), cleaned);

        const unsigned long long zero = 0;
        sum.up(&zero);
        ASSERT_EQ(deviceRuntime().countClarity(shape, dz.as<std::uint8_t>(),
                                               sum.as<unsigned long long>(), z.zw, z.zh),
                  kDeviceSuccess);
        unsigned long long energy = 0;
        std::memcpy(&energy, sum.down().data(), 8);
        EXPECT_EQ(static_cast<double>(energy), clarityEnergy(cleaned.data(), z.zw, z.zh));
    }
}

TEST_F(KernelParity, SubGray) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> size(1, 300), pad(0, 9);
    std::uniform_real_distribution<float> angle(-360.0f, 360.0f);
    for (int n = 0; n < 60; ++n) {
        const int sw = size(rng), sh = size(rng), dw = size(rng), dh = size(rng);
        const int ss = sw + pad(rng), ds = dw + pad(rng);
        const auto src = randomBytes(static_cast<std::size_t>(ss) * sh, 100 + n);
        std::uniform_int_distribution<int> cx(-20, sw + 20), cy(-20, sh + 20);
        const int x = cx(rng), y = cy(rng);
        const float a = n == 0 ? 90.0f : angle(rng);
        float s = 0.0f, c = 1.0f;
        rotationOf(a, s, c);
        std::vector<std::uint8_t> cpu(static_cast<std::size_t>(ds) * dh, 0);
        const SubGrayArgs host{src.data(), sw, ss, sh, cpu.data(), dw, ds, dh,
                               static_cast<float>(x), static_cast<float>(y), s, c};
        for (int j = 0; j < dh; ++j)
            for (int i = 0; i < dw; ++i) subGrayPixel(host, i, j);
        Buffer in(src.size()), out(cpu.size());
        in.up(src.data());
        const std::vector<std::uint8_t> zeros(cpu.size(), 0);
        out.up(zeros.data());
        SubGrayArgs dev = host;
        dev.src = in.as<std::uint8_t>();
        dev.dst = out.as<std::uint8_t>();
        ASSERT_EQ(deviceRuntime().subGray(shapeFor(dw, dh), dev), kDeviceSuccess);
        ASSERT_EQ(out.down(), cpu) << "case " << n;
    }
}

TEST_F(KernelParity, SkewDib) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> size(2, 400), pad(0, 7);
    for (int n = 0; n < 40; ++n) {
        const int w = size(rng), h = size(rng), stride = 3 * w + pad(rng);
        std::uniform_int_distribution<int> skewOf(-(h - 1), h - 1);
        const int skew = skewOf(rng);
        const auto src = randomBytes(static_cast<std::size_t>(stride) * h, 300 + n);
        const auto start = randomBytes(src.size(), 600 + n);
        const float k = -(static_cast<float>(skew) / static_cast<float>(w));
        std::vector<std::uint8_t> cpu = start;
        const SkewDibArgs host{src.data(), w, stride, h, 0, cpu.data(), stride, h, k};
        for (int r = 0; r < h; ++r)
            for (int x = 0; x < w; ++x) skewDibPixel(host, x, r);
        Buffer in(src.size()), out(src.size());
        in.up(src.data());
        out.up(start.data());
        SkewDibArgs dev = host;
        dev.src = in.as<std::uint8_t>();
        dev.dst = out.as<std::uint8_t>();
        ASSERT_EQ(deviceRuntime().skewDib(shapeFor(w, h), dev), kDeviceSuccess);
        ASSERT_EQ(out.down(), cpu) << "case " << n;
    }
}

TEST_F(KernelParity, ExportsOnTheDevice) {
    // Whole-pixel centre: the device result equals the CPU result wherever
    // the CPU wrote, and is 0 elsewhere.
    const auto src = randomBytes(512 * 400, 11);
    std::vector<std::uint8_t> cpu(300 * 200, 0x77), gpu(300 * 200, 0x77);
    getSubGray(src.data(), 512, 512, 400, cpu.data(), 300, 300, 200, 250.0f, 180.0f, 31.5f, false);
    getSubGray(src.data(), 512, 512, 400, gpu.data(), 300, 300, 200, 250.0f, 180.0f, 31.5f, true);
    for (std::size_t i = 0; i < cpu.size(); ++i)
        ASSERT_EQ(gpu[i], cpu[i] == 0x77 ? 0 : cpu[i]) << i;
    auto dibCpu = randomBytes(3 * 333 * 250, 12), dibGpu = dibCpu;
    skewDIB(dibCpu.data(), 333, 999, 250, -17, false);
    skewDIB(dibGpu.data(), 333, 999, 250, -17, true);
    EXPECT_EQ(dibGpu, dibCpu);
}

}  // namespace
}  // namespace pcbinspect
