// Defects: typing by topology on small constructed windows, grouping, boxes,
// and the box matching and average precision of `evaluate --match box`.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include <nlohmann/json.hpp>

#include "defects.h"
#include "evaluate.h"
#include "preset.h"
#include "report.h"
#include "tool_error.h"

namespace pcbinspect::tool {
namespace {

constexpr int W = 60, H = 40;

// A pair of 60 x 40 planes: the reference copper and the camera's.
struct Pair {
    std::vector<std::uint8_t> ref = std::vector<std::uint8_t>(W * H, 0), cam = ref;
    void rect(std::vector<std::uint8_t>& p, int x0, int y0, int x1, int y1, std::uint8_t v) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) p[static_cast<std::size_t>(y) * W + x] = v;
    }
    void both(int x0, int y0, int x1, int y1) {
        rect(ref, x0, y0, x1, y1, 255);
        rect(cam, x0, y0, x1, y1, 255);
    }
    std::vector<Defect> defects(std::vector<FlawRecord> records, int margin = 8, bool cad = true) {
        DefectSettings s;
        s.boxMargin = margin;
        s.cadFamilies = cad;
        return findDefects(BinaryView{cam.data(), W, W, H}, BinaryView{ref.data(), W, W, H},
                           records, s);
    }
};

FlawRecord at(int x, int y, int code = 1) { return FlawRecord{code, 100, x, y, x, y, 2}; }

// One change to the camera over a line (rows 15..24) or, for the
// enclosure cases, a pour (rows 5..34, columns 5..54).
struct TypeCase {
    const char* what;
    enum Layout { Line, TwoLines, Pour } layout;
    int x0, y0, x1, y1;
    std::uint8_t camera;  // what the change paints into the camera
    DefectType expected;
};

TEST(Defects, TopologyNamesTheType) {
    const TypeCase cases[] = {
        {"cut across the line", TypeCase::Line, 28, 15, 31, 24, 0, DefectType::Open},
        {"nick leaving one row", TypeCase::Line, 28, 15, 31, 23, 0, DefectType::Mousebite},
        {"bridge between lines", TypeCase::TwoLines, 28, 15, 31, 24, 255, DefectType::Short},
        {"one-pixel bridge", TypeCase::TwoLines, 30, 15, 30, 24, 255, DefectType::Short},
        {"bridge one row short", TypeCase::TwoLines, 28, 15, 31, 23, 255, DefectType::Spur},
        {"bump on the line", TypeCase::Line, 28, 25, 31, 28, 255, DefectType::Spur},
        {"speck one pixel off", TypeCase::Line, 28, 26, 31, 29, 255, DefectType::SpuriousCopper},
        {"hole enclosed", TypeCase::Pour, 28, 18, 31, 21, 0, DefectType::PinHole},
        {"hole one row in", TypeCase::Pour, 28, 6, 31, 9, 0, DefectType::PinHole},
        {"hole at the edge", TypeCase::Pour, 28, 5, 31, 8, 0, DefectType::Mousebite},
        // Holes too narrow to have a pixel a jitter from copper still count
        // when the reference's copper surrounds them.
        {"hole one column wide", TypeCase::Pour, 30, 20, 30, 21, 0, DefectType::PinHole},
        {"narrow hole one row in", TypeCase::Pour, 28, 6, 29, 6, 0, DefectType::PinHole},
    };
    for (const TypeCase& c : cases) {
        Pair p;
        if (c.layout == TypeCase::Line) p.both(0, 15, W - 1, 24);
        if (c.layout == TypeCase::TwoLines) {
            p.both(0, 10, W - 1, 14);
            p.both(0, 25, W - 1, 29);
        }
        if (c.layout == TypeCase::Pour) p.both(5, 5, 54, 34);
        p.rect(p.cam, c.x0, c.y0, c.x1, c.y1, c.camera);
        const auto d = p.defects({at((c.x0 + c.x1) / 2, (c.y0 + c.y1) / 2)});
        ASSERT_EQ(d.size(), 1u) << c.what;
        EXPECT_EQ(defectTypeName(d[0].type), defectTypeName(c.expected)) << c.what;
        // The tight box of the change grown by the margin, clipped.
        EXPECT_EQ((std::array{d[0].x1, d[0].y1, d[0].x2, d[0].y2}),
                  (std::array{c.x0 - 8, std::max(c.y0 - 8, 0), c.x1 + 8, c.y1 + 8}))
            << c.what;
        EXPECT_EQ(d[0].records, std::vector<int>{0}) << c.what;
        EXPECT_GT(d[0].confidence, 0.0f) << c.what;
        EXPECT_LE(d[0].confidence, 1.0f) << c.what;
    }
}

