// The thin interface between the library and the CUDA runtime.
//
// Every runtime call that the GPU environment and the device operations make
// goes through DeviceRuntime, and every call reports a status (0 success,
// otherwise the runtime's error number). A CUDA build talks to the real
// runtime; a build without CUDA talks to one that has no device. Tests can
// install their own to play a device that fails at chosen steps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "gpu/clarity_pixels.h"
#include "gpu/launch_shape.h"
#include "gpu/resample_pixels.h"

namespace pcbinspect {

using DeviceStatus = int;
inline constexpr DeviceStatus kDeviceSuccess = 0;
// The runtime's numbers for "no device" and for a device in prohibited mode.
inline constexpr DeviceStatus kDeviceErrorNoDevice = 100;
inline constexpr int kComputeModeProhibited = 2;

// The three device properties the set-up looks at.
struct DeviceProperties {
    int major = 0;
    int computeMode = 0;
    int maxThreadsPerBlock = 0;
};

class DeviceRuntime {
public:
    virtual ~DeviceRuntime() = default;

    virtual DeviceStatus setDevice(int device) = 0;
    virtual DeviceStatus getDevice(int* device) = 0;
    virtual DeviceStatus getDeviceProperties(DeviceProperties* properties, int device) = 0;
    virtual const char* errorString(DeviceStatus status) = 0;
    virtual DeviceStatus deviceReset() = 0;

    virtual DeviceStatus malloc(void** pointer, std::size_t bytes) = 0;
    // Freeing null is the runtime's way of making sure its context exists.
    virtual DeviceStatus free(void* pointer) = 0;
    virtual DeviceStatus copyToDevice(void* device, const void* host, std::size_t bytes) = 0;
    virtual DeviceStatus copyToHost(void* host, const void* device, std::size_t bytes) = 0;
    virtual DeviceStatus copyOnDevice(void* to, const void* from, std::size_t bytes) = 0;
    virtual DeviceStatus memset(void* device, int value, std::size_t bytes) = 0;
    virtual DeviceStatus synchronize() = 0;

    // Kernel launches on the default stream. The status says whether the
    // launch was accepted; faults while it runs show in the next copy.
    virtual DeviceStatus zoomGray(const LaunchShape& shape, const ZoomGrayArgs& args) = 0;
    virtual DeviceStatus cleanGray(const LaunchShape& shape, const CleanGrayArgs& args) = 0;
    virtual DeviceStatus countClarity(const LaunchShape& shape, const std::uint8_t* image,
                                      unsigned long long* sum, int zw, int zh) = 0;
    virtual DeviceStatus subGray(const LaunchShape& shape, const SubGrayArgs& args) = 0;
    virtual DeviceStatus skewDib(const LaunchShape& shape, const SkewDibArgs& args) = 0;
};

// A runtime without any device: every call fails with "no device".
class NoDeviceRuntime final : public DeviceRuntime {
public:
    DeviceStatus setDevice(int) override { return kDeviceErrorNoDevice; }
    DeviceStatus getDevice(int*) override { return kDeviceErrorNoDevice; }
    DeviceStatus getDeviceProperties(DeviceProperties*, int) override {
        return kDeviceErrorNoDevice;
    }
    const char* errorString(DeviceStatus status) override;
    DeviceStatus deviceReset() override { return kDeviceErrorNoDevice; }
    DeviceStatus malloc(void**, std::size_t) override { return kDeviceErrorNoDevice; }
    DeviceStatus free(void*) override { return kDeviceErrorNoDevice; }
    DeviceStatus copyToDevice(void*, const void*, std::size_t) override {
        return kDeviceErrorNoDevice;
    }
    DeviceStatus copyToHost(void*, const void*, std::size_t) override {
        return kDeviceErrorNoDevice;
    }
    DeviceStatus copyOnDevice(void*, const void*, std::size_t) override {
        return kDeviceErrorNoDevice;
    }
    DeviceStatus memset(void*, int, std::size_t) override { return kDeviceErrorNoDevice; }
    DeviceStatus synchronize() override { return kDeviceErrorNoDevice; }
    DeviceStatus zoomGray(const LaunchShape&, const ZoomGrayArgs&) override {
        return kDeviceErrorNoDevice;
    }
    DeviceStatus cleanGray(const LaunchShape&, const CleanGrayArgs&) override {
        return kDeviceErrorNoDevice;
    }
    DeviceStatus countClarity(const LaunchShape&, const std::uint8_t*, unsigned long long*, int,
                              int) override {
        return kDeviceErrorNoDevice;
    }
    DeviceStatus subGray(const LaunchShape&, const SubGrayArgs&) override {
        return kDeviceErrorNoDevice;
    }
    DeviceStatus skewDib(const LaunchShape&, const SkewDibArgs&) override {
        return kDeviceErrorNoDevice;
    }
};

NoDeviceRuntime& noDeviceRuntime();

#if defined(PCBINSPECT_HAVE_CUDA)
// The CUDA runtime, linked statically (cuda_device_runtime.cu).
DeviceRuntime& cudaDeviceRuntime();
#endif

// The runtime of this build: CUDA when built with it, otherwise none.
DeviceRuntime& defaultDeviceRuntime();

// The runtime the GPU environment talks to: the installed one, or the
// build's default when none is installed.
DeviceRuntime& deviceRuntime();

// Installs `runtime` (null restores the default) and returns the one
// installed before. For tests; not for use while device work is running.
DeviceRuntime* installDeviceRuntime(DeviceRuntime* runtime);

}  // namespace pcbinspect
