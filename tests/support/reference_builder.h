// Synthetic CAD reference images: label images as the inspection reads
// them, with pads, lines and wide networks of label 170.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "boards/images.h"

namespace pcbinspect::testing {

// A square reference of side `side` tiled with 512 x 512 cells. Each cell
// holds a wide cross of 170 (a line network), a round 180 pad with 170
// inside and around it, a square 160 pad crossed by a 170 line, and thin
// lines of 151 and 170, placed with a fixed seed.
inline std::vector<std::uint8_t> syntheticReference(int side, std::uint32_t seed = 1) {
    std::vector<std::uint8_t> ref(static_cast<std::size_t>(side) * side, 0);
    const Canvas c(ref.data(), side, side, side);
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> jitter(-20, 20);
    for (int cy = 0; cy + 512 <= side; cy += 512) {
        for (int cx = 0; cx + 512 <= side; cx += 512) {
            const int x = cx + 256 + jitter(rng), y = cy + 256 + jitter(rng);
            c.rect(x - 160, y - 10, x + 159, y + 9, 170);  // wide cross
            c.rect(x - 10, y - 160, x + 9, y + 159, 170);
            c.disc(cx + 90, cy + 90, 30, 180);             // round pad
            c.rect(cx + 86, cy + 86, cx + 94, cy + 94, 170);
            c.rect(cx + 40, cy + 120, cx + 140, cy + 123, 170);
            c.rect(cx + 380, cy + 60, cx + 440, cy + 120, 160);  // square pad
            c.rect(cx + 360, cy + 88, cx + 470, cy + 92, 170);
            c.rect(cx + 40, cy + 440, cx + 300, cy + 442, 151);  // thin lines
            c.rect(cx + 330, cy + 420, cx + 490, cy + 423, 170);
        }
    }
    return ref;
}

}  // namespace pcbinspect::testing