TEST(Defects, PiecesOfOneCutAreOneOpen) {
    // Two cuts with a sliver of copper left between them: each splits the
    // line, together they are one open with the records of both.
    Pair p;
    p.both(0, 15, W - 1, 24);
    p.rect(p.cam, 24, 15, 26, 24, 0);
    p.rect(p.cam, 30, 15, 32, 24, 0);
    const auto d = p.defects({at(25, 20), at(31, 20)});
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].type, DefectType::Open);
    EXPECT_EQ((std::array{d[0].x1, d[0].x2}), (std::array{24 - 8, 32 + 8}));
    EXPECT_EQ(d[0].records, (std::vector<int>{0, 1}));
    // Two nicks on one side of a line far apart are two mousebites.
    Pair q;
    q.both(0, 15, W - 1, 24);
    q.rect(q.cam, 5, 15, 8, 18, 0);
    q.rect(q.cam, 45, 15, 48, 18, 0);
    EXPECT_EQ(q.defects({at(6, 16), at(46, 16)}).size(), 2u);
}

TEST(Defects, RecordsDecideWhatBecomesADefect) {
    Pair p;
    p.both(0, 15, W - 1, 24);
    p.rect(p.cam, 2, 25, 5, 28, 255);
    // A difference no record flags is no defect.
    EXPECT_TRUE(p.defects({}).empty());
    // A record on no difference, far from any other, is a defect of its
    // own around the record (7 + 8 each way, clipped), typed by its family
    // (code 4: void -> pin_hole), and less sure than one on a difference.
    const auto d = p.defects({at(4, 26, 19), at(55, 3, 4)}, 8);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ((std::array{d[0].x1, d[0].y1, d[0].x2, d[0].y2}), (std::array{40, 0, 59, 18}));
    EXPECT_EQ(d[0].type, DefectType::PinHole);
    EXPECT_EQ(d[1].type, DefectType::Spur);
    EXPECT_LT(d[0].confidence, d[1].confidence);
    // The margin, clipped at the image's edge.
    Pair e;
    e.rect(e.cam, 0, 0, 3, 3, 255);
    const auto c = e.defects({at(1, 1, 29)}, 5);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ((std::array{c[0].x1, c[0].y1, c[0].x2, c[0].y2}), (std::array{0, 0, 8, 8}));
    EXPECT_EQ(c[0].type, DefectType::SpuriousCopper);
}

TEST(Defects, SliversWithinTheJitterAreNoDefects) {
    // Line rows 15..24; the camera loses `depth` rows from its top over
    // columns x0..x1, with a record on the change. Within one pixel of the
    // camera's copper a difference is jitter: a sliver one row deep, however
    // long, flags nothing; two rows deep, or a sliver beside a real nick,
    // the nick's box alone.
    struct Case {
        const char* what;
        int x0, x1, depth;
        bool kept;
    };
    const Case cases[] = {
        {"long sliver one row deep", 2, 57, 1, false},
        {"nick one row deep", 28, 31, 1, false},
        {"nick two rows deep", 28, 31, 2, true},
        {"nick two columns wide", 28, 29, 3, false},
        {"nick three columns wide", 28, 30, 3, true},
    };
    for (const Case& c : cases) {
        Pair p;
        p.both(0, 15, W - 1, 24);
        p.rect(p.cam, c.x0, 15, c.x1, 15 + c.depth - 1, 0);
        const auto d = p.defects({at((c.x0 + c.x1) / 2, 15)});
        ASSERT_EQ(d.size(), c.kept ? 1u : 0u) << c.what;
        if (!c.kept) continue;
        EXPECT_EQ(d[0].type, DefectType::Mousebite) << c.what;
        EXPECT_EQ((std::array{d[0].x1, d[0].y1, d[0].x2, d[0].y2}),
                  (std::array{c.x0 - 8, 15 - 8, c.x1 + 8, 15 + c.depth - 1 + 8}))
            << c.what;
    }
    // A nick on a sliver: the box is the nick's, not the sliver's.
    Pair q;
    q.both(0, 15, W - 1, 24);
    q.rect(q.cam, 2, 15, 57, 15, 0);
    q.rect(q.cam, 28, 15, 31, 17, 0);
    const auto d = q.defects({at(29, 16)});
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ((std::array{d[0].x1, d[0].x2, d[0].y2}), (std::array{28 - 8, 31 + 8, 17 + 8}));
    // Without the jitter rule every difference counts.
    DefectSettings exact;
    exact.jitter = 0;
    Pair e;
    e.both(0, 15, W - 1, 24);
    e.rect(e.cam, 28, 15, 31, 15, 0);
    const std::vector<FlawRecord> rec{at(29, 15)};
    EXPECT_EQ(findDefects(BinaryView{e.cam.data(), W, W, H}, BinaryView{e.ref.data(), W, W, H},
                          rec, exact).size(), 1u);
}

