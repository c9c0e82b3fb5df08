// Golden-board inspection, the placement guard, and evaluation against
// annotated boards: scoring, the synth-and-evaluate round trip, bad input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include <nlohmann/json.hpp>

#include "evaluate.h"
#include "pipeline.h"
#include "boards/board_score.h"
#include "boards/random_board.h"
#include "tool_error.h"
#include "tool_images.h"

namespace pcbinspect::tool {
namespace {

using nlohmann::json;
using namespace testing;

// A board drawn as a photo: dark copper on a light board with grain, saved
// as JPEG (the golden one in colour) and read back.
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

TEST(GoldenMode, PhotoPairFindsThePlantedDefectsInGoldenCoordinates) {
    const fs::path dir = freshFolder("golden");
    const auto board = pcbinspect::testing::buildRandomBoard(3, 8, 5,
                                                             pcbinspect::testing::kPhotoSetKinds);
    std::vector<std::uint8_t> clean(board.reference.size());
    for (std::size_t i = 0; i < clean.size(); ++i)
        clean[i] = pcbinspect::testing::board_detail::isCopperLabel(board.reference[i]) ? 255 : 0;
    InspectionInput in;
    in.reference = photoOf(clean, board.width, board.height, true, dir / "golden.jpg", 1);
    in.camera = photoOf(board.camera, board.width, board.height, false, dir / "camera.jpg", 2);
    in.golden = true;
    in.copperDark = true;
    in.threshold = kGoldenThreshold;
    const InspectionResult r = runInspection(in, defaultPreset());
    ASSERT_TRUE(r.placed);
    // The golden image and the camera image coincide: the placement and
    // every record's reference position are in unpadded golden pixels.
    EXPECT_EQ(r.positionX, 0);
    EXPECT_EQ(r.positionY, 0);
    for (const FlawRecord& f : r.flaws) {
        EXPECT_LE(std::abs(f.refX - f.camX), 3) << f.code << " at " << f.camX << "," << f.camY;
        EXPECT_LE(std::abs(f.refY - f.camY), 3) << f.code << " at " << f.camX << "," << f.camY;
    }
    const auto score = pcbinspect::testing::scoreRecords(board.defects, r.flaws, 12);
    // (Golden copper is plain copper: opens come out as missing copper.)
    int found = 0;
    for (const auto& m : score.defects) found += m.found ? 1 : 0;
    EXPECT_GE(found, 38) << "of 40";
    EXPECT_LE(score.falseCalls, 2);
}

// A placement that plainly failed is reported as such, without flaws.
TEST(GoldenMode, UnrelatedPairIsNotPlaced) {
    const fs::path dir = freshFolder("unplaced");
    const auto board = pcbinspect::testing::buildRandomBoard(4, 4, 3,
                                                             pcbinspect::testing::kPhotoSetKinds);
    photoOf(board.camera, board.width, board.height, false, dir / "golden.jpg", 3);
    // Dense blobs that have nothing to do with the board.
    std::vector<std::uint8_t> blobs(board.camera.size(), 0);
    std::mt19937 rng(9);
    for (int k = 0; k < 120; ++k) {
        const int x = static_cast<int>(rng() % board.width), y = static_cast<int>(rng() % board.height);
        const int r = 5 + static_cast<int>(rng() % 25);
        for (int yy = std::max(y - r, 0); yy < std::min(y + r, board.height); ++yy)
            for (int xx = std::max(x - r, 0); xx < std::min(x + r, board.width); ++xx)
                blobs[static_cast<std::size_t>(yy) * board.width + xx] = 255;
    }
    photoOf(blobs, board.width, board.height, false, dir / "camera.jpg", 4);
    const ToolOutput t = tool(dir, "inspect " + q(dir / "golden.jpg") + " " +
                                       q(dir / "camera.jpg") + " --golden --copper dark --out " +
                                       q(dir / "out"));
    EXPECT_EQ(t.status, 3) << t.err;
    EXPECT_EQ(t.err.rfind("pcbinspect: " + (dir / "camera.jpg").string() +
                              ": not placed (alignment score ",
                          0),
              0u)
        << t.err;
    const json j = json::parse(slurp(dir / "out" / "report.json"));
    EXPECT_FALSE(j["placed"].get<bool>());
    EXPECT_LT(j["alignment_score"].get<double>(), j["min_alignment_score"].get<double>());
    EXPECT_TRUE(j["flaws"].empty());
}

FlawRecord at(int code, int x, int y) { return FlawRecord{code, 100, x, y, x, y, 0}; }

// Hand-made boxes and records, counted exactly (margin 4).
TEST(Evaluate, ScoresRecordsAgainstBoxes) {
    const Preset p = defaultPreset();
    const std::vector<TruthBox> boxes = {
        {10, 10, 20, 20, 1},    // open: found through a record at the margin
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
    const PairTally t = scorePair(boxes, flaws, p, 4);
    EXPECT_EQ(t.all.defects, 3);
    EXPECT_EQ(t.all.found, 2);
    EXPECT_EQ(t.all.records, 5);
    EXPECT_EQ(t.all.trueRecords, 3);
    EXPECT_EQ(t.all.agreeing, 1);  // the pin-hole's nearest record is excess copper
    EXPECT_EQ(t.confusion.at(6).at("excess copper"), 1);
    EXPECT_EQ(t.confusion.at(1).at("missing copper"), 1);
    // Spur and spurious copper both take excess copper: two excess records,
    // neither on a box that takes excess copper.
    EXPECT_EQ(t.types.at(4).records, 2);
    EXPECT_EQ(t.types.at(4).trueRecords, 0);
    EXPECT_EQ(t.types.at(6).records, 1);  // the void record
    EXPECT_EQ(t.types.at(6).trueRecords, 1);
    EXPECT_DOUBLE_EQ(t.all.precision(), 0.6);
}

TEST(Evaluate, SynthOutputIsEvaluatedEndToEnd) {
    const fs::path dir = freshFolder("evaluate");
    ToolOutput t = tool(dir, "synth --count 2 --seed 7 --out " + q(dir / "boards"));
    ASSERT_EQ(t.status, 0) << t.err;
    t = tool(dir, "evaluate " + q(dir / "boards" / "list.txt") + " --jobs 2 --pictures --out " +
                      q(dir / "eval"));
    ASSERT_EQ(t.status, 0) << t.err;
    // The last line is machine-readable.
    const std::string last = t.out.substr(t.out.rfind("evaluate: "));
    double recall = 0, precision = 0, f = 0, agreement = 0;
    int pairs = 0, notPlaced = 0;
    ASSERT_EQ(std::sscanf(last.c_str(),
                          "evaluate: recall=%lf precision=%lf f=%lf agreement=%lf pairs=%d "
                          "notplaced=%d",
                          &recall, &precision, &f, &agreement, &pairs, &notPlaced),
              6)
        << last;
    EXPECT_GE(recall, 0.95);
    EXPECT_EQ(pairs, 2);
    EXPECT_EQ(notPlaced, 0);
    const json s = json::parse(slurp(dir / "eval" / "summary.json"));
    EXPECT_EQ(s["defects"].get<int>(), 80);
    EXPECT_EQ(s["types"].size(), 6u);
    EXPECT_NEAR(s["recall"].get<double>(), recall, 1e-4);
    for (const char* file : {"pairs.csv", "confusion.csv", "pictures/0001-board-001-camera.png",
                             "pictures/0002-board-002-camera.png"})
        EXPECT_TRUE(fs::exists(dir / "eval" / file)) << file;
}

TEST(Evaluate, BadListsAndTruthFilesNameTheFileAndLine) {
    const fs::path dir = freshFolder("evaluate-bad");
    const Preset p = defaultPreset();
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir / name) << text;
        return (dir / name).string();
    };
    write("a.png", "x");
    write("t.txt", "");
    struct Case {
        const char* list;
        const char* truth;  // null: the list is at fault
        const char* message;
    };
    const Case cases[] = {
        {"a.png a.png\n", nullptr, ": line 1: expected REFERENCE CAMERA TRUTH, found 2 fields"},
        {"# pairs\n\na.png missing.png t.txt\n", nullptr, ": line 3: "},
        {"# nothing\n", nullptr, ": evaluation list names no pair"},
        {nullptr, "1 2 3\n", ": line 1: expected five integers x1 y1 x2 y2 type"},
        {nullptr, "# box\n1 2 3 4 x\n", ": line 2: expected five integers x1 y1 x2 y2 type"},
        {nullptr, "1,2,3,4,9\n", ": line 1: type 9 is not among the preset's evaluation types"},
        {nullptr, "90 2 120 4 1\n", ": line 1: box lies outside the 100 x 50 camera image"},
    };
    for (const Case& c : cases) {
        std::string message;
        try {
            if (c.list)
                readEvaluationList(write("list.txt", c.list));
            else
                readTruth(write("truth.txt", c.truth), p, 100, 50);
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
