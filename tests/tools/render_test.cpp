// pcbinspect render: the label rules on hand-written Gerber and Excellon
// files, bad input, and a rendered real board inspected end to end with a
// plugged hole and its hole list.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <fstream>
#include <tuple>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "render.h"
#include "tool_error.h"
#include "tool_images.h"

namespace pcbinspect::tool {
namespace {

using nlohmann::json;
using namespace testing;

const fs::path kData = fs::path(PCBINSPECT_TEST_DATA);
const fs::path kExamples = "/usr/share/doc/gerbv/examples";

TEST(Render, LabelRulesOnHandWrittenFiles) {
    RenderOptions o;
    o.copper = (kData / "labels.gbr").string();
    o.drills = {(kData / "labels.drl").string()};
    o.margin = 10;  // 1000 pixels an inch
    const RenderedBoard b = renderBoard(o, nullptr);
    // Extent 0.07 .. 0.53 by 0.07 .. 0.51 inch, and 10 pixels of margin.
    ASSERT_EQ(std::make_pair(b.labels.width, b.labels.height), std::make_pair(481, 461));
    // Pixels per label: the region (255) of 200 x 200 less its 40 x 40 clear
    // cut-out; a 60 x 60 square pad and a disc of radius 10 with its
    // step-and-repeat copy (160); the trace (170) less its end under the
    // drilled pad (the pad wins): a disc of radius 30 (180) around the hole
    // of radius 15 (154).
    EXPECT_EQ(std::make_tuple(b.counts[255], b.counts[160], b.counts[170], b.counts[180],
                              b.counts[154]),
              std::make_tuple(200 * 200 - 40 * 40, 60 * 60 + 2 * 316, 3740, 2828 - 704, 704));
    ASSERT_EQ(b.holes.size(), 1u);
    EXPECT_EQ(std::make_tuple(b.holes[0].kind, b.holes[0].x, b.holes[0].y, b.holes[0].radius),
              std::make_tuple(kHolePlated, 440, 420, 15));
}

TEST(Render, BadInputIsOneLineAndNothingWritten) {
    const fs::path dir = freshFolder("render-bad");
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
        return (dir / name).string();
    };
    const std::string gbr = (kData / "labels.gbr").string(), head = "%FSLAX24Y24*%\n%MOIN*%\n";
    const struct {
        std::string copper, drill;
        double pixelMicrons;
        std::string message;
        double parseSeconds = 60.0;
    } cases[] = {
        {(dir / "missing.gbr").string(), "", 25.4, "cannot open"},
        {write("photo.gbr", std::string("\xFF\xD8\xFF\xE0\0\x10JFIF\0", 11)), "", 25.4,
         "is not a text file"},
        {write("empty.gbr", head + "M02*\n"), "", 25.4, "layer draws nothing"},
        // An aperture naming an undefined macro would stop the parser's process.
        {write("macro.gbr", head + "%ADD13FOO,1*%\nD13*\nX1000Y1000D03*\nM02*\n"), "", 25.4,
         "aperture D13 uses the macro \"FOO\", which the file does not define"},
        // An aperture the parser cannot make sense of stops it with an error.
        {write("stopped.gbr", head + "%ADD13,02C*%\nD13*\nX1000Y1000D03*\nM02*\n"), "", 25.4,
         "libgerbv stopped on it: aperture->amacro NULL"},
        // A step-and-repeat the parser would never return from.
        {write("repeat.gbr", head + "%ADD13C,0.02*%\n%SRX2Y1I0.2000J0d%\nD13*\nX1000Y1000D03*\n%SR*%\nM02*\n"),
         "", 25.4, "a step-and-repeat parameter is malformed: %SRX2Y1I0.2000J0d%"},
        {gbr, write("far.drl", "M48\nINCH,TZ\nT1C0.030\n%\nT1\nX900000Y900000\nM30\n"), 25.4,
         "every hole lies outside the board"},
        {gbr, "", 0.01, "beyond 32767 a side"},
        {gbr, "", 2000.0, "under 16 pixels across"},
        // A drill file ending in a bare "X" keeps the parser spinning: the
        // parse is cut off at its limit and the file refused.
        {gbr, write("spin.drl", "M48\nINCH,TZ\nT1C0.\n030%\nT1\nX005000Y001000\n1*\nX"), 25.4,
         "spin.drl: libgerbv did not finish parsing it within 1 s", 1.0},
    };
    for (const auto& c : cases) {
        RenderOptions o;
        o.copper = c.copper;
        if (!c.drill.empty()) o.drills = {c.drill};
        o.pixelMicrons = c.pixelMicrons;
        o.parseSeconds = c.parseSeconds;
        std::string message;
        try {
            renderBoard(o, nullptr);
        } catch (const InputError& e) {
            message = e.what();
        }
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
    const ToolOutput t =
        tool(dir, "render --copper " + q(cases[1].copper) + " --out " + q(dir / "out"));
    EXPECT_EQ(t.status, 2);
    EXPECT_EQ(t.err, "pcbinspect: " + cases[1].copper +
                         ": is not a text file (Gerber and Excellon files are)\n");
    EXPECT_FALSE(fs::exists(dir / "out" / "reference.png"));
}

// A real board (an example that ships with the Gerber library, drawn by
// people who are not us) rendered at 500 pixels an inch; the camera sees its
// copper 40 pixels in from every side at (43, 42), with one plated hole well
// inside plugged. The inspection with the hole list finds it, and nothing else.
TEST(Render, RenderedBoardWithAPluggedHoleEndToEnd) {
    const fs::path board = kExamples / "nollezappare";
    if (!fs::exists(board)) GTEST_SKIP() << "no libgerbv examples in " << kExamples;
    const fs::path dir = freshFolder("render-board");
    ToolOutput t = tool(dir, "render --copper " + q(board / "EtchLayer2Bottom.gdo") +
                                 " --drill " + q(board / "ThruHolePlated.ncd") +
                                 " --dpi 500 --out " + q(dir / "cad"));
    ASSERT_EQ(t.status, 0) << t.err;
    const Image labels = readGray((dir / "cad" / "reference.png").string());
    const int left = 43, top = 42;
    Image camera(labels.width - 80, labels.height - 80, 1, 0);
    for (int y = 0; y < camera.height; ++y)
        for (int x = 0; x < camera.width; ++x) {
            const int v = labels.at(x + left, y + top);
            camera.at(x, y) = v != 0 && v != 154 ? 255 : 0;
        }
    HoleRecord plugged{};  // the first plated hole 150 pixels inside the camera's view
    for (const HoleRecord& h : readHolesCsv((dir / "cad" / "holes.csv").string()))
        if (h.kind == kHolePlated && h.radius >= 5 && !plugged.radius &&
            std::min({h.x - left, h.y - top, left + camera.width - h.x,
                      top + camera.height - h.y}) > 150)
            plugged = h;
    ASSERT_GT(plugged.radius, 0);
    for (int y = -plugged.radius - 1; y <= plugged.radius + 1; ++y)
        for (int x = -plugged.radius - 1; x <= plugged.radius + 1; ++x)
            if (x * x + y * y <= (plugged.radius + 1) * (plugged.radius + 1))
                camera.at(plugged.x + x - left, plugged.y + y - top) = 255;
    writePng((dir / "camera.png").string(), camera);
    t = tool(dir, "inspect " + q(dir / "cad" / "reference.png") + " " + q(dir / "camera.png") +
                      " --holes " + q(dir / "cad" / "holes.csv") + " --out " + q(dir / "out"));
    ASSERT_EQ(t.status, 0) << t.err;
    const json report = json::parse(slurp(dir / "out" / "report.json"));
    EXPECT_NEAR(report["position"]["x"].get<int>(), left, 1);
    EXPECT_NEAR(report["position"]["y"].get<int>(), top, 1);
    int found = 0;
    for (const json& f : report["flaws"]) {
        const double d = std::hypot(f["reference"]["x"].get<int>() - plugged.x,
                                    f["reference"]["y"].get<int>() - plugged.y);
        EXPECT_LE(d, 40.0) << f.dump();
        found += d <= 25 && f["code"] == 12;
    }
    EXPECT_GE(found, 1) << t.out;
}

}  // namespace
}  // namespace pcbinspect::tool
