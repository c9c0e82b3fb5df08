// Walks over the square rings of a window, side by side, in the orders the
// checks use. A ring of distance d around (cx, cy) is the border of the
// square cx - d .. cx + d by cy - d .. cy + d; positions outside the image are
// skipped. Corners belong to two sides and are visited twice.
#pragma once

namespace pcbinspect {

// The sides of a ring, visited in the order given.
enum class RingSide { kTop, kBottom, kLeft, kRight };

// Calls visit(x, y) for the pixels of one side, left to right or top to
// bottom; stops and returns true as soon as visit returns true.
template <class Visit>
bool visitRingSide(RingSide side, int cx, int cy, int d, int width, int height, Visit&& visit) {
    const bool horizontal = side == RingSide::kTop || side == RingSide::kBottom;
    if (horizontal) {
        const int y = side == RingSide::kTop ? cy - d : cy + d;
        if (y < 0 || y >= height) return false;
        const int x0 = cx - d < 0 ? 0 : cx - d;
        const int x1 = cx + d >= width ? width - 1 : cx + d;
        for (int x = x0; x <= x1; ++x)
            if (visit(x, y)) return true;
    } else {
        const int x = side == RingSide::kLeft ? cx - d : cx + d;
        if (x < 0 || x >= width) return false;
        const int y0 = cy - d < 0 ? 0 : cy - d;
        const int y1 = cy + d >= height ? height - 1 : cy + d;
        for (int y = y0; y <= y1; ++y)
            if (visit(x, y)) return true;
    }
    return false;
}

// One ring, its four sides in the given order; true when visit stopped it.
template <class Visit>
bool visitRing(const RingSide (&order)[4], int cx, int cy, int d, int width, int height,
               Visit&& visit) {
    if (d == 0) {
        if (cx < 0 || cy < 0 || cx >= width || cy >= height) return false;
        return visit(cx, cy);
    }
    for (RingSide side : order)
        if (visitRingSide(side, cx, cy, d, width, height, visit)) return true;
    return false;
}

// The usual order: both horizontal sides (top, then bottom), then both
// vertical sides (left, then right).
inline constexpr RingSide kHorizontalFirst[4] = {RingSide::kTop, RingSide::kBottom,
                                                 RingSide::kLeft, RingSide::kRight};
// The line check's order: vertical sides first.
inline constexpr RingSide kVerticalFirst[4] = {RingSide::kLeft, RingSide::kRight, RingSide::kTop,
                                               RingSide::kBottom};
// The edge comparison's order: the row below, the column right, the row
// above, the column left.
inline constexpr RingSide kBelowFirst[4] = {RingSide::kBottom, RingSide::kRight, RingSide::kTop,
                                            RingSide::kLeft};

}  // namespace pcbinspect
