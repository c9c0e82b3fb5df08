// The subcommands of the tool, callable without the argument parser.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>

#include "pipeline.h"
#include "preset.h"

namespace pcbinspect::tool {

struct PairPaths {
    std::string reference, camera, ignore, cameraMask;  // empty: not given
};

// Reads one pair, inspects it and writes report.json, report.csv and
// overlay.png into `out`. Every input is read and checked before the folder
// is touched. Throws InputError for bad input.
InspectionResult inspectPair(const PairPaths& paths, int threshold, const Preset& preset,
                             const std::string& presetName, const std::filesystem::path& out);

// Reads a batch list: one pair per line, "REFERENCE CAMERA [IGNORE [MASK]]",
// "-" for an absent map, blank lines and lines starting with '#' skipped.
// Relative paths are taken from the list's folder. Throws InputError naming
// the list and the line for a malformed line.
std::vector<PairPaths> readBatchList(const std::string& path);

// Inspects every pair of the list with `jobs` threads, each pair into a
// folder of its own under `out`, with a progress line on `progress` and a
// summary.csv. Returns the number of pairs that failed on bad input.
int runBatch(const std::vector<PairPaths>& pairs, int threshold, const Preset& preset,
             const std::string& presetName, const std::filesystem::path& out, int jobs,
             std::ostream& progress);

}  // namespace pcbinspect::tool
