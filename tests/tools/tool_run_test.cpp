// The built pcbinspect program, run as a user runs it, and the flow behind
// it: end-to-end inspections, batches, the demo, every kind of bad input;
// random and golden boards; evaluation against annotated boards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>
#include <tuple>

#include <nlohmann/json.hpp>

#include "boards/board_score.h"
#include "boards/field_board.h"
#include "boards/random_board.h"
#include "demo.h"
#include "evaluate.h"
#include "pipeline.h"
#include "support/board_builder.h"
#include "tool_error.h"
#include "tool_images.h"

namespace pcbinspect::tool {
namespace {

using nlohmann::json;
using namespace testing;
namespace boards = pcbinspect::testing;

// A 600 x 600 board; the camera sees its 400 x 400 window at (131, 97) with
// a block of copper cut away at the first copper pixel right of the middle.
struct Scene {
    fs::path dir, reference, camera;
    int left = 131, top = 97;
    int missingX = 200;  // camera x of the cut-away copper, at camera y 200

    explicit Scene(const std::string& name)
        : dir(freshFolder(name)), reference(dir / "reference.png"), camera(dir / "camera.png") {
        const auto board = boards::syntheticBoard(600, 600, 7);
        boards::GuardedImage view(400, 400);
        boards::renderCamera(board, left, top, view);
        Image ref(600, 600, 1), cam(400, 400, 1);
        ref.pixels = board.labels;
        cam.pixels = view.pixels();
        while (missingX < 380 && cam.at(missingX, 200) == 0) ++missingX;
        for (int y = 194; y < 206; ++y)
            for (int x = missingX - 6; x < missingX + 6; ++x) cam.at(x, y) = 0;
        writePng(reference.string(), ref);
        writePng(camera.string(), cam);
    }
};

// An inspection writes three reports carrying every field; a batch inspects
// every pair of its list with a progress line, and goes on past a bad pair,
// ending with status 2.
TEST(ToolRun, InspectAndBatchWriteReportsThatCarryEveryField) {
    Scene s("reports");
    const fs::path out = s.dir / "out";
    const ToolOutput r =
        tool(s.dir, "inspect " + q(s.reference) + " " + q(s.camera) + " --out " + q(out));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("camera placed at (131, 97)"), std::string::npos) << r.out;
    const json j = json::parse(slurp(out / "report.json"));
    for (const char* key : {"reference", "camera", "ignore_map", "camera_mask", "preset", "placed",
                            "position", "alignment_score", "suspect_count", "suspects",
                            "timing_ms", "flaw_count", "families", "flaws"})
        EXPECT_TRUE(j.contains(key)) << key;
    EXPECT_EQ(std::make_tuple(j["placed"], j["position"], j["camera"]["width"],
                              j["reference"]["height"], j["preset"], j["flaw_count"],
                              j["suspect_count"]),
              std::make_tuple(json(true), json({{"x", s.left}, {"y", s.top}}), json(400),
                              json(600), json("default"), json(j["flaws"].size()),
                              json(j["suspects"].size())));
    // The search hands the cut-away copper to the inspection as suspects,
    // each with both positions.
    ASSERT_GE(j["suspects"].size(), 1u) << r.out;
    for (const json& v : j["suspects"]) {
        EXPECT_NEAR(v["camera"]["x"].get<int>(), s.missingX, 20);
        EXPECT_NEAR(v["camera"]["y"].get<int>(), 200, 20);
        EXPECT_EQ(v["reference"]["x"].get<int>() - v["camera"]["x"].get<int>(), s.left);
        EXPECT_EQ(v["reference"]["y"].get<int>() - v["camera"]["y"].get<int>(), s.top);
    }
    for (const json& f : j["flaws"])
        EXPECT_NEAR(f["reference"]["x"].get<int>() - f["camera"]["x"].get<int>(), s.left, 16);
    // One CSV line per defect under the header; the overlay an RGB PNG of the
    // camera's size; nothing else.
    const std::string csv = slurp(out / "report.csv");
    // report.csv lists the defects (one line each) unless --records is given.
    EXPECT_EQ(static_cast<std::size_t>(std::count(csv.begin(), csv.end(), '\n')),
              j["defects"].size() + 1);
    bool colour = false;
    const Image overlay = readGrayOrColour((out / "overlay.png").string(), &colour);
    EXPECT_TRUE(colour && overlay.width == 400 && overlay.height == 400);
    auto names = filesIn(out);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"overlay.png", "report.csv", "report.json"}));

    std::ofstream(s.dir / "good.txt") << "# pairs\nreference.png camera.png\n\n"
                                      << "reference.png camera.png - -\n";
    std::ofstream(s.dir / "bad.txt") << "reference.png missing.png\nreference.png camera.png\n";
    ToolOutput b =
        tool(s.dir, "batch " + q(s.dir / "good.txt") + " --jobs 2 --out " + q(s.dir / "good"));
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_NE(b.err.find("[2/2]"), std::string::npos) << b.err;
    EXPECT_EQ(slurp(s.dir / "good" / "0001-camera" / "report.csv"), csv);
    EXPECT_TRUE(fs::exists(s.dir / "good" / "0002-camera" / "overlay.png"));
    const std::string summary = slurp(s.dir / "good" / "summary.csv");
    EXPECT_EQ(std::count(summary.begin(), summary.end(), '\n'), 3);
    EXPECT_EQ(summary.find("bad input"), std::string::npos);
    b = tool(s.dir, "batch " + q(s.dir / "bad.txt") + " --out " + q(s.dir / "bad"));
    EXPECT_EQ(b.status, 2);
    EXPECT_NE(b.err.find((s.dir / "missing.png").string() + ": cannot open"), std::string::npos)
        << b.err;
    EXPECT_FALSE(fs::exists(s.dir / "bad" / "0001-missing"));
    EXPECT_TRUE(fs::exists(s.dir / "bad" / "0002-camera" / "report.json"));
}

