// pcbinspect render: the label rules on hand-written Gerber and Excellon
// files, real example boards, and a rendered board inspected end to end
// with planted defects and its hole list.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

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

RenderOptions labelsAt1000Dpi() {
    RenderOptions o;
    o.copper = (kData / "labels.gbr").string();
    o.drills = {(kData / "labels.drl").string()};
    o.pixelMicrons = 25.4;
    o.margin = 10;
    return o;
}

TEST(Render, LabelRulesOnHandWrittenFiles) {
    const RenderedBoard b = renderBoard(labelsAt1000Dpi(), nullptr);
    // Extent 0.07 .. 0.53 by 0.07 .. 0.51 inch at 1000 pixels an inch, and
    // 10 pixels of margin.
    ASSERT_EQ(b.labels.width, 481);
    ASSERT_EQ(b.labels.height, 461);
    auto at = [&](double x, double y) {
        return b.labels.at(static_cast<int>(std::lround(10 + (x - 0.07) * 1000)),
                           static_cast<int>(std::lround(10 + (0.51 - y) * 1000)));
    };
    EXPECT_EQ(at(0.30, 0.10), 170);  // the trace
    EXPECT_EQ(at(0.47, 0.10), 180);  // the trace's end lies on the drilled pad: the pad wins
    EXPECT_EQ(at(0.50, 0.10), 154);  // the drill hole in it
    EXPECT_EQ(at(0.10, 0.30), 160);  // the square pad
    EXPECT_EQ(at(0.32, 0.27), 100);  // the region
    EXPECT_EQ(at(0.40, 0.35), 0);    // its clear cut-out
    EXPECT_EQ(at(0.10, 0.50), 160);  // the pad and its step-and-repeat copy
    EXPECT_EQ(at(0.30, 0.50), 160);
    EXPECT_EQ(at(0.20, 0.40), 0);
    // 200 x 200 region less its 40 x 40 cut-out; a 60 x 60 square pad and
    // two discs of radius 10; the pad disc of radius 30 around a hole of
    // radius 15.
    EXPECT_EQ(b.counts[100], 200 * 200 - 40 * 40);
    EXPECT_EQ(b.counts[160], 60 * 60 + 2 * 316);
    EXPECT_EQ(b.counts[154], 704);
    EXPECT_EQ(b.counts[180], 2828 - 704);
    EXPECT_EQ(b.counts[170], 3740);
    ASSERT_EQ(b.holes.size(), 1u);
    EXPECT_EQ(b.holes[0].kind, kHolePlated);
    EXPECT_EQ(b.holes[0].x, 440);
    EXPECT_EQ(b.holes[0].y, 420);
    EXPECT_EQ(b.holes[0].radius, 15);
}

// Example boards that ship with libgerbv, drawn by people who are not us:
// label counts within about 5 % of what was measured at 250 pixels an inch
// (899 776 pour, 316 952 and 454 109 trace pixels).
TEST(Render, ExampleBoardsRenderWithPlausibleLabels) {
    if (!fs::exists(kExamples)) GTEST_SKIP() << "no libgerbv examples in " << kExamples;
    struct Case {
        const char* copper;
        std::vector<const char*> drills;
        int label;
        long long lo, hi;  // pixels of that label
        std::size_t holes;
    };
    const Case cases[] = {
        {"hellboard/hellboard.front.gbr", {"hellboard/hellboard.plated-drill.cnc"}, 100, 850000,
         950000, 360},
        {"ekf2/l0.grb", {"ekf2/drill0.exc", "ekf2/drill1.exc"}, 170, 300000, 335000, 2720},
        {"nollezappare/EtchLayer2Bottom.gdo", {"nollezappare/ThruHolePlated.ncd"}, 170, 430000,
         480000, 94},
    };
    for (const Case& c : cases) {
        RenderOptions o;
        o.copper = (kExamples / c.copper).string();
        for (const char* d : c.drills) o.drills.push_back((kExamples / d).string());
        o.pixelMicrons = 25400.0 / 250.0;
        const RenderedBoard b = renderBoard(o, nullptr);
        EXPECT_GE(b.counts[c.label], c.lo) << c.copper;
        EXPECT_LE(b.counts[c.label], c.hi) << c.copper;
        EXPECT_GT(b.counts[154], 0) << c.copper;
        EXPECT_GT(b.counts[180], 0) << c.copper;
        EXPECT_EQ(b.holes.size(), c.holes) << c.copper;
    }
}

