#include "demo.h"

#include <cmath>
#include <cstdio>
#include <random>
#include <sstream>
#include <ostream>

#include "flaw_codes.h"
#include "pipeline.h"
#include "report.h"
#include "boards/board_score.h"
#include "boards/random_board.h"

namespace pcbinspect::tool {

namespace fs = std::filesystem;

namespace {

// The board sits in a reference this many pixels larger on every side, so
// the search has room to place the camera image.
constexpr int kMargin = 60;
// A flaw belongs to a planted defect when it lies within the defect's reach
// plus this many pixels.
constexpr int kSlack = 12;

// The board placed in its larger reference, holes moved from the board's
// hole-list coordinates into the reference.
InspectionInput boardInput(const testing::DefectBoard& board) {
    InspectionInput in;
    in.referencePath = "reference.png";
    in.cameraPath = "camera.png";
    in.reference = Image(board.width + 2 * kMargin, board.height + 2 * kMargin, 1, 0);
    for (int y = 0; y < board.height; ++y)
        std::copy_n(board.reference.data() + static_cast<std::size_t>(y) * board.width,
                    board.width, in.reference.row(y + kMargin) + kMargin);
    in.camera = Image(board.width, board.height, 1);
    in.camera.pixels = board.camera;
    for (HoleRecord h : board.holes) {
        h.x += kMargin - board.holeOrigin[0];
        h.y += kMargin - board.holeOrigin[1];
        in.holes.push_back(h);
    }
    return in;
}

}  // namespace

int runDemo(const Preset& preset, const std::string& presetName, const fs::path& out,
            std::ostream& print) {
    const testing::DefectBoard board = testing::buildDefectBoard();
    const InspectionInput in = boardInput(board);
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
    const testing::BoardScore score = testing::scoreRecords(board.defects, r.flaws, kSlack);
    int found = 0, rightFamily = 0;
    for (std::size_t i = 0; i < board.defects.size(); ++i) {
        const testing::PlantedDefect& d = board.defects[i];
        const testing::DefectMatch& m = score.defects[i];
        const std::string at = std::to_string(d.camX) + "," + std::to_string(d.camY);
        std::string what = "-";
        if (m.found) {
            ++found;
            rightFamily += m.inFamily ? 1 : 0;
            what = std::to_string(m.code) + " " + std::string(describeFlaw(m.code).name) +
                   (m.inFamily ? "" : " (other family)");
        }
        std::snprintf(line, sizeof line, "%-20s %11s  %-8s %s\n", testing::defectName(d.kind),
                      at.c_str(), m.found ? "yes" : "no", what.c_str());
        print << line;
    }
    for (std::size_t i = 0; i < r.flaws.size(); ++i) {
        if (score.recordOnDefect[i]) continue;
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
                  score.falseCalls);
    print << line;
    std::snprintf(line, sizeof line, "search %.0f ms, inspection %.0f ms\n", r.searchMs,
                  r.inspectMs);
    print << line;
    print << "report: " << (out / "report.json").string()
          << "\npicture: " << (out / "overlay.png").string() << '\n';
    return 0;
}

RandomBoardTally inspectRandomBoards(const Preset& preset, std::uint32_t seed, int boards,
                                     std::ostream* print, bool listMisses) {
    RandomBoardTally t;
    for (int i = 0; i < boards; ++i) {
        const testing::DefectBoard board =
            testing::buildRandomBoard(seed + static_cast<std::uint32_t>(i));
        const InspectionResult r = runInspection(boardInput(board), preset);
        t.unplaced += r.placed ? 0 : 1;
        const testing::BoardScore score = testing::scoreRecords(board.defects, r.flaws, kSlack);
        for (std::size_t k = 0; k < board.defects.size(); ++k) {
            RandomBoardTally::Kind& kind = t.kinds[testing::defectName(board.defects[k].kind)];
            ++kind.planted;
            kind.found += score.defects[k].found ? 1 : 0;
            kind.inFamily += score.defects[k].inFamily ? 1 : 0;
            if (score.defects[k].found) ++kind.codes[score.defects[k].code];
            if (print && listMisses && !score.defects[k].found) {
                const testing::PlantedDefect& d = board.defects[k];
                *print << "missed: board " << seed + static_cast<std::uint32_t>(i) << ", "
                       << testing::defectName(d.kind) << " at " << d.camX << "," << d.camY
                       << " (reach " << d.extent << ")\n";
            }
        }
        for (std::size_t j = 0; print && listMisses && j < r.flaws.size(); ++j) {
            if (score.recordOnDefect[j]) continue;
            const FlawRecord& f = r.flaws[j];
            // The nearest planted defect, to tell a stray duplicate from a
            // call on a clean feature.
            double nearest = 1e9;
            for (const testing::PlantedDefect& d : board.defects)
                nearest = std::min(nearest, std::hypot(f.camX - d.camX, f.camY - d.camY) - d.extent);
            *print << "false call: board " << seed + static_cast<std::uint32_t>(i) << ", code "
                   << f.code << " at " << f.camX << "," << f.camY << " ("
                   << static_cast<int>(nearest) << " pixels beyond the nearest defect's reach)\n";
        }
        t.records += static_cast<int>(r.flaws.size());
        t.falseCalls += score.falseCalls;
        t.searchMs += r.searchMs;
        t.inspectMs += r.inspectMs;
    }
    if (print) {
        char line[200];
        std::snprintf(line, sizeof line, "%-20s %8s %8s %8s %9s  %s\n", "defect kind", "planted",
                      "found", "recall", "family", "codes (count)");
        *print << line;
        int planted = 0, found = 0, inFamily = 0;
        for (const auto& [name, k] : t.kinds) {
            std::string codes;
            for (const auto& [code, n] : k.codes)
                codes += (codes.empty() ? "" : ", ") + std::to_string(code) + " (" +
                         std::to_string(n) + ")";
            std::snprintf(line, sizeof line, "%-20s %8d %8d %8.3f %9.3f  %s\n", name.c_str(),
                          k.planted, k.found, k.recall(),
                          k.found ? double(k.inFamily) / k.found : 0.0, codes.c_str());
            *print << line;
            planted += k.planted;
            found += k.found;
            inFamily += k.inFamily;
        }
        std::snprintf(line, sizeof line,
                      "%d boards (seed %u): recall %d of %d (%.3f), %d of them in the planted "
                      "family (%.3f); %d records, %d on no defect (precision %.3f); %.0f ms a "
                      "board (search %.0f, inspection %.0f)\n",
                      boards, seed, found, planted, planted ? double(found) / planted : 0.0,
                      inFamily, found ? double(inFamily) / found : 0.0, t.records, t.falseCalls,
                      t.precision(), boards ? (t.searchMs + t.inspectMs) / boards : 0.0,
                      boards ? t.searchMs / boards : 0.0, boards ? t.inspectMs / boards : 0.0);
        *print << line;
        if (t.unplaced) *print << t.unplaced << " boards could not be placed\n";
    }
    return t;
}

int writeSyntheticBoards(int count, std::uint32_t seed, bool photo, const fs::path& out,
                         std::ostream& print) {
    OutputFolder folder(out);
    std::ostringstream list, goldenList;
    std::mt19937 noise(seed);
    // A photo of copper: dark copper on a light board, with grain.
    auto asPhoto = [&](const std::vector<std::uint8_t>& copper, int w, int h) {
        Image img(w, h, 1);
        std::uniform_int_distribution<int> grain(-20, 20);
        for (std::size_t i = 0; i < img.pixels.size(); ++i)
            img.pixels[i] = static_cast<std::uint8_t>((copper[i] ? 60 : 200) + grain(noise));
        return img;
    };
    int defects = 0;
    for (int k = 0; k < count; ++k) {
        const testing::DefectBoard board = testing::buildRandomBoard(
            seed + static_cast<std::uint32_t>(k), 8, 5, testing::kPhotoSetKinds);
        char stem[32];
        std::snprintf(stem, sizeof stem, "board-%03d-", k + 1);
        const std::string s(stem);
        const InspectionInput in = boardInput(board);
        writePng(folder.stage(s + "reference.png").string(), in.reference);
        writePng(folder.stage(s + "camera.png").string(), in.camera);
        // Truth boxes: each defect's reach around its centre, with the type
        // its kind has in the default preset (1 to 6).
        std::ostringstream truth;
        truth << "# x1 y1 x2 y2 type\n";
        for (const testing::PlantedDefect& d : board.defects) {
            int type = 0;
            for (std::size_t t = 0; t < std::size(testing::kPhotoSetKinds); ++t)
                if (testing::kPhotoSetKinds[t].kind == d.kind) type = static_cast<int>(t) + 1;
            truth << std::max(d.camX - d.extent, 0) << ' ' << std::max(d.camY - d.extent, 0)
                  << ' ' << std::min(d.camX + d.extent, board.width - 1) << ' '
                  << std::min(d.camY + d.extent, board.height - 1) << ' ' << type << '\n';
            ++defects;
        }
        folder.writeText(s + "truth.txt", truth.str());
        list << s << "reference.png " << s << "camera.png " << s << "truth.txt\n";
        if (photo) {
            std::vector<std::uint8_t> clean(board.reference.size());
            for (std::size_t i = 0; i < clean.size(); ++i)
                clean[i] = testing::board_detail::isCopperLabel(board.reference[i]) ? 255 : 0;
            writePng(folder.stage(s + "golden.png").string(),
                     asPhoto(clean, board.width, board.height));
            writePng(folder.stage(s + "photo.png").string(),
                     asPhoto(board.camera, board.width, board.height));
            goldenList << s << "golden.png " << s << "photo.png " << s << "truth.txt\n";
        }
    }
    folder.writeText("list.txt", list.str());
    if (photo) folder.writeText("list-golden.txt", goldenList.str());
    folder.commit();
    print << count << " boards, " << defects << " defects: " << (out / "list.txt").string()
          << (photo ? " (labels), " + (out / "list-golden.txt").string() +
                          " (photos, dark copper: evaluate --golden --copper dark)"
                    : std::string())
          << '\n';
    return 0;
}

}  // namespace pcbinspect::tool
