// The small checks that decide on a candidate: region class and line checks on
// the reference image, and the checks, presence tests, measurements and
// image operations on the 120 x 120 windows cut around the candidate.
//
// Windows are square working images whose stride equals their side; unless a
// routine takes a side, it is kWindowSide and the candidate lies on the centre
// pixel (60, 60). Binary windows hold 0 or 255.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "boundary/image_view.h"
#include "imaging/circle_fit.h"
#include "model/inspect_records.h"
#include "imaging/morphology.h"
#include "imaging/point.h"

namespace pcbinspect {

inline constexpr int kWindowSide = 120;
inline constexpr int kWindowCentre = 60;

// Working memory of the checks. The driver makes one per call and hands it
// to every check; each check grows what it needs (only when it is too small)
// and never allocates inside its pixel loops.
class CheckScratch {
public:
    // A fill stack of width * height (x, y) pairs of 16-bit coordinates.
    std::int16_t* fillStack(int width, int height);
    // Work images of at least `bytes` bytes; contents are undefined.
    std::uint8_t* work(int slot, std::size_t bytes);
    // A list of `count` row numbers.
    int* rows(int count);
    MorphologyScratch& morphology() { return morph_; }

private:
    std::vector<std::int16_t> stack_;
    std::vector<int> rows_;
    std::vector<std::uint8_t> work_[3];
    MorphologyScratch morph_;
};

// ---------------------------------------------------------------------------
// Reference image

// Region class of the reference at (x, y): -1 none found, 0 copper, 1, 2 and
// 3 for labels 160, 170 and 180, 5 when a label 152 excludes the point. The
// squares of half-size 3, 6, 12, 24 and 48 are scanned in turn until one
// holds a classifying label (the last one in row order wins); the quick form
// scans only the first. A class found, or the full form's result, turns into
// 3 when a reference line (151) lies within 10 pixels.
int regionClassAt(ConstGrayView ref, int x, int y, bool quick);

// True when the nearest non-zero reference pixel on the square rings 1 ..
// radius - 1 around (x, y) is a reference line (151); false for a radius
// below 2 or when no such pixel lies that near.
bool nearReferenceLine(ConstGrayView ref, int x, int y, int radius);

// ---------------------------------------------------------------------------
// Presence and comparison of the camera window C against the reference
// window R (both binary, 120 x 120)

// 2 when the camera blob nearest the centre along the eight principal
// directions touches at least two reference features of more than 225
// pixels, else 0. `features`, when not null, receives that feature count
// (1 when no blob was found). C and R are left unchanged.
int bridgeCount(const std::uint8_t* camera, const std::uint8_t* reference, CheckScratch& scratch,
                int* features = nullptr);

// True when all pixels of the 120 x 120 window are 0.
bool isEmptyWindow(const std::uint8_t* window);

// Result of the nearest-blob test.
struct NearestBlob {
    int code = 0;          // 0, or the missing-feature code of the region class
    float score = 0.0f;    // 999 with a missing-feature code
    bool spansWindow = false;
};

// Keeps in the binary window only the blob found first on the rings of
// distance 0 .. 29 around the centre (255, all else 0). Without a set pixel
// that near the window becomes empty and the missing-feature code of the
// region class is returned. The blob spans the window when its height or
// width covers everything inside the cleared margins.
NearestBlob keepNearestBlob(std::uint8_t* window, int mx, int my, int regionClass,
                            CheckScratch& scratch);

// The missing-feature flaw code of a region class: 24, 201, 9, else 18.
int missingFeatureCode(int regionClass);

// Hole-size check at reference point (x, y): measures the kind-12 hole
// nearest the point in R and in C and compares the radii against the four
// hole-size limits of the parameter vector. Returns 0 or 1401 .. 1404.
int holeSizeCheck(ConstGrayView reference, ConstGrayView camera, const std::int32_t* holeOrigin,
                  int x, int y, const HoleRecord* holes, int holeCount,
                  const InspectParams& params, float* score);

// The verdict of the hole-size check for the two measured radii (r1 the
// camera's); 0 when they differ by at most 0.01 pixel.
int holeSizeVerdict(float r0, float r1, const InspectParams& params, float* score);

// Largest non-zero value of the 120 x 120 window with |x - cx| < 28 and
// |y - cy| < 28; 0 when there is none.
int squareMaximum(const std::uint8_t* window, int cx, int cy);

// ---------------------------------------------------------------------------
// Image operations


// ---------------------------------------------------------------------------
// Pad and reference checks

// True when the feature at the centre of the reference window stands alone:
// within `limit` rings of its edge point no other feature lies farther than
// 3 rings away. False for a limit below 1.
bool padAreaTest(const std::uint8_t* reference, int limit, CheckScratch& scratch);

// Searches the open areas of the camera window (side n, stride n) for a
// round pad edge in the reference. `bestResidual` and `circle` receive the
// best profile ratio seen and its circle. True when a circle of radius 30 ..
// 200 facing the window centre fits with a ratio below `residualLimit`.
bool padTest(const std::uint8_t* reference, const std::uint8_t* camera, int n, int sectorWidth,
             float residualLimit, float* bestResidual, Circle* circle, CheckScratch& scratch);

// Removes runs of 1 to 3 set pixels that stand out of a feature's edge and
// closes one-pixel holes of the reference window, inside margins mx, my.
void cleanReference(std::uint8_t* reference, int mx, int my);

// Keeps in R only the whole 4-connected reference features that the camera
// region overlapping the blob window most touches (or, with no overlap, the
// camera region nearest the centre); R comes back binary (0 / 255). The
// camera copy is relabelled.
void compareEdges(const std::uint8_t* blob, std::uint8_t* cameraCopy, std::uint8_t* reference,
                  int mx, int my, CheckScratch& scratch);

// Outputs of the gap measurement besides its result.
struct GapResult {
    int measure = 0;       // g0: 0, the widest gap, 99999 or -99999
    bool refEmpty = true;  // the reference holds no set pixel
    bool noMatch = false;  // no accepted camera pixel is set in the plain copy
};

// Measures the widest camera gap off the reference on square windows of
// side n (120, or 240 for the enlarged re-check). Cb and Cc are changed;
// Rpost is restored. `history`, when not null, holds ten (x, y) pairs of the
// measured seeds, newest first.
GapResult measureGap(const std::uint8_t* refBefore, std::uint8_t* refAfter, std::uint8_t* cameraBinary,
                     std::uint8_t* cameraCopy, int n, int mx, int my, int* history,
                     CheckScratch& scratch);

// Angle in degrees of the straight line that the set pixels of the 120 x 120
// window within 20 pixels of (x, y) follow. False with fewer than 21 pixels
// or when they do not follow a line closely.
bool LineDirection(const std::uint8_t* window, int x, int y, float* angle);

// Longest run of consecutive valid points (both coordinates >= 0); the last
// entry is first overwritten with (-1, -1). `start` receives the first index
// of the first longest run; it is left alone when no point is valid.
int runCount(PointF* points, int count, int* start);

// Mean absolute distance of the valid points among `count` entries from the
// circle, divided by the count.
float profileRatio(const Circle& circle, const PointF* points, int count);

}  // namespace pcbinspect
