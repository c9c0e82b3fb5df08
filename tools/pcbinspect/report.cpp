#include "report.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "flaw_codes.h"
#include "overlay.h"
#include "tool_error.h"

namespace pcbinspect::tool {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Scores are written by the library as trunc(score * 100).
double score(const FlawRecord& f) { return f.score / 100.0; }

}  // namespace

std::string csvQuoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + '"';
}

json reportJson(const ReportSources& s, const InspectionResult& r) {
    json j;
    j["reference"] = {{"file", s.reference}, {"width", s.referenceWidth},
                      {"height", s.referenceHeight}};
    j["camera"] = {{"file", s.camera}, {"width", s.cameraWidth}, {"height", s.cameraHeight}};
    j["ignore_map"] = s.ignore.empty() ? json(nullptr) : json(s.ignore);
    j["camera_mask"] = s.cameraMask.empty() ? json(nullptr) : json(s.cameraMask);
    j["preset"] = s.preset;
    j["placed"] = r.placed;
    j["position"] = {{"x", r.positionX}, {"y", r.positionY}};
    if (!r.framing.empty())
        j["framing"] = {{"how", r.framing},
                        {"window", {r.windowX, r.windowY}},
                        {"registration_ms", r.registrationMs},
                        {"also_fits_at", r.alsoFitsAt ? json(*r.alsoFitsAt) : json(nullptr)}};
    j["alignment_score"] = r.alignmentScore;
    j["min_alignment_score"] = r.minAlignmentScore;
    j["suspect_count"] = r.suspects;
    json suspects = json::array();
    for (const SuspectRecord& v : r.suspectList)
        suspects.push_back({{"reference", {{"x", v.refX}, {"y", v.refY}}},
                            {"camera", {{"x", v.windowX}, {"y", v.windowY}}},
                            {"agreement", v.agreement / 100.0}});
    j["suspects"] = suspects;
    j["timing_ms"] = {{"search", r.searchMs}, {"inspect", r.inspectMs}, {"defects", r.defectsMs}};
    json flaws = json::array();
    std::map<std::string, int> families;
    for (const FlawRecord& f : r.flaws) {
        const FlawCode d = describeFlaw(f.code);
        families[std::string(familyName(d.family))] += 1;
        flaws.push_back({{"code", f.code},
                         {"name", d.name},
                         {"family", familyName(d.family)},
                         {"score", score(f)},
                         {"reference", {{"x", f.refX}, {"y", f.refY}}},
                         {"camera", {{"x", f.camX}, {"y", f.camY}}},
                         {"region_class", f.region}});
    }
    j["flaw_count"] = r.flaws.size();
    j["families"] = families;
    j["flaws"] = flaws;
    // One box and type per flaw; "records" index "flaws".
    json defects = json::array();
    for (const Defect& d : r.defects)
        defects.push_back({{"box", {d.x1, d.y1, d.x2, d.y2}},
                           {"type", defectTypeName(d.type)},
                           {"confidence", d.confidence},
                           {"records", d.records}});
    j["defect_count"] = r.defects.size();
    j["defects"] = defects;
    return j;
}

std::string reportCsv(const InspectionResult& r, bool records) {
    std::ostringstream out;
    if (!records) {
        out << "type,confidence,x1,y1,x2,y2,records\n";
        for (const Defect& d : r.defects) {
            char c[32];
            std::snprintf(c, sizeof c, "%.3f", d.confidence);
            std::string list;
            for (int i : d.records) list += (list.empty() ? "" : " ") + std::to_string(i);
            out << defectTypeName(d.type) << ',' << c << ',' << d.x1 << ',' << d.y1 << ','
                << d.x2 << ',' << d.y2 << ',' << list << '\n';
        }
        return out.str();
    }
    out << "code,name,family,score,ref_x,ref_y,cam_x,cam_y,region_class\n";
    for (const FlawRecord& f : r.flaws) {
        const FlawCode d = describeFlaw(f.code);
        char sc[32];
        std::snprintf(sc, sizeof sc, "%.2f", score(f));
        out << f.code << ",\"" << d.name << "\",\"" << familyName(d.family) << "\"," << sc << ','
            << f.refX << ',' << f.refY << ',' << f.camX << ',' << f.camY << ',' << f.region
            << '\n';
    }
    return out.str();
}