TEST(Render, BadInputIsOneLineAndNothingWritten) {
    const fs::path dir = freshFolder("render-bad");
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
        return (dir / name).string();
    };
    const std::string jpeg = write("photo.gbr", std::string("\xFF\xD8\xFF\xE0\0\x10JFIF\0", 11));
    const std::string empty = write("empty.gbr", "%FSLAX24Y24*%\n%MOIN*%\nM02*\n");
    const std::string far = write("far.drl", "M48\nINCH,TZ\nT1C0.030\n%\nT1\nX900000Y900000\nM30\n");
    // libgerbv would stop the process on an aperture naming an undefined macro.
    const std::string macro = write("macro.gbr", "%FSLAX24Y24*%\n%MOIN*%\n%ADD13FOO,1*%\nD13*\n"
                                                 "X1000Y1000D03*\nM02*\n");
    // An aperture libgerbv cannot make sense of stops its parser with an
    // error, which the tool turns into a refusal.
    const std::string stopped = write("stopped.gbr", "%FSLAX24Y24*%\n%MOIN*%\n%ADD13,02C*%\nD13*\n"
                                                     "X1000Y1000D03*\nM02*\n");
    // libgerbv's parser would never return from this step-and-repeat.
    const std::string repeat = write("repeat.gbr", "%FSLAX24Y24*%\n%MOIN*%\n%ADD13C,0.02*%\n"
                                                   "%SRX2Y1I0.2000J0d%\nD13*\nX1000Y1000D03*\n%SR*%\nM02*\n");
    const std::string gbr = (kData / "labels.gbr").string();
    struct Case {
        std::string copper, drill;
        double pixelMicrons;
        std::string message;
    };
    const Case cases[] = {
        {(dir / "missing.gbr").string(), "", 25.4, "cannot open"},
        {jpeg, "", 25.4, "is not a text file"},
        {empty, "", 25.4, "layer draws nothing"},
        {macro, "", 25.4, "aperture D13 uses the macro \"FOO\", which the file does not define"},
        {stopped, "", 25.4, "libgerbv stopped on it: aperture->amacro NULL"},
        {repeat, "", 25.4, "a step-and-repeat parameter is malformed: %SRX2Y1I0.2000J0d%"},
        {gbr, far, 25.4, "every hole lies outside the board"},
        {gbr, "", 0.01, "beyond 32767 a side"},
        {gbr, "", 2000.0, "under 16 pixels across"},
    };
    for (const Case& c : cases) {
        RenderOptions o;
        o.copper = c.copper;
        if (!c.drill.empty()) o.drills = {c.drill};
        o.pixelMicrons = c.pixelMicrons;
        std::string message;
        try {
            renderBoard(o, nullptr);
        } catch (const InputError& e) {
            message = e.what();
        }
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
    const ToolOutput t = tool(dir, "render --copper " + q(jpeg) + " --out " + q(dir / "out"));
    EXPECT_EQ(t.status, 2);
    EXPECT_EQ(t.err, "pcbinspect: " + jpeg + ": is not a text file (Gerber and Excellon files are)\n");
    EXPECT_FALSE(fs::exists(dir / "out" / "reference.png"));
}

// A rendered real board, seen by a camera with planted defects.
struct Planted {
    const char* what;
    int x, y;  // reference pixels
    std::vector<int> codes;
};

