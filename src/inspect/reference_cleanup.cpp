// Clean-up of the binary reference window: short runs that stick out of a
// feature's edge are removed and one-pixel holes are closed.
#include <algorithm>

#include "inspect/window_checks.h"

namespace pcbinspect {
namespace {

constexpr int n = kWindowSide;

}  // namespace

void cleanReference(std::uint8_t* r, int mx, int my) {
    // Negative margins are read as none.
    mx = std::max(mx, 0);
    my = std::max(my, 0);
    auto at = [r](int x, int y) -> std::uint8_t& { return r[y * n + x]; };
    // A neighbour outside the window reads as background, as a cleared
    // margin would.
    auto value = [r](int x, int y) -> int {
        if (x < 0 || y < 0 || x >= n || y >= n) return 0;
        return r[y * n + x];
    };

    // Rows: a run of 1 to 3 set pixels ending at a 0 pixel stays only when,
    // for one of its pixels, the pixels above and below agree; a run whose
    // pixels all have copper on one side only is a bump on the top or bottom
    // edge of a feature and is removed. A run that starts at the first
    // scanned column may continue into the margin and is left alone.
    const int firstColumn = mx + 1, lastColumn = n - 2 - mx;
    for (int y = my + 1; y <= n - 2 - my; ++y) {
        int run = 0, start = 0;
        for (int x = firstColumn; x <= lastColumn; ++x) {
            if (at(x, y) != 0) {
                if (run == 0) start = x;
                ++run;
                continue;
            }
            if (run >= 1 && run <= 3 && start != firstColumn) {
                bool keep = false;
                for (int k = start; k < start + run && !keep; ++k)
                    keep = at(k, y - 1) == at(k, y + 1);
                if (!keep)
                    for (int k = start; k < start + run; ++k) at(k, y) = 0;
            }
            // A one-pixel hole takes its left neighbour's value.
            if (at(x - 1, y) != 0 && at(x + 1, y) != 0 && at(x, y - 1) != 0 && at(x, y + 1) != 0)
                at(x, y) = at(x - 1, y);
            run = 0;
        }
    }

    // Columns: the same for vertical runs, judged by the left and right
    // neighbours; no holes are closed. A run that starts at the first
    // scanned row is left alone as well, as in the rows.
    const int firstRow = my, lastRow = n - 1 - my;
    for (int x = mx; x <= n - 1 - mx; ++x) {
        int run = 0, start = 0;
        for (int y = firstRow; y <= lastRow; ++y) {
            if (at(x, y) != 0) {
                if (run == 0) start = y;
                ++run;
                continue;
            }
            if (run >= 1 && run <= 3 && start != firstRow) {
                bool keep = false;
                for (int k = start; k < start + run && !keep; ++k)
                    keep = value(x - 1, k) == value(x + 1, k);
                if (!keep)
                    for (int k = start; k < start + run; ++k) at(x, k) = 0;
            }
            run = 0;
        }
    }
}

}  // namespace pcbinspect
