// Row and window copies between gray images at integer offsets.
#pragma once

#include <cstdint>

namespace pcbinspect {

// Copies src into dst with src's top-left corner at (xOffset, yOffset) of
// dst, clipped to both images; rows and columns outside dst are dropped.
void copyGrayAt(std::uint8_t* dst, int dstWidth, int dstStride, int dstHeight,
                const std::uint8_t* src, int srcWidth, int srcStride, int srcHeight, int xOffset,
                int yOffset);

// Cuts the dst-sized window whose top-left corner lies at (left, top) of src
// into dst. Window pixels outside src are left as they were.
void copySubGrayAt(const std::uint8_t* src, int srcWidth, int srcStride, int srcHeight,
                   std::uint8_t* dst, int dstWidth, int dstStride, int dstHeight, int left,
                   int top);
// copySubGrayAt into a window whose pixels outside src become 0.
void cutSubGrayAt(const std::uint8_t* src, int srcWidth, int srcStride, int srcHeight, std::uint8_t* dst,
                  int dstWidth, int dstStride, int dstHeight, int left, int top);

}  // namespace pcbinspect
