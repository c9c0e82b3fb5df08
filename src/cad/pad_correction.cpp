#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "boundary/numeric.h"
#include "boundary/scratch_memory.h"
#include "boundary/vector_lanes.h"
#include "cad/cad_correction.h"
#include "imaging/circle_fit.h"
#include "imaging/radial_edges.h"
#include "model/inspect_records.h"
#include "imaging/region_fill.h"
#include "pcbinspect/exports.h"


namespace pcbinspect {
namespace {

struct Box {
    int bottom, top, left, right;
};

// Every label-170 pixel of the box takes the pad's label.
void absorbInBox(GrayView ref, const Box& box, std::uint8_t label) {
    for (int y = box.top; y <= box.bottom; ++y) {
        std::uint8_t* row = ref.row(y);
        for (int x = box.left; x <= box.right; ++x)
            if (row[x] == kLabelClass2) row[x] = label;
    }
}

// Every label-170 pixel strictly inside the circle of truncated radius r
// about the fitted centre takes label 180. Rows and columns are the
// truncated single-precision sums of offset and centre: a row above the
// image is skipped, a row below ends the repaint; a column left of the image
// is skipped, one right of it ends the row.
void absorbInCircle(GrayView ref, const Circle& c, int r) {
    const std::int64_t r2 = static_cast<std::int64_t>(r) * r;
    // Columns left of the image are skipped one by one; where the sums are
    // exact enough, start just before the first column that can be inside.
    int firstDx = -r;
    if (std::fabs(c.x) < 4194304.0f && r < 4194304) {
        firstDx = std::max(-r, static_cast<int>(std::floor(-c.x)) - 2);
    }
    for (int dy = -r; dy <= r; ++dy) {
        const int row = truncToInt(static_cast<float>(dy) + c.y);
        if (row < 0) continue;
        if (row >= ref.height) break;
        std::uint8_t* pixels = ref.row(row);
        for (int dx = firstDx; dx <= r; ++dx) {
            const int col = truncToInt(static_cast<float>(dx) + c.x);
            if (col < 0) continue;
            if (col >= ref.width) break;
            if (static_cast<std::int64_t>(dx) * dx + static_cast<std::int64_t>(dy) * dy < r2 &&
                pixels[col] == kLabelClass2)
                pixels[col] = kLabelClass3;
        }
    }
}

// A pad of label 180 is measured on the reference with 30 rays cast inward
// from just outside its box. It counts as round when at least 16 rays found
// an edge and the first 20 edge points follow a circle within a pixel.
void absorbIntoRoundPad(GrayView ref, const Box& box) {
    const RayFan fan = rayFan((box.left + box.right) / 2, (box.top + box.bottom) / 2,
                              std::max((box.right - box.left) / 2 + 3, (box.bottom - box.top) / 2 + 3),
                              1, false, 1, 100, 30, 3);
    PointF points[30];
    std::fill(points, points + 30, kAbsentPoint);
    Circle circle;
    const bool measured = MeasureCircle(ref.data, ref.width, ref.stride, ref.height, fan, &circle,
                                        points);
    const bool round = CountValidPoints(points, 30) >= 16 &&
                       CircleFitResidual(points, 20, 3) <= 1.0f;
    // Without a finite fitted circle the pad is treated as not round.
    const int r = measured && isFinite(circle) ? truncToInt(circle.radius) : -1;
    if (round && r >= 0)
        absorbInCircle(ref, circle, r);
    else
        absorbInBox(ref, box, kLabelClass3);
}

}  // namespace

void correctPadsIn(GrayView ref) {
    // Pads are found and consumed in a snapshot, so repainting the reference
    // neither creates nor joins regions.
    const int w = ref.width, h = ref.height;
    ScratchImage snapshot(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        std::memcpy(snapshot.data() + static_cast<std::ptrdiff_t>(y) * w, ref.row(y),
                    static_cast<std::size_t>(w));

    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = snapshot.data() + static_cast<std::ptrdiff_t>(y) * w;
        for (int x = 0; x < w; ++x) {
#ifdef __SSE2__
            // Runs of sixteen without a pad label are passed over. A fill
            // only ever takes pad labels away, so the pixels found are
            // checked again as they come.
            if (x % 16 == 0 && x + 16 <= w) {
                if ((bytesEqual16(row + x, kLabelClass3) | bytesEqual16(row + x, kLabelClass1)) == 0) {
                    x += 15;
                    continue;
                }
            }
#endif
            const std::uint8_t label = row[x];
            if (label != kLabelClass3 && label != kLabelClass1) continue;
            int b[4];
            RegionFillLarge(snapshot.data(), w, w, h, x, y, 1, b);
            const Box box{b[0], b[1], b[2], b[3]};
            if (label == kLabelClass1)
                absorbInBox(ref, box, kLabelClass1);
            else
                absorbIntoRoundPad(ref, box);
        }
    }
}

}  // namespace pcbinspect

extern "C" PCBINSPECT_API void correctCAD(std::uint8_t* image, std::int32_t width,
                                          std::int32_t stride, std::int32_t height) {
    using namespace pcbinspect;
    guardedExport("correctCAD", [&] {
        if (!ArgumentCheck("correctCAD").image("image", image, width, stride, height).ok()) return;
        correctPadsIn(GrayView{image, width, stride, height});
    });
}
