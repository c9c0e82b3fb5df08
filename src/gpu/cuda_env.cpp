#include "gpu/cuda_env.h"

#include <cstring>

#include "gpu/device_runtime.h"

namespace pcbinspect {
namespace {

constexpr const char* kNotCreated = "Cuda environment is not been created.";
constexpr const char* kCapacityTooLow = "Cuda capacity of video card is too lower.";
constexpr const char* kProhibited =
    "Error: device is running in <Compute Mode Prohibited>, no threads can use "
    "::cudaSetDevice().";

// The one-time set-up: whether it was tried in this process, and whether the
// device was ready right after. Guarded by setUpLock, so two threads making
// their first GPU request together run the set-up once.
std::mutex setUpLock;
bool setUpTried = false;
bool setUpReady = false;

void setMessage(CudaEnv* env, const char* text) {
    std::lock_guard<std::mutex> guard(env->lock);
    if (text == nullptr) text = "unknown device error";
    std::strncpy(env->message, text, sizeof env->message - 1);
    env->message[sizeof env->message - 1] = '\0';
}

// A set-up step failed: record why and leave the environment not created.
void failSetUp(CudaEnv* env, DeviceRuntime& runtime, const char* text, bool reset) {
    setMessage(env, text);
    env->maxThreadsPerBlock.store(0);
    env->created.store(false);
    if (reset) runtime.deviceReset();
}

// Runs the set-up once per process; the caller holds setUpLock.
bool trySetUpLocked() {
    setUpTried = true;
    CudaEnv* env = getCudaEnv();
    initCudaDevice(env);
    setUpReady = env->created.load();
    return setUpReady;
}

}  // namespace

CudaEnv* getCudaEnv() {
    static std::once_flag once;
    static CudaEnv* env = nullptr;
    std::call_once(once, [] {
        env = new CudaEnv;
        env->slots = new void*[kDeviceSlotCount]();
    });
    return env;
}

void initCudaDevice(CudaEnv* env) {
    if (env->created.load()) return;
    DeviceRuntime& runtime = deviceRuntime();
    // Device 0 is the only device the library uses. Whether selecting it
    // worked is seen in the query that follows.
    runtime.setDevice(0);
    int device = 0;
    DeviceStatus status = runtime.getDevice(&device);
    if (status != kDeviceSuccess) {
        failSetUp(env, runtime, runtime.errorString(status), false);
        return;
    }
    DeviceProperties properties;
    status = runtime.getDeviceProperties(&properties, device);
    if (status != kDeviceSuccess) {
        failSetUp(env, runtime, runtime.errorString(status), true);
        return;
    }
    if (properties.major < 3) {
        failSetUp(env, runtime, kCapacityTooLow, true);
        return;
    }
    if (properties.computeMode == kComputeModeProhibited) {
        failSetUp(env, runtime, kProhibited, true);
        return;
    }
    // Freeing null creates the runtime's context now rather than in the
    // first operation; a device that cannot make one is not usable.
    status = runtime.free(nullptr);
    if (status != kDeviceSuccess) {
        failSetUp(env, runtime, runtime.errorString(status), true);
        return;
    }
    env->maxThreadsPerBlock.store(properties.maxThreadsPerBlock);
    env->created.store(true);
}

bool cudaEnvCreated(const CudaEnv* env) { return env->created.load(); }

int cudaEnvMaxThreadsPerBlock(const CudaEnv* env) { return env->maxThreadsPerBlock.load(); }

std::string cudaEnvMessage(CudaEnv* env) {
    std::lock_guard<std::mutex> guard(env->lock);
    return std::string(env->message);
}

int allocDeviceBuffer(CudaEnv* env, std::size_t bytes) {
    if (!env->created.load()) {
        setMessage(env, kNotCreated);
        return -1;
    }
    std::lock_guard<std::mutex> guard(env->lock);
    for (int slot = 0; slot < kDeviceSlotCount; ++slot) {
        if (env->slots[slot] != nullptr) continue;
        void* pointer = nullptr;
        if (deviceRuntime().malloc(&pointer, bytes) != kDeviceSuccess || pointer == nullptr)
            return -1;
        env->slots[slot] = pointer;
        return slot;
    }
    return -1;
}

void* getDeviceBuffer(CudaEnv* env, int slot) {
    if (env->created.load() && slot >= 0 && slot < kDeviceSlotCount) {
        std::lock_guard<std::mutex> guard(env->lock);
        return env->slots[slot];
    }
    setMessage(env, kNotCreated);
    return nullptr;
}

void freeDeviceBuffer(CudaEnv* env, int slot) {
    if (!env->created.load() || slot < 0 || slot >= kDeviceSlotCount) return;
    void* pointer = nullptr;
    {
        std::lock_guard<std::mutex> guard(env->lock);
        pointer = env->slots[slot];
        env->slots[slot] = nullptr;
    }
    if (pointer != nullptr) deviceRuntime().free(pointer);
}

bool ensureCudaDevice(bool wanted) {
    if (!wanted) return false;
    std::lock_guard<std::mutex> guard(setUpLock);
    if (!setUpTried) trySetUpLocked();
    return setUpReady;
}

std::optional<bool> setUpCudaDeviceFirstTime() {
    std::lock_guard<std::mutex> guard(setUpLock);
    if (setUpTried) return std::nullopt;
    return trySetUpLocked();
}

void resetCudaEnvForTesting() {
    std::lock_guard<std::mutex> setUpGuard(setUpLock);
    CudaEnv* env = getCudaEnv();
    for (int slot = 0; slot < kDeviceSlotCount; ++slot) freeDeviceBuffer(env, slot);
    std::lock_guard<std::mutex> guard(env->lock);
    for (int slot = 0; slot < kDeviceSlotCount; ++slot) env->slots[slot] = nullptr;
    env->created.store(false);
    env->maxThreadsPerBlock.store(0);
    std::memset(env->message, 0, sizeof env->message);
    setUpTried = false;
    setUpReady = false;
}

DeviceSlots::~DeviceSlots() {
    for (int i = 0; i < count_; ++i) freeDeviceBuffer(env_, slots_[i]);
}

void* DeviceSlots::take(std::size_t bytes) {
    if (count_ == kMaxSlots) return nullptr;
    const int slot = allocDeviceBuffer(env_, bytes);
    if (slot < 0) return nullptr;
    slots_[count_++] = slot;
    return getDeviceBuffer(env_, slot);
}

}  // namespace pcbinspect
