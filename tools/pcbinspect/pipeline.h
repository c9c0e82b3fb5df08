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
    int threshold = 0;                // 0: any non-zero pixel is copper
    std::vector<HoleRecord> holes;    // in reference coordinates
    std::string referencePath = "reference", cameraPath = "camera", ignorePath = "ignore map",
                maskPath = "camera mask";
};

struct InspectionResult {
    bool placed = false;  // false when the search found too little to place the camera
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

// The camera image as the library reads it: 255 for copper, 0 elsewhere.
Image binaryCamera(const Image& camera, int threshold);

// Runs the search and the inspection. The inputs are not changed.
InspectionResult runInspection(const InspectionInput& input, const Preset& preset);

}  // namespace pcbinspect::tool
