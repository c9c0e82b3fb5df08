// The process-wide GPU environment: whether a usable device has been set up,
// the text of the last environment error, the device's thread limit, and the
// table of device buffer slots that device operations take and give back
// within one call.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>

namespace pcbinspect {

inline constexpr int kDeviceSlotCount = 1024;

struct CudaEnv {
    std::atomic<bool> created{false};   // a device passed the set-up checks
    char message[255] = {};             // last environment error; guarded by lock
    std::atomic<int> maxThreadsPerBlock{0};
    std::mutex lock;                    // slot hand-out, release and message
    void** slots = nullptr;             // kDeviceSlotCount device pointers, null = free
};

// The record, created with a zeroed slot table on first use (thread-safe) and
// kept for the life of the process.
CudaEnv* getCudaEnv();

// Sets device 0 up once it passes the checks; does nothing when already
// created. On failure `created` stays false and `message` says why.
void initCudaDevice(CudaEnv* env);

bool cudaEnvCreated(const CudaEnv* env);
int cudaEnvMaxThreadsPerBlock(const CudaEnv* env);
std::string cudaEnvMessage(CudaEnv* env);

// A slot holding `bytes` of fresh device memory (lowest free slot first), or
// -1 when the environment is not created, no slot is free or the runtime
// refuses the allocation.
int allocDeviceBuffer(CudaEnv* env, std::size_t bytes);
// The device pointer of a slot; null (and the message) for a negative or
// unknown slot or an environment that is not created.
void* getDeviceBuffer(CudaEnv* env, int slot);
// Frees a slot's memory and marks it free; anything else does nothing.
void freeDeviceBuffer(CudaEnv* env, int slot);

// The use-GPU decision of an export: when `wanted` and no set-up has been
// tried in this process, tries it once. True when wanted and the device is
// ready. A failed set-up is never retried.
bool ensureCudaDevice(bool wanted);

// The first set-up attempt of the process, for PrebuildCudaEnv: empty when a
// set-up was already tried, otherwise whether the device is now ready.
std::optional<bool> setUpCudaDeviceFirstTime();

// Forgets every set-up attempt, frees any held slot and clears the record,
// as if the process had just started. For tests only.
void resetCudaEnvForTesting();

// Device buffers of one device operation: every slot taken through it is
// given back when it goes out of scope, whether the operation finished or
// stopped at a failed step.
class DeviceSlots {
public:
    explicit DeviceSlots(CudaEnv* env) : env_(env) {}
    ~DeviceSlots();
    DeviceSlots(const DeviceSlots&) = delete;
    DeviceSlots& operator=(const DeviceSlots&) = delete;

    // The device pointer of a fresh buffer of `bytes`, or null when no slot
    // could be taken.
    void* take(std::size_t bytes);

private:
    static constexpr int kMaxSlots = 4;
    CudaEnv* env_;
    int slots_[kMaxSlots] = {-1, -1, -1, -1};
    int count_ = 0;
};

}  // namespace pcbinspect
