// Gap measurement: how wide a camera region that lies off the reference
// reaches across the window, after the camera regions under the reference
// have been sorted into accepted and rejected ones.
#include <algorithm>
#include <cstring>

#include "inspect/window_checks.h"
#include "inspect/window_rings.h"
#include "imaging/morphology.h"
#include "imaging/region_fill.h"

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
    for (int x = 0; x < n; ++x) {
        for (int y = 0; y < n; ++y) {
            if (rPost[idx(x, y)] == 0) continue;
            out.refEmpty = false;
            if (cb[idx(x, y)] != kSet) continue;
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
        if (cb[i] == kRejected) cb[i] = kSet;
        if (rPost[i] != 0) ++refPixels;
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
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
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
    for (int x = 0; x < n; ++x) {
        for (int y = 0; y < n; ++y) {
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
    bool anyAccepted = false;
    for (std::size_t i = 0; i < pixels; ++i) {
        if (cb[i] == kAccepted) {
            anyAccepted = true;
            if (cc[i] != 0) out.noMatch = false;
        } else {
            cc[i] = 0;
        }
    }
    if (!anyAccepted && refPixels > 200) {
        out.measure = kMissingFeature;
        return out;
    }
    out.measure = !out.noMatch ? m : (lateBorder ? kNoVerdict : m);
    return out;
}

}  // namespace pcbinspect
