// Patch classification: synthetic window pairs, one or more per verdict,
// and the window measures it is built from.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "inspect/classify_patch.h"
#include "inspect/patch_measures.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::Square;
using Draw = std::function<void(const Canvas&)>;

// A candidate's windows: the 120 x 120 pair and the 240 x 240 pair whose
// centre parts show the same shapes, 60 pixels in.
struct Patch {
    Square r{120}, c{120}, r240{240}, c240{240};
    Patch(const Draw& reference, const Draw& camera) {
        both(r, r240, reference);
        both(c, c240, camera);
    }
    static void both(Square& small, Square& large, const Draw& draw) {
        draw(Canvas(small));
        Square shifted(120);
        draw(Canvas(shifted));
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 120; ++x)
                if (shifted.at(x, y)) large.at(x + 60, y + 60) = shifted.at(x, y);
    }
};

struct Case {
    std::string name;
    int regionClass;
    bool nearLine;  // next to a reference line
    Draw reference, camera;
    std::vector<std::pair<int, float>> params;  // all others 0
    PatchVerdict verdict;  // code, score, hasOffset, dx, dy
    // The parameter whose limit decided, and whether a measure equal to the
    // limit passes it (>=) or not (>): -1 where no limit decides.
    int limit = -1;
    bool inclusive = true;
};

// A vertical reference line across the window, cut in the camera.
const Draw kLine = [](const Canvas& c) { c.rect(50, 0, 69, 119, 255); };
const Draw kCutLine = [](const Canvas& c) { c.rect(50, 0, 69, 50, 255); c.rect(50, 70, 69, 119, 255); };
// A round reference pad of radius 20 with a trace leaving it (its width map
// runs from the pad's 20 down to the trace's 3), a camera pad of another
// radius on the same trace.
Draw pad(double radius) {
    return [radius](const Canvas& c) { c.disc(60, 60, radius, 255); c.rect(60, 57, 119, 62, 255); };
}
// A drawing with a disc of radius r at (x, y) added in value v.
Draw bumped(const Draw& d, int x, int y, double r, std::uint8_t v) {
    return [=](const Canvas& c) { d(c); c.disc(x, y, r, v); };
}
// Solid copper, in the camera with a closed 5 x 3 hole.
const Draw kSolid = [](const Canvas& c) { c.rect(20, 20, 100, 100, 255); };
const Draw kVoided = [](const Canvas& c) { c.rect(20, 20, 100, 100, 255); c.rect(58, 59, 62, 61, 0); };
// An annular pad of outer radius 30 around a hole of radius 15 at (hx, 60),
// or without a hole.
Draw annulus(int hx, bool hole = true) {
    return [hx, hole](const Canvas& c) {
        c.disc(60, 60, 30, 255);
        if (hole) c.disc(hx, 60, 15, 0);
    };
}
// Parameters first..last at 100, then the others given.
std::vector<std::pair<int, float>> hundreds(int first, int last, std::vector<std::pair<int, float>> more) {
    for (int i = first; i <= last; ++i) more.insert(more.begin(), {i, 100.0f});
    return more;
}