std::string flawTable(const InspectionResult& r, bool records) {
    std::ostringstream out;
    char line[200];
    if (r.belowMinimum) {
        std::snprintf(line, sizeof line,
                      "camera image not placed: alignment score %.3f is below %.3f\n",
                      r.alignmentScore, r.minAlignmentScore);
        out << line;
        return out.str();
    }
    if (!r.placed) {
        out << "camera image not placed: too little copper to align (" << r.suspects
            << " suspects)\n";
        return out.str();
    }
    std::snprintf(line, sizeof line,
                  "camera placed at (%d, %d), alignment score %.3f; %d suspects, %zu flaws, "
                  "%zu defects\n",
                  r.positionX, r.positionY, r.alignmentScore, r.suspects, r.flaws.size(),
                  r.defects.size());
    out << line;
    if (!records) {
        if (r.defects.empty()) return out.str();
        std::snprintf(line, sizeof line, "%-16s %10s %21s  %s\n", "defect", "confidence", "box",
                      "records");
        out << line;
        for (const Defect& d : r.defects) {
            const std::string box = std::to_string(d.x1) + "," + std::to_string(d.y1) + " " +
                                    std::to_string(d.x2) + "," + std::to_string(d.y2);
            std::string codes;
            for (int i : d.records)
                codes += (codes.empty() ? "" : " ") +
                         std::to_string(r.flaws[static_cast<std::size_t>(i)].code);
            std::snprintf(line, sizeof line, "%-16s %10.2f %21s  %s\n",
                          std::string(defectTypeName(d.type)).c_str(), d.confidence, box.c_str(),
                          codes.c_str());
            out << line;
        }
        return out.str();
    }
    if (r.flaws.empty()) return out.str();
    std::snprintf(line, sizeof line, "%6s  %-36s %-15s %8s %11s %11s %6s\n", "code", "flaw",
                  "family", "score", "reference", "camera", "region");
    out << line;
    for (const FlawRecord& f : r.flaws) {
        const FlawCode d = describeFlaw(f.code);
        const std::string ref = std::to_string(f.refX) + "," + std::to_string(f.refY);
        const std::string cam = std::to_string(f.camX) + "," + std::to_string(f.camY);
        std::snprintf(line, sizeof line, "%6d  %-36.36s %-15s %8.2f %11s %11s %6d\n", f.code,
                      std::string(d.name).c_str(), std::string(familyName(d.family)).c_str(),
                      score(f), ref.c_str(), cam.c_str(), f.region);
        out << line;
    }
    return out.str();
}

OutputFolder::OutputFolder(fs::path dir) : dir_(std::move(dir)) {
    std::error_code ec;
    fs::create_directories(dir_, ec);
    if (ec || !fs::is_directory(dir_))
        throw InputError(dir_.string(), "cannot create output folder: " + ec.message());
}

OutputFolder::~OutputFolder() {
    if (committed_) return;
    std::error_code ec;
    for (const auto& [tmp, final] : staged_) fs::remove(tmp, ec);
}

fs::path OutputFolder::stage(const std::string& name) {
    const fs::path final = dir_ / name;
    const fs::path tmp = dir_ / ("." + name + ".partial");
    staged_.emplace_back(tmp, final);
    return tmp;
}

void OutputFolder::writeText(const std::string& name, const std::string& text) {
    const fs::path tmp = stage(name);
    std::ofstream out(tmp, std::ios::binary);
    out << text;
    out.close();
    if (!out) throw InputError((dir_ / name).string(), "cannot write");
}

void OutputFolder::commit() {
    for (const auto& [tmp, final] : staged_) {
        std::error_code ec;
        fs::rename(tmp, final, ec);
        if (ec) throw InputError(final.string(), "cannot write: " + ec.message());
    }
    committed_ = true;
}

void writeReports(OutputFolder& out, const ReportSources& sources, const Image& camera,
                  const InspectionResult& result, bool records) {
    out.writeText("report.json", reportJson(sources, result).dump(2) + "\n");
    out.writeText("report.csv", reportCsv(result, records));
    writePng(out.stage("overlay.png").string(),
             records ? drawOverlay(camera, result.flaws) : drawDefectOverlay(camera, result.defects));
}

}  // namespace pcbinspect::tool
