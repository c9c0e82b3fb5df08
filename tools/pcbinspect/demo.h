// The demo: the synthetic defect board with its planted defects, placed in
// a larger reference, run through the same pipeline as `inspect`, and the
// flaws found set against the defects planted.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>

#include "preset.h"

namespace pcbinspect::tool {

// Writes reference.png, camera.png, report.json, report.csv and overlay.png
// into `out`, prints the comparison table to `print`. Returns 0.
int runDemo(const Preset& preset, const std::string& presetName,
            const std::filesystem::path& out, std::ostream& print);

}  // namespace pcbinspect::tool
