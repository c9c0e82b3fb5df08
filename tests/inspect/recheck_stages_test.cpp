// The 240 x 240 re-check stages: pruning, line width with excess and
// missing copper, spacing and enclosed differences.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <tuple>
#include <utility>
#include <vector>

#include "imaging/morphology.h"
#include "inspect/recheck_stages.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Square;
using Rects = std::vector<std::array<int, 5>>;  // x0, y0, x1, y1, value

Square drawn(int side, const Rects& rects) {
    Square s(side);
    for (const auto& [x0, y0, x1, y1, v] : rects) s.rect(x0, y0, x1, y1, static_cast<std::uint8_t>(v));
    return s;
}

TEST(PruneNearestEnd, ErasesTheBranchEndingNearestTheCentre) {
    // A horizontal skeleton line with a stem rising to end 10 pixels below
    // the centre: three ends, the stem's nearest.
    Square s = drawn(240, {{20, 150, 220, 150, 5}, {120, 130, 120, 149, 5}});
    // The stem goes down to row 148; its pixel touching the line stays.
    const Square pruned = drawn(240, {{20, 150, 220, 150, 5}, {120, 149, 120, 149, 5}});
    int limit = 0;
    PruneNearestEnd(s.data(), &limit);
    EXPECT_EQ(limit, 2);  // three ends found, minus one
    EXPECT_EQ(s.pixels, pruned.pixels);
    // With a limit of 2 nothing more goes: two ends remain.
    PruneNearestEnd(s.data(), &limit);
    EXPECT_EQ(limit, 2);
    EXPECT_EQ(s.pixels, pruned.pixels);
    // Two stems ending equally near the centre: the first end in row order,
    // the left one, goes.
    Square two = drawn(240, {{20, 150, 220, 150, 5}, {115, 130, 115, 149, 5}, {125, 130, 125, 149, 5}});
    const Square leftPruned = drawn(240, {{20, 150, 220, 150, 5}, {115, 149, 115, 149, 5}, {125, 130, 125, 149, 5}});
    limit = 0;
    PruneNearestEnd(two.data(), &limit);
    EXPECT_EQ(limit, 3);
    EXPECT_EQ(two.pixels, leftPruned.pixels);
}

// A horizontal line through the centre of a 240 x 240 mask, `rows` thick.
std::array<int, 5> line(int rows) { return {0, 120 - rows / 2, 239, 120 - rows / 2 + rows - 1, 255}; }

// A diagonal band through the centre, |x - y| <= half, a run per row.
Rects diagonal(int half) {
    Rects band;
    for (int y = 0; y < 240; ++y) band.push_back({std::max(y - half, 0), y, std::min(y + half, 239), y, 255});
    return band;
}

