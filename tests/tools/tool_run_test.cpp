// The built pcbinspect program, run as a user runs it: end-to-end
// inspections, batches, and every kind of bad input.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tool_images.h"

namespace pcbinspect::tool {
namespace {

using nlohmann::json;
using namespace testing;


// A 600 x 600 board; the camera sees its 400 x 400 window at (131, 97) with
// a block of copper cut away from the first feature right of the middle.
struct Scene {
    fs::path dir, reference, camera;
    int left = 131, top = 97;
    int missingX = 0;  // camera x of the cut-away copper, at camera y 200

    explicit Scene(const std::string& name) : dir(freshFolder(name)) {
        BoardPair p = boardPair(600, 400, left, top, 7);
        // Copper cut away at the first copper pixel from the middle
        // rightwards.
        int cx = 200;
        while (cx < 380 && p.camera.at(cx, 200) == 0) ++cx;
        missingX = cx;
        for (int y = 194; y < 206; ++y)
            for (int x = cx - 6; x < cx + 6; ++x) p.camera.at(x, y) = 0;
        reference = dir / "reference.png";
        camera = dir / "camera.png";
        writePng(reference.string(), p.reference);
        writePng(camera.string(), p.camera);
    }
};

TEST(ToolRun, InspectWritesReportsThatCarryEveryField) {
    Scene s("inspect");
    const fs::path out = s.dir / "out";
    const ToolOutput r = tool(s.dir, "inspect " + q(s.reference) + " " + q(s.camera) + " --out " + q(out));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("camera placed at (131, 97)"), std::string::npos) << r.out;

    const json j = json::parse(slurp(out / "report.json"));
    for (const char* key : {"reference", "camera", "ignore_map", "camera_mask", "preset",
                            "placed", "position", "alignment_score", "suspect_count", "suspects", "timing_ms",
                            "flaw_count", "families", "flaws"})
        EXPECT_TRUE(j.contains(key)) << key;
    EXPECT_TRUE(j["placed"].get<bool>());
    EXPECT_EQ(j["position"]["x"], s.left);
    EXPECT_EQ(j["position"]["y"], s.top);
    EXPECT_EQ(j["camera"]["width"], 400);
    EXPECT_EQ(j["reference"]["height"], 600);
    EXPECT_EQ(j["preset"], "default");
    EXPECT_EQ(j["flaw_count"].get<std::size_t>(), j["flaws"].size());
    // The search hands the cut-away copper to the inspection as suspects,
    // each with both positions.
    ASSERT_GE(j["suspects"].size(), 1u) << r.out;
    EXPECT_EQ(j["suspect_count"].get<std::size_t>(), j["suspects"].size());
    for (const json& v : j["suspects"]) {
        EXPECT_NEAR(v["camera"]["x"].get<int>(), s.missingX, 20);
        EXPECT_NEAR(v["camera"]["y"].get<int>(), 200, 20);
        EXPECT_EQ(v["reference"]["x"].get<int>() - v["camera"]["x"].get<int>(), s.left);
        EXPECT_EQ(v["reference"]["y"].get<int>() - v["camera"]["y"].get<int>(), s.top);
    }
    for (const json& f : j["flaws"]) {
        for (const char* key : {"code", "name", "family", "score", "reference", "camera",
                                "region_class"})
            EXPECT_TRUE(f.contains(key)) << key;
        // The camera and reference positions differ by the placement.
        EXPECT_NEAR(f["reference"]["x"].get<int>() - f["camera"]["x"].get<int>(), s.left, 16);
    }
    // One CSV line per flaw under the header.
    const std::string csv = slurp(out / "report.csv");
    EXPECT_EQ(static_cast<std::size_t>(std::count(csv.begin(), csv.end(), '\n')),
              j["flaws"].size() + 1);
    // The overlay is an RGB PNG of the camera's size.
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&img, (out / "overlay.png").c_str()));
    EXPECT_EQ(img.width, 400u);
    EXPECT_EQ(img.height, 400u);
    EXPECT_EQ(img.format & PNG_FORMAT_FLAG_COLOR, PNG_FORMAT_FLAG_COLOR);
    png_image_free(&img);
    // Only the three reports, no leftovers.
    auto names = filesIn(out);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"overlay.png", "report.csv", "report.json"}));
}

