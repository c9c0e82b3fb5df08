// Vertical skew correction of 24-bit colour images (blue, green, red per
// pixel): each column is moved vertically in proportion to its position.
#pragma once

#include <cstdint>

namespace pcbinspect {

// Writes into dst the source sheared by `skew` rows across its width: output
// pixel (x, r) samples column x at row r - x * skew / width. Pixels whose
// sample has no row below it inside the source are left as they were. On the
// device when onDevice, falling back to the CPU when a device step fails.
void shearDibVertical(const std::uint8_t* src, int width, int srcStride, int height,
                      std::uint8_t* dst, int dstWidth, int dstStride, int dstHeight, float skew,
                      bool onDevice);

// The device path; false (dst untouched) when any device step failed.
bool shearDibOnDevice(const std::uint8_t* src, int width, int srcStride, int height,
                      std::uint8_t* dst, int dstStride, int dstHeight, float k);

// skewDIB on checked arguments: 0 < |skew| < height.
void skewDibInPlace(std::uint8_t* pixels, int width, int stride, int height, int skew,
                    bool onDevice);

}  // namespace pcbinspect
