// Builders of images with simple shapes: filled discs and polygons.
#pragma once

#include <cstdint>
#include <vector>

namespace pcbinspect::testing {

// Sets every pixel whose centre lies within `radius` of (cx, cy) to `value`
// in an 8-bit image with rows `stride` bytes apart.
inline void drawDisc(std::uint8_t* image, int width, int stride, int height, double cx, double cy,
                     double radius, std::uint8_t value) {
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy <= radius * radius)
                image[static_cast<std::size_t>(y) * stride + x] = value;
        }
    }
}

// The corners of an axis-aligned rectangle as a closed polygon of int pairs,
// clockwise on screen: top-left, top-right, bottom-right, bottom-left.
inline std::vector<std::int32_t> rectanglePolygon(int left, int top, int right, int bottom) {
    return {left, top, right, top, right, bottom, left, bottom};
}

}  // namespace pcbinspect::testing