// The demo board: the defects the inspection can see on it are found, and
// nothing is called where nothing was planted.
TEST(ToolRun, DemoFindsItsPlantedDefects) {
    const fs::path dir = freshFolder("demo");
    const ToolOutput r = tool(dir, "demo --out " + q(dir / "out"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("camera placed at (60, 60)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("recall 12 of 12 planted defects"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("; 0 false calls"), std::string::npos) << r.out;
    const json j = json::parse(slurp(dir / "out" / "report.json"));
    EXPECT_GE(j["flaws"].size(), 12u);
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&img, (dir / "out" / "overlay.png").c_str()));
    EXPECT_EQ(img.width, 1280u);
    EXPECT_EQ(img.height, 800u);
    png_image_free(&img);
    // The demo's inputs are left beside the report, ready for `inspect`.
    EXPECT_EQ(readGray((dir / "out" / "camera.png").string()).width, 1280);
    EXPECT_EQ(readGray((dir / "out" / "reference.png").string()).width, 1400);
}

TEST(ToolRun, GrayJpegCameraWithThreshold) {
    Scene s("jpeg");
    // A gray camera picture: copper at 200, background at 40, saved lossy.
    Image cam = readGray(s.camera.string());
    for (auto& v : cam.pixels) v = v ? 200 : 40;
    writeJpeg(s.dir / "camera.jpg", cam);
    const fs::path out = s.dir / "out";
    const ToolOutput r = tool(s.dir, "inspect " + q(s.reference) + " " + q(s.dir / "camera.jpg") +
                                  " --threshold 120 --out " + q(out));
    ASSERT_EQ(r.status, 0) << r.err;
    const json j = json::parse(slurp(out / "report.json"));
    EXPECT_NEAR(j["position"]["x"].get<int>(), s.left, 1);
    EXPECT_NEAR(j["position"]["y"].get<int>(), s.top, 1);
}

TEST(ToolRun, BatchInspectsEveryPairWithAProgressLine) {
    Scene s("batch");
    std::ofstream(s.dir / "list.txt") << "# pairs\nreference.png camera.png\n\n"
                                      << "reference.png camera.png - -\n";
    const fs::path out = s.dir / "out";
    const ToolOutput r = tool(s.dir, "batch " + q(s.dir / "list.txt") + " --jobs 2 --out " + q(out));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("[2/2]"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("pairs per second"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(out / "0001-camera" / "report.json"));
    EXPECT_TRUE(fs::exists(out / "0002-camera" / "overlay.png"));
    const std::string summary = slurp(out / "summary.csv");
    EXPECT_EQ(std::count(summary.begin(), summary.end(), '\n'), 3);
    EXPECT_EQ(summary.find("bad input"), std::string::npos);
}

TEST(ToolRun, BatchReportsABadPairAndGoesOn) {
    Scene s("batch-bad");
    std::ofstream(s.dir / "list.txt") << "reference.png missing.png\nreference.png camera.png\n";
    const fs::path out = s.dir / "out";
    const ToolOutput r = tool(s.dir, "batch " + q(s.dir / "list.txt") + " --out " + q(out));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find((s.dir / "missing.png").string() + ": cannot open"), std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(out / "0001-missing"));
    EXPECT_TRUE(fs::exists(out / "0002-camera" / "report.json"));
}

// Each bad input: exit status 2, one line on standard error that names the
// file and the problem, and an output folder with nothing in it.
TEST(ToolRun, BadInputGivesOneLineAndStatusTwo) {
    Scene s("bad");
    const fs::path& d = s.dir;
    std::vector<std::uint8_t> rgb(400 * 400 * 3, 0);
    writeRawPng(d / "rgb.png", 400, 400, PNG_FORMAT_RGB, rgb.data());
    std::vector<std::uint16_t> deep(400 * 400, 0);
    writeRawPng(d / "deep.png", 400, 400, PNG_FORMAT_LINEAR_Y, deep.data());
    writePng((d / "small.png").string(), Image(300, 300, 1, 0));
    writePng((d / "ignore.png").string(), Image(500, 600, 1, 0));
    std::ofstream(d / "unknown.json") << R"({"limits": {"spacing": 0.3}})";
    std::ofstream(d / "type.json") << R"({"search": {"border_px": "wide"}})";
    std::ofstream(d / "range.json") << R"({"search": {"agreement_threshold": 2}})";
    std::ofstream(d / "broken.json") << R"({"search": )";
    const std::string ref = q(s.reference), cam = q(s.camera);
    struct Case {
        std::string args;
        fs::path file;
        const char* problem;
    };
    const Case cases[] = {
        {ref + " " + q(d / "none.png"), d / "none.png", "cannot open"},
        {q(d / "none.png") + " " + cam, d / "none.png", "cannot open"},
        {ref + " " + q(d / "rgb.png"), d / "rgb.png", "is 8-bit RGB colour"},
        {q(d / "deep.png") + " " + cam, d / "deep.png", "is 16-bit gray"},
        {q(d / "small.png") + " " + cam, d / "small.png",
         "reference of 300 x 300 pixels is smaller than the camera image (400 x 400)"},
        {ref + " " + cam + " --ignore " + q(d / "ignore.png"), d / "ignore.png",
         "ignore map of 500 x 600 pixels differs from the reference (600 x 600)"},
        {ref + " " + cam + " --camera-mask " + q(d / "small.png"), d / "small.png",
         "camera mask of 300 x 300 pixels differs"},
        {ref + " " + cam + " --preset " + q(d / "unknown.json"), d / "unknown.json",
         "unknown key \"limits.spacing\""},
        {ref + " " + cam + " --preset " + q(d / "type.json"), d / "type.json",
         "\"search.border_px\" must be an integer, not a text"},
        {ref + " " + cam + " --preset " + q(d / "range.json"), d / "range.json",
         "\"search.agreement_threshold\" is 2, outside 0 to 1"},
        {ref + " " + cam + " --preset " + q(d / "broken.json"), d / "broken.json",
         "malformed JSON"},
        {ref + " " + cam + " --preset " + q(d / "none.json"), d / "none.json",
         "cannot open preset"},
        {ref + " " + cam + " --threshold 300", "--threshold", "value 300 is outside 0 to 255"},
    };
    for (const Case& c : cases) {
        const fs::path out = d / "out";
        fs::remove_all(out);
        fs::create_directories(out);
        const ToolOutput r = tool(d, "inspect " + c.args + " --out " + q(out));
        EXPECT_EQ(r.status, 2) << c.args;
        const std::string expected = "pcbinspect: " + c.file.string() + ": " + c.problem;
        EXPECT_EQ(r.err.rfind(expected, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(filesIn(out).empty()) << c.args;
    }
}

TEST(ToolRun, UnknownOptionIsStatusTwo) {
    Scene s("option");
    const ToolOutput r = tool(s.dir, "inspect " + q(s.reference) + " " + q(s.camera) + " --colour red");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--colour"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace pcbinspect::tool