TEST(Defects, WidthRecordsNameOnlyLongChanges) {
    // A CAD reference: code 221 (line narrowed) names a long thinning a
    // width defect but leaves a short notch a mousebite; golden mode keeps
    // the topology's type.
    Pair p;
    p.both(0, 15, W - 1, 24);
    p.rect(p.cam, 10, 15, 40, 17, 0);
    EXPECT_EQ(p.defects({at(25, 16, 221)})[0].type, DefectType::Width);
    EXPECT_EQ(p.defects({at(25, 16, 221)}, 8, false)[0].type, DefectType::Mousebite);
    Pair q;
    q.both(0, 15, W - 1, 24);
    q.rect(q.cam, 25, 15, 31, 17, 0);
    EXPECT_EQ(q.defects({at(28, 16, 221)})[0].type, DefectType::Mousebite);
}

TEST(Defects, ReferenceWindowKeepsOnlyHelpfulCorrections) {
    // Reference copper one column right of the camera's in every cell; a
    // correction of dx = 1 aligns them, one of dy = 1 on a vertical bar
    // changes nothing and is dropped as well as a harmful one.
    std::vector<std::uint8_t> labels(W * H, 0), camera(W * H, 0);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            labels[static_cast<std::size_t>(y) * W + x] = x % 12 == 5 ? 170 : (x % 12 == 9 ? 154 : 0);
            camera[static_cast<std::size_t>(y) * W + x] = x % 12 == 4 ? 255 : 0;
        }
    OffsetGrid g{};
    for (auto& c : g.cells) c[0] = 1;
    const BinaryView lv{labels.data(), W, W, H}, cv{camera.data(), W, W, H};
    EXPECT_EQ(referenceCopperWindow(lv, cv, 0, 0, &g).pixels, camera);
    EXPECT_NE(referenceCopperWindow(lv, cv, 0, 0, nullptr).pixels, camera);
    for (auto& c : g.cells) c[0] = -1;
    EXPECT_EQ(referenceCopperWindow(lv, cv, 0, 0, &g).pixels,
              referenceCopperWindow(lv, cv, 0, 0, nullptr).pixels);
    EXPECT_THROW((void)findDefects(cv, BinaryView{labels.data(), W - 1, W, H}, {}, {}),
                 InputError);
}

TEST(BoxMatching, OneToOneTypedAboveTheThreshold) {
    const int open = static_cast<int>(DefectType::Open), spur = static_cast<int>(DefectType::Spur);
    const std::vector<MatchBox> truth{{0, 0, 9, 9, open}, {100, 0, 109, 9, spur}};
    // Two detections on the first box: the more confident takes it.
    EXPECT_EQ(matchBoxes(truth, {{0, 0, 9, 9, open, 0.4f}, {1, 0, 9, 9, open, 0.9f}}, 0.33, true),
              (std::vector<int>{-1, 0}));
    // The type must agree, unless types are left out.
    EXPECT_EQ(matchBoxes(truth, {{100, 0, 109, 9, open, 0.5f}}, 0.33, true), std::vector<int>{-1});
    EXPECT_EQ(matchBoxes(truth, {{100, 0, 109, 9, open, 0.5f}}, 0.33, false), std::vector<int>{1});
    // Rows 5..14 against 0..9: 50 pixels shared of 150, IoU exactly 1/3,
    // which must be exceeded.
    const MatchBox half{0, 5, 9, 14, open, 1.0f};
    EXPECT_DOUBLE_EQ(boxIoU(truth[0], half), 1.0 / 3.0);
    EXPECT_EQ(matchBoxes(truth, {half}, 50.0 / 150.0, true), std::vector<int>{-1});
    EXPECT_EQ(matchBoxes(truth, {half}, 0.33, true), std::vector<int>{0});
    EXPECT_EQ(boxIoU(truth[0], truth[1]), 0.0);
}

TEST(BoxMatching, AveragePrecisionByHand) {
    // Ranked right, wrong, right against 2 boxes: precision 1 at recall 1/2,
    // 2/3 at recall 1 -> 0.5 * 1 + 0.5 * 2/3.
    EXPECT_DOUBLE_EQ(averagePrecision({{0.7f, true}, {0.9f, true}, {0.8f, false}}, 2),
                     0.5 + 0.5 * 2.0 / 3.0);
    // Interpolation: a later, better precision lifts the earlier points.
    EXPECT_DOUBLE_EQ(averagePrecision({{0.9f, false}, {0.8f, true}, {0.7f, true}}, 2),
                     2.0 / 3.0);
    EXPECT_EQ(averagePrecision({}, 3), 0.0);
}

