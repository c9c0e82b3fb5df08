#include "inspect/window_routines.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "boundary/vector_lanes.h"
#include "boundary/numeric.h"
#include "imaging/region_fill.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace pcbinspect {
namespace {

constexpr double kPi = 3.14159;

// For each offset (fx, fy) of the 11 x 11 frame: the cosine of the line's
// angle folded to 0 .. 45 degrees off the nearest axis, or -1 where that
// angle is at most 10 degrees and the width stays. A constant table, made
// once.
struct FoldedCosines {
    double value[11][11];
    FoldedCosines() {
        for (int fy = -5; fy <= 5; ++fy)
            for (int fx = -5; fx <= 5; ++fx) {
                double angle =
                    std::atan2(static_cast<double>(fy), static_cast<double>(fx)) / kPi * 180.0;
                while (angle < 0.0) angle += 90.0;
                while (angle > 90.0) angle -= 90.0;
                if (angle > 45.0) angle = 90.0 - angle;
                value[fy + 5][fx + 5] = angle > 10.0 ? std::cos(angle / 180.0 * kPi) : -1.0;
            }
    }
};

const FoldedCosines& foldedCosines() {
    static const FoldedCosines table;
    return table;
}

struct Box {
    int bottom = -1, top = 0, left = 0, right = -1;
    bool empty() const { return bottom < top || right < left; }
};

// The largest region of one kind met from the central 41 x 41 square.
struct Region {
    int count = 0;
    Box box;
};

// Fills every region of `from` met in the central square with `to`, keeping
// the largest (the first of equal ones).
Region largestCentralRegion(std::uint8_t* d, int n, std::uint8_t from, std::uint8_t to,
                            std::int16_t* stack) {
    Region best;
    const int c = n / 2;
    for (int y = std::max(c - 20, 0); y <= std::min(c + 20, n - 1); ++y)
        for (int x = std::max(c - 20, 0); x <= std::min(c + 20, n - 1); ++x) {
            if (d[y * n + x] != from) continue;
            int b[4];
            const int count = RegionFill(stack, d, n, n, n, x, y, to, b);
            if (count > best.count) best = Region{count, Box{b[0], b[1], b[2], b[3]}};
        }
    return best;
}

// Marks as `outline` the pixels of value `inside` with a zero 4-neighbour,
// within the box limited to 1..n-2.
void markOutline(std::uint8_t* d, int n, const Box& box, std::uint8_t inside,
                 std::uint8_t outline) {
    for (int y = std::max(box.top, 1); y <= std::min(box.bottom, n - 2); ++y)
        for (int x = std::max(box.left, 1); x <= std::min(box.right, n - 2); ++x) {
            std::uint8_t* p = d + y * n + x;
            if (*p == inside && (p[n] == 0 || p[-1] == 0 || p[1] == 0 || p[-n] == 0))
                *p = outline;
        }
}

// Largest distance from the pixels of `value` in the limited box to the
// nearest outline pixel.
DifferenceMeasure farthestFromOutline(const std::uint8_t* d, int n, const Box& box,
                                      std::uint8_t value, int mx, int my,
                                      const std::vector<std::pair<int, int>>& outline) {
    DifferenceMeasure m;
    if (outline.empty()) return m;
    const int band = n > 120 ? 20 : 10;
    const int y0 = std::max(box.top, band + my), y1 = std::min(box.bottom, n - band - my);
    const int x0 = std::max(box.left, band + mx), x1 = std::min(box.right, n - band - mx);
    long long best = -1;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            if (d[y * n + x] != value) continue;
            long long nearest = -1;
            for (const auto& [ox, oy] : outline) {
                const long long dx = x - ox, dy = y - oy;
                const long long s = dx * dx + dy * dy;
                if (nearest < 0 || s < nearest) nearest = s;
            }
            if (nearest > best) {
                best = nearest;
                m.x = x;
                m.y = y;
            }
        }
    if (best > 0) {
        m.value = static_cast<float>(std::sqrt(static_cast<double>(best)));
    } else {
        m = DifferenceMeasure{};
    }
    return m;
}

}  // namespace

void ClearMargins(std::uint8_t* window, int size, int mx, int my) {
    const int rows = std::min(my, size), cols = std::min(mx, size);
    if (rows > 0) {
        std::memset(window, 0, static_cast<std::size_t>(rows) * size);
        std::memset(window + static_cast<std::size_t>(size - rows) * size, 0,
                    static_cast<std::size_t>(rows) * size);
    }
    if (cols > 0) {
        for (int y = 0; y < size; ++y) {
            std::uint8_t* row = window + static_cast<std::size_t>(y) * size;
            std::memset(row, 0, static_cast<std::size_t>(cols));
            std::memset(row + size - cols, 0, static_cast<std::size_t>(cols));
        }
    }
}

void ErodeOnce(GrayView w) {
    // Edge pixels are marked 1 first and cleared after: a mark is still set
    // to the neighbours examined later, so each pixel's verdict depends on
    // the unchanged image only and sixteen are decided at a time.
    for (int y = 1; y < w.height - 1; ++y) {
        std::uint8_t* p = w.row(y);
        const std::ptrdiff_t s = w.stride;
        int x = 1;
#ifdef __SSE2__
        const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
        auto clear = [&](const std::uint8_t* q) {
            return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)), zero);
        };
        for (; x + 17 <= w.width; x += 16) {
            const __m128i edge = _mm_andnot_si128(
                clear(p + x), _mm_or_si128(_mm_or_si128(clear(p + x + s), clear(p + x - 1)),
                                           _mm_or_si128(clear(p + x + 1), clear(p + x - s))));
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + x));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p + x),
                             _mm_or_si128(_mm_and_si128(edge, one), _mm_andnot_si128(edge, v)));
        }
