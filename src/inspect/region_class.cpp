// Region class lookup and line check on the reference image.
#include <algorithm>

#include "inspect/window_checks.h"
#include "inspect/window_rings.h"

namespace pcbinspect {
namespace {

constexpr int kExcludedClass = 5;
constexpr int kLineClass = 3;

// Scans the square of half-size h around (x, y), clipped, row by row.
// Returns 5 at the first excluding label, else the class of the last
// classifying label (-1 when none).
int scanSquare(ConstGrayView ref, int x, int y, int h) {
    const int x0 = std::max(x - h, 0), x1 = std::min(x + h, ref.width - 1);
    const int y0 = std::max(y - h, 0), y1 = std::min(y + h, ref.height - 1);
    int cls = -1;
    for (int yy = y0; yy <= y1; ++yy) {
        const std::uint8_t* row = ref.row(yy);
        for (int xx = x0; xx <= x1; ++xx) {
            const int v = row[xx];
            switch (v) {
                case kLabelBackground:
                case kLabelLine:
                case kLabelReferenceLine:
                    break;
                case kLabelExcluded:
                    return kExcludedClass;
                case kLabelClass1:
                    cls = 1;
                    break;
                case kLabelClass2:
                    cls = 2;
                    break;
                case kLabelClass3:
                    cls = 3;
                    break;
                default:
                    cls = 0;
                    break;
            }
        }
    }
    return cls;
}

bool squareHoldsReferenceLine(ConstGrayView ref, int x, int y, int h) {
    const int x0 = std::max(x - h, 0), x1 = std::min(x + h, ref.width - 1);
    const int y0 = std::max(y - h, 0), y1 = std::min(y + h, ref.height - 1);
    for (int yy = y0; yy <= y1; ++yy) {
        const std::uint8_t* row = ref.row(yy);
        for (int xx = x0; xx <= x1; ++xx)
            if (row[xx] == kLabelReferenceLine) return true;
    }
    return false;
}

}  // namespace

int regionClassAt(ConstGrayView ref, int x, int y, bool quick) {
    if (ref.empty()) return -1;
    int cls = -1;
    for (int h = 3; h <= 60; h *= 2) {
        cls = scanSquare(ref, x, y, h);
        if (cls == kExcludedClass) return cls;
        if (cls >= 0) break;
        // The quick form looks at the 7 x 7 neighbourhood only and skips
        // the line rule when it finds nothing there.
        if (quick) return -1;
    }
    // A reference line within 10 pixels makes the point a line point, also
    // when no class was found in the largest square.
    if (squareHoldsReferenceLine(ref, x, y, 10)) return kLineClass;
    return cls;
}

bool nearReferenceLine(ConstGrayView ref, int x, int y, int radius) {
    if (radius < 2) return false;
    int found = 0;
    for (int d = 1; d <= radius - 1; ++d) {
        // Vertical sides first (left, right, top to bottom), then the
        // horizontal sides (top, bottom, left to right).
        const bool hit = visitRing(kVerticalFirst, x, y, d, ref.width, ref.height, [&](int px, int py) {
            found = ref.at(px, py);
            return found != 0;
        });
        if (hit) return found == kLabelReferenceLine;
    }
    return false;
}

}  // namespace pcbinspect
