// The subcommands of the tool, callable without the argument parser.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <array>
#include <iosfwd>
#include <string>

#include "pipeline.h"
#include "preset.h"

namespace pcbinspect::tool {

struct PairPaths {
    std::string reference, camera, ignore, cameraMask;  // empty: not given
    std::string holes;                                   // holes.csv, empty: none
    std::optional<std::array<int, 2>> at;                // the frame's rough place
};

// Reads "X,Y" (two integers) as a position; throws InputError naming
// `subject` otherwise.
std::array<int, 2> parsePosition(const std::string& subject, const std::string& text);

// Hole kinds of holes.csv: a hole whose centre lies in copper is plated
// (kind 0); one in bare board is kind 1. The inspection's hole pass checks
// both (only plated holes have interior labels to check).
inline constexpr int kHolePlated = 0;
inline constexpr int kHoleUnplated = 1;

// Reads holes.csv: "kind,x,y,r" per line in reference pixels, an optional
// header line, '#' comments. Every plated hole is also handed on as a
// measured hole (kind 12), so that its size is checked as well. Throws
// InputError naming the file and the line.
std::vector<HoleRecord> readHolesCsv(const std::string& path);

// How the images of a pair are read.
struct ReadOptions {
    int threshold = 0;        // 0: any non-zero camera pixel is copper (golden: 128)
    bool golden = false;      // the reference is an image of a good board
    bool copperDark = false;  // copper at or below the threshold
    // Photographs (golden mode, or the camera image of CAD mode when
    // cameraPhoto is set or it holds more than 16 gray levels) go through
    // the photo front end unless a threshold is given; copperAuto lets it
    // decide the polarity (an image of two gray levels keeps bright copper).
    bool copperAuto = false;
    bool cameraPhoto = false;
    std::string saveBinary;   // folder for the binarised images; empty: none
    // The reports' table, CSV and overlay list the flaw records instead of
    // the defects (report.json holds both).
    bool records = false;
};

// The threshold in force: the given one, or golden mode's default.
int effectiveThreshold(const ReadOptions& options);

// Reads the images of one pair (colour is turned into gray where golden mode
// allows it, and said on `notes`; a label reference that looks like a photo
// is warned about there) and checks them. Throws InputError for bad input.
// When `times` is given it receives the milliseconds spent in the photo
// front end (binarising, geometry estimate, resampling) and in the rest of
// the reading (decoding and checking the files).
struct ReadTimes {
    double decodeMs = 0.0, photoMs = 0.0;
};
InspectionInput readPair(const PairPaths& paths, const ReadOptions& options,
                         std::ostream* notes, const PhotoSettings& photo = PhotoSettings{},
                         ReadTimes* times = nullptr);

// The rest of reading a pair, once its images are in `in` (gray reference
// and camera, maps, holes, position, paths): photographs go through the
// photo front end (`golden` and `camera`, the photographs as read, or null
// where there is none; a gray camera image of more than 16 levels in CAD
// mode counts as one), the camera photo is resampled onto the golden's
// geometry where it is turned, scaled or shifted, the threshold rule is
// set, and the input is checked. `photoMs` (when given) receives the time
// spent in the front end. Throws InputError for bad input.
void finishInput(InspectionInput& in, const PhotoImage* golden, const PhotoImage* camera,
                 const ReadOptions& options, std::ostream* notes,
                 const PhotoSettings& photo = PhotoSettings{}, double* photoMs = nullptr);

// Writes the binary images an inspection reads into `dir`: golden-binary.png
// (golden mode) and camera-binary.png, 255 copper and 0 elsewhere.
void saveBinaryImages(const InspectionInput& input, const std::filesystem::path& dir);

// Reads one pair, inspects it and writes report.json, report.csv and
// overlay.png into `out`. Every input is read and checked before the folder
// is touched. Throws InputError for bad input.
InspectionResult inspectPair(const PairPaths& paths, const ReadOptions& options,
                             const Preset& preset, const std::string& presetName,
                             const std::filesystem::path& out, std::ostream* notes);

// Keeps the memory of freed large buffers in the process instead of giving
// it back to the system at once. A pair's images and the library's
// whole-image scratch are large blocks that the C library would otherwise
// map fresh and unmap on every call, so each pair paid for faulting in
// memory it had just given back; with this the next pair reuses it.
// Called once, first thing; does nothing outside glibc.
void keepWorkingMemory();

// The threads one library call may use while `jobs` pairs run at once:
// PCBINSPECT_THREADS when it is set (as the library reads it), otherwise the
// hardware's threads shared out between the jobs (at least one each), which
// is set in PCBINSPECT_THREADS before the library first reads it, so that
// jobs x threads stays within the cores. Returns the count in force.
int settleLibraryThreads(int jobs);

// Runs job(i) for every pair index i of [0, n) on `jobs` threads; after each
// pair, report(i, finished, seconds) runs under a lock shared with the
// report calls (`finished` pairs are done, `seconds` since the start), for a
// progress line. Returns the wall seconds of the run.
double runPairJobs(std::size_t n, int jobs, const std::function<void(std::size_t)>& job,
                   const std::function<void(std::size_t, std::size_t, double)>& report);

// Reads a batch list: one pair per line, "REFERENCE CAMERA [IGNORE [MASK]]
// [@X,Y]", "-" for an absent map, @X,Y the camera frame's rough place in the
// reference, blank lines and lines starting with '#' skipped.
// Relative paths are taken from the list's folder. Throws InputError naming
// the list and the line for a malformed line.
std::vector<PairPaths> readBatchList(const std::string& path);

// Inspects every pair of the list with `jobs` threads, each pair into a
// folder of its own under `out`, with a progress line on `progress` and a
// summary.csv. Pairs that could not be placed are counted apart and the
// run goes on. Returns the number of pairs that failed on bad input.
int runBatch(const std::vector<PairPaths>& pairs, const ReadOptions& options, const Preset& preset,
             const std::string& presetName, const std::filesystem::path& out, int jobs,
             std::ostream& progress);

}  // namespace pcbinspect::tool
