// Launchers of the device kernels, defined beside each kernel in the .cu
// files and called by the CUDA runtime behind DeviceRuntime. Plain C++, so
// host code can declare them without the CUDA headers.
#pragma once

#include <cstdint>

#include "gpu/clarity_pixels.h"
#include "gpu/device_runtime.h"
#include "gpu/launch_shape.h"
#include "gpu/resample_pixels.h"

namespace pcbinspect {

DeviceStatus launchZoomGrayBlock(const LaunchShape& shape, const ZoomGrayArgs& args);
DeviceStatus launchCleanGrayBlock(const LaunchShape& shape, const CleanGrayArgs& args);
DeviceStatus launchCountClarityBlock(const LaunchShape& shape, const std::uint8_t* image,
                                     unsigned long long* sum, int zw, int zh);
DeviceStatus launchGetSubGray8Block(const LaunchShape& shape, const SubGrayArgs& args);
DeviceStatus launchSkewVerticalBlockDIB(const LaunchShape& shape, const SkewDibArgs& args);

}  // namespace pcbinspect
