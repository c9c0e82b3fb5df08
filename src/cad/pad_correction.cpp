#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "boundary/numeric.h"
#include "boundary/parallel.h"
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

// A pad found in the snapshot: its label and bounding box.
struct Pad {
    std::uint8_t label;
    Box box;
};

// The 30 rays cast inward at a pad of label 180, from just outside its box.
RayFan padFan(const Box& box) {
    return rayFan((box.left + box.right) / 2, (box.top + box.bottom) / 2,
                  std::max((box.right - box.left) / 2 + 3, (box.bottom - box.top) / 2 + 3), 1, false,
                  1, 100, 30, 3);
}

// What a pad of label 180 is repainted with: the measured circle of radius
// r when the pad is round, else its box.
struct PadShape {
    bool round = false;
    int r = -1;
    Circle circle;
};

// The pad measured on the reference. It counts as round when at least 16
// rays found an edge and the first 20 edge points follow a circle within a
// pixel.
PadShape measurePad(GrayView ref, const Box& box) {
    PointF points[30];
    std::fill(points, points + 30, kAbsentPoint);
    PadShape shape;
    const bool measured = MeasureCircle(ref.data, ref.width, ref.stride, ref.height, padFan(box),
                                        &shape.circle, points);
    // Without a finite fitted circle the pad is treated as not round.
    shape.r = measured && isFinite(shape.circle) ? truncToInt(shape.circle.radius) : -1;
    shape.round = CountValidPoints(points, 30) >= 16 && CircleFitResidual(points, 20, 3) <= 1.0f &&
                  shape.r >= 0;
    return shape;
}

void absorbPad(GrayView ref, const Pad& pad, const PadShape& shape) {
    if (pad.label == kLabelClass1)
        absorbInBox(ref, pad.box, kLabelClass1);
    else if (shape.round)
        absorbInCircle(ref, shape.circle, shape.r);
    else
        absorbInBox(ref, pad.box, kLabelClass3);
}

using PadList = std::vector<Pad, ScratchAllocator<Pad>>;

// Copy of the reference in which the pads are found and consumed, so that
// repainting the reference neither creates nor joins regions.
ScratchImage padSnapshot(GrayView ref) {
    const int w = ref.width, h = ref.height;
    ScratchImage snapshot(static_cast<std::size_t>(w) * h);
    std::uint8_t* const copy = snapshot.data();
    parallelRows(h, 256, [copy, ref](int first, int end) {
        for (int y = first; y < end; ++y)
            std::memcpy(copy + static_cast<std::ptrdiff_t>(y) * ref.width, ref.row(y),
                        static_cast<std::size_t>(ref.width));
    });
    return snapshot;
}

// The pads of labels 160 and 180 in the order of their first pixel; each is
// filled with 1 in the snapshot as it is found. Only pad pixels change, so
// the snapshot's other labels stay as the reference had them.
PadList findPads(ScratchImage& snapshot, int w, int h) {
    PadList pads;
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
            pads.push_back(Pad{label, Box{b[0], b[1], b[2], b[3]}});
        }
    }
    return pads;
}

// Whether the reference still reads, everywhere a pad's rays may sample it
// (their reach plus the interpolation's cell, with a pixel to spare), as the
// snapshot taken before any repaint. Every repaint turns label-170 pixels
// into another label and nothing becomes 170, so a changed pixel is one that
// is 170 in the snapshot and no longer in the reference.
bool readsAsBefore(GrayView ref, const ScratchImage& snapshot, const Box& box) {
    const RayFan fan = padFan(box);
    const int reach = fan.outerRadius + 2;
    const int x0 = std::max(fan.cx - reach, 0), x1 = std::min(fan.cx + reach, ref.width - 1);
    const int y0 = std::max(fan.cy - reach, 0), y1 = std::min(fan.cy + reach, ref.height - 1);
    for (int y = y0; y <= y1; ++y) {
        const std::uint8_t* now = ref.row(y);
        const std::uint8_t* before = snapshot.data() + static_cast<std::ptrdiff_t>(y) * ref.width;
        bool changed = false;
        for (int x = x0; x <= x1; ++x) changed |= (before[x] == kLabelClass2) & (now[x] != kLabelClass2);
        if (changed) return false;
    }
    return true;
}

