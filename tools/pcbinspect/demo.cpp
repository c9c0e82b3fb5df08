#include "demo.h"

#include <array>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <ostream>

#include "flaw_codes.h"
#include "pipeline.h"
#include "report.h"
#include "tool_error.h"
#include "boards/board_score.h"
#include "boards/field_board.h"
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
// Truth boxes of `synth` surround a defect's changed pixels with this many
// pixels on every side, as annotated photo sets of bare boards do.
constexpr int kTruthBoxMargin = 8;

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

const PhotoRanges& photoRanges(PhotoLevel level) {
    static const PhotoRanges mild{25, 0.0, 0.0, 4, 7, 0.6, 1.0, 88, 95, 60, 85, 165, 195,
                                  0.3, 0.002, 6};
    static const PhotoRanges hard{45, 0.10, 0.25, 7, 12, 0.9, 1.6, 75, 88, 70, 95, 140, 165,
                                  0.8, 0.005, 12};
    return level == PhotoLevel::Hard ? hard : mild;
}

namespace {

// One photograph's draw: its light, optics and the camera's geometry.
struct PhotoDraw {
    double copper, substrate, rampLevels, rampAngle, vignette, noise, blur;
    int quality;
};

PhotoDraw drawPhoto(const PhotoRanges& r, std::mt19937& rng, double copper, double substrate) {
    auto real = [&](double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng);
    };
    PhotoDraw d;
    d.copper = copper;
    d.substrate = substrate;
    d.rampLevels = real(-r.ramp, r.ramp);
    d.rampAngle = real(0.0, 2 * M_PI);
    d.vignette = real(r.vignetteLo, r.vignetteHi);
    d.noise = real(r.noiseLo, r.noiseHi);
    d.blur = real(r.blurLo, r.blurHi);
    d.quality = std::uniform_int_distribution<int>(r.jpegLo, r.jpegHi)(rng);
    return d;
}

// Smooth random texture of spread `sd` and grain `sigma` pixels.
cv::Mat1f texture(cv::Size size, double sigma, double sd, cv::RNG& rng) {
    cv::Mat1f t(size);
    rng.fill(t, cv::RNG::NORMAL, 0.0, 1.0);
    cv::GaussianBlur(t, t, cv::Size(0, 0), sigma, sigma, cv::BORDER_REFLECT);
    cv::Scalar mean, spread;
    cv::meanStdDev(t, mean, spread);
    return (t - mean[0]) * (sd / std::max(spread[0], 1e-9));
}

// A photograph of a copper map (non-zero copper) as JPEG bytes: copper and
// substrate with their own textures (a woven substrate, grainy copper),
// seen through `geometry` (board to camera pixels), blurred, lit by a ramp
// and a vignette, with sensor noise.
std::vector<std::uint8_t> photograph(const std::vector<std::uint8_t>& copperMap, int w, int h,
                                     const cv::Matx23d& geometry, const PhotoDraw& d,
                                     std::uint32_t seed) {
    cv::RNG rng(seed);
    const cv::Size size(w, h);
    cv::Mat1f cover(size);
    for (int i = 0; i < w * h; ++i) cover(i) = copperMap[static_cast<std::size_t>(i)] ? 1.0f : 0.0f;
    const double weave = 2 * M_PI / rng.uniform(6.0, 9.0), phase = rng.uniform(0.0, 6.3);
    cv::Mat1f substrate = texture(size, 6.0, 3.0, rng) + d.substrate;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            substrate(y, x) += static_cast<float>(2.0 * std::sin(weave * x + phase) *
                                                  std::sin(weave * y + phase));
    const cv::Mat1f copper = texture(size, 0.8, 2.5, rng) + texture(size, 20.0, 3.0, rng) +
                             d.copper;
    cv::Mat1f board = substrate.mul(1.0f - cover) + copper.mul(cover);
    cv::Mat1f seen;
    cv::warpAffine(board, seen, cv::Mat(geometry), size, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar(d.substrate));
    cv::GaussianBlur(seen, seen, cv::Size(0, 0), d.blur, d.blur, cv::BORDER_REFLECT);
    // The light: a ramp across the picture (rampLevels gray levels of the
    // substrate at the far corner, either way) and a vignette.
    const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0, reach = std::hypot(cx, cy);
    const double ux = std::cos(d.rampAngle), uy = std::sin(d.rampAngle);
    cv::Mat1f noise(size);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, d.noise);
    Image out(w, h, 1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double along = ((x - cx) * ux + (y - cy) * uy) / reach;
            const double r2 = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (reach * reach);
            const double light = (1.0 + d.rampLevels / d.substrate * along) * (1.0 - d.vignette * r2);
            out.at(x, y) = cv::saturate_cast<std::uint8_t>(seen(y, x) * light + noise(y, x));
        }
    return encodeJpeg(out, d.quality);
}

