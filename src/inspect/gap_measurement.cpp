// Gap measurement: how wide a camera region that lies off the reference
// reaches across the window, after the camera regions under the reference
// have been sorted into accepted and rejected ones.
#include <algorithm>
#include <cstring>

#include "inspect/window_checks.h"
#include "inspect/window_rings.h"
#include "imaging/morphology.h"
#include "imaging/region_fill.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace pcbinspect {
namespace {

// Region labels written into the binary camera window while it is sorted.
constexpr std::uint8_t kSet = 255;
constexpr std::uint8_t kAccepted = 128;
constexpr std::uint8_t kFilling = 129;
constexpr std::uint8_t kRejected = 130;
constexpr std::uint8_t kMostlyCovered = 131;  // under the reference, but not trusted

constexpr int kHistoryPairs = 10;

struct Box {
    int bottom, top, left, right;
};

// Where the column-by-column searches of an n x n window must look for set
// camera pixels (cb at kSet) on the reference r (onReference) or off it:
// the rows holding one, listed in order, and the columns from the first to
// the last one. A search that only ever takes pixels out of that set meets
// every remaining one there. Returns how many rows are listed.
struct SearchArea {
    int rowCount = 0;
    int first = 0, last = -1;
};

SearchArea setPixelArea(const std::uint8_t* cb, const std::uint8_t* r, int n, bool onReference,
                        int* rows) {
    SearchArea area;
    area.first = n;
    for (int y = 0; y < n; ++y) {
        const std::uint8_t* c = cb + static_cast<std::size_t>(y) * n;
        const std::uint8_t* q = r + static_cast<std::size_t>(y) * n;
        int first = -1, last = -1;
        int x = 0;
#ifdef __SSE2__
        const __m128i set = _mm_set1_epi8(static_cast<char>(kSet)), zero = _mm_setzero_si128();
        for (; x + 16 <= n; x += 16) {
            const __m128i refClear =
                _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q + x)), zero);
            const __m128i cameraSet =
                _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c + x)), set);
            const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(
                onReference ? _mm_andnot_si128(refClear, cameraSet) : _mm_and_si128(refClear, cameraSet)));
            if (bits == 0) continue;
            if (first < 0) first = x + __builtin_ctz(bits);
            last = x + 31 - __builtin_clz(bits);
        }
#endif
        for (; x < n; ++x)
            if (c[x] == kSet && (q[x] != 0) == onReference) {
                if (first < 0) first = x;
                last = x;
            }
        if (first < 0) continue;
        rows[area.rowCount++] = y;
        area.first = std::min(area.first, first);
        area.last = std::max(area.last, last);
    }
    return area;
}

}  // namespace

