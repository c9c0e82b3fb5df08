// Per-pixel functions shared by the device kernels and their CPU loops.
//
// A function marked PCBINSPECT_HD is compiled for the graphics processor when
// nvcc reads it and is an ordinary inline function for the host compiler, so
// one body computes a pixel on both paths. Both compilers are told not to fuse
// multiply-adds; with that, a kernel and its CPU loop give the same bytes.
#pragma once

#if defined(__CUDACC__)
#define PCBINSPECT_HD __host__ __device__
#else
#define PCBINSPECT_HD
#endif

#include <cstdint>

#include "boundary/numeric.h"

namespace pcbinspect {

// An int clamped to the byte range; values inside it are unchanged.
PCBINSPECT_HD inline std::uint8_t clampToByte(int v) {
    return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

}  // namespace pcbinspect
