// The pieces of the pcbinspect tool: presets, the flaw code table, image
// files, the overlay and the reports.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include <nlohmann/json.hpp>

#include "flaw_codes.h"
#include "overlay.h"
#include "preset.h"
#include "report.h"
#include "tool_error.h"
#include "tool_images.h"

namespace pcbinspect::tool {
namespace {

using nlohmann::json;
using namespace testing;

// ------------------------------------------------------------------ presets

TEST(Preset, DefaultFileIsTheBuiltInDefault) {
    const Preset file = loadPreset(PCBINSPECT_DEFAULT_PRESET);
    const Preset builtIn = defaultPreset();
    EXPECT_EQ(file.params, builtIn.params);
    EXPECT_EQ(std::memcmp(&file.control, &builtIn.control, sizeof file.control), 0);
    EXPECT_EQ(file.search.agreementThreshold, builtIn.search.agreementThreshold);
    EXPECT_EQ(file.search.border, builtIn.search.border);
    EXPECT_EQ(file.candidates.suppressRadius, builtIn.candidates.suppressRadius);
    // And the file names every key: it is what presetToJson writes.
    std::ifstream in(PCBINSPECT_DEFAULT_PRESET);
    EXPECT_EQ(nlohmann::ordered_json::parse(in), presetToJson(builtIn));
}

TEST(Preset, NamedKeysLandInTheirEntries) {
    const json j = json::parse(R"({
        "limits": {"spacing_ratio": 0.4, "hole_shrink_px": 2.5, "isolated_missing": 7},
        "control": {"corner_relaxation_percent": 35, "thin_line_px": 6},
        "search": {"border_px": 64, "exhaustive_coarse_search": true},
        "candidates": {"suppress_radius_px": 0},
        "width_tolerances": [{"line_width_px": 8, "excess_ratio": 1, "missing_ratio": 2,
            "excess_extent": 3, "missing_extent": 4, "line_hole_ratio": 5,
            "widening_ratio": 6, "narrowing_ratio": 7, "spacing_ratio": 8}]})");
    const Preset p = presetFromJson(j, "p.json");
    EXPECT_FLOAT_EQ(p.params[7], 0.4f);
    EXPECT_FLOAT_EQ(p.params[32], 2.5f);
    EXPECT_FLOAT_EQ(p.params[34], 7.0f);
    EXPECT_FLOAT_EQ(p.params[6], defaultPreset().params[6]);  // untouched keys keep defaults
    EXPECT_EQ(p.control.tolerancePercent, 35);
    EXPECT_EQ(p.control.lineWidthBound, 6);
    EXPECT_EQ(p.search.border, 64);
    EXPECT_TRUE(p.search.exhaustiveCoarseSearch);
    EXPECT_EQ(p.candidates.suppressRadius, 0);
    ASSERT_EQ(p.tolerances.size(), 1u);
    // The nine fields in the order the library reads them.
    const float* f = &p.tolerances[0].key;
    for (int i = 0; i < 9; ++i) EXPECT_FLOAT_EQ(f[i], i == 0 ? 8.0f : static_cast<float>(i));
}

TEST(Preset, EveryParameterEntryIsNamedOnce) {
    // Setting every "limits" key to its own index proves the names cover
    // all 35 entries without overlap.
    const auto keys = presetToJson(defaultPreset())["limits"];
    ASSERT_EQ(keys.size(), 35u);
    json limits = json::object();
    int i = 0;
    for (const auto& [name, value] : keys.items()) limits[name] = 100 + i++;
    const Preset p = presetFromJson(json{{"limits", limits}}, "p.json");
    std::set<float> seen(p.params.begin(), p.params.end());
    EXPECT_EQ(seen.size(), 35u);
    EXPECT_EQ(*seen.begin(), 100.0f);
    EXPECT_EQ(*seen.rbegin(), 134.0f);
}

TEST(Preset, BadPresetsNameTheFileAndTheKey) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {R"({"limits": {"spacing": 0.3}})", "p.json: unknown key \"limits.spacing\""},
        {R"({"colour": 1})", "p.json: unknown key \"colour\""},
        {R"({"limits": {"spacing_ratio": "0.3"}})",
         "p.json: \"limits.spacing_ratio\" must be a number, not a text"},
        {R"({"search": {"border_px": 60.5}})",
         "p.json: \"search.border_px\" must be an integer, not a number"},
        {R"({"search": {"border_px": 10}})",
         "p.json: \"search.border_px\" is 10, outside 50 to 10000"},
        {R"({"search": {"agreement_threshold": 1.5}})",
         "p.json: \"search.agreement_threshold\" is 1.5, outside 0 to 1"},
        {R"({"limits": {"pin_hole": -1}})", "p.json: \"limits.pin_hole\" is -1, outside 0 to 1e+06"},
        {R"({"candidates": {"check_holes": 1}})",
         "p.json: \"candidates.check_holes\" must be true or false, not an integer"},
        {R"({"width_tolerances": [{"line_width_px": 8}]})",
         "p.json: width_tolerances[0] lacks \"excess_ratio\""},
        {R"([1, 2])", "p.json: a preset must be a JSON object"},
    };
    for (const Case& c : cases) {
        try {
            presetFromJson(json::parse(c.text), "p.json");
            ADD_FAILURE() << "accepted " << c.text;
        } catch (const InputError& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
            EXPECT_EQ(e.subject(), "p.json");
        }
    }
}