GapResult measureGap(const std::uint8_t* rPre, std::uint8_t* rPost, std::uint8_t* cb,
                     std::uint8_t* cc, int n, int mx, int my, int* history, CheckScratch& scratch) {
    GapResult out;
    if (n < 1) return out;
    mx = std::max(mx, 0);
    my = std::max(my, 0);
    const int v = n - 1 - my, u = n - 1 - mx;  // last valid row and column
    const std::size_t pixels = static_cast<std::size_t>(n) * n;
    auto idx = [n](int x, int y) { return static_cast<std::size_t>(y) * n + x; };
    auto inside = [n](int x, int y) { return x >= 0 && y >= 0 && x < n && y < n; };
    auto refAt = [&](int x, int y) { return inside(x, y) && rPost[idx(x, y)] != 0; };
    std::int16_t* stack = scratch.fillStack(n, n);

    int m = 0;
    bool accepted = false, lateBorder = false;

    // Sort the camera regions met under the reference, column by column.
    std::uint8_t anyReference = 0;
    for (std::size_t i = 0; i < pixels; ++i) anyReference |= rPost[i];
    out.refEmpty = anyReference == 0;
    int* rows = scratch.rows(n);
    const SearchArea under = setPixelArea(cb, rPost, n, true, rows);
    for (int x = under.first; x <= under.last; ++x) {
        for (int k = 0; k < under.rowCount; ++k) {
            const int y = rows[k];
            if (rPost[idx(x, y)] == 0 || cb[idx(x, y)] != kSet) continue;
            int b[4];
            const int size = RegionFill(stack, cb, n, n, n, x, y, kFilling, b);
            const Box box{b[0], b[1], b[2], b[3]};
            int covered = 0;
            for (int yy = box.top; yy <= box.bottom; ++yy)
                for (int xx = box.left; xx <= box.right; ++xx)
                    if (cb[idx(xx, yy)] == kFilling && rPost[idx(xx, yy)] != 0) ++covered;

            std::uint8_t label;
            if (covered > size / 2) {
                // Mostly under the reference: accepted when large, or when
                // more than three of its pixels lie off the reference.
                label = covered >= 100 || covered < size - 3 ? kAccepted : kMostlyCovered;
            } else if (box.top == my && box.bottom == v) {
                // Crossing the window top to bottom: accepted when the
                // reference does too, within the region's columns.
                bool topHit = false, bottomHit = false;
                for (int xx = box.left; xx <= box.right; ++xx) {
                    topHit = topHit || rPost[idx(xx, box.top)] != 0;
                    bottomHit = bottomHit || rPost[idx(xx, box.bottom)] != 0;
                }
                label = topHit && bottomHit ? kAccepted : kRejected;
            } else if (box.left == mx && box.right == u) {
                bool leftHit = false, rightHit = false;
                for (int yy = box.top; yy <= box.bottom; ++yy) {
                    leftHit = leftHit || rPost[idx(box.left, yy)] != 0;
                    rightHit = rightHit || rPost[idx(box.right, yy)] != 0;
                }
                label = leftHit && rightHit ? kAccepted : kRejected;
            } else {
                label = kRejected;
            }
            if (label == kAccepted) accepted = true;
            RegionFill(stack, cb, n, n, n, x, y, label, nullptr);
        }
    }

    if (out.refEmpty) {
        // Without reference only the camera region nearest the centre stays.
        // Rings are searched as elsewhere: both horizontal sides, then both
        // vertical sides.
        const int c = n / 2;
        for (int d = 0; d < c; ++d) {
            const bool hit = visitRing(kHorizontalFirst, c, c, d, n, n, [&](int x, int y) {
                if (cb[idx(x, y)] == 0) return false;
                RegionFill(stack, cb, n, n, n, x, y, kAccepted, nullptr);
                return true;
            });
            if (hit) break;
        }
        for (std::size_t i = 0; i < pixels; ++i) cb[i] = cb[i] == kAccepted ? kSet : 0;
    }

    if (!accepted) {
        // Rejected pixels within 10 steps of the reference are accepted after
        // all; the grown reference is taken back.
        DilateSteps(scratch.morphology(), GrayView{rPost, n, n, n}, 10, kAccepted);
        for (std::size_t i = 0; i < pixels; ++i) {
            if (rPost[i] == 0) continue;
            if (cb[i] == kRejected) cb[i] = kAccepted;
            if (rPost[i] == kAccepted) rPost[i] = 0;
        }
    }

    int refPixels = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        cb[i] = cb[i] == kRejected ? kSet : cb[i];
        refPixels += rPost[i] != 0;
    }

    if (refPixels == 0) {
        // No reference at all: camera copper along the window's valid border
        // lines is cleared; copper left over after two or more such lines
        // means the window cannot be judged.
        int cleared = 0;
        auto clearRow = [&](int y) {
            if (y < 0 || y >= n) return;
            bool any = false;
            for (int x = 0; x < n; ++x) any = any || cb[idx(x, y)] != 0;
            if (!any) return;
            for (int x = 0; x < n; ++x) cb[idx(x, y)] = 0;
            ++cleared;
        };
        auto clearColumn = [&](int x) {
            if (x < 0 || x >= n) return;
            bool any = false;
            for (int y = 0; y < n; ++y) any = any || cb[idx(x, y)] != 0;
            if (!any) return;
            for (int y = 0; y < n; ++y) cb[idx(x, y)] = 0;
            ++cleared;
        };
        clearRow(my);
        clearRow(v);
        clearColumn(mx);
        clearColumn(u);
        int set = 0;
        for (std::size_t i = 0; i < pixels; ++i) set += cb[i] == kSet;
        if (cleared >= 2 && set > 120) {
            out.measure = kNoVerdict;
            return out;
        }
    }

    // Camera regions that touch the reference as it was before the edge
    // comparison are no gaps.
    const SearchArea touching = setPixelArea(cb, rPre, n, true, rows);
    for (int k = 0; k < touching.rowCount; ++k)
        for (int y = rows[k], x = touching.first; x <= touching.last; ++x)
            if (cb[idx(x, y)] == kSet && rPre[idx(x, y)] != 0)
                RegionFill(stack, cb, n, n, n, x, y, 0, nullptr);

    // Measure the remaining camera regions off the reference. The central
    // band is 45 .. 75 of a 120 window and scales with the window.
    const int bandLow = n * 45 / 120, bandHigh = n * 75 / 120;
    const bool refLeft = [&] {
        for (int y = 0; y < n; ++y)
            if (refAt(mx, y)) return true;
        return false;
    }();
    const bool refRight = [&] {
        for (int y = 0; y < n; ++y)
            if (refAt(u, y)) return true;
        return false;
    }();
    const bool refTop = [&] {
        for (int x = 0; x < n; ++x)
            if (refAt(x, my)) return true;
        return false;
    }();
    const bool refBottom = [&] {
        for (int x = 0; x < n; ++x)
            if (refAt(x, v)) return true;
        return false;
    }();
    const SearchArea off = setPixelArea(cb, rPost, n, false, rows);
    for (int x = off.first; x <= off.last; ++x) {
        for (int k = 0; k < off.rowCount; ++k) {
            const int y = rows[k];
            if (cb[idx(x, y)] != kSet || rPost[idx(x, y)] != 0) continue;
            int b[4];
            RegionFill(stack, cb, n, n, n, x, y, 0, b);
            const Box box{b[0], b[1], b[2], b[3]};
            if (box.bottom >= v || box.top <= my || box.left <= mx || box.right >= u) {
                // Cut by the margin: not measurable. Once a gap has been
                // measured, such a region marks the measure as doubtful.
                if (m > 0) lateBorder = true;
                continue;
            }
            if (box.bottom < bandLow || box.top > bandHigh || box.right < bandLow ||
                box.left > bandHigh)
                continue;
            int extent;
            if (refLeft && refRight)
                extent = box.bottom - box.top;  // reference runs across: gap is vertical
            else if (refTop && refBottom)
                extent = box.right - box.left;
            else if (refLeft || refRight)
                extent = box.right - box.left;
            else
                extent = box.bottom - box.top;
            m = std::max(m, extent + 1);
            if (history != nullptr) {
                std::memmove(history + 2, history, sizeof(int) * 2 * (kHistoryPairs - 1));
                history[0] = x;
                history[1] = y;
            }
        }
    }

    // Keep in the plain copy only what lies on accepted regions.
    out.noMatch = true;
    std::uint8_t anyAccepted = 0, matched = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        const std::uint8_t accepted = cb[i] == kAccepted ? 0xFF : 0;
        anyAccepted |= accepted;
        cc[i] &= accepted;
        matched |= cc[i];
    }
    if (matched != 0) out.noMatch = false;
    if (!anyAccepted && refPixels > 200) {
        out.measure = kMissingFeature;
        return out;
    }
    out.measure = !out.noMatch ? m : (lateBorder ? kNoVerdict : m);
    return out;
}

}  // namespace pcbinspect
