// The export findSuspectedFlaws: argument checks, gates, and the phases of
// the search in order.
#include <cstring>

#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "gpu/cuda_env.h"
#include "pcbinspect/exports.h"
#include "search/suspect_search.h"

namespace pcbinspect {
namespace {

constexpr const char* kName = "findSuspectedFlaws";

SearchSettings clampSettings(int grow, int border, float threshold, int spacing,
                             int emptySpacing, int exclusionRadius, bool code151, bool exhaustive,
                             int mode) {
    SearchSettings s;
    s.grow = grow < 1 ? 1 : (grow > 10 ? 10 : grow);
    s.border = border < 50 ? 50 : border;
    s.threshold = threshold;
    s.spacing = spacing < 10 ? 10 : spacing;
    s.emptySpacing = emptySpacing < 50 ? 50 : emptySpacing;
    s.exclusionRadius = exclusionRadius;
    s.code151Excludes = code151;
    s.exhaustive = exhaustive;
    s.margin = mode >= 2 ? 10 : 30;
    return s;
}

}  // namespace
}  // namespace pcbinspect

extern "C" PCBINSPECT_API std::int32_t findSuspectedFlaws(
    const std::uint8_t* reference, std::uint8_t* ignoreMap, std::int32_t refWidth,
    std::int32_t refStride, std::int32_t refHeight, std::uint8_t* window,
    std::uint8_t* windowMask, std::int32_t windowWidth, std::int32_t windowStride,
    std::int32_t windowHeight, std::int32_t grow, std::int32_t border, float threshold,
    std::int32_t* positionOut, float* scoreOut, std::int32_t spacing, std::int32_t emptySpacing,
    std::int32_t exclusionRadius, bool code151Excludes, std::int32_t* records,
    std::int32_t capacity, std::int32_t* offsetsOut, bool exhaustive, std::int32_t mode) {
    using namespace pcbinspect;
    return guardedExport(kName, 0, [&]() -> std::int32_t {
        ArgumentCheck check(kName);
        check.image("reference", reference, refWidth, refStride, refHeight)
            .image("ignore map", ignoreMap, refWidth, refStride, refHeight)
            .image("window", window, windowWidth, windowStride, windowHeight)
            .image("window mask", windowMask, windowWidth, windowStride, windowHeight)
            .notNull("position output", positionOut)
            .notNull("score output", scoreOut)
            .notNull("records", records)
            .atLeast("capacity", capacity, 0);
        // Scratch images of the reference's and the window's size must be
        // addressable as well.
        std::size_t bytes = 0;
        if (check.ok() && !checkedArea(refWidth, refHeight, 4, bytes))
            check.fail("reference of %d x %d is too large", refWidth, refHeight);
        if (check.ok() && !checkedArea(windowWidth, windowHeight, 4, bytes))
            check.fail("window of %d x %d is too large", windowWidth, windowHeight);
        if (!check.ok()) return 0;

        SearchState s;
        s.reference = ConstGrayView{reference, refWidth, refStride, refHeight};
        s.ignore = GrayView{ignoreMap, refWidth, refStride, refHeight};
        s.camera = GrayView{window, windowWidth, windowStride, windowHeight};
        s.cameraMask = GrayView{windowMask, windowWidth, windowStride, windowHeight};

        s.settings = clampSettings(grow, border, threshold, spacing, emptySpacing,
                                   exclusionRadius, code151Excludes, exhaustive, mode);
        // The search runs on the CPU; it takes the process's one device
        // set-up with it so that a later PrebuildCudaEnv finds it done.
        ensureCudaDevice(true);

        if (!prepareSearch(s)) return 0;
        coarseAlignment(s);
        fineAlignment(s);
        positionOut[0] = s.cornerX;
        positionOut[1] = s.cornerY;
        *scoreOut = static_cast<float>(s.fineScore);
        // The scan's maps depend on the corner alone, so they are made
        // while the local cells are aligned, and the scan follows the cells
        // band by band.
        int count = 0;
        localAlignment(s, [&](CellBands& bands) {
            prepareScanMaps(s);
            count = scanForFlaws(s, records, capacity, &bands);
        });
        if (offsetsOut != nullptr) std::memcpy(offsetsOut, s.cellOffsets, sizeof s.cellOffsets);
        return count;
    });
}
