// What an inspection leaves behind: report.json, report.csv, the printed
// table, and the output folder they are written into without half-written
// files.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "pipeline.h"

namespace pcbinspect::tool {

// Where the inputs came from, for the report's header.
struct ReportSources {
    std::string reference, camera, ignore, cameraMask, preset;
    int referenceWidth = 0, referenceHeight = 0, cameraWidth = 0, cameraHeight = 0;
};

nlohmann::json reportJson(const ReportSources& sources, const InspectionResult& result);

// A CSV field in double quotes, inner quotes doubled.
std::string csvQuoted(const std::string& text);

// One header line and one line per defect: type, confidence, box corners,
// the indices of its records (blank-separated); with `records`, one line
// per flaw record instead: code, name, family, score, reference x and y,
// camera x and y, region class.
std::string reportCsv(const InspectionResult& result, bool records = false);

// The short table printed after an inspection: the defects, or with
// `records` the flaw records.
std::string flawTable(const InspectionResult& result, bool records = false);

// Files are written under temporary names inside the folder and renamed
// into place by commit(); a folder that is destroyed before commit()
// removes them again, so a failed run leaves no half-written report.
class OutputFolder {
public:
    explicit OutputFolder(std::filesystem::path dir);
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    // The temporary path to write `name` to.
    std::filesystem::path stage(const std::string& name);
    void writeText(const std::string& name, const std::string& text);
    void commit();
    const std::filesystem::path& dir() const { return dir_; }

private:
    std::filesystem::path dir_;
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> staged_;
    bool committed_ = false;
};

// Writes report.json, report.csv and overlay.png for one inspection; the
// CSV and the overlay show the defects, or with `records` the records.
void writeReports(OutputFolder& out, const ReportSources& sources, const Image& camera,
                  const InspectionResult& result, bool records = false);

}  // namespace pcbinspect::tool
