// The stages of the 240 x 240 re-check of a candidate: line width with
// excess and missing copper, spacing, and enclosed differences.
#pragma once

#include <cstdint>

#include "model/inspect_records.h"

namespace pcbinspect {

inline constexpr int kRecheckSide = 240;
inline constexpr int kRecheckArea = kRecheckSide * kRecheckSide;

struct MorphologyScratch;

// Erases skeleton branches that end near the centre (120, 120) of a 240 x 240
// skeleton. With *limit 0 one branch goes and *limit comes back as the
// number of line ends found minus one; with a larger limit branches go while
// more ends than the limit remain, the limit coming back unchanged. A branch
// is only erased when its end lies within 30 pixels of the centre.
void PruneNearestEnd(std::uint8_t* skeleton, int* limit);

// Work memory of the line-width stage: four 240 x 240 maps and the tile's
// spread copper.
inline constexpr int kLineWidthScratch = 5 * kRecheckArea;

// Inputs of the line-width stage. `a` and `b` are the reference and camera
// masks (0 or non-zero, 240 x 240) with pristine copies; `tile` is the
// reference's 120 x 120 label window (copper: neither 0 nor 170).
struct LineWidthInputs {
    std::uint8_t* scratch;  // kLineWidthScratch bytes
    MorphologyScratch* morph;
    const std::uint8_t* tile;
    std::uint8_t* pristineA;  // reused as a work map at the end
    const std::uint8_t* pristineB;
    std::uint8_t* a;
    std::uint8_t* b;
    const InspectParams* params;
    int mx, my;
    const float* toleranceTable;
    int toleranceCount;
    float tolerance;       // t of the inspection
    int widthBound;        // control[3]
    int cameraWidthBound;  // control[4]
};

struct StageVerdict {
    int code = 0;
    float score = 0.0f;
    bool hasOffset = false;
    int dx = 0, dy = 0;  // in the 120 x 120 scale
};

// Aligns the camera mask to the reference by growing or shrinking the
// reference, then reports a widened (220) or narrowed (221) line, excess
// (210, 211) or missing (200, 201) copper, or 0.
StageVerdict LineWidthStage(const LineWidthInputs& in);

// The gap between the conductor nearest the centre of the 120 x 120 windows
// and its nearest neighbour, in the reference r and the camera c; 23 with the
// relative reduction as score when the camera gap is too small, else 0. The
// measured conductors are set to 128 in r and c.
int SpacingStage(std::uint8_t* r, std::uint8_t* c, const InspectParams& params, float* score,
                 const float* toleranceTable, int toleranceCount);

// Keeps the largest difference region of the 240 x 240 masks p and q near
// the centre that q's copper encloses, and compares how far it reaches across
// p's conductor edge, relative to q's width there, with the limit (or the
// width tolerance's difference limit). d is a 240 x 240 work map. Enclosed
// differences are painted into q.
bool EnclosedDifferenceCheck(std::uint8_t* d, const std::uint8_t* p, std::uint8_t* q, float limit,
                             float* score, const float* toleranceTable, int toleranceCount);

}  // namespace pcbinspect
