// The suspected-flaw search: places a binary camera window inside a CAD
// reference and lists the places where the two disagree. The export in
// find_suspected_flaws.cpp checks the arguments and runs the phases below in
// order on one SearchState.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "boundary/image_view.h"
#include "boundary/scratch_memory.h"
#include "search/search_ops.h"

namespace pcbinspect {

inline constexpr int kReduction = 6;     // block size of the coarse maps
inline constexpr int kLocalCells = 5;    // local alignment cells per side

inline ConstGrayView asConst(const GrayView& v) {
    return ConstGrayView{v.data, v.width, v.stride, v.height};
}

// Clamped caller settings.
struct SearchSettings {
    int grow = 1;            // 1 .. 10
    int border = 50;         // at least 50
    float threshold = 0.0f;  // patch agreement that clears a pixel
    int spacing = 10;        // at least 10
    int emptySpacing = 50;   // at least 50
    int exclusionRadius = 0;
    bool code151Excludes = false;
    bool exhaustive = false;
    int margin = 30;         // vertical search margin: 10 in mode >= 2, else 30
};

// The caller's buffers and the scratch of one call. Every working image has
// stride equal to its width.
struct SearchState {
    ConstGrayView reference;  // R, W x H
    GrayView ignore;          // G, R's geometry
    GrayView camera;          // C, w x h
    GrayView cameraMask;      // D, C's geometry
    SearchSettings settings;

    ScratchImage binaryRef;     // W x H: 0/255, 1 in enclosed dark areas
    ScratchImage closedCamera;  // w x h: C with pinholes closed
    ScratchImage reducedRef;    // (W/6) x (H/6)
    ScratchImage reducedCamera; // (w/6) x (h/6)
    ScratchImage reducedMask;   // (w/6) x (h/6)
    ScratchImage markers;       // (W/6) x (H/6)
    ScratchImage blurredRef;    // W x H
    ScratchImage blurredCamera; // w x h
    std::optional<QuadrantPlan> cameraPlan;  // the fine alignment's cells of blurredCamera
    ScratchImage scanRef;       // w x h: binaryRef under the window, edges marked
    ScratchImage scanIgnore;    // w x h: G under the window, 0/255
    bool scanHasEdges = false;  // either scan map holds an edge
    bool buffersApart = true;   // R, G, C and D share no byte (set by prepareSearch)

    long long cameraTotal = 0;  // set, unmasked camera pixels of the whole window
    int offsetX = 0, offsetY = 0;  // window centre offset from R's centre, pixels
    double fineScore = 0.0;
    int centreX = 0, centreY = 0;  // window centre in R after clamping
    int cornerX = 0, cornerY = 0;  // window top-left corner in R
    int cellOffsets[kLocalCells * kLocalCells][2] = {};

    int W() const { return reference.width; }
    int H() const { return reference.height; }
    int w() const { return camera.width; }
    int h() const { return camera.height; }
    static GrayView view(ScratchImage& v, int width, int height) {
        return GrayView{v.data(), width, width, height};
    }
    static ConstGrayView cview(const ScratchImage& v, int width, int height) {
        return ConstGrayView{v.data(), width, width, height};
    }
};

// Normalises the camera window (0/255 without lone pixels, mask reduced),
// grows G around label 152 and checks both sides' content; then makes the
// maps of the alignment: binary reference with its enclosed dark areas,
// closed camera, reduced maps, marker map, both blurred maps and the
// camera's plan of cells. The two sides run on the call's threads when the
// caller's buffers share no bytes, which it records in buffersApart. False
// (and the maps not all made) when the reference has no usable content left
// or the window's inner rectangle holds 30 or fewer set, unmasked pixels.
bool prepareSearch(SearchState& s);

// Coarse offset on the reduced maps (when the camera holds enough content).
void coarseAlignment(SearchState& s);
// Fine offset at full resolution, window centre and corner.
void fineAlignment(SearchState& s);
// The local cells' offsets as work beside them needs them: ready(j)
// returns once every cell of band j (row j of cells) has its offset,
// aligning on the calling thread the cells of the band nobody has begun;
// false when aligning one of them failed (the failure ends the call).
class CellBands {
public:
    virtual bool ready(int band) = 0;

protected:
    ~CellBands() = default;
};

// The 25 local alignment cells; `alongside`, when given, runs on the call's
// threads together with them, or after them when the caller's buffers share
// bytes (it may change C, but nothing else the cells read: the blurred maps
// and G). It may wait for bands of cells through the CellBands it is given.
void localAlignment(SearchState& s, const std::function<void(CellBands&)>& alongside = {});

// The maps of the flaw scans, once the window's corner is known: the
// reference and G under the window, and the edges of both maps marked
// (reference edges also in C). Sets scanHasEdges.
void prepareScanMaps(SearchState& s);
// Both flaw scans over the prepared maps and the final de-duplication;
// returns the record count. With `bands`, the camera scan takes each band
// of rows once the offsets of its cells are ready; without, they all are.
int scanForFlaws(SearchState& s, std::int32_t* records, int capacity, CellBands* bands = nullptr);

}  // namespace pcbinspect