TEST(DefectReports, JsonCsvAndPresetTypes) {
    InspectionResult r;
    r.placed = true;
    r.flaws = {at(30, 20), at(31, 21, 2)};
    r.defects = {Defect{22, 12, 39, 29, DefectType::SpuriousCopper, 0.5f, {0, 1}}};
    const nlohmann::json j = reportJson(ReportSources{}, r);
    ASSERT_EQ(j["defects"].size(), 1u);
    EXPECT_EQ(j["defects"][0]["box"], nlohmann::json({22, 12, 39, 29}));
    EXPECT_EQ(j["defects"][0]["type"], "spurious_copper");
    EXPECT_EQ(j["defects"][0]["records"], nlohmann::json({0, 1}));
    EXPECT_DOUBLE_EQ(j["defects"][0]["confidence"].get<double>(), 0.5);
    EXPECT_EQ(reportCsv(r), "type,confidence,x1,y1,x2,y2,records\nspurious_copper,0.500,22,12,39,29,0 1\n");
    EXPECT_EQ(reportCsv(r, true).substr(0, 5), "code,");
    // Defect names of evaluation types: given, derived from the name, or
    // refused.
    const Preset d = defaultPreset();
    EXPECT_EQ(d.evaluationTypes[4].defect, "spurious_copper");
    const Preset p = presetFromJson(nlohmann::json::parse(R"({"evaluation": {"types": [
        {"type": 1, "name": "pin-hole", "families": ["void"]},
        {"type": 2, "name": "nick", "families": ["open"], "defect": "mousebite"}]},
        "defects": {"box_margin": 3}})"), "p.json");
    EXPECT_EQ(p.evaluationTypes[0].defect, "pin_hole");
    EXPECT_EQ(p.evaluationTypes[1].defect, "mousebite");
    EXPECT_EQ(p.defects.boxMargin, 3);
    EXPECT_THROW(presetFromJson(nlohmann::json::parse(R"({"evaluation": {"types": [
        {"type": 1, "name": "x", "families": ["open"], "defect": "crack"}]}})"), "p.json"),
                 InputError);
    EXPECT_THROW(presetFromJson(nlohmann::json::parse(R"({"defects": {"box_margin": -1}})"), "p.json"),
                 InputError);
}

// A suspect is examined when a difference deeper than the jitter lies
// within the reach of it (a square of side 2 * reach + 1): a missing pixel
// with reference copper all round it, or extra copper with no reference
// copper beside it. Line rows 15..24, the suspect at (30, 10).
TEST(Defects, SuspectsOnDifferencesOnly) {
    struct Case {
        const char* what;
        int x0, y0, x1, y1;
        std::uint8_t camera;
        int reach;
        bool kept;
    };
    const Case cases[] = {
        {"no change", 0, 0, -1, -1, 0, 6, false},
        {"sliver one row deep", 2, 15, 57, 15, 0, 6, false},
        {"nick two rows deep, at the reach", 28, 15, 31, 16, 0, 6, true},
        {"nick two rows deep, beyond the reach", 28, 15, 31, 16, 0, 5, false},
        {"pin-hole of one pixel", 30, 20, 30, 20, 0, 10, true},
        {"bump one row high", 2, 14, 57, 14, 255, 6, false},
        {"speck six rows up, at the reach", 28, 4, 31, 4, 255, 6, true},
        {"speck two rows off the line, at the reach", 37, 13, 37, 13, 255, 7, true},
        {"speck two rows off the line, a column beyond", 38, 13, 38, 13, 255, 7, false},
    };
    for (const Case& c : cases) {
        Pair p;
        p.both(0, 15, W - 1, 24);
        if (c.x1 >= 0) p.rect(p.cam, c.x0, c.y0, c.x1, c.y1, c.camera);
        const SuspectRecord s{0, 0, 30, 10, 0, 0};
        const Image deep =
            deepDifferences(BinaryView{p.cam.data(), W, W, H}, BinaryView{p.ref.data(), W, W, H});
        const auto keep = suspectsOnDifferences(deep, {&s, 1}, c.reach);
        ASSERT_EQ(keep.size(), 1u);
        EXPECT_EQ(keep[0], c.kept) << c.what;
    }
}

}  // namespace
}  // namespace pcbinspect::tool
