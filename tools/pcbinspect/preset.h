// Presets: every setting of the suspected-flaw search and of the inspection,
// named by what it means, read from JSON. The tool turns a preset into the
// 35-entry parameter vector, the control block and the width-tolerance
// table that the library takes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pcbinspect/exports.h"

namespace pcbinspect::tool {

// Settings of findSuspectedFlaws.
struct SearchSettings {
    std::int32_t ignoreGrowth = 3;       // half-size of the square ignored around label 152
    std::int32_t border = 50;            // border strip of the content count, pixels
    float agreementThreshold = 0.85f;    // patch agreement at or above which a pixel is fine
    std::int32_t flawSpacing = 10;       // least distance between suspects, pixels
    std::int32_t emptyFlawSpacing = 50;  // the same for suspects with no agreement at all
    std::int32_t lineExclusionRadius = 4;  // suspects this close to label 150 are dropped
    bool referenceLineExcludes = false;  // label 151 excludes as 150 does
    bool exhaustiveCoarseSearch = false; // coarse search at every block, no refinement
    bool narrowVerticalSearch = true;    // vertical search margin 10 pixels instead of 30
    std::int32_t maxSuspects = 4000;     // room for suspect records
    // Below this alignment score the camera image counts as not placed: no
    // flaw list is made from a placement that plainly failed. Correct
    // placements of synthetic and photo-like pairs score 0.978 and above
    // (rotated by 1.5 degrees, noisy, scaled by 1 %); a board against dense
    // unrelated blobs 0.70.
    float minAlignmentScore = 0.9f;
};

// Settings of how suspects become candidates and records.
struct CandidateSettings {
    std::int32_t suppressRadius = 10;    // camera pixels around a flaw where later candidates drop
    bool dropNearReferenceLines = false; // near label 151, an empty or bridged window is no flaw
    std::int32_t maxFlaws = 1000;        // room for flaw records
    bool checkHoles = true;              // run the hole pass over the hole list
};

// An annotated defect type of `evaluate`: its number in truth files, its
// name, the flaw families that count as finding it and the defect type
// ("open", "spurious_copper", ...) a box of it must be matched by.
struct EvaluationType {
    int type = 0;
    std::string name;
    std::vector<std::string> families;  // family names as flaw_codes.h spells them
    std::string defect;                 // a defect type name of defects.h
};

// Settings of the defects made from the records.
struct DefectBoxSettings {
    std::int32_t boxMargin = 8;  // pixels added around a defect's differences
};

// Settings of the photo front end (photo.h).
struct PhotoSettings {
    // Copper islands and holes in copper smaller than this, pixels, are
    // taken for noise and removed; defects of this size and above are kept.
    std::int32_t minDefectPx = 6;
};

struct Preset {
    std::string about;
    SearchSettings search;
    CandidateSettings candidates;
    DefectBoxSettings defects;
    PhotoSettings photo;
    std::array<float, 35> params{};
    InspectControl control{};
    std::vector<WidthTolerance> tolerances;
    std::vector<EvaluationType> evaluationTypes;
};

// The built-in default, the same as tools/presets/default.json.
Preset defaultPreset();

// Reads a preset file: keys it does not name keep their default. Throws
// InputError naming the file for a missing or unreadable file, malformed
// JSON, an unknown key, a value of the wrong type or out of its range.
Preset loadPreset(const std::string& path);

// The same from parsed JSON; `source` names it in error messages.
Preset presetFromJson(const nlohmann::json& json, const std::string& source);

// The whole preset as JSON, every key present.
nlohmann::ordered_json presetToJson(const Preset& preset);

// A Markdown table of every key: section, name, unit and range, default and
// meaning.
std::string describePresetKeys();

}  // namespace pcbinspect::tool
