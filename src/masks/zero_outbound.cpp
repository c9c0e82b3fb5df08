#include "masks/zero_outbound.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <memory>
#include <vector>
#include <new>

#include "boundary/scratch_memory.h"
#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "boundary/numeric.h"
#include "boundary/parallel.h"
#include "masks/affine.h"
#include "masks/polygon_mask.h"
#include "pcbinspect/exports.h"

namespace pcbinspect {

void rotatedRectangleCorners(int centerX, int centerY, int rectWidth, int rectHeight, float angle,
                             std::int32_t corners[8]) {
    const int hw = rectWidth / 2, hh = rectHeight / 2;
    const int unturned[8] = {-hw, -hh, hw, -hh, hw, hh, -hw, hh};
    for (int i = 0; i < 4; ++i) {
        double x = unturned[2 * i], y = unturned[2 * i + 1];
        rotatePointDeg(x, y, angle);
        corners[2 * i] = truncToInt(centerX + x);
        corners[2 * i + 1] = truncToInt(centerY + y);
    }
}

namespace {

// Rows [first, end) of the image cleared where the plane `keep` (rows of
// image.width bytes) is 0. A function of its own: its arguments are locals,
// which a store of a byte cannot change, so the loop vectorises.
void clearOutside(const std::uint8_t* keep, GrayView image, int first, int end) {
    const int w = image.width;
    for (int y = first; y < end; ++y) {
        const std::uint8_t* k = keep + static_cast<std::size_t>(y) * w;
        std::uint8_t* row = image.row(y);
        for (int x = 0; x < w; ++x) row[x] = k[x] == 0 ? std::uint8_t{0} : row[x];
    }
}

}  // namespace

void zeroOutbound(GrayView image, int centerX, int centerY, int rectWidth, int rectHeight,
                  float angle, int windowX, int windowY, int windowWidth, int windowHeight) {
    std::int32_t rect[8];
    rotatedRectangleCorners(centerX, centerY, rectWidth, rectHeight, angle, rect);

    // Window corners in the rectangle's frame, in doubles so that no sum wraps.
    const double left = windowX, top = windowY;
    const double right = left + windowWidth, bottom = top + windowHeight;
    const int inside = PointInPolygon(left, top, 4, rect) + PointInPolygon(right, top, 4, rect) +
                       PointInPolygon(right, bottom, 4, rect) +
                       PointInPolygon(left, bottom, 4, rect);
    // A window wholly inside needs no clearing; one with no corner inside is
    // left alone as well, even where the rectangle lies within it.
    if (inside == 4 || inside == 0) return;

    // The rectangle in window coordinates; a corner that would leave the int
    // range stays at its end.
    std::int32_t local[8];
    for (int i = 0; i < 4; ++i) {
        local[2 * i] = static_cast<std::int32_t>(std::clamp<std::int64_t>(
            static_cast<std::int64_t>(rect[2 * i]) - windowX, INT_MIN, INT_MAX));
        local[2 * i + 1] = static_cast<std::int32_t>(std::clamp<std::int64_t>(
            static_cast<std::int64_t>(rect[2 * i + 1]) - windowY, INT_MIN, INT_MAX));
    }

    const int w = image.width, h = image.height;
    std::size_t area = 0;
    if (!checkedArea(w, h, 2, area)) throw std::bad_alloc();
    const ScratchArray<std::uint8_t> planes(area);
    std::uint8_t* mask = planes.get();
    std::uint8_t* keep = planes.get() + area / 2;
    // Clearing the plane and applying it work by bands of rows.
    constexpr int kMinBandRows = 128;
    parallelRows(h, kMinBandRows, [keep, w](int first, int end) {
        std::fill(keep + static_cast<std::size_t>(first) * w, keep + static_cast<std::size_t>(end) * w,
                  std::uint8_t{0});
    });
    std::vector<std::int32_t> stack;
    // Rasterised in the rectangle's box with two pixels to spare, which gives
    // the same pixels as the whole window.
    std::int64_t minX = local[0], maxX = local[0], minY = local[1], maxY = local[1];
    for (int i = 1; i < 4; ++i) {
        minX = std::min<std::int64_t>(minX, local[2 * i]);
        maxX = std::max<std::int64_t>(maxX, local[2 * i]);
        minY = std::min<std::int64_t>(minY, local[2 * i + 1]);
        maxY = std::max<std::int64_t>(maxY, local[2 * i + 1]);
    }
    const auto clip = [](std::int64_t v, int last) {
        return static_cast<int>(std::clamp<std::int64_t>(v, 0, last));
    };
    const PixelArea box{clip(minX - 2, w - 1), clip(minY - 2, h - 1), clip(maxX + 2, w - 1),
                        clip(maxY + 2, h - 1)};
    PolygonMaskIn(stack, mask, keep, w, w, h, box, local, 4, 255);

    parallelRows(h, kMinBandRows,
                 [keep, image](int first, int end) { clearOutside(keep, image, first, end); });
}

}  // namespace pcbinspect

extern "C" PCBINSPECT_API void ZeroOutboundGray(std::uint8_t* image, std::int32_t width,
                                                std::int32_t stride, std::int32_t height,
                                                std::int32_t centerX, std::int32_t centerY,
                                                std::int32_t rectWidth, std::int32_t rectHeight,
                                                float angle, std::int32_t windowX,
                                                std::int32_t windowY, std::int32_t windowWidth,
                                                std::int32_t windowHeight) {
    using namespace pcbinspect;
    guardedExport("ZeroOutboundGray", [&] {
        ArgumentCheck check("ZeroOutboundGray");
        check.image("image", image, width, stride, height);
        if (!check.ok()) return;
        zeroOutbound(viewOf(image, width, stride, height), centerX, centerY, rectWidth,
                     rectHeight, angle, windowX, windowY, windowWidth, windowHeight);
    });
}
