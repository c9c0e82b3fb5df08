// One inspection, end to end: place the camera image in the reference with
// findSuspectedFlaws, turn its suspects into candidates and classify them
// with inspect.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image_io.h"
#include "pcbinspect/exports.h"
#include "preset.h"

namespace pcbinspect::tool {

// The images of one inspection and where they came from (for messages).
struct InspectionInput {
    Image reference;  // CAD labels
    Image camera;     // as read; copper where non-zero, or at or above `threshold`
    std::optional<Image> ignore;      // reference geometry; non-zero is ignored
    std::optional<Image> cameraMask;  // camera geometry; non-zero is ignored
    int threshold = 0;                // 0: any non-zero pixel is copper (bright copper)
    // Golden-board mode: `reference` is an image of a good board, binarised
    // like the camera image, labelled as plain copper and padded by
    // kGoldenMargin on every side for the search.
    bool golden = false;
    bool copperDark = false;          // copper at or below `threshold` instead of at or above
    std::vector<HoleRecord> holes;    // in reference coordinates
    std::string referencePath = "reference", cameraPath = "camera", ignorePath = "ignore map",
                maskPath = "camera mask";
};

struct InspectionResult {
    // False when the search found too little to place the camera, or placed
    // it with an alignment score below the preset's minimum (belowMinimum):
    // then there is no flaw list.
    bool placed = false;
    bool belowMinimum = false;
    float minAlignmentScore = 0.0f;
    int positionX = 0, positionY = 0;  // camera's top-left corner in the reference
    float alignmentScore = 0.0f;
    int suspects = 0;
    std::vector<SuspectRecord> suspectList;  // what the search handed to the inspection
    std::vector<FlawRecord> flaws;
    OffsetGrid offsets{};
    double searchMs = 0.0, inspectMs = 0.0;
};

// Checks the geometry of the inputs (reference at least as large as the
// camera image, ignore map and mask of their image's size, threshold 0 to
// 255); throws InputError naming the offending file.
void validate(const InspectionInput& input);

// Background around a golden image, on every side: room for the search to
// place a camera image of the golden image's own size.
inline constexpr int kGoldenMargin = 60;
// The label of golden copper: plain copper of region class 0.
inline constexpr std::uint8_t kGoldenCopperLabel = 255;
// The threshold golden mode takes when none is given.
inline constexpr int kGoldenThreshold = 128;

// An image as the library reads a camera image: 255 for copper, 0 elsewhere.
// Bright copper: at or above `threshold` (any non-zero pixel when it is 0);
// dark copper: at or below it.
Image binaryImage(const Image& image, int threshold, bool copperDark);

// The camera image as the library reads it (bright copper).
Image binaryCamera(const Image& camera, int threshold);

// The label reference of golden-board mode: the golden image binarised by
// the camera's rule, copper labelled kGoldenCopperLabel, kGoldenMargin of
// background on every side.
Image goldenReference(const Image& golden, int threshold, bool copperDark);

// True when an image meant as CAD labels holds more than 16 gray levels,
// as a photo does.
bool looksLikePhoto(const Image& labels);

// Runs the search and the inspection. The inputs are not changed. In golden
// mode every reference position of the result (placement, suspects, flaws)
// is in the unpadded golden image's coordinates.
InspectionResult runInspection(const InspectionInput& input, const Preset& preset);

}  // namespace pcbinspect::tool