std::vector<Case> cases() {
    const Draw none = [](const Canvas&) {};
    std::vector<Case> k = {
        {"empty, class 0", 0, false, none, none, {}, {0, 0.0f, false}},
        // Class 2 without any line: width 0, reported as 20 with 0 + 0.01.
        {"empty, class 2", 2, false, none, none, {}, {20, 0.01f, false}},
        // An edge region that persists is an open, at the centre when no
        // farther region is found; next to a reference line, no verdict.
        {"open", 2, false, kLine, kCutLine, {}, {1, 0.0f, true, 0, 0}},
        {"open near a line", 2, true, kLine, kCutLine, {}, {99999, 0.0f, false}},
        // About 20 % larger exceeds 10 %; 17 against 20 is the camera radius
        // less the reference's, as fitted.
        {"pad larger", 3, false, pad(20), pad(24), {{13, 0.1f}, {12, 100.0f}}, {6, 0.209030941f, false}, 13, false},
        {"pad smaller", 3, false, pad(20), pad(17), {{13, 100.0f}, {12, 1.0f}}, {7, -2.88831711f, false}, 12, false},
        // The same radius in the camera: the outline is judged ray by ray, a
        // bump of radius 4 on it outward, a bite of radius 5 inward, as
        // measured from the fitted camera outline.
        {"pad bump", 3, false, pad(20), bumped(pad(20), 78, 44, 4, 255), hundreds(12, 13, {{23, 100.0f}, {10, 0.0f}}), {8, 1.1026535f, false}, 10},
        {"pad bite", 3, false, pad(20), bumped(pad(20), 74, 44, 5, 0), hundreds(10, 13, {{23, 100.0f}, {11, 0.0f}}), {9, 4.0359592f, false}, 11},
        {"pad round", 3, false, pad(20), pad(20), hundreds(10, 13, {{23, 100.0f}}), {0, 0.0f, false}},
        // The larger side of the 5 x 3 void.
        {"void", 0, false, kSolid, kVoided, {{16, 3.0f}, {26, 100.0f}}, {4, 5.0f, false}, 16},
        {"void, class 1", 1, false, kSolid, kVoided, {{16, 100.0f}, {26, 5.0f}}, {26, 5.0f, false}, 26},
        // A 20-pixel reference line drawn 30 pixels wide: half the 10-pixel
        // change, or 5 / 10.
        {"width, absolute", 1, false, [](const Canvas& c) { c.rect(0, 50, 119, 69, 255); },
         [](const Canvas& c) { c.rect(0, 45, 119, 74, 255); },
         hundreds(24, 25, {{27, 3.0f}, {28, 100.0f}}), {28, 5.0f, false}, 27},
        {"width, relative", 1, false, [](const Canvas& c) { c.rect(0, 50, 119, 69, 255); },
         [](const Canvas& c) { c.rect(0, 45, 119, 74, 255); },
         hundreds(24, 25, {{27, 100.0f}, {28, 0.3f}}), {27, 0.5f, false}, 28},
        // A line 20 wide on the left widening to 30 right of the centre,
        // the same in the camera: the reference width is taken where the
        // ridge climbs to, so the camera's matches it.
        {"width, widening line", 1, false, [](const Canvas& c) { c.rect(0, 50, 59, 69, 255); c.rect(60, 45, 119, 74, 255); },
         [](const Canvas& c) { c.rect(0, 50, 59, 69, 255); c.rect(60, 45, 119, 74, 255); },
         hundreds(24, 25, {{27, 3.0f}, {28, 100.0f}}), {0, 0.0f, false}},
        // A vertical line right of the centre and a camera stub from it to
        // the left window edge: the difference reaches a margin the
        // reference does not.
        {"frame", 2, false, [](const Canvas& c) { c.rect(62, 0, 80, 119, 255); },
         [](const Canvas& c) { c.rect(62, 0, 80, 119, 255); c.rect(0, 55, 61, 64, 255); },
         {{2, 7.0f}}, {211, 7.0f, false}},
        {"frame, right", 2, false, [](const Canvas& c) { c.rect(39, 0, 57, 119, 255); },
         [](const Canvas& c) { c.rect(39, 0, 57, 119, 255); c.rect(58, 55, 119, 64, 255); },
         {{2, 7.0f}}, {211, 7.0f, false}},
        // A class-2 line with a void in the camera: the line width 20 is
        // recorded and reported as code 3, plus 0.01.
        {"void in a line", 2, false, kLine,
         [](const Canvas& c) { c.rect(50, 0, 69, 119, 255); c.rect(58, 58, 62, 62, 0); },
         {{4, 0.1f}}, {3, 20.01f, false}},
        // No hole in the camera: it cannot be measured. The hole drilled 5
        // pixels off its place, as measured.
        {"plugged hole", 3, false, annulus(60), annulus(60, false), hundreds(10, 22, {}), {11, 999.0f, false}},
        {"hole off its place", 3, false, annulus(60), annulus(65), hundreds(10, 22, {{17, 2.0f}}),
         {10, 5.18946362f, false}, 17},
        // The arc is judged before the offset: with its limit at 0 the same
        // hole is reported as an arc, of 0 since the ring is whole.
        {"hole arc", 3, false, annulus(60), annulus(65), hundreds(10, 22, {{18, 0.0f}}), {11, 0.0f, false}, 18},
    };
    // A blob jutting 20 rows up from a bar's edge on row 70 (excess), or a
    // bite 20 rows deep into a bar whose edge is on row 50 (missing), at the
    // centre. After one erosion the blob's outline reaches 17 rows from the
    // reference outline next to it (rows 51..68 against row 69, or against
    // row 50): (17 + 1 + 1) / 2 = 9.5, on the far side, above the centre for
    // the blob and below it for the bite.
    const struct { int regionClass; bool excess; int excessParam, missingParam, code; } juts[] = {
        {0, true, 14, 15, 19}, {0, false, 14, 15, 18}, {4, true, 33, 34, 190},
        {4, false, 33, 34, 180}, {1, true, 24, 25, 25}, {1, false, 24, 25, 24},
        {3, true, 10, 11, 8},    {3, false, 10, 11, 9},    {-1, true, 14, 15, 19},
    };
    for (const auto& j : juts) {
        const int top = j.excess ? 70 : 50;
        const Draw bar = [top](const Canvas& c) { c.rect(0, top, 119, 109, 255); };
        const Draw camera = [top, excess = j.excess](const Canvas& c) {
            c.rect(0, top, 119, 109, 255);
            c.rect(55, 50, 64, 69, excess ? 255 : 0);
        };
        k.push_back({"jut, class " + std::to_string(j.regionClass) + (j.excess ? " excess" : " missing"),
                     j.regionClass, false, bar, camera,
                     hundreds(10, 15, {{24, 100.0f}, {25, 100.0f}, {27, 100.0f}, {28, 100.0f},
                                       {33, 100.0f}, {34, 100.0f}, {j.excessParam, 5.0f},
                                       {j.missingParam, 5.0f}}),
                     {j.code, 9.5f, true, -2, j.excess ? -4 : 4}, j.excess ? j.excessParam : j.missingParam});
    }
    return k;
}

