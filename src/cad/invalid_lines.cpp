#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "boundary/vector_lanes.h"
#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "boundary/parallel.h"
#include "boundary/scratch_memory.h"
#include "cad/cad_correction.h"
#include "imaging/thinning.h"
#include "model/inspect_records.h"
#include "imaging/region_fill.h"
#include "pcbinspect/exports.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace pcbinspect {
namespace {

// End points of one labelled skeleton: how many lie far apart, where the
// first one is, and all of them in the order found.
struct EndPoints {
    int count = 0;
    int firstX = 0, firstY = 0;
    std::vector<std::pair<int, int>> points;
};

constexpr int kFarApartSquared = 2500;  // 50 half pixels

// Half-resolution rows below which a band is not worth a thread of its own.
constexpr int kMinBandRows = 128;

using ScratchLabels = std::vector<std::uint16_t, ScratchAllocator<std::uint16_t>>;

// Rows [first, end) of the half-resolution mask: set where all four
// reference pixels hold label 170. Its arguments are locals, which a store
// of a byte cannot change, so the loop vectorises.
void halveClass2Rows(GrayView ref, std::uint8_t* half, int w, int first, int end) {
    for (int y = first; y < end; ++y) {
        const std::uint8_t* top = ref.row(2 * y);
        const std::uint8_t* bottom = ref.row(2 * y + 1);
        std::uint8_t* out = half + static_cast<std::ptrdiff_t>(y) * w;
        int x = 0;
#ifdef __SSE2__
        // Sixteen outputs from 32 columns of both rows: a pair of columns
        // whose bytes are both 170 in both rows gives 255.
        const __m128i class2 = _mm_set1_epi8(static_cast<char>(kLabelClass2));
        auto both = [&](int column) {
            auto load = [&](const std::uint8_t* r) {
                return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r + column)), class2);
            };
            const __m128i v = _mm_and_si128(load(top), load(bottom));
            return _mm_and_si128(_mm_and_si128(v, _mm_srli_epi16(v, 8)), _mm_set1_epi16(0x00FF));
        };
        for (; x + 16 <= w; x += 16)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                             _mm_packus_epi16(both(2 * x), both(2 * x + 16)));
#endif
        for (; x < w; ++x) {
            const bool all = top[2 * x] == kLabelClass2 && top[2 * x + 1] == kLabelClass2 &&
                             bottom[2 * x] == kLabelClass2 && bottom[2 * x + 1] == kLabelClass2;
            out[x] = all ? 255 : 0;
        }
    }
}

// The half-resolution mask, by bands of rows on the call's threads.
ScratchImage halveClass2(GrayView ref, int w, int h) {
    ScratchImage half(static_cast<std::size_t>(w) * h);
    std::uint8_t* const out = half.data();
    parallelRows(h, kMinBandRows, [ref, out, w](int first, int end) { halveClass2Rows(ref, out, w, first, end); });
    return half;
}

// Rows [first, end) of the skeleton grown by one pixel, 1 in `labels`: set
// pixels, and unset ones with a set 4-neighbour (decided on the mask before
// growing).
void markGrown(const std::uint8_t* mask, std::uint16_t* labels, int w, int h, int first, int end) {
    const std::vector<std::uint8_t> none(static_cast<std::size_t>(w));  // beyond the first and last rows
    for (int y = first; y < end; ++y) {
        const std::uint8_t* m = mask + static_cast<std::ptrdiff_t>(y) * w;
        const std::uint8_t* above = y > 0 ? m - w : none.data();
        const std::uint8_t* below = y + 1 < h ? m + w : none.data();
        std::uint16_t* out = labels + static_cast<std::ptrdiff_t>(y) * w;
        auto grown = [&](int x) {
            const bool any = m[x] != 0 || below[x] != 0 || (x > 0 && m[x - 1] != 0) ||
                             (x + 1 < w && m[x + 1] != 0) || above[x] != 0;
            out[x] = any ? 1 : 0;
        };
        grown(0);
        for (int x = 1; x < w - 1; ++x)
            out[x] = (m[x] | below[x] | m[x - 1] | m[x + 1] | above[x]) != 0 ? 1 : 0;
        if (w > 1) grown(w - 1);
    }
}

