#include "imaging/morphology.h"

#include <cstddef>
#include <vector>


#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// A later dilation step sets a zero neighbour to the value carried.
bool growInto(std::uint8_t& p, int v) {
    if (p != 0) return false;
    p = static_cast<std::uint8_t>(v);
    return true;
}

// A later erosion step clears a set neighbour.
bool clearOut(std::uint8_t& p, int) {
    if (p == 0) return false;
    p = 0;
    return true;
}

// Visits in row order every pixel that the first step of a growth (a zero
// pixel with a set 4-neighbour) or a shrink (a set pixel with a 4-neighbour
// of another value, or on the image's edge) may list. Inside the image,
// sixteen pixels are tested at a time and groups without such a pixel are
// passed over.
template <class Visit>
void firstStepScan(GrayView image, bool growing, Visit visit) {
    const int w = image.width, h = image.height;
    for (int y = 0; y < h; ++y) {
        int x = 0;
        if (y > 0 && y < h - 1) {
            visit(0, y);
            x = 1;
#ifdef __SSE2__
            const std::uint8_t* row = image.row(y);
            const std::uint8_t* above = image.row(y - 1);
            const std::uint8_t* below = image.row(y + 1);
            const __m128i zero = _mm_setzero_si128();
            for (; x + 17 <= w; x += 16) {
                auto load = [](const std::uint8_t* p) {
                    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
                };
                const __m128i v = load(row + x);
                __m128i maybe;
                if (growing) {
                    auto clear = [&](const std::uint8_t* p) { return _mm_cmpeq_epi8(load(p), zero); };
                    maybe = _mm_andnot_si128(
                        _mm_and_si128(_mm_and_si128(clear(above + x), clear(below + x)),
                                      _mm_and_si128(clear(row + x - 1), clear(row + x + 1))),
                        _mm_cmpeq_epi8(v, zero));
                } else {
                    auto same = [&](const std::uint8_t* p) { return _mm_cmpeq_epi8(load(p), v); };
                    maybe = _mm_andnot_si128(
                        _mm_or_si128(_mm_and_si128(_mm_and_si128(same(above + x), same(below + x)),
                                                   _mm_and_si128(same(row + x - 1), same(row + x + 1))),
                                     _mm_cmpeq_epi8(v, zero)),
                        _mm_set1_epi8(-1));
                }
                unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(maybe));
                while (bits != 0) {
                    visit(x + __builtin_ctz(bits), y);
                    bits &= bits - 1;
                }
            }
#endif
        }
        for (; x < w; ++x) visit(x, y);
    }
}

}  // namespace

int DilateSteps(MorphologyScratch& scratch, GrayView image, int steps, int value) {
    if (image.width < 1 || image.height < 1) return 0;
    auto& current = scratch.current;
    current.clear();
    const int w = image.width, h = image.height;
    // A zero pixel with a set 4-neighbour, found in row order.
    auto visit = [&](int x, int y) {
        if (image.at(x, y) != 0) return;
        for (int k = 0; k < 4; ++k) {
            const int nx = x + kDx[k], ny = y + kDy[k];
            if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
            const std::uint8_t v = image.at(nx, ny);
            if (v == 0) continue;
            current.push_back({x, y, value < 0 ? v : value});
            break;
        }
    };
    firstStepScan(image, true, visit);
    for (const auto& e : current) image.at(e.x, e.y) = static_cast<std::uint8_t>(e.value);
    return static_cast<int>(current.size()) + laterSteps(scratch, image, steps, growInto);
}

int DilateMoreSteps(MorphologyScratch& scratch, GrayView image, int steps) {
    return laterSteps(scratch, image, steps + 1, growInto);
}

int ErodeSteps(MorphologyScratch& scratch, GrayView image, int steps) {
    if (image.width < 1 || image.height < 1) return 0;
    auto& current = scratch.current;
    current.clear();
    const int w = image.width, h = image.height;
    // A set pixel with fewer than four 4-neighbours of its value inside the
    // image, found in row order.
    auto visit = [&](int x, int y) {
        const std::uint8_t v = image.at(x, y);
        if (v == 0) return;
        int same = 0;
        for (int k = 0; k < 4; ++k) {
            const int nx = x + kDx[k], ny = y + kDy[k];
            if (nx >= 0 && ny >= 0 && nx < w && ny < h && image.at(nx, ny) == v) ++same;
        }
        if (same < 4) current.push_back({x, y, 0});
    };
    firstStepScan(image, false, visit);
    for (const auto& e : current) image.at(e.x, e.y) = 0;
    return static_cast<int>(current.size()) + laterSteps(scratch, image, steps, clearOut);
}

int ErodeMoreSteps(MorphologyScratch& scratch, GrayView image, int steps) {
    return laterSteps(scratch, image, steps + 1, clearOut);
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