// A shot as annotated sets of binary image pairs hold them: a photograph
// `jpeg` smoothed a little and thresholded on its own (Otsu), copper 255.
// The two shots of a pair are thresholded apart, so their copper edges
// wander by a pixel against each other here and there.
Image binarisedShot(const std::vector<std::uint8_t>& jpeg) {
    Image decoded = decodeJpeg(jpeg, "shot");
    const cv::Mat1b gray(decoded.height, decoded.width, decoded.pixels.data());
    cv::Mat1b smooth, copper;
    cv::GaussianBlur(gray, smooth, cv::Size(0, 0), 1.0);
    cv::threshold(smooth, copper, 0, 255, cv::THRESH_BINARY_INV | cv::THRESH_OTSU);
    Image out(copper.cols, copper.rows, 1);
    for (int y = 0; y < copper.rows; ++y) std::copy_n(copper.ptr(y), copper.cols, out.row(y));
    return out;
}

}  // namespace

int writeSyntheticBoards(int count, std::uint32_t seed, PhotoLevel photo, const fs::path& out,
                         std::ostream& print, bool field) {
    OutputFolder folder(out);
    std::ostringstream list, goldenList, binaryList, shotList;
    int defects = 0;
    auto writeBytes = [&](const std::string& name, const std::vector<std::uint8_t>& bytes) {
        std::ofstream f(folder.stage(name), std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!f) throw InputError((out / name).string(), "cannot write");
    };
    for (int k = 0; k < count; ++k) {
        const std::uint32_t boardSeed = seed + static_cast<std::uint32_t>(k);
        const testing::DefectBoard board =
            field ? testing::buildFieldBoard(boardSeed)
                  : testing::buildRandomBoard(boardSeed, 8, 5, testing::kPhotoSetKinds);
        char stem[32];
        std::snprintf(stem, sizeof stem, "board-%03d-", k + 1);
        const std::string s(stem);
        const InspectionInput in = boardInput(board);
        writePng(folder.stage(s + "reference.png").string(), in.reference);
        writePng(folder.stage(s + "camera.png").string(), in.camera);
        // Truth boxes as annotated sets draw them: the tight box of the
        // pixels a defect changed (within its reach), grown by
        // kTruthBoxMargin, with the type its kind has in the default preset
        // (1 to 6), in the camera's pixels seen through `geometry`; a box
        // that leaves the picture altogether is dropped.
        std::vector<std::array<int, 4>> changed;
        for (const testing::PlantedDefect& d : board.defects) {
            std::array<int, 4> t{d.camX, d.camY, d.camX, d.camY};
            const int reach = d.extent + 2;
            for (int y = std::max(d.camY - reach, 0); y <= std::min(d.camY + reach, board.height - 1); ++y)
                for (int x = std::max(d.camX - reach, 0); x <= std::min(d.camX + reach, board.width - 1); ++x) {
                    const std::size_t i = static_cast<std::size_t>(y) * board.width + x;
                    const bool copper = testing::board_detail::isCopperLabel(board.reference[i]);
                    if ((board.camera[i] != 0) == copper) continue;
                    t = {std::min(t[0], x), std::min(t[1], y), std::max(t[2], x), std::max(t[3], y)};
                }
            changed.push_back({t[0] - kTruthBoxMargin, t[1] - kTruthBoxMargin,
                               t[2] + kTruthBoxMargin, t[3] + kTruthBoxMargin});
        }
        auto truthText = [&](const cv::Matx23d& g) {
            std::ostringstream truth;
            truth << "# x1 y1 x2 y2 type\n";
            for (std::size_t n = 0; n < board.defects.size(); ++n) {
                const testing::PlantedDefect& d = board.defects[n];
                const std::array<int, 4>& c = changed[n];
                int type = 0;
                for (std::size_t t = 0; t < std::size(testing::kPhotoSetKinds); ++t)
                    if (testing::kPhotoSetKinds[t].kind == d.kind) type = static_cast<int>(t) + 1;
                double x1 = 1e9, y1 = 1e9, x2 = -1e9, y2 = -1e9;
                for (int cx : {c[0], c[2]})
                    for (int cy : {c[1], c[3]}) {
                        const cv::Vec3d p(cx, cy, 1.0);
                        const cv::Vec2d q = g * p;
                        x1 = std::min(x1, q[0]), x2 = std::max(x2, q[0]);
                        y1 = std::min(y1, q[1]), y2 = std::max(y2, q[1]);
                    }
                const int bx1 = std::max(static_cast<int>(std::floor(x1)), 0);
                const int by1 = std::max(static_cast<int>(std::floor(y1)), 0);
                const int bx2 = std::min(static_cast<int>(std::ceil(x2)), board.width - 1);
                const int by2 = std::min(static_cast<int>(std::ceil(y2)), board.height - 1);
                if (bx1 > bx2 || by1 > by2) continue;
                truth << bx1 << ' ' << by1 << ' ' << bx2 << ' ' << by2 << ' ' << type << '\n';
                ++defects;
            }
            return truth.str();
        };
        const cv::Matx23d identity(1, 0, 0, 0, 1, 0);
        folder.writeText(s + "truth.txt", truthText(identity));
        list << s << "reference.png " << s << "camera.png " << s << "truth.txt\n";
        if (photo == PhotoLevel::None) continue;
        defects -= static_cast<int>(board.defects.size());  // counted again for the photos
        std::vector<std::uint8_t> clean(board.reference.size());
        for (std::size_t i = 0; i < clean.size(); ++i)
            clean[i] = testing::board_detail::isCopperLabel(board.reference[i]) ? 255 : 0;
        Image golden(board.width, board.height, 1);
        golden.pixels = clean;
        writePng(folder.stage(s + "golden-binary.png").string(), golden);
        binaryList << s << "golden-binary.png " << s << "camera.png " << s << "truth.txt\n";

        // Each board's photographs from a generator of its own, so that a
        // board looks the same whatever the count.
        std::mt19937 rng(seed * 2654435761u + static_cast<std::uint32_t>(k) * 40503u + 1u);
        const PhotoRanges& r = photoRanges(photo);
        auto real = [&](double lo, double hi) {
            return std::uniform_real_distribution<double>(lo, hi)(rng);
        };
        const double copper = real(r.copperLo, r.copperHi);
        const double substrate = real(r.substrateLo, r.substrateHi);
        const PhotoDraw goldenLight = drawPhoto(r, rng, copper, substrate);
        const PhotoDraw cameraLight = drawPhoto(r, rng, copper, substrate);
        const double turn = real(-r.turnDegrees, r.turnDegrees) * M_PI / 180.0;
        const double scale = 1.0 + real(-r.scale, r.scale);
        const double dx = real(-r.shift, r.shift), dy = real(-r.shift, r.shift);
        const double cx = (board.width - 1) / 2.0, cy = (board.height - 1) / 2.0;
        const double a = scale * std::cos(turn), b = scale * std::sin(turn);
        const cv::Matx23d geometry(a, -b, cx - a * cx + b * cy + dx, b, a, cy - b * cx - a * cy + dy);
        writeBytes(s + "golden.jpg", photograph(clean, board.width, board.height, identity,
                                                goldenLight, static_cast<std::uint32_t>(rng())));
        writeBytes(s + "photo.jpg", photograph(board.camera, board.width, board.height, geometry,
                                               cameraLight, static_cast<std::uint32_t>(rng())));
        folder.writeText(s + "truth-photo.txt", truthText(geometry));
        goldenList << s << "golden.jpg " << s << "photo.jpg " << s << "truth-photo.txt\n";
        // Both boards shot in place under even light (the same optics and
        // noise) and thresholded: a pair like the binary pairs of field sets.
        PhotoDraw goldenEven = goldenLight, cameraEven = cameraLight;
        goldenEven.rampLevels = cameraEven.rampLevels = 0.0;
        goldenEven.vignette = cameraEven.vignette = 0.0;
        writePng(folder.stage(s + "golden-shot.png").string(),
                 binarisedShot(photograph(clean, board.width, board.height, identity, goldenEven,
                                          static_cast<std::uint32_t>(rng()))));
        writePng(folder.stage(s + "camera-shot.png").string(),
                 binarisedShot(photograph(board.camera, board.width, board.height, identity,
                                          cameraEven, static_cast<std::uint32_t>(rng()))));
        shotList << s << "golden-shot.png " << s << "camera-shot.png " << s << "truth.txt\n";
    }
    folder.writeText("list.txt", list.str());
    if (photo != PhotoLevel::None) {
        folder.writeText("list-golden.txt", goldenList.str());
        folder.writeText("list-golden-binary.txt", binaryList.str());
        folder.writeText("list-shots.txt", shotList.str());
    }
    folder.commit();
    print << count << " boards, " << defects << " defects: " << (out / "list.txt").string()
          << (photo != PhotoLevel::None
                  ? " (labels), " + (out / "list-golden.txt").string() +
                        " (photographs: evaluate --golden), " +
                        (out / "list-golden-binary.txt").string() + " (their binary originals), " +
                        (out / "list-shots.txt").string() + " (thresholded shots)"
                  : std::string())
          << '\n';
    return 0;
}

}  // namespace pcbinspect::tool
