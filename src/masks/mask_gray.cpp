#include "masks/mask_gray.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "boundary/scratch_memory.h"
#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "boundary/numeric.h"
#include "boundary/parallel.h"
#include "masks/polygon_mask.h"
#include "pcbinspect/exports.h"

namespace pcbinspect {
namespace {

// Polygons of up to this many points are mapped into a buffer on the stack.
constexpr int kFixedPolygonPoints = 100;

// Rows of blocks below which a band is not worth a thread of its own.
constexpr int kMinBandRows = 64;

int largestCount(const PolygonSet& set, int largest) {
    for (int i = 0; i < set.count; ++i) largest = std::max(largest, set.counts[i]);
    return largest;
}

// The reduced image with its rasterising mask and fill work list.
class ReducedImage {
public:
    ReducedImage(int w3, int h3) {
        std::size_t bytes = 0;
        if (!checkedArea(w3, h3, 2, bytes)) throw std::bad_alloc();
        planes_ = std::make_unique<ScratchArray<std::uint8_t>>(bytes);
        pixels_ = planes_->get() + bytes / 2;
    }
    std::uint8_t* mask() { return planes_->get(); }
    std::uint8_t* pixels() { return pixels_; }
    std::vector<std::int32_t>& fillStack() { return stack_; }

private:
    std::unique_ptr<ScratchArray<std::uint8_t>> planes_;
    std::uint8_t* pixels_ = nullptr;
    std::vector<std::int32_t> stack_;
};

// Maps every polygon of `set` into the reduced image and rasterises those
// that can touch it with `value`.
void applyPolygons(const PolygonSet& set, const Affine3& toReduced, std::int32_t* mapped,
                   ReducedImage& reduced, int w3, int h3, std::uint8_t value) {
    std::int64_t start = 0;  // first point of the current polygon
    for (int i = 0; i < set.count; ++i) {
        const int n = set.counts[i];
        if (n <= 0) continue;  // takes no points: the next polygon starts here
        const std::int32_t* src = set.points + 2 * start;
        start += n;
        if (n < 3) continue;

        int minX = INT_MAX, maxX = 0, minY = INT_MAX, maxY = 0;
        for (int p = 0; p < n; ++p) {
            // Board pixels are reduced by an integer division first.
            const double bx = src[2 * p] / 3, by = src[2 * p + 1] / 3;
            double ix = 0.0, iy = 0.0;
            affineApply(toReduced, bx, by, ix, iy);
            const int x = truncToInt(ix + 0.5), y = truncToInt(iy + 0.5);
            mapped[2 * p] = x;
            mapped[2 * p + 1] = y;
            minX = std::min(minX, x);
            maxX = std::max(maxX, x);
            minY = std::min(minY, y);
            maxY = std::max(maxY, y);
        }
        if (maxX < 1 || minX >= w3 || minY >= h3 || maxY < 1) continue;
        // Rasterised in the box of its vertices with two pixels to spare,
        // which gives the same pixels as the whole image.
        const auto clip = [](std::int64_t v, int last) {
            return static_cast<int>(std::clamp<std::int64_t>(v, 0, last));
        };
        const PixelArea area{clip(std::int64_t{minX} - 2, w3 - 1), clip(std::int64_t{minY} - 2, h3 - 1),
                             clip(std::int64_t{maxX} + 2, w3 - 1), clip(std::int64_t{maxY} + 2, h3 - 1)};
        PolygonMaskIn(reduced.fillStack(), reduced.mask(), reduced.pixels(), w3, w3, h3, area,
                      mapped, n, value);
    }
}

// Block rows [first, end) of the reduced image `small` (w3 bytes a row): each
// 3 x 3 block of the image thresholded at a sum of 1152, a mean of 128.
// Bands run in functions of their own: their arguments are locals, which a
// store of a byte cannot change, so the loops vectorise.
void reduceBlocks(GrayView image, std::uint8_t* small, int w3, int first, int end) {
    // One row of column sums over three image rows.
    std::vector<std::uint16_t> columnSums(static_cast<std::size_t>(3) * w3);
    for (int r = first; r < end; ++r) {
        const std::uint8_t* a = image.row(3 * r);
        const std::uint8_t* b = image.row(3 * r + 1);
        const std::uint8_t* c = image.row(3 * r + 2);
        std::uint16_t* sums = columnSums.data();
        for (int x = 0; x < 3 * w3; ++x) sums[x] = static_cast<std::uint16_t>(a[x] + b[x] + c[x]);
        std::uint8_t* out = small + static_cast<std::size_t>(r) * w3;
        for (int x = 0; x < w3; ++x)
            out[x] = sums[3 * x] + sums[3 * x + 1] + sums[3 * x + 2] < 1152 ? 0 : 255;
    }
}

// Image rows of block rows [first, end): each reduced pixel replicated over
// its block; the columns and rows beyond the last whole block take the last
// reduced column and row.
void expandBlocks(GrayView image, const std::uint8_t* small, int w3, int h3, int first, int end) {
    std::vector<std::uint8_t> expanded(static_cast<std::size_t>(image.width));
    for (int r = first; r < end; ++r) {
        const std::uint8_t* src = small + static_cast<std::size_t>(r) * w3;
        std::uint8_t* row = expanded.data();
        for (int x = 0; x < w3; ++x) row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = src[x];
        for (int x = 3 * w3; x < image.width; ++x) row[x] = src[w3 - 1];
        const int last = r + 1 < h3 ? 3 * r + 2 : image.height - 1;
        for (int y = 3 * r; y <= last; ++y)
            std::memcpy(image.row(y), row, static_cast<std::size_t>(image.width));
    }
}

}  // namespace

Affine3 boardToReducedImage(int w3, int h3, float offsetX, float offsetY, float angle) {
    const float pi = 3.1415925f;  // one unit in the last place below the float nearest pi
    const Affine3 shift = affineTranslation(offsetX / -3.0f, offsetY / -3.0f);
    const Affine3 turn = affineRotation(angle / -180.0f * pi);
    const Affine3 centre = affineTranslation(w3 * 0.5, h3 * 0.5);
    Affine3 m = affineIdentity();
    m = affineProduct(shift, m);
    m = affineProduct(turn, m);
    m = affineProduct(centre, m);
    return m;
}

void maskGray(GrayView image, const PolygonSet& erase, const PolygonSet& paint, float offsetX,
              float offsetY, float angle) {
    const int w3 = image.width / 3, h3 = image.height / 3;
    if (w3 < 1 || h3 < 1) return;  // nothing to reduce into

    ReducedImage reduced(w3, h3);

    // Rows of blocks are independent, so bands of them go to the call's
    // threads, on the way in and on the way out.
    std::uint8_t* small = reduced.pixels();
    parallelRows(h3, kMinBandRows,
                 [image, small, w3](int first, int end) { reduceBlocks(image, small, w3, first, end); });

    const int largest = largestCount(paint, largestCount(erase, 0));
    std::array<std::int32_t, 2 * kFixedPolygonPoints> fixedPoints;
    std::vector<std::int32_t> grownPoints;
    std::int32_t* mapped = fixedPoints.data();
    if (largest > kFixedPolygonPoints) {
        grownPoints.resize(2 * static_cast<std::size_t>(largest));
        mapped = grownPoints.data();
    }

    const Affine3 toReduced = boardToReducedImage(w3, h3, offsetX, offsetY, angle);
    // Erasing first, painting second: paint wins where both cover a pixel.
    applyPolygons(erase, toReduced, mapped, reduced, w3, h3, 0);
    applyPolygons(paint, toReduced, mapped, reduced, w3, h3, 255);

    parallelRows(h3, kMinBandRows, [image, small, w3, h3](int first, int end) {
        expandBlocks(image, small, w3, h3, first, end);
    });
}

}  // namespace pcbinspect