// Each case once as given; where a limit decides, again with that limit
// set to the measure (the verdict stays when the comparison is >=, goes when
// it is >) and to the next float above it (the verdict goes).
TEST(ClassifyPatch, OneVerdictPerWindowPairAndEachLimitsBoundary) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        std::vector<float> params(35, 0.0f);
        for (const auto& [i, v] : c.params) params[i] = v;
        const auto classify = [&c, &params](Patch& p) {
            std::vector<std::uint8_t> work(4 * 120 * 120);
            return ClassifyPatch(work.data(), p.r.data(), p.c.data(), p.r240.data(), p.c240.data(), c.regionClass,
                                 InspectParams::load(params.data(), 35), 0, 0, c.nearLine);
        };
        Patch p(c.reference, c.camera);
        const PatchVerdict v = classify(p);
        const PatchVerdict& w = c.verdict;
        // Turned or mirrored, the windows give the same verdict, and the
        // same measure where no round pad is measured (the rays that sample
        // a pad's edge start at a fixed angle).
        for (int k = 1; k < 8; ++k) {
            Patch o(c.reference, c.camera);
            for (Square* s : {&o.r, &o.c, &o.r240, &o.c240}) *s = s->oriented(k);
            const PatchVerdict turned = classify(o);
            EXPECT_EQ(turned.code, v.code) << "orientation " << k;
            if (c.regionClass != 3) { EXPECT_FLOAT_EQ(turned.score, v.score) << "orientation " << k; }
        }
        if (c.limit >= 0) {
            const float at = std::fabs(v.score);
            for (const float limit : {at, std::nextafter(at, 1e9f)}) {
                params[c.limit] = limit;
                Patch again(c.reference, c.camera);
                EXPECT_EQ(classify(again).code == w.code, limit == at && c.inclusive) << "limit " << limit;
            }
        }
        EXPECT_EQ(std::tuple(v.code, v.hasOffset, v.dx, v.dy), std::tuple(w.code, w.hasOffset, w.dx, w.dy));
        EXPECT_FLOAT_EQ(v.score, w.score);
        // After an open the caller's windows come back cleared at margins
        // widened by 10.
        if (c.verdict.code == 1) { EXPECT_TRUE(p.r.at(60, 5) == 0 && p.r.at(60, 15) == 255); }
    }
}

