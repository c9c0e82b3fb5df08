// The demo: the synthetic defect board with its planted defects, placed in
// a larger reference, run through the same pipeline as `inspect`, and the
// flaws found set against the defects planted.
#pragma once

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <map>
#include <string>

#include "preset.h"

namespace pcbinspect::tool {

// Writes reference.png, camera.png, report.json, report.csv and overlay.png
// into `out`, prints the comparison table to `print`. Returns 0.
int runDemo(const Preset& preset, const std::string& presetName,
            const std::filesystem::path& out, std::ostream& print);

// What the inspection made of random boards full of planted defects.
struct RandomBoardTally {
    struct Kind {
        int planted = 0, found = 0, inFamily = 0;
        std::map<int, int> codes;  // how often each code reported a found defect
        double recall() const { return planted ? double(found) / planted : 0.0; }
    };
    std::map<std::string, Kind> kinds;  // by defect kind
    int records = 0, falseCalls = 0;    // records written, and those on no defect
    int unplaced = 0;                   // boards the search could not place
    double searchMs = 0.0, inspectMs = 0.0;  // library time, all boards
    double precision() const { return records ? 1.0 - double(falseCalls) / records : 1.0; }
};

// Builds `boards` random boards (seeds seed, seed + 1, ...), inspects each
// as the demo does and tallies recall, family agreement and precision by
// defect kind; prints the table when `print` is given, and before it every
// defect that no record lies on and every record on no defect when
// `listMisses` is set.
RandomBoardTally inspectRandomBoards(const Preset& preset, std::uint32_t seed, int boards,
                                     std::ostream* print, bool listMisses = false);

// How hard the photographs of `synth --photo` are.
enum class PhotoLevel { None, Mild, Hard };

// The ranges a photograph's light, optics and geometry are drawn from.
struct PhotoRanges {
    double ramp;                     // light ramp, gray levels at the far corner, either sign
    double vignetteLo, vignetteHi;   // light lost at the corners, share
    double noiseLo, noiseHi;         // sensor noise sigma, gray levels
    double blurLo, blurHi;           // optical blur sigma, pixels
    int jpegLo, jpegHi;              // JPEG quality
    int copperLo, copperHi, substrateLo, substrateHi;  // gray levels under even light
    double turnDegrees, scale, shift;  // camera geometry: largest turn, scale change, shift
};
const PhotoRanges& photoRanges(PhotoLevel level);

// Writes `count` random boards (seeds seed, seed + 1, ...) with the six
// defect kinds of the default evaluation types: for each a label reference
// (the board inside a 60-pixel margin), a camera image and a truth file,
// and list.txt for `evaluate`. With a photo level also, per board, a golden
// photograph of the clean board and a camera photograph of the defective
// one (JPEG; lit differently, the camera's turned, scaled and shifted, its
// truth boxes moved with it) listed in list-golden.txt, and the binary
// originals of the same pairs (golden-binary.png, camera.png) in
// list-golden-binary.txt, and both boards shot in place and thresholded
// apart (golden-shot.png, camera-shot.png) in list-shots.txt. `field` draws field-like boards instead: 640 x 640
// camera windows packed with fine lines, five to seven defects each.
int writeSyntheticBoards(int count, std::uint32_t seed, PhotoLevel photo,
                         const std::filesystem::path& out, std::ostream& print,
                         bool field = false);

}  // namespace pcbinspect::tool
