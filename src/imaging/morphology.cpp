#include "imaging/morphology.h"

#include <cstddef>
#include <vector>

#include "imaging/region_fill.h"

namespace pcbinspect {
namespace {

constexpr int kSide = 120;

// Below, left, right, above.
constexpr int kDx[4] = {0, -1, 1, 0};
constexpr int kDy[4] = {1, 0, 0, -1};

std::size_t laterStepCapacity(const GrayView& image) {
    return static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height) / 2;
}

// The steps after the first: every pixel listed by the step before offers
// its 4-neighbours inside the image to `change`, which changes a neighbour
// and says so (while the next list has room); changed neighbours are listed
// for the next step. Returns how many pixels changed.
template <class Change>
int laterSteps(MorphologyScratch& scratch, GrayView image, int steps, Change change) {
    auto& current = scratch.current;
    auto& next = scratch.next;
    const std::size_t capacity = laterStepCapacity(image);
    int changed = 0;
    for (int step = 1; step < steps; ++step) {
        next.clear();
        for (const auto& e : current) {
            for (int k = 0; k < 4; ++k) {
                const int nx = e.x + kDx[k], ny = e.y + kDy[k];
                if (nx < 0 || ny < 0 || nx >= image.width || ny >= image.height) continue;
                if (next.size() >= capacity || !change(image.at(nx, ny), e.value)) continue;
                next.push_back({nx, ny, e.value});
            }
        }
        changed += static_cast<int>(next.size());
        current.swap(next);
    }
    return changed;
}

}  // namespace

void RegionFillGrowing(std::uint8_t* image, int width, int stride, int height, int x, int y,
                       std::uint32_t newValue) {
    std::vector<std::int32_t> stack;
    SpanFill(stack, image, width, stride, height, x, y, static_cast<std::uint8_t>(newValue));
}

int DilateSteps(MorphologyScratch& scratch, GrayView image, int steps, int value) {
    if (image.width < 1 || image.height < 1) return 0;
    auto& current = scratch.current;
    current.clear();
    const int w = image.width, h = image.height;
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = image.row(y);
        for (int x = 0; x < w; ++x) {
            if (row[x] != 0) continue;
            for (int k = 0; k < 4; ++k) {
                const int nx = x + kDx[k], ny = y + kDy[k];
                if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
                const std::uint8_t v = image.at(nx, ny);
                if (v == 0) continue;
                current.push_back({x, y, value < 0 ? v : value});
                break;
            }
        }
    }
    for (const auto& e : current) image.at(e.x, e.y) = static_cast<std::uint8_t>(e.value);
    int set = static_cast<int>(current.size());
    set += laterSteps(scratch, image, steps, [](std::uint8_t& p, int v) {
        if (p != 0) return false;
        p = static_cast<std::uint8_t>(v);
        return true;
    });
    return set;
}

int ErodeSteps(MorphologyScratch& scratch, GrayView image, int steps) {
    if (image.width < 1 || image.height < 1) return 0;
    auto& current = scratch.current;
    current.clear();
    const int w = image.width, h = image.height;
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = image.row(y);
        for (int x = 0; x < w; ++x) {
            const std::uint8_t v = row[x];
            if (v == 0) continue;
            int same = 0;
            for (int k = 0; k < 4; ++k) {
                const int nx = x + kDx[k], ny = y + kDy[k];
                if (nx >= 0 && ny >= 0 && nx < w && ny < h && image.at(nx, ny) == v) ++same;
            }
            if (same < 4) current.push_back({x, y, 0});
        }
    }
    for (const auto& e : current) image.at(e.x, e.y) = 0;
    int cleared = static_cast<int>(current.size());
    cleared += laterSteps(scratch, image, steps, [](std::uint8_t& p, int) {
        if (p == 0) return false;
        p = 0;
        return true;
    });
    return cleared;
}

int CountBorderPixels(const std::uint8_t* window) {
    int count = 0;
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            const std::uint8_t* p = window + y * kSide + x;
            if (*p != 255) continue;
            const int full = (y + 1 < kSide && p[kSide] == 255) + (x > 0 && p[-1] == 255) +
                             (x + 1 < kSide && p[1] == 255) + (y > 0 && p[-kSide] == 255);
            if (full < 4) ++count;
        }
    }
    return count;
}

void ErodeQuad(std::uint8_t* window) {
    // Bottom-up, so each decision sees the unchanged pixel above.
    for (int x = 0; x < kSide; ++x)
        for (int y = kSide - 1; y >= 1; --y) {
            std::uint8_t* p = window + y * kSide + x;
            if (*p != 0 && p[-kSide] == 0) *p = 0;
        }
    for (int x = 0; x < kSide; ++x) window[x] = 0;
    for (int y = 0; y < kSide; ++y) {
        std::uint8_t* row = window + y * kSide;
        for (int x = kSide - 1; x >= 1; --x)
            if (row[x] != 0 && row[x - 1] == 0) row[x] = 0;
        row[0] = 0;
    }
}

void DilateQuad(std::uint8_t* window) {
    for (int x = 0; x < kSide; ++x)
        for (int y = 0; y < kSide - 1; ++y) {
            std::uint8_t* p = window + y * kSide + x;
            if (*p == 0) *p = p[kSide];
        }
    for (int y = 0; y < kSide; ++y) {
        std::uint8_t* row = window + y * kSide;
        for (int x = 0; x < kSide - 1; ++x)
            if (row[x] == 0) row[x] = row[x + 1];
    }
}

}  // namespace pcbinspect
