// One inspection, end to end: place the camera image in the reference with
// findSuspectedFlaws, turn its suspects into candidates and classify them
// with inspect.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "defects.h"
#include "image_io.h"
#include "pcbinspect/exports.h"
#include "preset.h"

namespace pcbinspect::tool {

// The images of one inspection and where they came from (for messages).
// The hole kind whose size the inspection measures at candidates.
inline constexpr int kHoleMeasured = 12;

// How far from a given --at position the frame is looked for, pixels.
inline constexpr int kAtRange = 150;
// A reference wider or higher than the frame by more than this is a whole
// board on which the frame is found by registration before the search.
inline constexpr int kWholeBoardSlack = 240;
// Background the search gets around a frame on every side: the golden
// image's padding, and the window cut around a found or given frame.
inline constexpr int kFrameMargin = 60;
// How many places of a frame on a whole board are tried with the search.
inline constexpr int kFrameGuesses = 16;

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
    // Copper (255) and background (0) of photographs, as the photo front end
    // found them: when present they are read instead of `camera` and, in
    // golden mode, `reference` binarised by the threshold; those two then
    // serve the pictures only.
    std::optional<Image> cameraCopper, referenceCopper;
    // Set when the camera photo was resampled onto the golden photo's
    // geometry before binarising (cameraCopper and cameraMask are in the
    // golden's pixels): the map from golden to camera pixels, which takes
    // the flaws' camera positions and the defects' boxes back into the
    // camera photo's own pixels.
    std::optional<std::array<double, 6>> cameraGeometry;
    // Where the camera frame's top-left corner lies in the reference,
    // roughly (a stage's position): the frame is looked for within
    // atRange pixels of it. Without it, a reference much larger than the
    // frame (a whole board) is searched for the frame at reduced scale.
    std::optional<std::array<int, 2>> at;
    int atRange = kAtRange;
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
    // How the reference window of the search was chosen: "" the whole
    // reference as given, "padded" the reference with background around it
    // (a frame nearly as large as the reference), "at" around the given
    // position, "found" around a place found by registration. windowX and
    // windowY are that window's top-left corner in the reference;
    // registrationMs the time spent finding the frame.
    std::string framing;
    int windowX = 0, windowY = 0;
    double registrationMs = 0.0;
    // Set when another place of the reference fits the frame about as well
    // as the chosen one (a board of repeated cells): the frame's place is
    // not certain there, and a rough place (--at) settles it.
    std::optional<std::array<int, 2>> alsoFitsAt;
    // One box and type per flaw, from the records and the placed images
    // (defects.h), and the time that took.
    std::vector<Defect> defects;
    double defectsMs = 0.0;
};

// Checks the geometry of the inputs (reference at least as large as the
// camera image, ignore map and mask of their image's size, threshold 0 to
// 255); throws InputError naming the offending file.
void validate(const InspectionInput& input);

// Background around a golden image, on every side: room for the search to
// place a camera image of the golden image's own size.
inline constexpr int kGoldenMargin = kFrameMargin;
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

// The reference as the search should read it: CAD labels with the drill
// holes' interiors (label 154) as bare board, since the camera sees through
// them. The inspection keeps them, to check that they are open.
Image searchReference(const Image& labels);

// Copper (255) and bare board (0) of a label reference as the search reads
// it, for registering a frame on it.
Image referenceCopper(const Image& labels);

// The part [x, x + width) × [y, y + height) of an image, background (0)
// where it reaches outside.
Image cutWindow(const Image& image, int x, int y, int width, int height);

// Runs the search and the inspection. The inputs are not changed. In golden
// mode every reference position of the result (placement, suspects, flaws)
// is in the unpadded golden image's coordinates.
InspectionResult runInspection(const InspectionInput& input, const Preset& preset);

}  // namespace pcbinspect::tool