bool copper(std::uint8_t v) { return v != 0 && v != 154; }

TEST(Render, RenderedBoardWithPlantedDefectsEndToEnd) {
    const fs::path board = kExamples / "nollezappare";
    if (!fs::exists(board)) GTEST_SKIP() << "no libgerbv examples in " << kExamples;
    const fs::path dir = freshFolder("render-board");
    ToolOutput t = tool(dir, "render --copper " + q(board / "EtchLayer2Bottom.gdo") + " --drill " +
                                 q(board / "ThruHolePlated.ncd") + " --dpi 500 --out " +
                                 q(dir / "cad"));
    ASSERT_EQ(t.status, 0) << t.err;
    const Image labels = readGray((dir / "cad" / "reference.png").string());
    std::vector<HoleRecord> holes;
    for (const HoleRecord& h : readHolesCsv((dir / "cad" / "holes.csv").string()))
        if (h.kind == kHolePlated) holes.push_back(h);
    ASSERT_GE(holes.size(), 2u);
    auto label = [&](int x, int y) { return labels.at(x, y); };

    // The camera: the copper, cut 40 pixels in from every side and seen 3
    // pixels right and 2 down of that window's centre.
    const int left = 43, top = 42;
    Image camera(labels.width - 80, labels.height - 80, 1, 0);
    for (int y = 0; y < camera.height; ++y)
        for (int x = 0; x < camera.width; ++x)
            camera.at(x, y) = copper(label(x + left, y + top)) ? 255 : 0;
    auto paint = [&](int x0, int y0, int x1, int y1, std::uint8_t v) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) camera.at(x - left, y - top) = v;
    };
    auto disc = [&](int cx, int cy, int r, std::uint8_t v) {
        for (int y = cy - r; y <= cy + r; ++y)
            for (int x = cx - r; x <= cx + r; ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) camera.at(x - left, y - top) = v;
    };
    std::vector<Planted> planted;
    auto farFromOthers = [&](int x, int y) {
        if (x < left + 150 || y < top + 150 || x > left + camera.width - 150 ||
            y > top + camera.height - 150)
            return false;
        for (const Planted& p : planted)
            if (std::hypot(p.x - x, p.y - y) < 150) return false;
        return true;
    };
    // A plugged hole and an enlarged one (whose pad ring is wide enough).
    for (const HoleRecord& h : holes) {
        if (h.radius < 5 || !farFromOthers(h.x, h.y)) continue;
        const bool ring = label(h.x + h.radius + 7, h.y) == 180 && label(h.x - h.radius - 7, h.y) == 180;
        if (planted.empty()) {
            disc(h.x, h.y, h.radius + 1, 255);
            planted.push_back({"plugged hole", h.x, h.y, {12}});
        } else if (ring) {
            disc(h.x, h.y, h.radius + 4, 0);
            planted.push_back({"enlarged hole", h.x, h.y, {1401, 1403, 10, 11, 14, 15, 16, 17}});
            break;
        }
    }
    // A pin-hole in a pour: the first place whose 41 x 41 square is copper.
    for (int y = top + 160; y < top + camera.height - 160 && planted.size() < 3; y += 10)
        for (int x = left + 160; x < left + camera.width - 160; x += 10) {
            bool solid = farFromOthers(x, y);
            for (int yy = y - 20; solid && yy <= y + 20; ++yy)
                for (int xx = x - 20; solid && xx <= x + 20; ++xx) solid = copper(label(xx, yy));
            if (!solid) continue;
            paint(x - 3, y - 3, x + 2, y + 2, 0);
            planted.push_back({"pin-hole", x, y, {4, 26, 3}});
            break;
        }
    // A cut trace and a bridge between two parallel traces: horizontal
    // traces 6 to 16 pixels thick over 41 columns.
    auto thickness = [&](int x, int y, int* first) {
        int y0 = y, y1 = y;
        while (label(x, y0 - 1) == 170) --y0;
        while (label(x, y1 + 1) == 170) ++y1;
        *first = y0;
        return y1 - y0 + 1;
    };
    auto horizontalTrace = [&](int x, int y, int* first, int* thick) {
        if (label(x, y) != 170) return false;
        *thick = thickness(x, y, first);
        if (*thick < 6 || *thick > 16) return false;
        for (int xx = x - 20; xx <= x + 20; ++xx) {
            int f;
            if (label(xx, y) != 170 || thickness(xx, y, &f) != *thick || f != *first) return false;
            if (label(xx, *first - 2) != 0 || label(xx, *first + *thick + 1) != 0) return false;
        }
        return true;
    };
    bool cut = false, bridged = false;
    for (int y = top + 160; y < top + camera.height - 160 && !(cut && bridged); y += 3)
        for (int x = left + 160; x < left + camera.width - 160 && !(cut && bridged); x += 7) {
            int first, thick;
            if (!farFromOthers(x, y) || !horizontalTrace(x, y, &first, &thick)) continue;
            if (!cut) {
                paint(x - 3, first - 1, x + 3, first + thick, 0);
                planted.push_back({"cut trace", x, y, {1, 5, 18, 200, 201, 221}});
                cut = true;
                continue;
            }
            // A gap of 5 to 15 pixels under this trace, then other copper,
            // over 9 columns.
            const int below = first + thick;
            int gap = 0;
            while (gap < 16 && label(x, below + gap) == 0) ++gap;
            bool across = !bridged && gap >= 5 && gap <= 15;
            for (int xx = x - 4; across && xx <= x + 4; ++xx) {
                for (int k = 0; k < gap; ++k) across = across && label(xx, below + k) == 0;
                across = across && copper(label(xx, below + gap));
            }
            if (across) {
                paint(x - 4, below, x + 4, below + gap - 1, 255);
                planted.push_back({"bridge", x, below + gap / 2, {2, 23, 19, 29, 210, 211}});
                bridged = true;
            }
        }
    ASSERT_EQ(planted.size(), 5u);
    writePng((dir / "camera.png").string(), camera);

    t = tool(dir, "inspect " + q(dir / "cad" / "reference.png") + " " + q(dir / "camera.png") +
                      " --holes " + q(dir / "cad" / "holes.csv") + " --out " + q(dir / "out"));
    ASSERT_EQ(t.status, 0) << t.err;
    const json report = json::parse(slurp(dir / "out" / "report.json"));
    EXPECT_NEAR(report["position"]["x"].get<int>(), left, 1);
    EXPECT_NEAR(report["position"]["y"].get<int>(), top, 1);
    int found = 0;
    for (const Planted& p : planted) {
        bool hit = false;
        for (const json& f : report["flaws"]) {
            const int code = f["code"].get<int>();
            const double d = std::hypot(f["reference"]["x"].get<int>() - p.x,
                                        f["reference"]["y"].get<int>() - p.y);
            if (hit || d > 25 || std::find(p.codes.begin(), p.codes.end(), code) == p.codes.end())
                continue;
            hit = true;
            std::cout << p.what << ": code " << code << ", " << static_cast<int>(d)
                      << " pixels away\n";
        }
        found += hit ? 1 : 0;
        EXPECT_TRUE(hit) << p.what << " at " << p.x << "," << p.y << ":\n" << t.out;
    }
    // The rest of the board is clean: every record lies on a planted defect.
    for (const json& f : report["flaws"]) {
        double nearest = 1e9;
        for (const Planted& p : planted)
            nearest = std::min(nearest, std::hypot(f["reference"]["x"].get<int>() - p.x,
                                                   f["reference"]["y"].get<int>() - p.y));
        EXPECT_LE(nearest, 40.0) << f.dump();
    }
    std::cout << found << " of " << planted.size() << " planted defects found; "
              << report["flaws"].size() << " records\n";
}

}  // namespace
}  // namespace pcbinspect::tool
