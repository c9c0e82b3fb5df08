#include "gpu/device_runtime.h"

#include <atomic>

namespace pcbinspect {
namespace {

std::atomic<DeviceRuntime*> installedRuntime{nullptr};

}  // namespace

const char* NoDeviceRuntime::errorString(DeviceStatus status) {
    return status == kDeviceSuccess ? "no error" : "no CUDA-capable device is detected";
}

NoDeviceRuntime& noDeviceRuntime() {
    static NoDeviceRuntime runtime;
    return runtime;
}

DeviceRuntime& defaultDeviceRuntime() {
#if defined(PCBINSPECT_HAVE_CUDA)
    return cudaDeviceRuntime();
#else
    return noDeviceRuntime();
#endif
}

DeviceRuntime& deviceRuntime() {
    DeviceRuntime* runtime = installedRuntime.load(std::memory_order_acquire);
    return runtime != nullptr ? *runtime : defaultDeviceRuntime();
}

DeviceRuntime* installDeviceRuntime(DeviceRuntime* runtime) {
    return installedRuntime.exchange(runtime, std::memory_order_acq_rel);
}

}  // namespace pcbinspect