// ---------------------------------------------------------------------------
// Window measures of the patch classification.

std::vector<std::int16_t> stack() { return std::vector<std::int16_t>(2 * kPatchArea); }

TEST(EndsInBox, LineEndsAndBoxesLeavingTheWindow) {
    Square s(120);
    Canvas(s).rect(0, 58, 65, 62, 255);  // a line from the left ending at x = 65
    EXPECT_FALSE(EndsInBox(s.data(), 5, 60));    // box leaves the window
    EXPECT_TRUE(EndsInBox(s.data(), 65, 60));    // only the left side is crossed
    EXPECT_FALSE(EndsInBox(s.data(), 40, 60));   // crossed left and right
    EXPECT_TRUE(EndsInBox(s.data(), 100, 100));  // nothing at all
    EXPECT_TRUE(EndsInBox(s.data(), 10, 10) && EndsInBox(s.data(), 109, 109));  // boxes on the edges
}

// The camera feature nearest the centre and the reference under it. Small
// stray regions on the way leave their extent; on a class-2 line that does
// not span the window symmetrically, two large camera parts along it mean a
// break (persist), placed at the part farther from the centre.
TEST(EdgeRegionCheck, StrayRegionsAndBrokenLines) {
    using Rects = std::vector<std::array<int, 4>>;
    const struct {
        const char* name;
        Rects ref, cam;
        bool class2, persist;
        int x, y;
        float measure;
    } cases[] = {
        {"broken line", {{0, 55, 110, 65}}, {{0, 55, 55, 65}, {65, 55, 110, 65}}, true, true, 27, 60, 0.0f},
        {"whole line", {{0, 55, 110, 65}}, {{0, 55, 110, 65}}, true, false, 60, 60, 0.0f},
        {"broken, not class 2", {{0, 55, 110, 65}}, {{0, 55, 55, 65}, {65, 55, 110, 65}}, false, false, 60, 60, 0.0f},
        // A line across the whole window that the camera shows shortened at
        // one end: a break once the camera part is more than 10 shorter.
        {"shortened by 10", {{0, 55, 119, 65}}, {{10, 55, 119, 65}}, true, false, 60, 60, 0.0f},
        {"shortened by 11", {{0, 55, 119, 65}}, {{11, 55, 119, 65}}, true, true, 60, 60, 0.0f},
        // Over an empty reference the first speck is the feature: its diagonal.
        {"speck, no reference", {}, {{62, 58, 66, 62}, {57, 75, 66, 84}}, false, false, 60, 60, std::sqrt(32.0f)},
        // A 5 x 3 speck on the way to a line leaves its height across a line
        // through both margin columns, else its width.
        {"speck", {{0, 30, 119, 40}}, {{62, 59, 66, 61}, {0, 30, 119, 40}}, true, false, 60, 60, 3.0f},
        {"speck, line from the left", {{0, 30, 110, 40}}, {{62, 59, 66, 61}, {0, 30, 110, 40}}, true, false, 60, 60, 5.0f},
        {"speck, line inside both margins", {{5, 30, 118, 40}}, {{62, 59, 66, 61}, {5, 30, 118, 40}}, true, false, 60, 60, 3.0f},
    };
    for (const auto& c : cases) {
        Square w0(120), w1(120);
        for (const auto& [x0, y0, x1, y1] : c.ref) w1.rect(x0, y0, x1, y1, 255);
        for (const auto& [x0, y0, x1, y1] : c.cam) w0.rect(x0, y0, x1, y1, 255);
        std::vector<std::int16_t> stack(2 * kPatchArea);
        const EdgeRegionResult r = EdgeRegionCheck(stack.data(), w0.data(), w1.data(), 0, 0, c.class2);
        EXPECT_EQ(std::tuple(r.persist, r.x, r.y), std::tuple(c.persist, c.x, c.y)) << c.name;
        EXPECT_FLOAT_EQ(r.measure, c.measure) << c.name;
    }
}