TEST(Preset, MalformedJsonAndMissingFileNameTheFile) {
    const fs::path dir = freshFolder("preset");
    const fs::path bad = dir / "bad.json";
    std::ofstream(bad) << "{\"limits\": {";
    try {
        loadPreset(bad.string());
        ADD_FAILURE();
    } catch (const InputError& e) {
        EXPECT_EQ(std::string(e.what()).rfind(bad.string() + ": malformed JSON", 0), 0u)
            << e.what();
    }
    EXPECT_THROW(loadPreset((dir / "none.json").string()), InputError);
}

// ----------------------------------------------------------------- flaw codes

TEST(FlawCodes, TableIsOrderedAndEveryCodeHasAFamily) {
    int last = 0;
    for (const FlawCode& c : flawCodes()) {
        EXPECT_GT(c.code, last);
        last = c.code;
        EXPECT_NE(c.family, Family::Unknown) << c.code;
        EXPECT_FALSE(c.name.empty());
        EXPECT_EQ(describeFlaw(c.code).name, c.name);
    }
    EXPECT_EQ(describeFlaw(2).family, Family::Short);
    EXPECT_EQ(describeFlaw(23).family, Family::Spacing);
    EXPECT_EQ(describeFlaw(221).family, Family::Width);
    EXPECT_EQ(describeFlaw(12).family, Family::Hole);
    EXPECT_EQ(describeFlaw(29).family, Family::ExcessCopper);
    EXPECT_EQ(describeFlaw(13).family, Family::Unknown);
    EXPECT_EQ(describeFlaw(13).name, "unknown flaw");
}

TEST(FlawCodes, FamiliesHaveDistinctColoursAndNames) {
    std::set<std::tuple<int, int, int>> colours;
    std::set<std::string_view> names;
    for (int f = 0; f < kFamilyCount; ++f) {
        const Rgb c = familyColour(static_cast<Family>(f));
        colours.insert({c.r, c.g, c.b});
        names.insert(familyName(static_cast<Family>(f)));
    }
    EXPECT_EQ(colours.size(), static_cast<std::size_t>(kFamilyCount));
    EXPECT_EQ(names.size(), static_cast<std::size_t>(kFamilyCount));
}

// --------------------------------------------------------------- image files

TEST(ImageFiles, GrayPngRoundTrips) {
    const fs::path dir = freshFolder("png");
    Image img(37, 21, 1);
    for (std::size_t i = 0; i < img.pixels.size(); ++i) img.pixels[i] = static_cast<std::uint8_t>(i * 7);
    writePng((dir / "a.png").string(), img);
    const Image back = readGray((dir / "a.png").string());
    EXPECT_EQ(back.width, 37);
    EXPECT_EQ(back.height, 21);
    EXPECT_EQ(back.pixels, img.pixels);
}

TEST(ImageFiles, GrayJpegIsRead) {
    const fs::path dir = freshFolder("jpeg");
    Image img(64, 48, 1, 0);
    for (int y = 10; y < 30; ++y)
        for (int x = 8; x < 40; ++x) img.at(x, y) = 255;
    writeJpeg(dir / "a.jpg", img);
    const Image back = readGray((dir / "a.jpg").string());
    ASSERT_EQ(back.width, 64);
    ASSERT_EQ(back.height, 48);
    EXPECT_GT(back.at(20, 20), 200);  // lossy, but copper stays bright
    EXPECT_LT(back.at(60, 44), 50);
}

TEST(ImageFiles, WrongKindsAreRefusedWithTheirReason) {
    const fs::path dir = freshFolder("kinds");
    std::vector<std::uint8_t> rgb(8 * 8 * 3, 100);
    writeRawPng(dir / "rgb.png", 8, 8, PNG_FORMAT_RGB, rgb.data());
    std::vector<std::uint16_t> deep(8 * 8, 1000);
    writeRawPng(dir / "deep.png", 8, 8, PNG_FORMAT_LINEAR_Y, deep.data());
    Image colour(8, 8, 3, 90);
    writeJpeg(dir / "colour.jpg", colour);
    Image gray(8, 8, 1, 7);
    writePng((dir / "whole.png").string(), gray);
    {
        std::ifstream in(dir / "whole.png", std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        std::ofstream(dir / "cut.png", std::ios::binary) << bytes.substr(0, bytes.size() - 20);
    }
    std::ofstream(dir / "text.png") << "not an image at all";
    std::ofstream(dir / "empty.png");
    const std::pair<const char*, const char*> cases[] = {
        {"rgb.png", "is 8-bit RGB colour; an 8-bit gray image is needed"},
        {"deep.png", "is 16-bit gray; an 8-bit gray image is needed"},
        {"colour.jpg", "is a 24-bit colour JPEG; an 8-bit gray image is needed"},
        {"cut.png", "damaged PNG"},
        {"text.png", "is neither a PNG nor a JPEG image"},
        {"empty.png", "file is empty"},
        {"absent.png", "cannot open"},
    };
    for (const auto& [name, why] : cases) {
        const std::string path = (dir / name).string();
        try {
            readGray(path);
            ADD_FAILURE() << "accepted " << name;
        } catch (const InputError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(path + ": " + why, 0), 0u) << e.what();
        }
    }
}

