// The GPU environment against a simulated device: the one-time set-up and its
// messages, the buffer slots, the lazy set-up of exports and the launch shape.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gpu/cuda_env.h"
#include "gpu/device_runtime.h"
#include "gpu/launch_shape.h"
#include "support/fake_device.h"

namespace pcbinspect {
namespace {

using testing::DeviceScope;
using testing::FakeDevice;

constexpr const char* kNotCreated = "Cuda environment is not been created.";

TEST(CudaSetUp, ReadyDeviceRecordsItsThreadLimit) {
    FakeDevice device;
    device.properties = {9, 0, 1024};
    DeviceScope scope(device);
    CudaEnv* env = getCudaEnv();
    initCudaDevice(env);
    EXPECT_TRUE(cudaEnvCreated(env));
    EXPECT_EQ(cudaEnvMaxThreadsPerBlock(env), 1024);
    EXPECT_EQ(device.calls("freeNull"), 1);  // the context is created at set-up
    EXPECT_EQ(device.calls("deviceReset"), 0);
    // A created environment is not set up again.
    initCudaDevice(env);
    EXPECT_EQ(device.calls("getDevice"), 1);
}

TEST(CudaSetUp, FailuresLeaveTheEnvironmentNotCreatedWithTheirMessage) {
    struct Case {
        const char* name;
        DeviceStatus getDevice, properties;
        int major, computeMode;
        const char* failOn;  // an injected failure of a later step
        const char* message;
        int resets;
    };
    const Case cases[] = {
        {"no device", kDeviceErrorNoDevice, 0, 9, 0, "", "no CUDA-capable device is detected",
         0},
        {"properties", 0, 999, 9, 0, "", "unknown error", 1},
        {"compute capability 2.x", 0, 0, 2, 0, "", "Cuda capacity of video card is too lower.",
         1},
        {"prohibited mode", 0, 0, 7, 2, "",
         "Error: device is running in <Compute Mode Prohibited>, no threads can use "
         "::cudaSetDevice().",
         1},
        {"no context", 0, 0, 9, 0, "freeNull", "out of memory", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDevice device;
        device.getDeviceStatus = c.getDevice;
        device.propertiesStatus = c.properties;
        device.properties = {c.major, c.computeMode, 1024};
        if (*c.failOn) device.failOn(c.failOn, 1);
        DeviceScope scope(device);
        CudaEnv* env = getCudaEnv();
        initCudaDevice(env);
        EXPECT_FALSE(cudaEnvCreated(env));
        EXPECT_EQ(cudaEnvMaxThreadsPerBlock(env), 0);
        EXPECT_EQ(cudaEnvMessage(env), c.message);
        EXPECT_EQ(device.calls("deviceReset"), c.resets);
        // Compute capability 3.0 passes: only a major below 3 is refused.
    }
    FakeDevice device;
    device.properties = {3, 0, 256};
    DeviceScope scope(device);
    initCudaDevice(getCudaEnv());
    EXPECT_TRUE(cudaEnvCreated(getCudaEnv()));
}

TEST(CudaSetUp, ExportsTryTheSetUpOnceAndOnlyWhenAskedFor) {
    FakeDevice device;
    device.getDeviceStatus = kDeviceErrorNoDevice;
    DeviceScope scope(device);
    EXPECT_FALSE(ensureCudaDevice(false));
    EXPECT_EQ(device.calls("getDevice"), 0);  // not asked for the GPU: no set-up
    EXPECT_FALSE(ensureCudaDevice(true));
    EXPECT_FALSE(ensureCudaDevice(true));
    EXPECT_EQ(device.calls("getDevice"), 1);  // a failed set-up is never retried
    EXPECT_FALSE(setUpCudaDeviceFirstTime().has_value());

    FakeDevice good;
    DeviceScope again(good);
    EXPECT_FALSE(ensureCudaDevice(false));
    EXPECT_TRUE(ensureCudaDevice(true));
    EXPECT_TRUE(ensureCudaDevice(true));
    EXPECT_EQ(good.calls("getDevice"), 1);
}

TEST(DeviceSlots, NeedACreatedEnvironment) {
    FakeDevice device;
    DeviceScope scope(device);
    CudaEnv* env = getCudaEnv();
    EXPECT_EQ(allocDeviceBuffer(env, 16), -1);
    EXPECT_EQ(cudaEnvMessage(env), kNotCreated);
    EXPECT_EQ(device.calls("malloc"), 0);
}

TEST(DeviceSlots, HandOutTheLowestFreeSlotUpTo1024) {
    FakeDevice device;
    DeviceScope scope(device);
    CudaEnv* env = getCudaEnv();
    initCudaDevice(env);
    for (int i = 0; i < kDeviceSlotCount; ++i) ASSERT_EQ(allocDeviceBuffer(env, 8), i);
    EXPECT_EQ(allocDeviceBuffer(env, 8), -1);  // the 1025th
    EXPECT_EQ(cudaEnvMessage(env), "");        // a full table leaves the message alone
    EXPECT_EQ(device.calls("malloc"), 1024);   // and asks the device for nothing
    freeDeviceBuffer(env, 700);
    freeDeviceBuffer(env, 5);
    EXPECT_EQ(allocDeviceBuffer(env, 8), 5);  // lowest free first
    EXPECT_EQ(allocDeviceBuffer(env, 8), 700);
    EXPECT_EQ(device.liveBuffers(), 1024);
}

TEST(DeviceSlots, RefusedAllocationAndBadSlots) {
    FakeDevice device;
    DeviceScope scope(device);
    CudaEnv* env = getCudaEnv();
    initCudaDevice(env);
    device.failOn("malloc", 2);
    const int first = allocDeviceBuffer(env, 32);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(allocDeviceBuffer(env, 32), -1);  // the runtime refused
    EXPECT_EQ(cudaEnvMessage(env), "");
    EXPECT_EQ(allocDeviceBuffer(env, 32), 1);   // the slot was not taken

    EXPECT_NE(getDeviceBuffer(env, first), nullptr);
    EXPECT_EQ(getDeviceBuffer(env, -1), nullptr);
    EXPECT_EQ(cudaEnvMessage(env), kNotCreated);
    EXPECT_EQ(getDeviceBuffer(env, kDeviceSlotCount), nullptr);  // never handed out
    EXPECT_EQ(getDeviceBuffer(env, 2), nullptr);                 // free slot

    freeDeviceBuffer(env, -1);  // does nothing
    freeDeviceBuffer(env, 7);   // free slot: nothing to give back
    EXPECT_EQ(device.calls("free"), 0);
    freeDeviceBuffer(env, first);
    EXPECT_EQ(device.calls("free"), 1);
    EXPECT_EQ(getDeviceBuffer(env, first), nullptr);
}

TEST(DeviceSlots, OperationScopeGivesEverythingBack) {
    FakeDevice device;
    DeviceScope scope(device);
    CudaEnv* env = getCudaEnv();
    initCudaDevice(env);
    device.failOn("malloc", 3);
    {
        DeviceSlots slots(env);
        EXPECT_NE(slots.take(10), nullptr);
        EXPECT_NE(slots.take(10), nullptr);
        EXPECT_EQ(slots.take(10), nullptr);
        EXPECT_EQ(device.liveBuffers(), 2);
    }
    EXPECT_EQ(device.liveBuffers(), 0);
    EXPECT_EQ(allocDeviceBuffer(env, 1), 0);
}

TEST(LaunchShape, SquareBlocksCoverTheOutput) {
    struct Case {
        int threads, w, h;
        unsigned side, gx, gy;
    };
    const Case cases[] = {
        {1024, 100, 70, 32, 4, 3},  // 32 x 32 blocks; 100 = 3 * 32 + 4, 70 = 2 * 32 + 6
        {1024, 64, 32, 32, 2, 1},   // exact multiples need no extra block
        {1000, 62, 63, 31, 2, 3},   // sqrt(1000) = 31.6 truncates to 31
        {512, 1, 1, 22, 1, 1},      // sqrt(512) = 22.6
        {1, 5, 3, 1, 5, 3},
    };
    for (const Case& c : cases) {
        LaunchShape s;
        ASSERT_TRUE(launchShape(c.threads, c.w, c.h, s));
        EXPECT_EQ(s.blockX, c.side);
        EXPECT_EQ(s.blockY, c.side);
        EXPECT_EQ(s.gridX, c.gx);
        EXPECT_EQ(s.gridY, c.gy);
    }
    LaunchShape s;
    EXPECT_FALSE(launchShape(0, 10, 10, s));  // a device without threads
    EXPECT_FALSE(launchShape(1024, 0, 10, s));
}

}  // namespace
}  // namespace pcbinspect