TEST(RidgePeak, NearestSetPixelAndClimbing) {
    Square s(120);
    RidgeResult r = RidgePeak(s.data(), 60, 60, false);
    EXPECT_TRUE(r.value == 0 && r.x == 1 && r.y == 1);
    // A skeleton line along row 60 whose values rise to the right: x - 19.
    for (int x = 20; x < 100; ++x) s.at(x, 60) = static_cast<std::uint8_t>(x - 19);
    r = RidgePeak(s.data(), 50, 62, false);
    EXPECT_EQ(std::pair(r.value, r.x), std::pair(31, 50));
    EXPECT_FLOAT_EQ(r.distance, 2.0f);
    // Climbing moves up to five columns at a time to the line's end at 99;
    // an end pixel has a single neighbour, so the point steps back onto 98.
    r = RidgePeak(s.data(), 50, 62, true);
    EXPECT_EQ(std::pair(r.x, r.value), std::pair(98, 79));
    EXPECT_EQ(RidgePeak(s.data(), 50, 60, true).x, 98);  // from a point on the line too
    // The climb looks five pixels each way: from (60, 60) to (65, 65) and no
    // farther, never to the brighter (54, 60) six away; in every orientation.
    Square c(120);
    c.at(60, 60) = 10, c.at(65, 65) = 20, c.at(54, 60) = 50;
    for (int k = 0; k < 8; ++k) {
        const auto at = [k](int x, int y) { int u = k & 1 ? 119 - x : x, v = k & 2 ? 119 - y : y; if (k & 4) std::swap(u, v); return std::pair{u, v}; };
        r = RidgePeak(c.oriented(k).data(), at(60, 60).first, at(60, 60).second, true);
        EXPECT_EQ(std::pair(r.x, r.y), at(65, 65)) << k;
    }
    // A line on row 118, the last row the point may take, keeps it there.
    Square low(120);
    for (int x = 20; x < 100; ++x) low.at(x, 118) = 5;
    r = RidgePeak(low.data(), 50, 110, false);
    EXPECT_TRUE(r.x == 50 && r.y == 118 && r.value == 5);
}

TEST(VoidCheck, FindsAnEnclosedHoleAndFillsItNotAnOpenNotch) {
    // A 5 x 3 hole the reference has solid is found and filled in the
    // camera copy; a notch open to the outside is no void.
    for (const bool enclosed : {true, false}) {
        auto s = stack();
        Square w0(120), r(120, 255), d(120);
        Canvas(w0).rect(30, 30, 90, 90, 255);
        if (enclosed) {
            Canvas(w0).rect(58, 59, 62, 61, 0);
            Canvas(r).rect(0, 0, 119, 20, 0);
        } else {
            Canvas(r).rect(0, 0, 119, 119, 0);
            Canvas(r).rect(30, 30, 90, 90, 255);
            Canvas(w0).rect(58, 30, 62, 61, 0);
        }
        const VoidResult v = VoidCheck(s.data(), d.data(), r.data(), w0.data());
        EXPECT_EQ(v.found, enclosed);
        if (enclosed) { EXPECT_TRUE(v.width == 5 && v.height == 3) << v.width << " x " << v.height; }
        EXPECT_EQ(w0.at(60, 60), enclosed ? 255 : 0);
    }
    // Beside the void, a 3 x 3 excess: what one erosion leaves of it counts
    // against "only voids" within columns and rows 45..75, not beyond.
    for (const int centre : {75, 76}) {
        auto s = stack();
        Square w0(120), r(120, 255), d(120);
        Canvas(w0).rect(30, 30, 90, 90, 255);
        Canvas(w0).rect(58, 59, 62, 61, 0);
        Canvas(r).rect(centre - 1, 59, centre + 1, 61, 0);
        const VoidResult v = VoidCheck(s.data(), d.data(), r.data(), w0.data());
        EXPECT_TRUE(v.found);
        EXPECT_EQ(v.onlyVoids, centre == 76) << centre;
    }
}

}  // namespace
}  // namespace pcbinspect
