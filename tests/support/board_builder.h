// Synthetic boards for the suspected-flaw search: a labelled CAD reference
// of pads and lines, and binary camera windows rendered from it with flaws
// planted at known places.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "boards/images.h"

namespace pcbinspect::testing {

// A reference of `width` x `height` labels: round pads (180), square pads
// (160) and horizontal and vertical lines (170) on background 0, placed
// with a fixed seed so that no two places of the board look alike.
struct Board {
    int width = 0, height = 0;
    std::vector<std::uint8_t> labels;

    std::uint8_t at(int x, int y) const {
        return labels[static_cast<std::size_t>(y) * width + x];
    }
    Canvas canvas() { return Canvas(labels.data(), width, width, height); }
};

inline Board syntheticBoard(int width, int height, std::uint32_t seed) {
    Board b{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height, 0)};
    const Canvas c = b.canvas();
    std::mt19937 rng(seed);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    // About one feature of each kind per 60 x 60 pixels.
    const int features = width * height / 3600;
    for (int i = 0; i < features; ++i) {
        const int x = uniform(0, width - 1), y = uniform(0, height - 1);
        switch (uniform(0, 3)) {
            case 0:
                c.disc(x, y, uniform(6, 14), 180);
                break;
            case 1: {
                const int r = uniform(5, 12);
                c.rect(x - r, y - r, x + r, y + r, 160);
                break;
            }
            case 2:
                c.rect(x, y, x + uniform(30, 120), y + uniform(3, 8), 170);
                break;
            default:
                c.rect(x, y, x + uniform(3, 8), y + uniform(30, 120), 170);
                break;
        }
    }
    return b;
}

// The camera's view of the board: 255 where the label is copper (160, 170,
// 180), else 0, for the w x h window whose top-left corner lies at
// (left, top) of the board; pixels off the board are 0.
inline void renderCamera(const Board& b, int left, int top, GuardedImage& camera) {
    for (int y = 0; y < camera.height(); ++y) {
        for (int x = 0; x < camera.width(); ++x) {
            const int bx = left + x, by = top + y;
            std::uint8_t v = 0;
            if (bx >= 0 && by >= 0 && bx < b.width && by < b.height) {
                const std::uint8_t l = b.at(bx, by);
                v = (l == 160 || l == 170 || l == 180) ? 255 : 0;
            }
            camera.at(x, y) = v;
        }
    }
}

// A copy of the board's labels in a guarded image of the given stride.
inline void copyBoard(const Board& b, GuardedImage& image) {
    for (int y = 0; y < b.height; ++y)
        for (int x = 0; x < b.width; ++x) image.at(x, y) = b.at(x, y);
}

}  // namespace pcbinspect::testing
