// DeviceRuntime over the CUDA runtime (linked statically). Without a driver
// or a device every call reports the runtime's error, and the GPU
// environment stays not created.
#include <cuda_runtime.h>

#include "gpu/device_runtime.h"
#include "gpu/kernel_launch.h"

namespace pcbinspect {
namespace {

DeviceStatus statusOf(cudaError_t e) { return static_cast<DeviceStatus>(e); }

class CudaDeviceRuntime final : public DeviceRuntime {
public:
    DeviceStatus setDevice(int device) override { return statusOf(cudaSetDevice(device)); }
    DeviceStatus getDevice(int* device) override { return statusOf(cudaGetDevice(device)); }
    DeviceStatus getDeviceProperties(DeviceProperties* properties, int device) override {
        cudaDeviceProp prop{};
        cudaError_t e = cudaGetDeviceProperties(&prop, device);
        if (e != cudaSuccess) return statusOf(e);
        // The compute mode is a device attribute in current runtimes.
        int mode = 0;
        e = cudaDeviceGetAttribute(&mode, cudaDevAttrComputeMode, device);
        if (e != cudaSuccess) return statusOf(e);
        properties->major = prop.major;
        properties->computeMode = mode;
        properties->maxThreadsPerBlock = prop.maxThreadsPerBlock;
        return kDeviceSuccess;
    }
    const char* errorString(DeviceStatus status) override {
        return cudaGetErrorString(static_cast<cudaError_t>(status));
    }
    DeviceStatus deviceReset() override { return statusOf(cudaDeviceReset()); }
    DeviceStatus malloc(void** pointer, std::size_t bytes) override {
        return statusOf(cudaMalloc(pointer, bytes));
    }
    DeviceStatus free(void* pointer) override { return statusOf(cudaFree(pointer)); }
    DeviceStatus copyToDevice(void* device, const void* host, std::size_t bytes) override {
        return statusOf(cudaMemcpy(device, host, bytes, cudaMemcpyHostToDevice));
    }
    DeviceStatus copyToHost(void* host, const void* device, std::size_t bytes) override {
        return statusOf(cudaMemcpy(host, device, bytes, cudaMemcpyDeviceToHost));
    }
    DeviceStatus copyOnDevice(void* to, const void* from, std::size_t bytes) override {
        return statusOf(cudaMemcpy(to, from, bytes, cudaMemcpyDeviceToDevice));
    }
    DeviceStatus memset(void* device, int value, std::size_t bytes) override {
        return statusOf(cudaMemset(device, value, bytes));
    }
    DeviceStatus synchronize() override { return statusOf(cudaDeviceSynchronize()); }

    DeviceStatus zoomGray(const LaunchShape& shape, const ZoomGrayArgs& args) override {
        return launchZoomGrayBlock(shape, args);
    }
    DeviceStatus cleanGray(const LaunchShape& shape, const CleanGrayArgs& args) override {
        return launchCleanGrayBlock(shape, args);
    }
    DeviceStatus countClarity(const LaunchShape& shape, const std::uint8_t* image,
                              unsigned long long* sum, int zw, int zh) override {
        return launchCountClarityBlock(shape, image, sum, zw, zh);
    }
    DeviceStatus subGray(const LaunchShape& shape, const SubGrayArgs& args) override {
        return launchGetSubGray8Block(shape, args);
    }
    DeviceStatus skewDib(const LaunchShape& shape, const SkewDibArgs& args) override {
        return launchSkewVerticalBlockDIB(shape, args);
    }
};

}  // namespace

DeviceRuntime& cudaDeviceRuntime() {
    static CudaDeviceRuntime runtime;
    return runtime;
}

}  // namespace pcbinspect