// The demo board: the defects the inspection can see on it are found, and
// nothing is called where nothing was planted.
TEST(ToolRun, DemoFindsItsPlantedDefects) {
    const fs::path dir = freshFolder("demo");
    const ToolOutput r = tool(dir, "demo --out " + q(dir / "out"));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line : {"camera placed at (60, 60)", "recall 12 of 12 planted defects",
                             "; 0 false calls"})
        EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    EXPECT_GE(json::parse(slurp(dir / "out" / "report.json"))["flaws"].size(), 12u);
    // The demo's inputs are left beside the report, ready for `inspect`.
    EXPECT_EQ(readGray((dir / "out" / "camera.png").string()).width, 1280);
    EXPECT_EQ(readGray((dir / "out" / "reference.png").string()).width, 1400);
}

// Each bad input: exit status 2, one line on standard error that names the
// file (or option) and the problem, and an output folder with nothing in it.
TEST(ToolRun, BadInputGivesOneLineAndStatusTwo) {
    Scene s("bad");
    const fs::path& d = s.dir;
    writePng((d / "rgb.png").string(), Image(400, 400, 3, 0));
    writePng((d / "small.png").string(), Image(300, 300, 1, 0));
    writePng((d / "ignore.png").string(), Image(500, 600, 1, 0));
    std::ofstream(d / "unknown.json") << R"({"limits": {"spacing": 0.3}})";
    std::ofstream(d / "broken.json") << R"({"search": )";
    const std::string ref = q(s.reference), cam = q(s.camera);
    const struct {
        std::string args, file, problem;
    } cases[] = {
        {ref + " " + q(d / "rgb.png"), d / "rgb.png", "is 8-bit RGB colour"},
        {q(d / "small.png") + " " + cam, d / "small.png",
         "reference of 300 x 300 pixels is smaller than the camera image (400 x 400)"},
        {ref + " " + cam + " --ignore " + q(d / "ignore.png"), d / "ignore.png",
         "ignore map of 500 x 600 pixels differs from the reference (600 x 600)"},
        {ref + " " + cam + " --preset " + q(d / "unknown.json"), d / "unknown.json",
         "unknown key \"limits.spacing\""},
        {ref + " " + cam + " --preset " + q(d / "broken.json"), d / "broken.json",
         "malformed JSON"},
        {ref + " " + cam + " --preset " + q(d / "none.json"), d / "none.json",
         "cannot open preset"},
        {ref + " " + cam + " --threshold 300", "--threshold", "value 300 is outside 0 to 255"},
        {ref + " " + cam + " --colour red", "The following arguments were not expected",
         "red --colour (see --help)"},
    };
    for (const auto& c : cases) {
        const fs::path out = d / "out";
        fs::remove_all(out);
        fs::create_directories(out);
        const ToolOutput r = tool(d, "inspect " + c.args + " --out " + q(out));
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.err.rfind("pcbinspect: " + c.file + ": " + c.problem, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(filesIn(out).empty()) << c.args;
    }
}

// The whole flow (search and inspection with the built-in preset) on 8 random
// boards of 40 planted defects each, about 23 of each kind (the table is
// printed): recall by kind, family agreement and precision must not fall
// below what the flow measured.
TEST(RandomBoards, EveryReachableKindIsFound) {
    const RandomBoardTally t = inspectRandomBoards(defaultPreset(), 1, 8, &std::cout);
    int found = 0, inFamily = 0;
    for (const auto& [name, k] : t.kinds) {
        // A widened line is found about two times in three: the search puts
        // its candidates at the ends of the widened stretch, where the
        // line-width stage measures the width on the unchanged side and its
        // growth climb takes the widening for the line's own width.
        EXPECT_GE(k.recall(), name == "widened line" ? 0.5 : 0.95) << name;
        found += k.found;
        inFamily += k.inFamily;
    }
    EXPECT_EQ(std::make_pair(t.kinds.size(), t.unplaced), std::make_pair(14ul, 0));
    EXPECT_GE(static_cast<double>(inFamily) / found, 0.75);
    EXPECT_GE(t.precision(), 0.93);
}

// A board drawn as a photo: dark copper on a light board with grain, saved
// as JPEG (in colour or gray) and read back.
Image photoOf(const std::vector<std::uint8_t>& copper, int w, int h, bool colour,
              const fs::path& file, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> grain(-15, 15);
    Image img(w, h, colour ? 3 : 1);
    for (std::size_t i = 0; i < img.pixels.size(); ++i)
        img.pixels[i] =
            static_cast<std::uint8_t>((copper[i / img.channels] ? 60 : 200) + grain(rng));
    writeJpeg(file, img);
    bool converted = false;
    Image back = readGrayOrColour(file.string(), &converted);
    EXPECT_EQ(converted, colour);
    return back;
}

// A photo pair is placed at 0, 0 and its defects found in golden coordinates;
// a camera photo of unrelated blobs is not placed: status 3, no flaws.
TEST(GoldenMode, PhotoPairFindsThePlantedDefectsAndAnUnrelatedOneIsNotPlaced) {
    const fs::path dir = freshFolder("golden");
    const auto board = boards::buildRandomBoard(3, 8, 5, boards::kPhotoSetKinds);
    std::vector<std::uint8_t> clean(board.reference.size());
    for (std::size_t i = 0; i < clean.size(); ++i)
        clean[i] = boards::board_detail::isCopperLabel(board.reference[i]) ? 255 : 0;
    InspectionInput in;
    in.reference = photoOf(clean, board.width, board.height, true, dir / "golden.jpg", 1);
    in.camera = photoOf(board.camera, board.width, board.height, false, dir / "camera.jpg", 2);
    in.golden = in.copperDark = true;
    in.threshold = kGoldenThreshold;
    const InspectionResult r = runInspection(in, defaultPreset());
    ASSERT_TRUE(r.placed);
    // The golden image and the camera image coincide: the placement and
    // every record's reference position are in unpadded golden pixels.
    EXPECT_EQ(std::make_pair(r.positionX, r.positionY), std::make_pair(0, 0));
    for (const FlawRecord& f : r.flaws)
        EXPECT_LE(std::max(std::abs(f.refX - f.camX), std::abs(f.refY - f.camY)), 3) << f.code;
    // (Golden copper is plain copper: opens come out as missing copper.)
    const auto score = boards::scoreRecords(board.defects, r.flaws, 12);
    const auto found = [](const auto& m) { return m.found; };
    EXPECT_GE(std::count_if(score.defects.begin(), score.defects.end(), found), 38) << "of 40";
    EXPECT_LE(score.falseCalls, 2);
    std::vector<std::uint8_t> blobs(board.camera.size());  // a pattern unlike any board
    for (std::size_t i = 0; i < blobs.size(); ++i)
        blobs[i] = (i % board.width / 37 + i / board.width / 23) % 3 == 0 ? 255 : 0;
    photoOf(blobs, board.width, board.height, false, dir / "blobs.jpg", 4);
    const ToolOutput t = tool(dir, "inspect " + q(dir / "golden.jpg") + " " +
                                       q(dir / "blobs.jpg") + " --golden --copper dark --out " +
                                       q(dir / "out"));
    EXPECT_EQ(t.status, 3) << t.err;
    // (After the note that the golden photo was turned into gray.)
    EXPECT_NE(t.err.find("\npcbinspect: " + (dir / "blobs.jpg").string() + ": not placed ("),
              std::string::npos) << t.err;
    EXPECT_TRUE(json::parse(slurp(dir / "out" / "report.json"))["flaws"].empty());
}

// The search leaves a band of 50 pixels along the camera frame's edges
// unexamined and the inspection skips points near its image's edges: the
// tool inspects the deep differences of that band on the frame padded with
// the reference's copper. A field-like board of dense fine lines as its own
// camera image; a 4 x 4 speck on bare board (8 x 8 of bare board around
// it) as near as can be to `depth` pixels from one edge, one a case.
TEST(EdgeBand, SpecksNearTheFrameEdgeAreFound) {
    const auto board = boards::buildFieldBoard(11);
    const int W = board.width, H = board.height;
    Image reference(W, H, 1, 0), clean(W, H, 1, 0);
    std::copy(board.reference.begin(), board.reference.end(), reference.pixels.begin());
    for (std::size_t i = 0; i < clean.pixels.size(); ++i)
        clean.pixels[i] = isCopperLabel(board.reference[i]) ? 255 : 0;
    auto bare = [&](int x0, int y0) {
        for (int y = y0 - 2; y < y0 + 6; ++y)
            for (int x = x0 - 2; x < x0 + 6; ++x)
                if (x < 0 || y < 0 || x >= W || y >= H || clean.at(x, y)) return false;
        return true;
    };
    {
        InspectionInput in;
        in.reference = reference;
        in.camera = clean;
        const InspectionResult r = runInspection(in, defaultPreset());
        ASSERT_TRUE(r.placed);
        EXPECT_TRUE(r.flaws.empty());
    }
    int cases = 0;
    for (const int depth : {6, 20, 40, 60})
        for (int edge = 0; edge < 4; ++edge) {
            // Walk along the edge at the depth until a bare place is met.
            std::array<int, 2> at{-1, -1};
            for (int along = W / 3; along < 2 * W / 3 && at[0] < 0; ++along) {
                const std::array<int, 2> p = edge == 0   ? std::array{depth, along}
                                             : edge == 1 ? std::array{along, depth}
                                             : edge == 2 ? std::array{W - 4 - depth, along}
                                                         : std::array{along, H - 4 - depth};
                if (bare(p[0], p[1])) at = p;
            }
            if (at[0] < 0) continue;
            ++cases;
            InspectionInput in;
            in.reference = reference;
            in.camera = clean;
            for (int y = at[1]; y < at[1] + 4; ++y)
                for (int x = at[0]; x < at[0] + 4; ++x) in.camera.at(x, y) = 255;
            const InspectionResult r = runInspection(in, defaultPreset());
            ASSERT_TRUE(r.placed);
            ASSERT_FALSE(r.flaws.empty()) << "depth " << depth << ", edge " << edge;
            for (const FlawRecord& f : r.flaws) {
                EXPECT_LE(std::max(std::abs(f.camX - at[0] - 1), std::abs(f.camY - at[1] - 1)), 6)
                    << "depth " << depth << ", edge " << edge;
                // Frame and reference coincide; a record's reference point
                // may sit on the feature a few pixels off.
                EXPECT_LE(std::max(std::abs(f.refX - f.camX), std::abs(f.refY - f.camY)), 3);
            }
            ASSERT_EQ(r.defects.size(), 1u);
            EXPECT_EQ(r.defects[0].type, DefectType::SpuriousCopper);
        }
    EXPECT_GE(cases, 12);
}

// A binary shot's edges wander by a pixel against the golden's: every edge
// pixel of a field-like board is moved in or out at random, as thresholding
// two shots apart does. Those slivers alone make many suspects and no
// record; two in three of the board's planted defects are still found, and every record
// lies on one of them.
TEST(SuspectFilter, EdgeSliversAloneAreNotInspected) {
    for (const std::uint32_t seed : {3u, 8u}) {
        SCOPED_TRACE(seed);
        const auto board = boards::buildFieldBoard(seed);
        const int W = board.width, H = board.height;
        InspectionInput in;
        in.reference = Image(W, H, 1, 0);
        in.camera = Image(W, H, 1, 0);
        for (std::size_t i = 0; i < in.reference.pixels.size(); ++i) {
            in.reference.pixels[i] = isCopperLabel(board.reference[i]) ? 255 : 0;
            in.camera.pixels[i] = board.camera[i] ? 255 : 0;
        }
        const Image shot = in.camera;
        std::mt19937 rng(seed);
        for (int y = 1; y < H - 1; ++y)
            for (int x = 1; x < W - 1; ++x) {
                const std::uint8_t v = shot.at(x, y);
                const bool edge = shot.at(x - 1, y) != v || shot.at(x + 1, y) != v ||
                                  shot.at(x, y - 1) != v || shot.at(x, y + 1) != v;
                if (edge && rng() % 3 == 0) in.camera.at(x, y) = static_cast<std::uint8_t>(255 - v);
            }
        const InspectionResult r = runInspection(in, defaultPreset());
        ASSERT_TRUE(r.placed);
        EXPECT_GT(r.suspects, 500);
        int found = 0;
        for (const boards::PlantedDefect& d : board.defects) {
            bool hit = false;
            for (const FlawRecord& f : r.flaws)
                hit |= std::max(std::abs(f.camX - d.camX), std::abs(f.camY - d.camY)) <= d.extent + 12;
            found += hit;
        }
        EXPECT_GE(found * 3, static_cast<int>(board.defects.size()) * 2) << found << " of " << board.defects.size() << ", " << r.flaws.size() << " records, " << r.suspects << " suspects";
        for (const FlawRecord& f : r.flaws) {
            bool onDefect = false;
            for (const boards::PlantedDefect& d : board.defects)
                onDefect |= std::max(std::abs(f.camX - d.camX), std::abs(f.camY - d.camY)) <= d.extent + 12;
            EXPECT_TRUE(onDefect) << "record " << f.code << " at " << f.camX << ", " << f.camY;
        }
    }
}

// Hand-made boxes and records, counted exactly (margin 4).
TEST(Evaluate, ScoresRecordsAgainstBoxes) {
    const auto at = [](int code, int x, int y) { return FlawRecord{code, 100, x, y, x, y, 0}; };
    const std::vector<TruthBox> boxes = {
        {10, 10, 20, 20, 1},      // open: found through a record at the margin
        {100, 100, 110, 110, 6},  // pin-hole: two records, the nearer one excess copper
        {200, 200, 210, 210, 4},  // spur: missed
    };
    const std::vector<FlawRecord> flaws = {
        at(18, 24, 15),    // on the open box, 4 outside it: missing copper
        at(4, 111, 111),   // on the pin-hole box: void, farther from its centre
        at(19, 105, 106),  // on the pin-hole box too: excess copper, nearest
        at(19, 300, 300),  // on no box
        at(2, 25, 15),     // 5 outside the open box: on none
    };
    const PairTally t = scorePair(boxes, flaws, defaultPreset(), 4);
    EXPECT_EQ(std::make_tuple(t.all.defects, t.all.found, t.all.records, t.all.trueRecords,
                              t.all.agreeing),
              std::make_tuple(3, 2, 5, 3, 1));
    EXPECT_EQ(t.confusion.at(6).at("excess copper"), 1);
    EXPECT_EQ(t.confusion.at(1).at("missing copper"), 1);
    // Spur and spurious copper both take excess copper: two excess records,
    // neither on a box that takes excess copper; the void record is true.
    EXPECT_EQ(std::make_tuple(t.types.at(4).records, t.types.at(4).trueRecords,
                              t.types.at(6).records, t.types.at(6).trueRecords),
              std::make_tuple(2, 0, 1, 1));
    EXPECT_DOUBLE_EQ(t.all.precision(), 0.6);
}

TEST(Evaluate, SynthOutputIsEvaluatedEndToEnd) {
    const fs::path dir = freshFolder("evaluate");
    ASSERT_EQ(tool(dir, "synth --count 2 --seed 7 --out " + q(dir / "boards")).status, 0);
    const ToolOutput t = tool(dir, "evaluate " + q(dir / "boards" / "list.txt") +
                                       " --jobs 2 --pictures --out " + q(dir / "eval"));
    ASSERT_EQ(t.status, 0) << t.err;
    // The summary, and its figures again in the last line, for machines.
    const json s = json::parse(slurp(dir / "eval" / "summary.json"));
    EXPECT_EQ(std::make_pair(s["defects"].get<int>(), s["types"].size()), std::make_pair(80, 6ul));
    EXPECT_GE(s["recall"].get<double>(), 0.95);
    EXPECT_NE(t.out.find("pairs=2 notplaced=0"), std::string::npos) << t.out;
    EXPECT_TRUE(fs::exists(dir / "eval" / "pictures" / "0002-board-002-camera.png"));
    // The speed: two jobs whose library threads stay within the cores
    // (unless PCBINSPECT_THREADS says otherwise), a pair's spread in order.
    const json& v = s["speed"];
    const int threads = v["library_threads"].get<int>();
    EXPECT_EQ(v["jobs"].get<int>(), 2);
    if (!std::getenv("PCBINSPECT_THREADS"))
        EXPECT_LE(2 * threads, std::max(2, static_cast<int>(std::thread::hardware_concurrency())));
    EXPECT_GT(v["pairs_per_second"].get<double>(), 0.0);
    EXPECT_GT(v["decode_ms"].get<double>(), 0.0);
    EXPECT_EQ(v["photo_ms"].get<double>(), 0.0);  // labels and a binary camera image
    EXPECT_LE(v["pair_median_ms"].get<double>(), v["pair_p90_ms"].get<double>());
    EXPECT_LE(v["pair_p90_ms"].get<double>(), v["pair_max_ms"].get<double>());
    EXPECT_GE(v["suspects_max"].get<double>(), v["suspects_mean"].get<double>());
    EXPECT_GT(v["suspects_mean"].get<double>(), 0.0);
    EXPECT_NE(t.out.find("pairs a second (2 jobs x " + std::to_string(threads) + " threads)"),
              std::string::npos) << t.out;

    // Field-like boards: 640 x 640 camera windows in a reference with a
    // 60-pixel margin, five to seven defects each, every board placed.
    ASSERT_EQ(tool(dir, "synth --field --count 3 --seed 11 --out " + q(dir / "field")).status, 0);
    int boxes = 0;
    for (int k = 1; k <= 3; ++k) {
        const std::string stem = "board-00" + std::to_string(k) + "-";
        const Image cam = readGray((dir / "field" / (stem + "camera.png")).string());
        const Image ref = readGray((dir / "field" / (stem + "reference.png")).string());
        EXPECT_EQ(std::make_tuple(cam.width, cam.height, ref.width, ref.height),
                  std::make_tuple(640, 640, 760, 760));
        std::ifstream truth(dir / "field" / (stem + "truth.txt"));
        int lines = 0;
        for (std::string line; std::getline(truth, line);) lines += !line.empty() && line[0] != '#';
        EXPECT_TRUE(lines >= 5 && lines <= 7) << lines;
        boxes += lines;
    }
    const ToolOutput f = tool(dir, "evaluate " + q(dir / "field" / "list.txt") + " --out " +
                                       q(dir / "field-eval"));
    ASSERT_EQ(f.status, 0) << f.err;
    const json fieldSummary = json::parse(slurp(dir / "field-eval" / "summary.json"));
    EXPECT_EQ(fieldSummary["defects"].get<int>(), boxes);
    EXPECT_EQ(fieldSummary["speed"]["jobs"].get<int>(), 1);
    EXPECT_NE(f.out.find("pairs=3 notplaced=0"), std::string::npos) << f.out;
}

TEST(Evaluate, BadListsAndTruthFilesNameTheFileAndLine) {
    const fs::path dir = freshFolder("evaluate-bad");
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir / name) << text;
        return (dir / name).string();
    };
    write("a.png", "x");
    write("t.txt", "");
    const struct {
        const char* list;
        const char* truth;  // null: the list is at fault
        const char* message;
    } cases[] = {
        {"a.png a.png\n", nullptr, ": line 1: expected REFERENCE CAMERA TRUTH, found 2 fields"},
        {"# pairs\n\na.png missing.png t.txt\n", nullptr, ": line 3: "},
        {"# nothing\n", nullptr, ": evaluation list names no pair"},
        {nullptr, "1 2 3\n", ": line 1: expected five integers x1 y1 x2 y2 type"},
        {nullptr, "# box\n1 2 3 4 x\n", ": line 2: expected five integers x1 y1 x2 y2 type"},
        {nullptr, "1,2,3,4,9\n", ": line 1: type 9 is not among the preset's evaluation types"},
        {nullptr, "90 2 120 4 1\n", ": line 1: box lies outside the 100 x 50 camera image"},
    };
    for (const auto& c : cases) {
        std::string message;
        try {
            if (c.list) readEvaluationList(write("list.txt", c.list));
            else readTruth(write("truth.txt", c.truth), defaultPreset(), 100, 50);
        } catch (const InputError& e) {
            message = e.what();
        }
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
        EXPECT_EQ(message.rfind(dir.string(), 0), 0u) << message;  // the file comes first
    }
    // The tool stops with one line and status 2 before any work.
    write("list.txt", "a.png a.png\n");
    const ToolOutput t = tool(dir, "evaluate " + q(dir / "list.txt") + " --out " + q(dir / "out"));
    EXPECT_EQ(t.status, 2);
    EXPECT_EQ(std::count(t.err.begin(), t.err.end(), '\n'), 1) << t.err;
    EXPECT_FALSE(fs::exists(dir / "out"));
}

}  // namespace
}  // namespace pcbinspect::tool