namespace {

// Checks the packed polygons of one set: counts are needed when the set lists
// polygons, points when some polygon takes points.
void checkPolygons(pcbinspect::ArgumentCheck& check, const char* pointsName,
                   const std::int32_t* points, const char* countsName, const std::int32_t* counts,
                   std::int32_t count) {
    if (!check.ok() || count < 1) return;
    check.notNull(countsName, counts);
    if (!check.ok()) return;
    std::int64_t total = 0;
    for (std::int32_t i = 0; i < count; ++i)
        if (counts[i] > 0) total += counts[i];
    if (total > 0) check.notNull(pointsName, points);
}

}  // namespace

extern "C" PCBINSPECT_API void getMaskGray(const void* /*reserved0*/, const void* /*reserved1*/,
                                           const std::int32_t* erasePoints,
                                           const std::int32_t* eraseCounts,
                                           std::int32_t eraseCount,
                                           const std::int32_t* paintPoints,
                                           const std::int32_t* paintCounts,
                                           std::int32_t paintCount, std::uint8_t* image,
                                           std::int32_t width, std::int32_t stride,
                                           std::int32_t height, float offsetX, float offsetY,
                                           float angle) {
    using namespace pcbinspect;
    guardedExport("getMaskGray", [&] {
        ArgumentCheck check("getMaskGray");
        check.image("image", image, width, stride, height);
        checkPolygons(check, "erasePoints", erasePoints, "eraseCounts", eraseCounts, eraseCount);
        checkPolygons(check, "paintPoints", paintPoints, "paintCounts", paintCounts, paintCount);
        if (!check.ok()) return;
        // A negative number of polygons lists none.
        const PolygonSet erase{erasePoints, eraseCounts, std::max(eraseCount, 0)};
        const PolygonSet paint{paintPoints, paintCounts, std::max(paintCount, 0)};
        maskGray(viewOf(image, width, stride, height), erase, paint, offsetX, offsetY, angle);
    });
}
