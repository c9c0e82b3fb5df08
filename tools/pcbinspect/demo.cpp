#include "demo.h"

#include <cmath>
#include <cstdio>
#include <ostream>

#include "flaw_codes.h"
#include "pipeline.h"
#include "report.h"
#include "support/defect_board.h"

namespace pcbinspect::tool {

namespace fs = std::filesystem;

namespace {

// The board sits in a reference this many pixels larger on every side, so
// the search has room to place the camera image.
constexpr int kMargin = 60;
// A flaw belongs to a planted defect when it lies within the defect's reach
// plus this many pixels.
constexpr int kSlack = 12;

bool near(const FlawRecord& f, const testing::PlantedDefect& d) {
    const double dx = f.camX - d.camX, dy = f.camY - d.camY;
    return std::sqrt(dx * dx + dy * dy) <= d.extent + kSlack;
}

}  // namespace

int runDemo(const Preset& preset, const std::string& presetName, const fs::path& out,
            std::ostream& print) {
    const testing::DefectBoard board = testing::buildDefectBoard();
    InspectionInput in;
    in.referencePath = "reference.png";
    in.cameraPath = "camera.png";
    in.reference = Image(board.width + 2 * kMargin, board.height + 2 * kMargin, 1, 0);
    for (int y = 0; y < board.height; ++y)
        std::copy_n(board.reference.data() + static_cast<std::size_t>(y) * board.width,
                    board.width, in.reference.row(y + kMargin) + kMargin);
    in.camera = Image(board.width, board.height, 1);
    in.camera.pixels = board.camera;
    // Holes move from the board's hole-list coordinates into the reference.
    for (HoleRecord h : board.holes) {
        h.x += kMargin - board.holeOrigin[0];
        h.y += kMargin - board.holeOrigin[1];
        in.holes.push_back(h);
    }

    const InspectionResult r = runInspection(in, preset);

    ReportSources s{"reference.png", "camera.png", "", "", presetName,
                    in.reference.width, in.reference.height, in.camera.width, in.camera.height};
    OutputFolder folder(out);
    writePng(folder.stage("reference.png").string(), in.reference);
    writePng(folder.stage("camera.png").string(), in.camera);
    writeReports(folder, s, in.camera, r);
    folder.commit();

    char line[220];
    std::snprintf(line, sizeof line,
                  "demo board: %d x %d camera image in a %d x %d reference, %zu defects planted\n",
                  in.camera.width, in.camera.height, in.reference.width, in.reference.height,
                  board.defects.size());
    print << line << flawTable(r) << '\n';
    std::snprintf(line, sizeof line, "%-20s %11s  %-8s %s\n", "planted", "camera", "found",
                  "flaw");
    print << line;
    std::vector<bool> matched(r.flaws.size(), false);
    int found = 0, rightFamily = 0;
    for (const testing::PlantedDefect& d : board.defects) {
        const FlawRecord* hit = nullptr;
        for (std::size_t i = 0; i < r.flaws.size(); ++i)
            if (near(r.flaws[i], d)) {
                matched[i] = true;
                if (!hit) hit = &r.flaws[i];
            }
        const std::string at = std::to_string(d.camX) + "," + std::to_string(d.camY);
        std::string what = "-";
        if (hit) {
            ++found;
            const bool family = testing::codeInFamily(hit->code, d.family);
            rightFamily += family ? 1 : 0;
            what = std::to_string(hit->code) + " " + std::string(describeFlaw(hit->code).name) +
                   (family ? "" : " (other family)");
        }
        std::snprintf(line, sizeof line, "%-20s %11s  %-8s %s\n", testing::defectName(d.kind),
                      at.c_str(), hit ? "yes" : "no", what.c_str());
        print << line;
    }
    int falseCalls = 0;
    for (std::size_t i = 0; i < r.flaws.size(); ++i) {
        if (matched[i]) continue;
        ++falseCalls;
        const FlawRecord& f = r.flaws[i];
        std::snprintf(line, sizeof line, "%-20s %11s  %-8s %d %s\n", "(nothing planted)",
                      (std::to_string(f.camX) + "," + std::to_string(f.camY)).c_str(),
                      "false", f.code, std::string(describeFlaw(f.code).name).c_str());
        print << line;
    }
    const std::size_t planted = board.defects.size();
    std::snprintf(line, sizeof line,
                  "\nrecall %d of %zu planted defects (%.0f%%), %d of them in the planted "
                  "family; %d false calls\n",
                  found, planted, planted ? 100.0 * found / planted : 0.0, rightFamily,
                  falseCalls);
    print << line;
    std::snprintf(line, sizeof line, "search %.0f ms, inspection %.0f ms\n", r.searchMs,
                  r.inspectMs);
    print << line;
    print << "report: " << (out / "report.json").string()
          << "\npicture: " << (out / "overlay.png").string() << '\n';
    return 0;
}

}  // namespace pcbinspect::tool
