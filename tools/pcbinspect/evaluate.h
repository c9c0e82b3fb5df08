// Evaluation against annotated boards: every pair of a list is inspected
// and its flaws are set against the defect boxes of its truth file.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "defects.h"
#include "preset.h"

namespace pcbinspect::tool {

// One line of an evaluation list: REFERENCE CAMERA TRUTH.
struct EvaluationPair {
    PairPaths images;
    std::string truth;
};

// An annotated defect: box corners in camera pixels (x1 <= x2, y1 <= y2)
// and its type.
struct TruthBox {
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    int type = 0;
};

// Reads an evaluation list: one pair per line, blank lines and lines
// starting with '#' skipped, relative paths taken from the list's folder.
// Throws InputError naming the list and the line for a malformed line or a
// file that does not exist, and for a list without pairs.
std::vector<EvaluationPair> readEvaluationList(const std::string& path);

// Reads a truth file: "x1 y1 x2 y2 type" per line, spaces or commas between.
// Throws InputError naming the file and the line for a malformed line, a
// type the preset does not know, or a box outside the camera image.
std::vector<TruthBox> readTruth(const std::string& path, const Preset& preset, int cameraWidth,
                                int cameraHeight);

// Counts of one defect type, or of all.
struct TypeTally {
    int defects = 0, found = 0;
    // Records whose family the type accepts, and those of them that lie on
    // a box whose type accepts their family (overall: all records, and
    // those on any box).
    int records = 0, trueRecords = 0;
    int agreeing = 0;                  // found defects whose nearest record is of its families
    double recall() const { return defects ? double(found) / defects : 0.0; }
    double precision() const { return records ? double(trueRecords) / records : 1.0; }
    double f() const {
        const double p = precision(), r = recall();
        return p + r > 0 ? 2 * p * r / (p + r) : 0.0;
    }
    double agreement() const { return found ? double(agreeing) / found : 0.0; }
};

// A box of box matching: corners inclusive, in camera pixels; `type` a
// DefectType number (-1: a truth type without a defect type, which nothing
// matches) and the detection's confidence.
struct MatchBox {
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    int type = -1;
    float confidence = 0.0f;
};

// Intersection over union of two boxes counted in pixels.
double boxIoU(const MatchBox& a, const MatchBox& b);

// One-to-one matching, greedy by confidence: the detections in falling
// confidence (the earlier first on a tie) each take the unmatched truth box
// of highest IoU above `minIoU` (and of the same type when `sameType`).
// Returns, per detection, the index of its truth box or -1.
std::vector<int> matchBoxes(const std::vector<MatchBox>& truth,
                            const std::vector<MatchBox>& detections, double minIoU,
                            bool sameType);

// Average precision of scored detections (confidence, correct) against
// `truthCount` boxes: the area under the precision-recall curve with
// precision made non-increasing, every point counted.
double averagePrecision(std::vector<std::pair<float, bool>> scored, int truthCount);

// The IoU above which a defect matches a truth box.
inline constexpr double kBoxMinIoU = 0.33;

// Counts of box matching, of one type or of all.
struct BoxCounts {
    int truths = 0, detections = 0, correct = 0;
    double precision() const { return detections ? double(correct) / detections : 1.0; }
    double recall() const { return truths ? double(correct) / truths : 0.0; }
    double f() const {
        const double p = precision(), r = recall();
        return p + r > 0 ? 2 * p * r / (p + r) : 0.0;
    }
};

struct BoxTally {
    BoxCounts all;
    std::map<std::string, BoxCounts> types;  // by defect type name
    // Truth type name -> detected type name ("missed" for none), from a
    // matching that ignores types; "(none)" rows hold detections on no box.
    std::map<std::string, std::map<std::string, int>> confusion;
    std::vector<std::pair<float, bool>> scored;  // every detection: confidence, correct
    // Boxes with a record (or a defect) on them, and the records (defects)
    // there: how many reports one found defect gets.
    int boxesWithRecords = 0, recordsOnBoxes = 0, boxesWithDefects = 0, defectsOnBoxes = 0;
};

// The defects of one pair against its truth boxes.
BoxTally scoreBoxes(const std::vector<TruthBox>& boxes, const std::vector<Defect>& defects,
                    const std::vector<FlawRecord>& flaws, const Preset& preset, int margin);

// The flaws of one inspected pair against its boxes. A flaw matches a box
// when its camera position lies inside the box grown by `margin`.
struct PairTally {
    TypeTally all;
    std::map<int, TypeTally> types;                     // by type number
    std::map<int, std::map<std::string, int>> confusion;  // type -> family of nearest record
    BoxTally box;
};

PairTally scorePair(const std::vector<TruthBox>& boxes, const std::vector<FlawRecord>& flaws,
                    const Preset& preset, int margin);

struct EvaluationOptions {
    ReadOptions read;
    int margin = 4;
    int jobs = 1;
    int libraryThreads = 1;  // what the library's calls may use, for the summary
    bool pictures = false;  // an overlay per pair with the truth boxes
    bool boxes = false;     // also match defects against the boxes (--match box)
};

struct EvaluationSummary {
    PairTally tally;
    int pairs = 0, notPlaced = 0, failed = 0;
    double searchMs = 0.0, inspectMs = 0.0;  // means over the inspected pairs
    double defectsMs = 0.0;
    double decodeMs = 0.0, photoMs = 0.0;  // reading the files, the photo front end
    // Pairs a second over the whole run (wall time, `jobs` pairs at once),
    // and the spread of one pair's time from reading to its defects.
    int jobs = 1;
    int libraryThreads = 1;  // threads one library call may use
    double pairsPerSecond = 0.0;
    double pairMedianMs = 0.0, pairP90Ms = 0.0, pairMaxMs = 0.0;
    double suspectsMean = 0.0;  // suspects the search handed on, a pair
    int suspectsMax = 0;
    bool boxes = false;
};

// Inspects every pair with `jobs` threads, writes summary.json, pairs.csv,
// confusion.csv (and pictures/) into `out`, shows a progress bar on
// `progress` and returns the summary. Pairs whose files cannot be read are
// reported there and skipped.
EvaluationSummary runEvaluation(const std::vector<EvaluationPair>& pairs,
                                const EvaluationOptions& options, const Preset& preset,
                                const std::filesystem::path& out, std::ostream& progress);

// The table printed at the end, and its machine-readable last line
// "evaluate: recall=R precision=P f=F agreement=A pairs=N notplaced=K",
// with box matching followed by " box_f=F box_ap=A".
std::string evaluationReport(const EvaluationSummary& summary, const Preset& preset);

}  // namespace pcbinspect::tool
