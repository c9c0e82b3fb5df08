// Sub-image extraction: a destination-sized window of a gray image, centred at
// a sub-pixel point and rotated about it, sampled bilinearly (on the CPU or
// the device) or at the nearest pixel.
#pragma once

#include <cstdint>

namespace pcbinspect {

// The bilinear extraction with the use-GPU decision already taken. Rotations
// of at least 0.001 degrees go to the device when useGpu (falling back to the
// CPU when a device step fails); smaller ones are a window copy when the
// window's corner lies within 0.2 of whole pixels, a bilinear shift
// otherwise. Pixels whose sample falls outside the source are left as they
// were (set to 0 on the device path).
void resampleGrayBilinear(const std::uint8_t* src, int srcW, int srcStride, int srcH,
                          std::uint8_t* dst, int dstW, int dstStride, int dstH, float cx,
                          float cy, float angle, bool useGpu);

// The device path, with the centre in whole pixels. Writes the whole window
// (uncovered pixels 0) and returns true, or returns false without writing
// when any device step failed.
bool resampleGrayOnDevice(const std::uint8_t* src, int srcW, int srcStride, int srcH,
                          std::uint8_t* dst, int dstW, int dstStride, int dstH, int cx, int cy,
                          float angle);

// Nearest-pixel extraction; pixels whose sample falls outside the source are
// left as they were.
void resampleGrayNearest(const std::uint8_t* src, int srcW, int srcStride, int srcH,
                         std::uint8_t* dst, int dstW, int dstStride, int dstH, float cx,
                         float cy, float angle);

// Sine and cosine of a rotation given in degrees, in single precision with
// this library's value of pi for resampling, 3.1415925.
void rotationOf(float angle, float& s, float& c);

}  // namespace pcbinspect
