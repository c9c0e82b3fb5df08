#include "boundary/gray_copy.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "pcbinspect/exports.h"

namespace pcbinspect {
namespace {

// The columns that a copy between two rows of widths `fromWidth` (source)
// and `toWidth` (destination) moves when the source's column 0 falls on
// destination column `offset`: `count` bytes from source column `from` to
// destination column `to`. Computed in 64 bits so that far offsets cannot wrap.
struct ColumnSpan {
    std::int64_t from = 0, to = 0, count = 0;
};

ColumnSpan clipColumns(std::int64_t offset, std::int64_t fromWidth, std::int64_t toWidth) {
    ColumnSpan s;
    s.to = offset;
    if (offset < 0) {
        s.to = 0;
        s.from = -offset;
    }
    s.count = std::min(fromWidth + offset, toWidth) - s.to;
    if (s.count + s.from > fromWidth) s.count = fromWidth - s.from;
    return s;
}

}  // namespace

void copyGrayAt(std::uint8_t* dst, int dstWidth, int dstStride, int dstHeight,
                const std::uint8_t* src, int srcWidth, int srcStride, int srcHeight, int xOffset,
                int yOffset) {
    if (dstWidth < 1 || dstHeight < 1 || srcWidth < 1 || srcHeight < 1) return;
    const ColumnSpan span = clipColumns(xOffset, srcWidth, dstWidth);
    if (span.count < 1) return;
    // Only source rows that land inside the destination are visited.
    const std::int64_t firstRow = std::max<std::int64_t>(0, -static_cast<std::int64_t>(yOffset));
    const std::int64_t endRow =
        std::min<std::int64_t>(srcHeight, static_cast<std::int64_t>(dstHeight) - yOffset);
    // Whole rows with no gaps between them on either side: one block.
    if (span.from == 0 && span.to == 0 && span.count == srcStride && span.count == dstStride) {
        if (endRow > firstRow)
            std::memcpy(dst + (firstRow + yOffset) * dstStride, src + firstRow * srcStride,
                        static_cast<std::size_t>(endRow - firstRow) * static_cast<std::size_t>(span.count));
        return;
    }
    for (std::int64_t r = firstRow; r < endRow; ++r) {
        std::memcpy(dst + (r + yOffset) * dstStride + span.to, src + r * srcStride + span.from,
                    static_cast<std::size_t>(span.count));
    }
}

namespace {

// copySubGrayAt; with clearOutside, the window pixels outside src become 0,
// each row written once.
void subGrayAt(const std::uint8_t* src, int srcWidth, int srcStride, int srcHeight, std::uint8_t* dst,
               int dstWidth, int dstStride, int dstHeight, int left, int top, bool clearOutside) {
    if (dstWidth < 1 || dstHeight < 1) return;
    const auto clearRows = [&](std::int64_t from, std::int64_t to) {
        if (!clearOutside) return;
        for (std::int64_t r = std::max<std::int64_t>(from, 0); r < std::min<std::int64_t>(to, dstHeight); ++r)
            std::memset(dst + r * dstStride, 0, static_cast<std::size_t>(dstWidth));
    };
    // The window's column 0 lies at source column `left`: the same clip as a
    // copy of the source into the destination at offset -left, read the other
    // way round.
    const ColumnSpan span = srcWidth < 1 || srcHeight < 1
                                ? ColumnSpan{}
                                : clipColumns(-static_cast<std::int64_t>(left), srcWidth, dstWidth);
    if (span.count < 1) {
        clearRows(0, dstHeight);
        return;
    }
    const std::int64_t firstRow = std::max<std::int64_t>(0, -static_cast<std::int64_t>(top));
    const std::int64_t endRow =
        std::min<std::int64_t>(dstHeight, static_cast<std::int64_t>(srcHeight) - top);
    clearRows(0, firstRow);
    for (std::int64_t r = firstRow; r < endRow; ++r) {
        std::uint8_t* row = dst + r * dstStride;
        std::memcpy(row + span.to, src + (r + top) * srcStride + span.from, static_cast<std::size_t>(span.count));
        if (clearOutside) {
            std::memset(row, 0, static_cast<std::size_t>(span.to));
            std::memset(row + span.to + span.count, 0, static_cast<std::size_t>(dstWidth - span.to - span.count));
        }
    }
    clearRows(std::max(firstRow, endRow), dstHeight);
}

}  // namespace

void copySubGrayAt(const std::uint8_t* src, int srcWidth, int srcStride, int srcHeight,
                   std::uint8_t* dst, int dstWidth, int dstStride, int dstHeight, int left,
                   int top) {
    subGrayAt(src, srcWidth, srcStride, srcHeight, dst, dstWidth, dstStride, dstHeight, left, top, false);
}

void cutSubGrayAt(const std::uint8_t* src, int srcWidth, int srcStride, int srcHeight, std::uint8_t* dst,
                  int dstWidth, int dstStride, int dstHeight, int left, int top) {
    subGrayAt(src, srcWidth, srcStride, srcHeight, dst, dstWidth, dstStride, dstHeight, left, top, true);
}

}  // namespace pcbinspect

extern "C" PCBINSPECT_API void copyGray(std::uint8_t* dst, std::int32_t dstWidth,
                                        std::int32_t dstStride, std::int32_t dstHeight,
                                        const std::uint8_t* src, std::int32_t srcWidth,
                                        std::int32_t srcStride, std::int32_t srcHeight) {
    using namespace pcbinspect;
    guardedExport("copyGray", [&] {
        ArgumentCheck check("copyGray");
        check.image("destination", dst, dstWidth, dstStride, dstHeight)
            .image("source", src, srcWidth, srcStride, srcHeight);
        if (!check.ok()) return;
        copyGrayAt(dst, dstWidth, dstStride, dstHeight, src, srcWidth, srcStride, srcHeight, 0, 0);
    });
}