// ------------------------------------------------------------------ overlay

TEST(Overlay, IsTheCameraSizeAndMarksEachFlawInItsFamilyColour) {
    Image camera(300, 200, 1, 0);
    std::vector<FlawRecord> flaws{{221, 45, 0, 0, 100, 120, 2}, {2, 0, 0, 0, 220, 60, 0}};
    const Image rgb = drawOverlay(camera, flaws);
    ASSERT_EQ(rgb.width, 300);
    ASSERT_EQ(rgb.height, 200);
    ASSERT_EQ(rgb.channels, 3);
    auto pixel = [&](int x, int y) {
        const std::uint8_t* p = rgb.row(y) + 3 * x;
        return std::tuple<int, int, int>{p[0], p[1], p[2]};
    };
    const Rgb width = familyColour(Family::Width), shorts = familyColour(Family::Short);
    // Scale 1 below 400 pixels: boxes of half-size 10, the left side at x - 10.
    EXPECT_EQ(pixel(90, 120), std::make_tuple(int{width.r}, int{width.g}, int{width.b}));
    EXPECT_EQ(pixel(210, 60), std::make_tuple(int{shorts.r}, int{shorts.g}, int{shorts.b}));
    // The box's inside is the dimmed camera image.
    EXPECT_EQ(pixel(100, 120), std::make_tuple(24, 24, 24));
}

TEST(Overlay, TextDrawsTheGlyphs) {
    Image rgb(20, 10, 3, 0);
    const int w = drawText(rgb, 1, 1, "1", Rgb{255, 0, 0}, 1);
    EXPECT_EQ(w, 3);
    // '1' is 010/110/010/010/111: the stem is lit, the top-left corner is not.
    EXPECT_EQ(rgb.row(1)[3 * 2], 255);
    EXPECT_EQ(rgb.row(1)[3 * 1], 0);
    EXPECT_EQ(rgb.row(5)[3 * 1], 255);
}

// ------------------------------------------------------------------ reports

InspectionResult sampleResult() {
    InspectionResult r;
    r.placed = true;
    r.positionX = 131;
    r.positionY = 97;
    r.alignmentScore = 0.93f;
    r.suspects = 5;
    r.flaws = {{23, 45, 300, 310, 169, 213, 0}, {1403, 250, 10, 11, 12, 13, 3}};
    return r;
}

TEST(Reports, JsonCarriesEveryField) {
    ReportSources s{"r.png", "c.png", "", "m.png", "default", 600, 600, 400, 400};
    const json j = reportJson(s, sampleResult());
    EXPECT_EQ(j["position"]["x"], 131);
    EXPECT_EQ(j["position"]["y"], 97);
    EXPECT_FLOAT_EQ(j["alignment_score"].get<float>(), 0.93f);
    EXPECT_TRUE(j["ignore_map"].is_null());
    EXPECT_EQ(j["camera_mask"], "m.png");
    ASSERT_EQ(j["flaws"].size(), 2u);
    const json& f = j["flaws"][0];
    EXPECT_EQ(f["code"], 23);
    EXPECT_EQ(f["name"], "spacing reduced");
    EXPECT_EQ(f["family"], "spacing");
    EXPECT_DOUBLE_EQ(f["score"].get<double>(), 0.45);
    EXPECT_EQ(f["reference"]["x"], 300);
    EXPECT_EQ(f["camera"]["y"], 213);
    EXPECT_EQ(f["region_class"], 0);
    EXPECT_EQ(j["families"]["hole"], 1);
}

TEST(Reports, CsvHasOneLinePerFlaw) {
    const std::string csv = reportCsv(sampleResult());
    EXPECT_EQ(csv,
              "code,name,family,score,ref_x,ref_y,cam_x,cam_y,region_class\n"
              "23,\"spacing reduced\",\"spacing\",0.45,300,310,169,213,0\n"
              "1403,\"hole too large (pixels)\",\"hole\",2.50,10,11,12,13,3\n");
}

TEST(Reports, UncommittedFolderLeavesNothing) {
    const fs::path dir = freshFolder("staged");
    {
        OutputFolder out(dir);
        out.writeText("report.json", "{}");
        EXPECT_FALSE(fs::exists(dir / "report.json"));
    }
    EXPECT_TRUE(filesIn(dir).empty());
    {
        OutputFolder out(dir);
        out.writeText("report.json", "{}");
        out.commit();
    }
    EXPECT_EQ(filesIn(dir), std::vector<std::string>{"report.json"});
}

}  // namespace
}  // namespace pcbinspect::tool
