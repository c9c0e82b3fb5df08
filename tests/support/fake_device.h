// A simulated device for tests: device memory is host memory, kernels run on
// the CPU thread by thread over the whole launch grid (through the same
// per-pixel functions as the real kernels), and any runtime call can be made
// to fail on its n-th use.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "gpu/cuda_env.h"
#include "gpu/device_runtime.h"

namespace pcbinspect::testing {

class FakeDevice final : public DeviceRuntime {
public:
    // Set-up answers.
    DeviceStatus getDeviceStatus = kDeviceSuccess;
    DeviceStatus propertiesStatus = kDeviceSuccess;
    DeviceProperties properties{9, 0, 1024};
    // The first byte of freshly allocated device memory, like leftovers.
    static constexpr std::uint8_t kFreshByte = 0xCD;
    // The status a failing call returns (the runtime's "out of memory").
    static constexpr DeviceStatus kInjected = 2;

    // Makes the n-th call (from 1) of `call` fail; n = 0 clears it.
    void failOn(const std::string& call, int nth) { failures_[call] = nth; }
    int calls(const std::string& call) const {
        auto it = counts_.find(call);
        return it == counts_.end() ? 0 : it->second;
    }
    int liveBuffers() const { return static_cast<int>(buffers_.size()); }
    const std::vector<std::string>& log() const { return log_; }

    DeviceStatus setDevice(int) override { return record("setDevice"); }
    DeviceStatus getDevice(int* device) override {
        if (DeviceStatus s = record("getDevice")) return s;
        *device = 0;
        return getDeviceStatus;
    }
    DeviceStatus getDeviceProperties(DeviceProperties* p, int) override {
        if (DeviceStatus s = record("getDeviceProperties")) return s;
        if (propertiesStatus == kDeviceSuccess) *p = properties;
        return propertiesStatus;
    }
    const char* errorString(DeviceStatus status) override {
        switch (status) {
            case kDeviceSuccess: return "no error";
            case kInjected: return "out of memory";
            case kDeviceErrorNoDevice: return "no CUDA-capable device is detected";
            default: return "unknown error";
        }
    }
    DeviceStatus deviceReset() override { return record("deviceReset"); }
    DeviceStatus malloc(void** pointer, std::size_t bytes) override {
        if (DeviceStatus s = record("malloc")) return s;
        auto memory = std::vector<std::uint8_t>(bytes, kFreshByte);
        *pointer = memory.data();
        buffers_[*pointer] = std::move(memory);
        return kDeviceSuccess;
    }
    DeviceStatus free(void* pointer) override {
        if (DeviceStatus s = record(pointer == nullptr ? "freeNull" : "free")) return s;
        buffers_.erase(pointer);
        return kDeviceSuccess;
    }
    DeviceStatus copyToDevice(void* d, const void* h, std::size_t n) override {
        if (DeviceStatus s = record("copyToDevice")) return s;
        std::memcpy(d, h, n);
        return kDeviceSuccess;
    }
    DeviceStatus copyToHost(void* h, const void* d, std::size_t n) override {
        if (DeviceStatus s = record("copyToHost")) return s;
        std::memcpy(h, d, n);
        return kDeviceSuccess;
    }
    DeviceStatus copyOnDevice(void* to, const void* from, std::size_t n) override {
        if (DeviceStatus s = record("copyOnDevice")) return s;
        std::memcpy(to, from, n);
        return kDeviceSuccess;
    }
    DeviceStatus memset(void* d, int v, std::size_t n) override {
        if (DeviceStatus s = record("memset")) return s;
        std::memset(d, v, n);
        return kDeviceSuccess;
    }
    DeviceStatus synchronize() override { return record("synchronize"); }

    DeviceStatus zoomGray(const LaunchShape& shape, const ZoomGrayArgs& a) override {
        if (DeviceStatus s = record("zoomGray")) return s;
        everyThread(shape, [&](int x, int y) { zoomGrayPixel(a, x, y); });
        return kDeviceSuccess;
    }
    DeviceStatus cleanGray(const LaunchShape& shape, const CleanGrayArgs& a) override {
        if (DeviceStatus s = record("cleanGray")) return s;
        everyThread(shape, [&](int x, int y) { cleanGrayPixel(a, x, y); });
        return kDeviceSuccess;
    }
    DeviceStatus countClarity(const LaunchShape& shape, const std::uint8_t* image,
                              unsigned long long* sum, int zw, int zh) override {
        if (DeviceStatus s = record("countClarity")) return s;
        everyThread(shape, [&](int x, int y) {
            unsigned long long term = 0;
            if (clarityTerm(image, zw, zh, x, y, &term)) *sum += term;
        });
        return kDeviceSuccess;
    }
    DeviceStatus subGray(const LaunchShape& shape, const SubGrayArgs& a) override {
        if (DeviceStatus s = record("subGray")) return s;
        everyThread(shape, [&](int x, int y) { subGrayPixel(a, x, y); });
        return kDeviceSuccess;
    }
    DeviceStatus skewDib(const LaunchShape& shape, const SkewDibArgs& a) override {
        if (DeviceStatus s = record("skewDib")) return s;
        everyThread(shape, [&](int x, int y) { skewDibPixel(a, x, y); });
        return kDeviceSuccess;
    }

private:
    DeviceStatus record(const std::string& call) {
        log_.push_back(call);
        const int n = ++counts_[call];
        auto it = failures_.find(call);
        return it != failures_.end() && it->second == n ? kInjected : kDeviceSuccess;
    }
    template <class Thread>
    static void everyThread(const LaunchShape& s, Thread&& thread) {
        for (unsigned by = 0; by < s.gridY; ++by)
            for (unsigned bx = 0; bx < s.gridX; ++bx)
                for (unsigned ty = 0; ty < s.blockY; ++ty)
                    for (unsigned tx = 0; tx < s.blockX; ++tx)
                        thread(static_cast<int>(bx * s.blockX + tx),
                               static_cast<int>(by * s.blockY + ty));
    }

    std::map<std::string, int> failures_;
    std::map<std::string, int> counts_;
    std::map<void*, std::vector<std::uint8_t>> buffers_;
    std::vector<std::string> log_;
};

// Installs a runtime and starts the GPU environment afresh, as in a new
// process; restores the previous runtime and a fresh environment on exit.
class DeviceScope {
public:
    explicit DeviceScope(DeviceRuntime& runtime) : previous_(installDeviceRuntime(&runtime)) {
        resetCudaEnvForTesting();
    }
    ~DeviceScope() {
        resetCudaEnvForTesting();
        installDeviceRuntime(previous_);
    }
    DeviceScope(const DeviceScope&) = delete;
    DeviceScope& operator=(const DeviceScope&) = delete;

private:
    DeviceRuntime* previous_;
};

}  // namespace pcbinspect::testing
