// The pieces of the pcbinspect tool: presets, image files of the wrong kind
// and the reports.
#include <gtest/gtest.h>

#include <fstream>
#include <set>

#include <nlohmann/json.hpp>
#include <png.h>

#include "preset.h"
#include "report.h"
#include "tool_error.h"
#include "tool_images.h"

namespace pcbinspect::tool {
namespace {

using nlohmann::json;
using namespace testing;

TEST(Preset, DefaultFileIsTheBuiltInDefaultAndKeysLandInTheirEntries) {
    // The file names every key: it is what presetToJson writes.
    std::ifstream in(PCBINSPECT_DEFAULT_PRESET);
    EXPECT_EQ(nlohmann::ordered_json::parse(in), presetToJson(defaultPreset()));
    EXPECT_EQ(presetToJson(loadPreset(PCBINSPECT_DEFAULT_PRESET)), presetToJson(defaultPreset()));
    const Preset p = presetFromJson(json::parse(R"({
        "limits": {"spacing_ratio": 0.4, "hole_shrink_px": 2.5, "isolated_missing": 7},
        "width_tolerances": [{"line_width_px": 8, "excess_ratio": 1, "missing_ratio": 2,
            "excess_extent": 3, "missing_extent": 4, "line_hole_ratio": 5,
            "widening_ratio": 6, "narrowing_ratio": 7, "spacing_ratio": 8}]})"), "p.json");
    EXPECT_EQ(std::make_tuple(p.params[7], p.params[32], p.params[34], p.params[6]),
              std::make_tuple(0.4f, 2.5f, 7.0f, defaultPreset().params[6]));  // the rest as before
    ASSERT_EQ(p.tolerances.size(), 1u);
    const float* f = &p.tolerances[0].key;  // nine fields, in the order the library reads them
    EXPECT_EQ(std::vector<float>(f, f + 9), (std::vector<float>{8, 1, 2, 3, 4, 5, 6, 7, 8}));
    // Every "limits" key set to a number of its own: the names cover the 35 entries once.
    const auto keys = presetToJson(defaultPreset())["limits"];
    json limits = json::object();
    for (const auto& [name, value] : keys.items())
        limits[name] = 100 + static_cast<int>(limits.size());
    const Preset all = presetFromJson(json{{"limits", limits}}, "p.json");
    std::set<float> seen(all.params.begin(), all.params.end());
    EXPECT_EQ(std::make_tuple(seen.size(), *seen.begin(), *seen.rbegin()),
              std::make_tuple(35ul, 100.0f, 134.0f));
}

TEST(Preset, BadPresetsNameTheFileAndTheKey) {
    const std::pair<const char*, const char*> cases[] = {
        {R"({"limits": {"spacing": 0.3}})", R"(unknown key "limits.spacing")"},
        {R"({"colour": 1})", R"(unknown key "colour")"},
        {R"({"limits": {"spacing_ratio": "0.3"}})",
         R"("limits.spacing_ratio" must be a number, not a text)"},
        {R"({"search": {"border_px": 60.5}})",
         R"("search.border_px" must be an integer, not a number)"},
        {R"({"search": {"border_px": 10}})", R"("search.border_px" is 10, outside 50 to 10000)"},
        {R"({"search": {"agreement_threshold": 1.5}})",
         R"("search.agreement_threshold" is 1.5, outside 0 to 1)"},
        {R"({"limits": {"pin_hole": -1}})", R"("limits.pin_hole" is -1, outside 0 to 1e+06)"},
        {R"({"candidates": {"check_holes": 1}})",
         R"("candidates.check_holes" must be true or false, not an integer)"},
        {R"({"width_tolerances": [{"line_width_px": 8}]})",
         R"(width_tolerances[0] lacks "excess_ratio")"},
        {R"([1, 2])", "a preset must be a JSON object"},
    };
    for (const auto& [text, message] : cases) {
        try {
            presetFromJson(json::parse(text), "p.json");
            ADD_FAILURE() << "accepted " << text;
        } catch (const InputError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("p.json: ") + message);
            EXPECT_EQ(e.subject(), "p.json");
        }
    }
}

TEST(ImageFiles, WrongKindsAreRefusedWithTheirReason) {
    const fs::path dir = freshFolder("kinds");
    png_image deep{};  // 16-bit gray
    deep.version = PNG_IMAGE_VERSION;
    deep.width = deep.height = 8;
    deep.format = PNG_FORMAT_LINEAR_Y;
    const std::vector<std::uint16_t> samples(64, 1000);
    png_image_write_to_file(&deep, (dir / "deep.png").c_str(), 0, samples.data(), 0, nullptr);
    writeJpeg(dir / "colour.jpg", Image(8, 8, 3, 90));
    writePng((dir / "whole.png").string(), Image(8, 8, 1, 7));
    const std::string bytes = slurp(dir / "whole.png");
    std::ofstream(dir / "cut.png", std::ios::binary) << bytes.substr(0, bytes.size() - 20);
    std::ofstream(dir / "text.png") << "not an image at all";
    std::ofstream(dir / "empty.png");
    const std::pair<const char*, const char*> cases[] = {
        {"deep.png", "is 16-bit gray; an 8-bit gray image is needed"},
        {"colour.jpg", "is a 24-bit colour JPEG; an 8-bit gray image is needed"},
        {"cut.png", "damaged PNG"},
        {"text.png", "is neither a PNG nor a JPEG image"},
        {"empty.png", "file is empty"},
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

TEST(Reports, CsvHasOneLinePerFlawAndAnUncommittedFolderLeavesNothing) {
    InspectionResult r;
    r.flaws = {{23, 45, 300, 310, 169, 213, 0}, {1403, 250, 10, 11, 12, 13, 3}};
    EXPECT_EQ(reportCsv(r, true), "code,name,family,score,ref_x,ref_y,cam_x,cam_y,region_class\n"
                            "23,\"spacing reduced\",\"spacing\",0.45,300,310,169,213,0\n"
                            "1403,\"hole too large (pixels)\",\"hole\",2.50,10,11,12,13,3\n");
    const fs::path dir = freshFolder("staged");
    for (bool commit : {false, true}) {
        {
            OutputFolder out(dir);
            out.writeText("report.json", "{}");
            EXPECT_FALSE(fs::exists(dir / "report.json"));
            if (commit) out.commit();
        }
        EXPECT_EQ(filesIn(dir), std::vector<std::string>(commit, "report.json"));
    }
}

}  // namespace
}  // namespace pcbinspect::tool