TEST(LineWidthStage, WidthExcessAndMissingVerdicts) {
    const struct {
        const char* name;
        Rects reference, camera;
        std::vector<std::pair<int, float>> params;  // all others 100
        int widthBound, cameraWidthBound;
        StageVerdict verdict;  // code, score, hasOffset, dx, dy
        int limit = -1;  // the parameter whose limit decided: the measure must exceed it
        int mx = 0, my = 0;  // margins cleared where the window leaves the camera
    } cases[] = {
        // Widths of about 10 against 15, and 10 against 6, relative to the
        // reference.
        {"widened", {line(20)}, {line(30)}, {{5, 0.2f}}, 0, 0, {220, 0.404666603f}, 5},
        {"narrowed", {line(20)}, {line(12)}, {{6, 0.2f}}, 0, 0, {221, 0.498333365f}, 6},
        // Reference width at most control[3] and camera width above
        // control[4]: no width verdict at all; camera width within
        // control[4]: narrowed, whatever the limit.
        {"thin, camera wider than its bound", {line(20)}, {line(12)}, {{6, 0.2f}}, 50, 2, {0, 0.0f}},
        {"thin, camera within its bound", {line(20)}, {line(12)}, {}, 50, 50, {221, 0.498333365f}},
        // The reference line's half width is 10: a bound of 10 holds it, 9
        // does not.
        {"thin, reference at its bound", {line(20)}, {line(12)}, {}, 10, 50, {221, 0.498333365f}},
        {"reference one above its bound", {line(20)}, {line(12)}, {}, 9, 50, {0, 0.0f}},
        // A vertical line ending above the centre: no verdict however
        // different the camera is; the same line across the window is judged.
        {"ending early", {{50, 0, 69, 100, 255}}, {{45, 0, 74, 100, 255}}, {{5, 0.2f}}, 0, 0, {0, 0.0f}},
        {"across", {{110, 0, 129, 239, 255}}, {{105, 0, 134, 239, 255}}, {{5, 0.2f}}, 0, 0, {220, 0.404666603f}, 5},
        // Diagonal bands 21 pixels across in x, drawn 31 and 13 across.
        {"diagonal, widened", diagonal(10), diagonal(15), {{5, 0.2f}}, 0, 0, {220, 0.254166633f}, 5},
        {"diagonal, narrowed", diagonal(10), diagonal(6), {{6, 0.2f}}, 0, 0, {221, 0.498333335f}, 6},
        // A line passing two columns right of the centre, with a branch far
        // above that does not reach the centre column: judged too.
        {"beside the centre", {{118, 0, 126, 239, 255}, {125, 8, 200, 12, 255}},
         {{113, 0, 131, 239, 255}, {125, 8, 200, 12, 255}}, {{5, 0.2f}}, 0, 0, {220, 0.80599993f}, 5},
        // A blob 20 pixels high beside the line, above it; a bite half
        // through the line.
        {"excess", {line(20)}, {line(20), {110, 90, 129, 109, 255}}, {{0, 0.5f}}, 0, 0, {210, 0.95f, true, -4, -14}, 0},
        {"missing", {line(30)}, {line(30), {110, 105, 129, 119, 0}}, {{1, 0.2f}}, 0, 0,
         {200, 0.533333302f, true, -4, -1}, 1},
        // The same beyond the absolute limits only: the ratios times the
        // local width, 0.95 x 10 and 0.533 x 15.
        {"excess, absolute", {line(20)}, {line(20), {110, 90, 129, 109, 255}}, {{2, 3.0f}}, 0, 0, {211, 9.5f, true, -4, -14}, 2},
        {"missing, absolute", {line(30)}, {line(30), {110, 105, 129, 119, 0}}, {{3, 3.0f}}, 0, 0,
         {201, 7.9999995f, true, -4, -1}, 3},
        // A line 20 wide drawn 30 wide and moved by one or two pixels across
        // itself in the camera, with a blob beside it: the grown reference
        // is laid on the camera at each of nine small shifts, and the best
        // decides where the blob is measured: its 20 or 19 rows beyond the
        // camera line, less one, over twice the local width of 15.
        {"moved down", {line(20)}, {{0, 106, 239, 135, 255}, {110, 86, 125, 105, 255}}, {{0, 0.2f}}, 0, 0, {210, 19.0f / 30, true, -4, -16}, 0},
        {"moved up 2", {line(20)}, {{0, 103, 239, 132, 255}, {110, 84, 125, 102, 255}}, {{0, 0.2f}}, 0, 0, {210, 18.0f / 30, true, -4, -17}, 0},
        {"moved right", {{110, 0, 129, 239, 255}}, {{106, 0, 135, 239, 255}, {136, 110, 155, 125, 255}}, {{0, 0.2f}}, 0, 0, {210, 19.0f / 30, true, 17, -4}, 0},
        {"moved left 2", {{110, 0, 129, 239, 255}}, {{103, 0, 132, 239, 255}, {84, 110, 102, 125, 255}}, {{0, 0.2f}}, 0, 0, {210, 18.0f / 30, true, -17, -4}, 0},
        // The same with margins (where the window leaves the camera) from
        // 70 to 84: less of the blob and of the line is read, so the blob
        // is measured shorter and nearer, until nothing is left to judge.
        {"moved down, margin 70 above", {line(20)}, {{0, 106, 239, 135, 255}, {110, 86, 125, 105, 255}}, {{0, 0.2f}}, 0, 0, {210, 17.0f / 28, true, -4, -15}, 0, 0, 70},
        {"moved down, margin 80 above", {line(20)}, {{0, 106, 239, 135, 255}, {110, 86, 125, 105, 255}}, {{0, 0.2f}}, 0, 0, {210, 5.0f / 11, true, -4, -10}, 0, 0, 80},
        {"moved down, margin 84 above", {line(20)}, {{0, 106, 239, 135, 255}, {110, 86, 125, 105, 255}}, {{0, 0.2f}}, 0, 0, {210, 3.0f / 11, true, -4, -8}, 0, 0, 84},
        {"moved left 2, margin 70 left", {{110, 0, 129, 239, 255}}, {{103, 0, 132, 239, 255}, {84, 110, 102, 125, 255}}, {{0, 0.2f}}, 0, 0, {210, 13.0f / 30, true, -15, -4}, 0, 70, 0},
        {"moved left 2, margin 80 left", {{110, 0, 129, 239, 255}}, {{103, 0, 132, 239, 255}, {84, 110, 102, 125, 255}}, {{0, 0.2f}}, 0, 0, {210, 0.25f, true, -10, -4}, 0, 80, 0},
        {"moved left 2, margin 84 left", {{110, 0, 129, 239, 255}}, {{103, 0, 132, 239, 255}, {84, 110, 102, 125, 255}}, {{0, 0.2f}}, 0, 0, {0, 0.0f}, -1, 84, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> params(35, 100.0f);
        for (const auto& [i, v] : c.params) params[i] = v;
        // The case in orientation k; the margins swap with the axes.
        const auto stage = [&c, &params](int k = 0) {
            Square a = drawn(240, c.reference).oriented(k), b = drawn(240, c.camera).oriented(k), pristineA = a,
                   pristineB = b, tile(120);
            std::vector<std::uint8_t> scratch(kLineWidthScratch);
            MorphologyScratch morph;
            const InspectParams p = InspectParams::load(params.data(), 35);
            return LineWidthStage(LineWidthInputs{scratch.data(), &morph, tile.data(), pristineA.data(),
                                                  pristineB.data(), a.data(), b.data(), &p, k & 4 ? c.my : c.mx,
                                                  k & 4 ? c.mx : c.my, nullptr, 0, 0.0f, c.widthBound,
                                                  c.cameraWidthBound});
        };
        const StageVerdict v = stage();
        // Turned or mirrored, windows without margins give the same verdict
        // and measure: every direction the stage looks in takes part.
        for (int k = 1; k < 8 && c.mx == 0 && c.my == 0; ++k) {
            const StageVerdict o = stage(k);
            EXPECT_EQ(o.code, v.code) << "orientation " << k;
            EXPECT_FLOAT_EQ(o.score, v.score) << "orientation " << k;
        }
        const StageVerdict& w = c.verdict;
        // A limit equal to the measure no longer gives the verdict.
        if (c.limit >= 0) {
            params[c.limit] = v.score;
            EXPECT_NE(stage().code, w.code) << "limit at " << v.score;
        }
        EXPECT_EQ(std::tuple(v.code, v.hasOffset, v.dx, v.dy), std::tuple(w.code, w.hasOffset, w.dx, w.dy));
        EXPECT_FLOAT_EQ(v.score, w.score);
    }
}

TEST(SpacingStage, ReducedGapBetweenTwoConductorsOfModestWidth) {
    // Lines 10 pixels wide, 20 apart in the reference; the lower one grows 8
    // rows towards the upper one in the camera: the measured conductors are
    // marked 128. One conductor, none, or a conductor thicker than 25 (the
    // nearer one, or its neighbour, a pixel past the widest accepted) gives
    // nothing.
    const struct { Rects r, c; float limit; int code; } cases[] = {
        {{{0, 40, 119, 49, 255}, {0, 70, 119, 79, 255}}, {{0, 40, 119, 49, 255}, {0, 62, 119, 79, 255}}, 0.2f, 23},
        {{{0, 50, 119, 59, 255}}, {{0, 50, 119, 59, 255}}, 0.0f, 0},
        {{}, {{0, 50, 119, 59, 255}}, 0.0f, 0},  // no reference conductor
        {{{0, 0, 119, 50, 255}, {0, 71, 119, 80, 255}}, {{0, 0, 119, 50, 255}, {0, 63, 119, 80, 255}}, 0.2f, 23},
        {{{0, 0, 119, 51, 255}, {0, 72, 119, 81, 255}}, {{0, 0, 119, 51, 255}, {0, 64, 119, 81, 255}}, 0.2f, 0},
        {{{0, 35, 119, 84, 255}, {0, 5, 119, 14, 255}}, {{0, 35, 119, 84, 255}, {0, 5, 119, 22, 255}}, 0.2f, 23},
        {{{0, 35, 119, 85, 255}, {0, 5, 119, 14, 255}}, {{0, 35, 119, 85, 255}, {0, 5, 119, 22, 255}}, 0.2f, 0},
    };
    for (const auto& k : cases) {
        Square r = drawn(120, k.r), c = drawn(120, k.c);
        std::vector<float> p(35, 0.0f);
        p[7] = k.limit;
        float score = 0.0f;
        EXPECT_EQ(SpacingStage(r.data(), c.data(), InspectParams::load(p.data(), 35), &score, nullptr, 0),
                  k.code);
        if (k.code == 0) continue;
        EXPECT_EQ(score, 0.25f);  // the relative reduction as measured
        // The reduction must exceed the limit: at the limit, nothing.
        Square r2 = drawn(120, k.r), c2 = drawn(120, k.c);
        p[7] = score;
        EXPECT_EQ(SpacingStage(r2.data(), c2.data(), InspectParams::load(p.data(), 35), &score, nullptr, 0), 0);
        if (&k != cases) continue;  // the marks of the first case
        EXPECT_EQ(std::tuple(r.at(60, 45), c.at(60, 45), r.at(60, 75)), std::tuple(128, 128, 255));
    }
}

TEST(EnclosedDifferenceCheck, MeasuresEnclosedRegionsOnly) {
    std::vector<std::uint8_t> d(240 * 240);
    auto check = [&](Square& p, Square& q, float limit, float* score) {
        return EnclosedDifferenceCheck(d.data(), p.data(), q.data(), limit, score, nullptr, 0);
    };
    float score = -1.0f;
    // Equal masks: nothing to measure.
    Square p = drawn(240, {{0, 100, 239, 139, 255}}), q = p;
    EXPECT_FALSE(check(p, q, 0.0f, &score));
    EXPECT_EQ(score, -1.0f);
    // p has a 20 x 20 hole that q's copper encloses: it reaches 20 rows
    // across q's width of 39 between its first and last rows.
    Square notched = drawn(240, {{0, 100, 239, 139, 255}, {110, 110, 129, 129, 0}}), solid = q;
    EXPECT_TRUE(check(notched, solid, 0.3f, &score));
    EXPECT_FLOAT_EQ(score, 20.0f / 39.0f);
    EXPECT_FALSE(check(notched, solid, 0.7f, &score));
    // A ratio equal to the limit is enough; the next float above is not.
    const float ratio = score;
    EXPECT_TRUE(check(notched, solid, ratio, &score));
    EXPECT_FALSE(check(notched, solid, std::nextafter(ratio, 1.0f), &score));
    // A smaller enclosed hole, found after the larger one or before it, is
    // not measured with it.
    for (const int y : {131, 103}) {
        Square two = drawn(240, {{0, 100, 239, 139, 255}, {110, 110, 129, 129, 0}, {150, y, 153, y + 3, 0}});
        EXPECT_TRUE(check(two, solid, ratio, &score));
        EXPECT_EQ(score, ratio) << y;
    }
    // A diagonal band (|x - y| <= 20) with a 12 x 12 hole: its reach across
    // the band's edge direction, found from the edge pixels nearest it, over
    // the band's width along the same line.
    Square band(240), bandHoled(240);
    for (int y = 0; y < 240; ++y)
        for (int x = 0; x < 240; ++x) band.at(x, y) = bandHoled.at(x, y) = std::abs(x - y) <= 20 ? 255 : 0;
    bandHoled.rect(114, 114, 125, 125, 0);
    EXPECT_TRUE(check(bandHoled, band, 0.0f, &score));
    EXPECT_FLOAT_EQ(score, 0.3f);  // as measured
    // A background pixel of q diagonal to the hole's corner does not open it;
    // one in both masks beside any of its four sides does.
    Square pricked = drawn(240, {{0, 100, 239, 139, 255}, {130, 130, 130, 130, 0}});
    EXPECT_TRUE(check(notched, pricked, 0.3f, &score));
    for (const auto& [x, y] : {std::pair{130, 120}, {109, 120}, {120, 109}, {120, 130}}) {
        Square p1 = drawn(240, {{0, 100, 239, 139, 255}, {110, 110, 129, 129, 0}, {x, y, x, y, 0}});
        Square q1 = drawn(240, {{0, 100, 239, 139, 255}, {x, y, x, y, 0}});
        EXPECT_FALSE(check(p1, q1, 0.0f, &score)) << x << "," << y;
    }
    // A hole in q that q's copper encloses is painted into q; a gap in q's
    // copper is open to q's background: never measured.
    Square holed = drawn(240, {{0, 100, 239, 139, 255}, {115, 115, 124, 124, 0}});
    check(p, holed, 0.0f, &score);
    EXPECT_EQ(holed.at(120, 120), 255);
    Square gap = drawn(240, {{0, 100, 239, 139, 255}, {110, 100, 129, 139, 0}});
    EXPECT_FALSE(check(p, gap, 0.0f, &score));
    EXPECT_EQ(gap.at(120, 120), 0);
}

// A void in q near one edge of p's copper block, with the block's other
// edge farther away and at right angles: the void's reach is measured
// across the nearer edge (its extent along the row or column through it)
// over q's width along that line, in each of the eight orientations of the
// window (turns and mirror images), so that every direction of the edge
// test and of the measure takes part.
TEST(EnclosedDifferenceCheck, ReachAcrossTheNearerEdgeInEveryOrientation) {
    const struct {
        Rects q;
        float reach;  // across the nearer (left) edge, in pixels
    } cases[] = {
        {{{100, 100, 239, 239, 255}, {104, 130, 108, 139, 0}}, 5.0f},
        {{{100, 100, 239, 239, 255}, {103, 150, 109, 153, 0}}, 7.0f},
    };
    std::vector<std::uint8_t> d(240 * 240);
    for (const auto& c : cases)
        for (int k = 0; k < 8; ++k) {
            SCOPED_TRACE(k);
            Square p = drawn(240, {c.q[0]}).oriented(k), q = drawn(240, c.q).oriented(k);
            float score = -1.0f;
            EXPECT_TRUE(EnclosedDifferenceCheck(d.data(), p.data(), q.data(), 0.0f, &score, nullptr, 0));
            EXPECT_NEAR(score, c.reach / 139.0f, 1e-5f);
        }
}

}  // namespace
}  // namespace pcbinspect