#endif
        for (; x < w.width - 1; ++x)
            if (p[x] != 0 && (p[x + s] == 0 || p[x - 1] == 0 || p[x + 1] == 0 || p[x - s] == 0))
                p[x] = 1;
    }
    for (int y = 0; y < w.height; ++y) {
        std::uint8_t* p = w.row(y);
        for (int x = 0; x < w.width; ++x) p[x] = p[x] == 1 ? 0 : p[x];
    }
}

void CorrectLineDirection(GrayView map) {
    const FoldedCosines& cosines = foldedCosines();
    for (int y = 5; y < map.height - 5; ++y) {
        const std::uint8_t* row = map.row(y);
        for (int x = 5; x < map.width - 5; ++x) {
#ifdef __SSE2__
            // Clear groups of sixteen are passed over.
            if ((x - 5) % 16 == 0 && x + 16 <= map.width - 5 &&
                bytesEqual16(row + x, 0) == 0xFFFF) {
                x += 15;
                continue;
            }
#endif
            const int v = row[x];
            if (v == 0) continue;
            // The set pixel of the 11 x 11 frame farthest from (x, y): the
            // rows at distance 5 first (per column the lower row when both
            // are set), then the columns (per row the right column when both
            // are set); a later pixel wins only when strictly farther.
            int best = -1, fx = 0, fy = 0;
            for (int dx = -5; dx <= 5; ++dx) {
                int dy = 0;
                if (map.at(x + dx, y - 5) != 0) dy = -5;
                if (map.at(x + dx, y + 5) != 0) dy = 5;
                if (dy != 0 && dx * dx + 25 > best) {
                    best = dx * dx + 25;
                    fx = dx;
                    fy = dy;
                }
            }
            for (int dy = -5; dy <= 5; ++dy) {
                int dx = 0;
                if (map.at(x - 5, y + dy) != 0) dx = -5;
                if (map.at(x + 5, y + dy) != 0) dx = 5;
                if (dx != 0 && dy * dy + 25 > best) {
                    best = dy * dy + 25;
                    fx = dx;
                    fy = dy;
                }
            }
            if (best < 0) continue;
            // A line more than 10 degrees off the nearest axis: the width
            // across it. +128 keeps the corrected pixel set for the frames of
            // the pixels after it; removed once the scan is done.
            const double cosine = cosines.value[fy + 5][fx + 5];
            if (cosine >= 0.0)
                map.at(x, y) = static_cast<std::uint8_t>(truncToInt(cosine * v + 128.5));
        }
    }
    for (int y = 0; y < map.height; ++y) {
        std::uint8_t* row = map.row(y);
        // Clears the mark bit: 128..255 become 0..127, lower values stay.
        for (int x = 0; x < map.width; ++x) row[x] = static_cast<std::uint8_t>(row[x] & 127);
    }
}

ExcessMissingResult ExcessMissing(std::uint8_t* d, std::uint8_t* o, int n, int mx, int my) {
    // The fill stack is written before it is read: it needs no clearing.
    const std::unique_ptr<std::int16_t[]> stack(new std::int16_t[static_cast<std::size_t>(n) * n * 2]);
    const Region excess = largestCentralRegion(d, n, 255, 254, stack.get());
    const Region missing = largestCentralRegion(d, n, 128, 127, stack.get());
    for (int i = 0; i < n * n; ++i) d[i] = (d[i] == 255 || d[i] == 128) ? 0 : d[i];

    if (excess.count > 0) markOutline(d, n, excess.box, 254, 255);
    if (missing.count > 0) markOutline(d, n, missing.box, 127, 128);

    // Outline pixels count only near the regions found.
    Box reach;
    bool any = false;
    for (const Region* r : {&excess, &missing}) {
        if (r->count <= 0) continue;
        if (!any) {
            reach = r->box;
            any = true;
        } else {
            reach.bottom = std::max(reach.bottom, r->box.bottom);
            reach.top = std::min(reach.top, r->box.top);
            reach.left = std::min(reach.left, r->box.left);
            reach.right = std::max(reach.right, r->box.right);
        }
    }
    std::vector<std::pair<int, int>> outline;
    for (int y = 0; y < n; ++y) {
        std::uint8_t* oRow = o + y * n;
        std::uint8_t* dRow = d + y * n;
        const bool nearRow = any && y >= reach.top - 3 && y <= reach.bottom + 3;
        const int lo = nearRow ? std::clamp(reach.left - 3, 0, n) : n;
        const int hi = nearRow ? std::clamp(reach.right + 4, lo, n) : n;
        std::memset(oRow, 0, static_cast<std::size_t>(lo));
        std::memset(oRow + hi, 0, static_cast<std::size_t>(n - hi));
        for (int x = 0; x < n; ++x) dRow[x] = (dRow[x] == 255 || dRow[x] == 128) ? dRow[x] : 0;
        for (int x = lo; x < hi; ++x)
            if (oRow[x] != 0) outline.emplace_back(x, y);
    }

    ExcessMissingResult r;
    if (excess.count > 0) r.excess = farthestFromOutline(d, n, excess.box, 255, mx, my, outline);
    if (missing.count > 0)
        r.missing = farthestFromOutline(d, n, missing.box, 128, mx, my, outline);
    return r;
}

}  // namespace pcbinspect
