// Working memory of the checks and the square maximum.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "boundary/numeric.h"
#include "inspect/window_checks.h"

namespace pcbinspect {

std::int16_t* CheckScratch::fillStack(int width, int height) {
    const std::size_t need = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 2;
    if (stack_.size() < need) stack_.resize(need);
    return stack_.data();
}

std::uint8_t* CheckScratch::work(int slot, std::size_t bytes) {
    std::vector<std::uint8_t>& w = work_[slot];
    if (w.size() < bytes) w.resize(bytes);
    return w.data();
}

int* CheckScratch::rows(int count) {
    if (rows_.size() < static_cast<std::size_t>(count)) rows_.resize(static_cast<std::size_t>(count));
    return rows_.data();
}

int squareMaximum(const std::uint8_t* window, int cx, int cy) {
    // |x - cx| < 28 is cx - 27 .. cx + 27.
    const int x0 = std::max(cx - 27, 0), x1 = std::min(cx + 27, kWindowSide - 1);
    const int y0 = std::max(cy - 27, 0), y1 = std::min(cy + 27, kWindowSide - 1);
    int best = 0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) best = std::max<int>(best, window[y * kWindowSide + x]);
    return best;
}

}  // namespace pcbinspect