// Labels the 4-connected components of the skeleton grown by one pixel,
// with labels 2, 3, ... in row order of their first pixel (after 65535 the
// labels start again at 2).
ScratchLabels labelComponents(const ScratchImage& mask, int w, int h) {
    ScratchLabels labels(mask.size());
    std::uint16_t* const grownRows = labels.data();
    parallelRows(h, kMinBandRows, [&mask, grownRows, w, h](int first, int end) {
        markGrown(mask.data(), grownRows, w, h, first, end);
    });
    std::uint32_t next = 2;
    for (int y = 0; y < h; ++y) {
        const std::uint16_t* row = labels.data() + static_cast<std::ptrdiff_t>(y) * w;
        for (int x = 0; x < w; ++x) {
#ifdef __SSE2__
            // Runs of eight without an unlabelled pixel are passed over; a
            // fill only ever labels pixels, so each one found is checked as
            // it comes.
            if (x % 8 == 0 && x + 8 <= w &&
                _mm_movemask_epi8(_mm_cmpeq_epi16(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x)), _mm_set1_epi16(1))) == 0) {
                x += 7;
                continue;
            }
#endif
            if (row[x] != 1) continue;
            RegionFillLarge16(labels.data(), w, w, h, x, y, next, nullptr);
            next = next == 65535 ? 2 : next + 1;
        }
    }
    return labels;
}

}  // namespace

InvalidLineSeeds findInvalidLineSeeds(GrayView ref) {
    InvalidLineSeeds seeds;
    const int w = ref.width / 2, h = ref.height / 2;
    if (w < 1 || h < 1) return seeds;

    ScratchImage half = halveClass2(ref, w, h);
    ThinPeel(half.data(), w, w, h);
    SkeletonThin(half.data(), w, w, h, 0);
    const ScratchLabels labels = labelComponents(half, w, h);

    // End points of the skeletons: set pixels with exactly one set
    // 8-neighbour, grouped by label in ascending order.
    std::map<int, EndPoints> ends;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const std::ptrdiff_t i = static_cast<std::ptrdiff_t>(y) * w + x;
#ifdef __SSE2__
            // The skeleton is sparse: runs of sixteen clear pixels are passed over.
            if (x % 16 == 0 && x + 16 <= w &&
                bytesEqual16(half.data() + i, 0) == 0xFFFF) {
                x += 15;
                continue;
            }
#endif
            if (half[i] == 0) continue;
            // Exactly one neighbour: a single bit of the code.
            const unsigned code = static_cast<unsigned>(NeighbourCode(half.data(), w, w, h, x, y));
            if (code == 0 || (code & (code - 1)) != 0) continue;
            EndPoints& e = ends[labels[i]];
            if (e.points.empty()) {
                e.count = 1;
                e.firstX = x;
                e.firstY = y;
            } else {
                bool farFromAll = true;
                for (const auto& [px, py] : e.points) {
                    const std::int64_t dx = x - px, dy = y - py;
                    if (dx * dx + dy * dy < kFarApartSquared) {
                        farFromAll = false;
                        break;
                    }
                }
                if (farFromAll) ++e.count;
            }
            e.points.emplace_back(x, y);
        }
    }

    // A network with four or more far-apart ends is repainted whole, as the
    // full-resolution region of its first end.
    for (const auto& [label, e] : ends) {
        const int x = 2 * e.firstX, y = 2 * e.firstY;
        if (e.count >= 4 && ref.contains(x, y)) seeds.emplace_back(x, y);
    }
    return seeds;
}

void repaintInvalidLines(GrayView ref, const InvalidLineSeeds& seeds) {
    for (const auto& [x, y] : seeds)
        RegionFillLarge(ref.data, ref.width, ref.stride, ref.height, x, y, kLabelMark, nullptr);
}

void correctInvalidLinesIn(GrayView ref) { repaintInvalidLines(ref, findInvalidLineSeeds(ref)); }

}  // namespace pcbinspect

extern "C" PCBINSPECT_API void correctInvalidLines(std::uint8_t* image, std::int32_t width,
                                                   std::int32_t stride, std::int32_t height) {
    using namespace pcbinspect;
    guardedExport("correctInvalidLines", [&] {
        if (!ArgumentCheck("correctInvalidLines").image("image", image, width, stride, height).ok())
            return;
        correctInvalidLinesIn(GrayView{image, width, stride, height});
    });
}
