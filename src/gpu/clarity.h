// The clarity measure: a sharpness figure of an 8-bit image, used to warm
// the device up. The image is box-zoomed to at least 8 x 8, nearly uniform
// neighbourhoods are flattened, and squared central differences averaged.
#pragma once

#include <cstdint>
#include <optional>

namespace pcbinspect {

// Zoomed size of a width x height image for a shift: the shift is 0 when
// negative and taken modulo 32 otherwise, and neither side is below 8.
struct ZoomSize {
    int shift, zw, zh;
};
ZoomSize clarityZoomSize(int width, int height, int shift);

// CPU steps, each over a packed zw x zh zoomed image.
void zoomGray(const std::uint8_t* src, int width, int stride, int height, std::uint8_t* zoomed,
              int zw, int zh);
// No-op for radius <= 0. Windows read the image as it was before cleaning.
void cleanGray(std::uint8_t* zoomed, int zw, int zh, int radius, int threshold);
// The sum of the energy terms, in double precision.
double clarityEnergy(const std::uint8_t* zoomed, int zw, int zh);

// The figure on the CPU (energy over (zw - 4)(zh - 4) terms) or, when
// onDevice, on the device (energy over (zw - 2)(zh - 2)). A device attempt
// that fails at any step gives the CPU figure.
float measureClarity(const std::uint8_t* pixels, int width, int stride, int height, int shift,
                     int radius, int threshold, bool onDevice);

// The device figure of a packed image, or empty when a device step failed
// (every buffer taken is then given back).
std::optional<float> measureClarityOnDevice(const std::uint8_t* pixels, int width, int height,
                                            int shift, int radius, int threshold);

}  // namespace pcbinspect
