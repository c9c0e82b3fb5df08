// Edge comparison: reduces the reference window to the reference features
// that the one camera region overlapping the kept camera blob most lies on.
#include <algorithm>

#include "inspect/window_checks.h"
#include "inspect/window_rings.h"
#include "imaging/region_fill.h"

namespace pcbinspect {
namespace {

constexpr int n = kWindowSide;
constexpr int kFirstLabel = 2;
constexpr int kLastLabel = 99;

}  // namespace

void compareEdges(const std::uint8_t* blob, std::uint8_t* cam, std::uint8_t* reference, int mx,
                  int my, CheckScratch& scratch) {
    mx = std::max(mx, 0);
    my = std::max(my, 0);
    for (int i = 0; i < n * n; ++i) cam[i] = cam[i] != 0 ? 1 : 0;

    // Label the camera regions met where the blob is set, counting for each
    // label the blob pixels that fall on it after its first.
    std::int16_t* stack = scratch.fillStack(n, n);
    int counts[kLastLabel + 1] = {};
    int next = kFirstLabel;
    for (int y = my; y <= n - 1 - my; ++y) {
        for (int x = mx; x <= n - 1 - mx; ++x) {
            const int i = y * n + x;
            if (blob[i] == 0 || cam[i] == 0) continue;
            if (cam[i] == 1) {
                // Labels run out at 99: every later region shares it.
                RegionFill(stack, cam, n, n, n, x, y, static_cast<std::uint32_t>(next), nullptr);
                if (next < kLastLabel) ++next;
            } else {
                ++counts[cam[i]];
            }
        }
    }

    // The label with the largest count; the smaller label wins ties.
    int chosen = 0, best = 0;
    for (int label = 1; label <= kLastLabel; ++label)
        if (counts[label] > best) {
            best = counts[label];
            chosen = label;
        }

    if (chosen == 0) {
        // No overlap: the camera region nearest the centre, found on square
        // rings (the row below, the column right, the row above, the column
        // left), is the one kept. Every region still holding 1 counts as kept.
        chosen = 1;
        for (int d = 0; d < n; ++d) {
            const bool hit = visitRing(kBelowFirst, kWindowCentre, kWindowCentre, d, n, n,
                                       [&](int x, int y) {
                                           if (cam[y * n + x] == 0) return false;
                                           RegionFill(stack, cam, n, n, n, x, y, 1, nullptr);
                                           return true;
                                       });
            if (hit) break;
        }
    }

    // Every whole reference feature (4-connected) that the chosen camera
    // region touches stays, including the parts the camera lacks: clearing
    // pixel by pixel would erase missing copper from the reference as well,
    // and no later comparison could see it. Kept features are marked first,
    // then everything unmarked is cleared.
    constexpr std::uint8_t kKept = 1;
    for (int i = 0; i < n * n; ++i)
        if (reference[i] != 0) reference[i] = 255;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const int i = y * n + x;
            if (cam[i] == chosen && reference[i] == 255)
                RegionFill(stack, reference, n, n, n, x, y, kKept, nullptr);
        }
    for (int i = 0; i < n * n; ++i) reference[i] = reference[i] == kKept ? 255 : 0;
}

}  // namespace pcbinspect