using PadShapes = std::vector<PadShape, ScratchAllocator<PadShape>>;

// Every round pad measured on the reference as it is now, a few pads a task
// on up to `threads` threads.
void measureRoundPads(GrayView ref, const PadList& pads, PadShapes& shapes, int threads) {
    constexpr std::size_t kPadsPerTask = 16;
    shapes.assign(pads.size(), PadShape{});
    const int tasks = static_cast<int>((pads.size() + kPadsPerTask - 1) / kPadsPerTask);
    parallelFor(tasks, threads, [&](int, int task) {
        const std::size_t first = static_cast<std::size_t>(task) * kPadsPerTask;
        for (std::size_t i = first; i < std::min(first + kPadsPerTask, pads.size()); ++i)
            if (pads[i].label == kLabelClass3) shapes[i] = measurePad(ref, pads[i].box);
    });
}

// The pads absorbed in their order, their shapes measured before on the
// reference of `snapshot`; a round pad whose rays would now read a pixel
// that has changed since is measured again, so the result is that of
// measuring each pad just before it is absorbed.
void absorbMeasuredPads(GrayView ref, const ScratchImage& snapshot, const PadList& pads,
                        PadShapes& shapes) {
    for (std::size_t i = 0; i < pads.size(); ++i) {
        if (pads[i].label == kLabelClass3 && !readsAsBefore(ref, snapshot, pads[i].box))
            shapes[i] = measurePad(ref, pads[i].box);
        absorbPad(ref, pads[i], shapes[i]);
    }
}

}  // namespace

void correctPadsIn(GrayView ref, int threads) {
    const int w = ref.width, h = ref.height;
    ScratchImage snapshot = padSnapshot(ref);
    const PadList pads = findPads(snapshot, w, h);
    if (threads < 2) {
        for (const Pad& pad : pads)
            absorbPad(ref, pad, pad.label == kLabelClass3 ? measurePad(ref, pad.box) : PadShape{});
        return;
    }
    PadShapes shapes;
    measureRoundPads(ref, pads, shapes, threads);
    absorbMeasuredPads(ref, snapshot, pads, shapes);
}

void correctReferenceIn(GrayView ref, int threads) {
    if (threads < 2) {
        correctInvalidLinesIn(ref);
        correctPadsIn(ref, 1);
        return;
    }
    // The line networks are found while the pads are found and measured on
    // the reference as it came; both only read it. The repaints then follow
    // in their order, and the pads are absorbed in theirs.
    const int w = ref.width, h = ref.height;
    ScratchImage snapshot = padSnapshot(ref);
    InvalidLineSeeds seeds;
    PadList pads;
    PadShapes shapes;
    parallelFor(2, threads, [&](int, int k) {
        if (k == 0) {
            seeds = findInvalidLineSeeds(ref);
            return;
        }
        pads = findPads(snapshot, w, h);
        measureRoundPads(ref, pads, shapes, threads);
    });
    repaintInvalidLines(ref, seeds);
    absorbMeasuredPads(ref, snapshot, pads, shapes);
}

}  // namespace pcbinspect

extern "C" PCBINSPECT_API void correctCAD(std::uint8_t* image, std::int32_t width,
                                          std::int32_t stride, std::int32_t height) {
    using namespace pcbinspect;
    guardedExport("correctCAD", [&] {
        if (!ArgumentCheck("correctCAD").image("image", image, width, stride, height).ok()) return;
        correctPadsIn(GrayView{image, width, stride, height}, threadBudget());
    });
}
