// The small checks of the inspection windows: region class and line check
// on the reference, nearest blob and bridge count, edge comparison, gap
// measurement, hole size, pad checks, reference clean-up and line direction.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <array>
#include <functional>
#include <tuple>
#include <utility>
#include <vector>

#include "inspect/window_checks.h"
#include "inspect/window_rings.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::Square;
using Boxes = std::vector<std::array<int, 4>>;   // x0, y0, x1, y1 of 255
using Rects = std::vector<std::array<int, 5>>;   // x0, y0, x1, y1, value
using Pixels = std::vector<std::array<int, 3>>;  // x, y, value

// ---------------------------------------------------------------------------
// Region class lookup and line check on reference images.

Square image(int side, const Pixels& pixels) {
    Square s(side);
    for (const auto& [x, y, label] : pixels) s.at(x, y) = static_cast<std::uint8_t>(label);
    return s;
}

// Rings in an 8 x 6 image: sides in their order, clipped to the image, a
// side on or beyond the edge skipped; the walk stops where visit says so.
TEST(VisitRing, SidesInOrderClippedToTheImage) {
    using Walk = std::vector<std::pair<int, int>>;
    const struct {
        const RingSide (&order)[4];
        int cx, cy, d, stopAfter;
        Walk visited;
    } cases[] = {
        {kHorizontalFirst, 3, 2, 0, 0, {{3, 2}}},
        {kHorizontalFirst, 0, 0, 0, 0, {{0, 0}}},
        {kHorizontalFirst, 8, 2, 0, 0, {}},
        {kHorizontalFirst, 6, 4, 2, 0, {{4, 2}, {5, 2}, {6, 2}, {7, 2}, {4, 2}, {4, 3}, {4, 4}, {4, 5}}},
        {kBelowFirst, 1, 1, 2, 0, {{0, 3}, {1, 3}, {2, 3}, {3, 3}, {3, 0}, {3, 1}, {3, 2}, {3, 3}}},
        {kVerticalFirst, 6, 4, 2, 3, {{4, 2}, {4, 3}, {4, 4}}},
    };
    for (const auto& c : cases) {
        Walk walk;
        const bool stopped = visitRing(c.order, c.cx, c.cy, c.d, 8, 6, [&](int x, int y) {
            walk.emplace_back(x, y);
            return static_cast<int>(walk.size()) == c.stopAfter;
        });
        EXPECT_EQ(walk, c.visited) << c.cx << "," << c.cy << " d " << c.d;
        EXPECT_EQ(stopped, c.stopAfter > 0);
    }
}

TEST(RegionClassAt, SquaresScannedInTurnLastLabelWins) {
    constexpr int C1 = kLabelClass1, C2 = kLabelClass2, C3 = kLabelClass3, X = kLabelExcluded,
                  L = kLabelReferenceLine;
    // At (40, 40) on an 80 x 80 reference unless the side says otherwise.
    const struct { int side; Pixels pixels; int quick, full; } cases[] = {
        // An excluding label in the first square (row 37) wins over a class
        // later in the scan and a reference line.
        {80, {{37, 37, X}, {43, 43, C1}, {40, 45, L}}, 5, 5},
        // Found only in the second square (half-size 6), by the full form; a
        // class in the first square ends the search before it is seen.
        {80, {{45, 40, X}}, -1, 5},
        {80, {{45, 40, X}, {41, 41, C1}}, 1, 1},
        // (38, 38) is scanned before (42, 39): the second pixel decides. Any
        // other copper label is class 0, line labels change nothing.
        {80, {{38, 38, C1}, {42, 39, C2}}, 2, 2},  {80, {{38, 38, C2}, {42, 39, C1}}, 1, 1},
        {80, {{38, 38, C1}, {42, 39, 200}}, 0, 0}, {80, {{38, 38, C2}, {42, 39, kLabelLine}}, 2, 2},
        {80, {{38, 38, C3}, {42, 39, 153}}, 0, 0}, {80, {{38, 38, C1}, {42, 39, C3}}, 3, 3},
        // A reference line 5 pixels away lies outside the 7 x 7 square: the
        // quick form finds nothing, the full form nothing either, but the
        // line rule makes the point a line point.
        {80, {{45, 40, L}}, -1, 3},
        // Copper 20 pixels away is found in the square of half-size 24; 49
        // pixels away is beyond the largest (half-size 48), 48 is not.
        {80, {{60, 40, 200}}, -1, 0},
        {100, {{89, 40, 200}}, -1, -1}, {100, {{88, 40, 200}}, -1, 0},
        // A reference line within the square of half-size 10 makes class 3:
        // 11 columns away is outside, the corner of the square inside.
        {80, {{40, 40, C1}, {51, 30, L}}, 1, 1}, {80, {{40, 40, C1}, {50, 30, L}}, 3, 3},
    };
    for (const auto& c : cases) {
        Square ref = image(c.side, c.pixels);
        const ConstGrayView v{ref.data(), c.side, c.side, c.side};
        EXPECT_EQ(regionClassAt(v, 40, 40, true), c.quick) << &c - cases;
        EXPECT_EQ(regionClassAt(v, 40, 40, false), c.full) << &c - cases;
    }
    // Clipping at the image corner: the squares shrink, nothing breaks.
    Square corner = image(20, {{0, 0, C2}});
    EXPECT_EQ(regionClassAt(ConstGrayView{corner.data(), 20, 20, 20}, 1, 1, true), 2);
}

TEST(NearReferenceLine, NearestNonZeroPixelOnTheRingsDecides) {
    constexpr int L = kLabelReferenceLine;
    // Around (30, 30) of a 60 x 60 reference.
    const struct { Pixels pixels; int radius; bool near; } cases[] = {
        // A line on ring 3 is searched with radius 4 (rings 1..3), not 3;
        // below 2 never.
        {{{33, 30, L}}, 10, true}, {{{33, 30, L}}, 3, false}, {{{33, 30, L}}, 4, true}, {{{33, 30, L}}, 1, false},
        {{{33, 30, L}, {28, 29, 200}}, 10, false},  // copper on ring 2 hides it
        {{{30, 30, L}}, 10, false},                  // the point itself is not looked at
        {{{30, 39, L}}, 10, true}, {{{30, 40, L}}, 10, false},  // ring 9 is the last one searched
        // Both on ring 2: (28, 32) on the left side (and the bottom row),
        // (29, 28) only on the top row; the left side is searched first.
        {{{28, 32, 200}, {29, 28, L}}, 10, false}, {{{28, 32, L}, {29, 28, 200}}, 10, true},
    };
    for (const auto& c : cases) {
        Square ref = image(60, c.pixels);
        EXPECT_EQ(nearReferenceLine(ConstGrayView{ref.data(), 60, 60, 60}, 30, 30, c.radius), c.near)
            << &c - cases;
    }
}

// ---------------------------------------------------------------------------
// Two-window comparison, empty test and nearest-blob test.

Square boxes(const Boxes& rects) {
    Square w(kWindowSide);
    for (const auto& [x0, y0, x1, y1] : rects) w.rect(x0, y0, x1, y1, 255);
    return w;
}

TEST(BridgeCount, NearestBlobAlongTheDirectionsMustTouchTwoLargeFeatures) {
    const struct { const char* name; Boxes ref, cam; int result, features; } cases[] = {
        // The camera bar across the centre touches a 26 x 21 feature on the
        // left and one of 15 x 15 = 225 pixels on the right, not enough, or
        // 15 x 16 = 240.
        {"225", {{20, 50, 45, 70}, {75, 53, 89, 67}}, {{40, 58, 80, 62}}, 0, 1},
        {"240", {{20, 50, 45, 70}, {75, 53, 89, 68}}, {{40, 58, 80, 62}}, 2, 2},
        // Two blobs 10 pixels from the centre, right (1, 0) and up (0, -1):
        // at equal distance the right one is examined, bridging or not; the
        // upper one only without it.
        {"right bridges", {{65, 20, 79, 44}, {65, 76, 79, 100}},
         {{70, 58, 74, 62}, {58, 30, 62, 50}, {70, 40, 74, 80}}, 2, 2},
        {"upper bridges", {{40, 20, 59, 34}, {61, 20, 80, 34}}, {{70, 58, 74, 62}, {58, 30, 62, 50}}, 0, 0},
        {"upper alone", {{40, 20, 59, 34}, {61, 20, 80, 34}}, {{58, 30, 62, 50}}, 2, 2},
        {"right alone", {{75, 40, 95, 58}, {75, 62, 95, 80}}, {{70, 58, 100, 62}}, 2, 2},
        {"down-right alone", {{70, 40, 90, 67}, {70, 73, 90, 95}}, {{68, 66, 90, 74}}, 2, 2},
        {"up-right alone", {{70, 25, 90, 47}, {70, 53, 90, 75}}, {{68, 46, 90, 54}}, 2, 2},
        // A feature that meets the blob in the window's first row only.
        {"first row", {{55, 0, 65, 0}, {66, 0, 90, 20}, {45, 30, 58, 50}}, {{58, 0, 62, 50}}, 2, 2},
        // A blob off all eight directions (row 60, column 60 and both
        // diagonals through the centre miss it) is never found: count 1.
        {"off the directions", {{0, 0, 119, 119}}, {{75, 63, 90, 66}}, 0, 1},
    };
    for (const auto& c : cases) {
        Square ref = boxes(c.ref), cam = boxes(c.cam);
        const Square refBefore = ref, camBefore = cam;
        CheckScratch scratch;
        int features = -1;
        const int result = bridgeCount(cam.data(), ref.data(), scratch, &features);
        EXPECT_EQ(std::tuple(result, features, bridgeCount(cam.data(), ref.data(), scratch)),
                  std::tuple(c.result, c.features, c.result)) << c.name;
        EXPECT_TRUE(ref.pixels == refBefore.pixels && cam.pixels == camBefore.pixels) << c.name;
    }
}

TEST(KeepNearestBlob, KeepsTheBlobFirstOnTheRingsWithin29) {
    const struct {
        const char* name;
        Boxes blobs;
        int value, mx, my, regionClass;
        NearestBlob result;
        Boxes kept;
    } cases[] = {
        // Ring 5 before ring 15; any non-zero value is set and comes back 255.
        {"rings", {{65, 58, 70, 62}, {40, 40, 45, 45}}, 7, 0, 0, 2, {0, 0.0f, false}, {{65, 58, 70, 62}}},
        // Two blobs on ring 5: the top side is searched before the left.
        {"tie", {{60, 50, 62, 55}, {50, 60, 55, 62}}, 255, 0, 0, 0, {0, 0.0f, false}, {{60, 50, 62, 55}}},
        // Nothing within 29 pixels: the window is emptied and the class's
        // missing-feature code given; ring 29 is the last searched.
        {"ring 30, class 1", {{90, 60, 90, 60}}, 255, 0, 0, 1, {24, 999.0f}, {}},
        {"ring 30, class 2", {{90, 60, 90, 60}}, 255, 0, 0, 2, {201, 999.0f}, {}},
        {"ring 30, class 3", {{90, 60, 90, 60}}, 255, 0, 0, 3, {9, 999.0f}, {}},
        {"ring 30, class 0", {{90, 60, 90, 60}}, 255, 0, 0, 0, {18, 999.0f}, {}},
        {"ring 30, class -1", {{90, 60, 90, 60}}, 255, 0, 0, -1, {18, 999.0f}, {}},
        {"ring 30, class 4", {{90, 60, 90, 60}}, 255, 0, 0, 4, {18, 999.0f}, {}},
        {"ring 29", {{89, 60, 89, 60}}, 255, 0, 0, 1, {0, 0.0f, false}, {{89, 60, 89, 60}}},
        // The blob spans the window when it covers everything inside the
        // margins: rows 5..114 are (60 - 5) * 2 with my = 5, columns
        // 10..109 (60 - 10) * 2 with mx = 10.
        {"tall", {{58, 5, 62, 114}}, 255, 3, 5, 0, {0, 0.0f, true}, {{58, 5, 62, 114}}},
        {"shorter", {{58, 6, 62, 114}}, 255, 3, 5, 0, {0, 0.0f, false}, {{58, 6, 62, 114}}},
        {"wide", {{10, 58, 109, 62}}, 255, 10, 0, 0, {0, 0.0f, true}, {{10, 58, 109, 62}}},
        {"wide, no margin", {{10, 58, 109, 62}}, 255, 0, 0, 0, {0, 0.0f, false}, {{10, 58, 109, 62}}},
    };
    CheckScratch scratch;
    for (const auto& c : cases) {
        Square w(kWindowSide);
        for (const auto& [x0, y0, x1, y1] : c.blobs) w.rect(x0, y0, x1, y1, static_cast<std::uint8_t>(c.value));
        const NearestBlob r = keepNearestBlob(w.data(), c.mx, c.my, c.regionClass, scratch);
        EXPECT_EQ(std::tuple(r.code, r.score, r.spansWindow, isEmptyWindow(w.data())),
                  std::tuple(c.result.code, c.result.score, c.result.spansWindow, c.kept.empty())) << c.name;
        EXPECT_EQ(w.pixels, boxes(c.kept).pixels) << c.name;
    }
    Square corner(kWindowSide);
    corner.at(119, 119) = 1;  // any set pixel counts
    EXPECT_FALSE(isEmptyWindow(corner.data()));
}

// ---------------------------------------------------------------------------
// Edge comparison: the reference reduced to the features under one camera
// region.

// Reference features, rows 40..80: A (columns 20..40), B (columns 70..90)
// and C (columns 100..110), the last touched by no camera region. The camera
// shows A only in its upper half (copper missing below row 60) and B whole.
// The chosen camera region keeps the whole reference features it touches,
// also where the camera lacks their copper, and nothing else: the
// reference comes back as exactly the kept features.
TEST(CompareEdges, KeepsWholeFeaturesUnderTheChosenRegion) {
    enum { A = 1, B = 2 };
    const struct { const char* name; Rects blob, camera; int mx; int kept; int dots = 0; } cases[] = {
        // 4 blob pixels on A count 3, 3 on B count 2: A, with its rows
        // 61..80 that the camera misses.
        {"counts", {{30, 50, 33, 50, 5}, {80, 50, 82, 50, 5}}, {}, 0, A},
        // A camera region that joins A and B keeps both, not the bridge.
        {"bridge", {{50, 61, 55, 61, 5}}, {{40, 60, 70, 62, 255}}, 0, A | B},
        // 3 pixels on each count 2: the region met first in row order takes
        // the smaller label and wins.
        {"tie B first", {{70, 50, 72, 50, 5}, {38, 51, 40, 51, 5}}, {}, 0, B},
        {"tie A first", {{38, 50, 40, 50, 5}, {70, 51, 72, 51, 5}}, {}, 0, A},
        // One blob pixel on each region labels both but counts nothing: the
        // ring search decides. A's right edge (40) is 20 from the centre, B's
        // left edge (70) 10: B stays.
        {"no counts", {{30, 50, 30, 50, 1}, {80, 60, 80, 60, 1}}, {}, 0, B},
        // A region never labelled still holds 1 and is kept with the one found.
        {"one labelled", {{80, 60, 80, 60, 1}}, {}, 0, A | B},
        // With mx = 30 columns 30..89 are scanned: B's 10 pixels in column 90
        // are not seen, B keeps no label and A wins.
        {"margin", {{38, 50, 40, 50, 5}, {90, 50, 90, 59, 5}}, {}, 30, A},
        {"no margin", {{38, 50, 40, 50, 5}, {90, 50, 90, 59, 5}}, {}, 0, B},
        // Labels run out at 99: 96 dots, each met by one blob pixel, take
        // 2..97, a camera piece in row 20 counting 3 takes 98; A and B then
        // share 99, counting 2 + 2, and win.
        {"labels run out", {{10, 20, 13, 20, 5}, {38, 50, 40, 50, 5}, {70, 51, 72, 51, 5}}, {{10, 20, 13, 20, 255}}, 0, A | B, 96},
    };
    for (const auto& c : cases) {
        Square blob(kWindowSide), cam(kWindowSide), ref(kWindowSide);
        for (const int x0 : {20, 70, 100}) ref.rect(x0, 40, x0 + (x0 == 100 ? 10 : 20), 80, 255);
        cam.rect(20, 40, 40, 60, 255);
        cam.rect(70, 40, 90, 80, 9);
        for (const auto& [x0, y0, x1, y1, v] : c.camera) cam.rect(x0, y0, x1, y1, static_cast<std::uint8_t>(v));
        for (const auto& [x0, y0, x1, y1, v] : c.blob) blob.rect(x0, y0, x1, y1, static_cast<std::uint8_t>(v));
        for (int k = 0; k < c.dots; ++k) cam.at(10 + 2 * (k % 48), 10 + 2 * (k / 48)) = blob.at(10 + 2 * (k % 48), 10 + 2 * (k / 48)) = 5;
        CheckScratch scratch;
        compareEdges(blob.data(), cam.data(), ref.data(), c.mx, 0, scratch);
        Square want(kWindowSide);
        if (c.kept & A) want.rect(20, 40, 40, 80, 255);
        if (c.kept & B) want.rect(70, 40, 90, 80, 255);
        EXPECT_EQ(ref.pixels, want.pixels) << c.name;
    }
    // No camera pixel at all: the reference is emptied.
    Square emptyBlob(kWindowSide), emptyCam(kWindowSide), full(kWindowSide, 255);
    CheckScratch scratch;
    compareEdges(emptyBlob.data(), emptyCam.data(), full.data(), 0, 0, scratch);
    EXPECT_TRUE(isEmptyWindow(full.data()));
}

// ---------------------------------------------------------------------------
// Gap measurement on reference and camera windows.

struct GapCase {
    const char* name;
    Boxes ref, cam;          // drawn on Rpre and Rpost, on Cb and Cc
    Boxes refBeforeOnly;     // drawn on Rpre only
    Boxes cameraCopyCleared;  // cleared on Cc
    std::array<int, 6> result;  // measure, refEmpty, noMatch, the first three history entries
    std::vector<std::array<int, 3>> cameraCopy = {};  // x, y, value of Cc after
    int n = kWindowSide, mx = 0;
};

TEST(MeasureGap, WidestGapOffTheReference) {
    const Boxes line{{20, 0, 39, 119}}, island{{20, 0, 39, 119}, {55, 50, 64, 69}}, square{{10, 10, 30, 30}};
    const GapCase cases[] = {
        // The camera copies a vertical line (columns 20..39, all rows:
        // accepted, 2400 pixels all under the reference) and adds an island
        // 10 wide, 20 high, measured from (55, 50). The reference reaches
        // rows 0 and 119 but neither column 0 nor 119, so the island's extent
        // is its width, 64 - 55 + 1. Cc keeps only the accepted line.
        {"island off a vertical line", line, island, {}, {}, {10, 0, 0, 55, 50, -1}, {{30, 60, 255}, {60, 60, 0}}},
        // Reference across columns 0 and 119: the extent is the height.
        {"island off a horizontal line", {{0, 20, 119, 39}}, {{0, 20, 119, 39}, {55, 50, 64, 69}}, {}, {},
         {20, 0, 0, 55, 50, -1}},
        // Islands touching the reference before the edge comparison, outside
        // the central band (left 80 > 75) or on the margin (mx = 55) are no
        // gaps.
        {"touching the earlier reference", line, island, {{60, 60, 60, 60}}, {}, {0, 0, 0, -1, -1, -1}},
        {"outside the band", line, {{20, 0, 39, 119}, {80, 50, 90, 69}}, {}, {}, {0, 0, 0, -1, -1, -1}},
        {"on the margin", line, island, {}, {}, {0, 0, 0, -1, -1, -1}, {}, kWindowSide, 55},
        // No reference at all: only the blob nearest the centre (3 rings
        // above it, not the one 20 rings below) is measured, by its height
        // 57 - 50 + 1; the far blob is removed, not measured.
        {"without reference", {}, {{58, 50, 62, 57}, {58, 80, 62, 90}}, {}, {}, {8, 1, 1, 58, 50, -1}},
        // Columns 0..70, rows 0..70 touch row 0 and column 0: two border
        // lines are cleared and 71 * 71 - 71 - 70 pixels remain, more than
        // 120: no verdict. Only column 0 touched: one line cleared, the rest
        // measured by its height 70 - 10 + 1.
        {"across two borders", {}, {{0, 0, 70, 70}}, {}, {}, {kNoVerdict, 1, 0, -1, -1, -1}},
        {"across one border", {}, {{0, 10, 70, 70}}, {}, {}, {61, 1, 1, 1, 10, -1}},
        // At the limit: 11 x 13 pixels leave 10 x 12 = 120, judged (and,
        // outside the central band, not measured); 12 x 12 leave 121.
        {"two borders, 120 left", {}, {{0, 0, 10, 12}}, {}, {}, {0, 1, 1, -1, -1, -1}},
        {"two borders, 121 left", {}, {{0, 0, 11, 11}}, {}, {}, {kNoVerdict, 1, 0, -1, -1, -1}},
        // A 21 x 21 reference square (441 > 200 pixels) with no camera region
        // under it or within 10 steps is a missing feature; with 200
        // reference pixels or fewer the measure of the island (its height
        // 70 - 60 + 1) stands.
        {"missing feature", square, {{60, 60, 70, 70}}, {}, {}, {kMissingFeature, 0, 1, 60, 60, -1}},
        {"small reference", {{10, 10, 19, 29}}, {{60, 60, 70, 70}}, {}, {}, {11, 0, 1, 60, 60, -1}},
        // A camera blob over the reference square by 9 of its 64 pixels is
        // rejected at first but lies within 10 steps of the reference: it is
        // accepted after the growth (taken back) and Cc keeps it.
        {"rejected, then near", square, {{28, 28, 35, 35}}, {}, {}, {0, 0, 0, -1, -1, -1}, {{35, 35, 255}}},
        // 11 pixels with 8 under the reference: 8 > 5 but 8 < 11 - 3 fails,
        // nothing is accepted and the feature is missing. 12 pixels with 8
        // under: 8 < 9, accepted.
        {"eleven pixels", square, {{27, 20, 31, 21}, {32, 20, 32, 20}}, {}, {}, {kMissingFeature, 0, 1, -1, -1, -1}},
        {"twelve pixels", square, {{27, 20, 30, 21}, {31, 20, 32, 21}}, {}, {}, {0, 0, 0, -1, -1, -1}},
        // The accepted line is missing from Cc, so noMatch holds. An island
        // is measured first (column 55), then a region on the window's right
        // edge is met: the measure becomes doubtful. The same border region
        // met before any measure leaves it alone.
        {"border region after a gap", line, {{20, 0, 39, 119}, {55, 50, 64, 69}, {100, 0, 119, 10}}, {}, line,
         {kNoVerdict, 0, 1, 55, 50, -1}},
        {"border region before a gap", line, {{20, 0, 39, 119}, {55, 50, 64, 69}, {45, 0, 48, 5}}, {}, line,
         {10, 0, 1, 55, 50, -1}},
        // The enlarged window: the central band is 90..150. An island 20
        // wide off a vertical line is measured; one left of 90 is not.
        {"enlarged", {{40, 0, 79, 239}}, {{40, 0, 79, 239}, {110, 100, 129, 139}}, {}, {}, {20, 0, 0, 110, 100, -1},
         {}, 240},
        {"enlarged, left of the band", {{40, 0, 79, 239}}, {{40, 0, 79, 239}, {85, 100, 89, 139}}, {}, {},
         {0, 0, 0, -1, -1, -1}, {}, 240},
    };
    for (const GapCase& c : cases) {
        SCOPED_TRACE(c.name);
        Square rPre(c.n), rPost(c.n), cb(c.n), cc(c.n);
        for (const auto& [x0, y0, x1, y1] : c.ref) rPre.rect(x0, y0, x1, y1, 255), rPost.rect(x0, y0, x1, y1, 255);
        for (const auto& [x0, y0, x1, y1] : c.cam) cb.rect(x0, y0, x1, y1, 255), cc.rect(x0, y0, x1, y1, 255);
        for (const auto& [x0, y0, x1, y1] : c.refBeforeOnly) rPre.rect(x0, y0, x1, y1, 255);
        for (const auto& [x0, y0, x1, y1] : c.cameraCopyCleared) cc.rect(x0, y0, x1, y1, 0);
        const std::vector<std::uint8_t> refAfter = rPost.pixels;
        int h[20];
        std::fill(h, h + 20, -1);
        CheckScratch scratch;
        const GapResult r = measureGap(rPre.data(), rPost.data(), cb.data(), cc.data(), c.n, c.mx, 0, h, scratch);
        EXPECT_EQ((std::array<int, 6>{r.measure, r.refEmpty, r.noMatch, h[0], h[1], h[2]}), c.result);
        for (const auto& [x, y, v] : c.cameraCopy) EXPECT_EQ(cc.at(x, y), v) << x << "," << y;
        EXPECT_EQ(rPost.pixels, refAfter);  // Rpost is restored
    }
}

// ---------------------------------------------------------------------------
// Hole-size check: the nearest measured hole and the verdict on its radii.

TEST(HoleSizeVerdict, RelativeLimitsComeBeforeAbsoluteOnes) {
    // r1 = 12 against r0 = 10: d = 2, q = 0.2; r1 = 8: d = -2, -q = 0.2.
    // 1.01f - 1 is the float just below 0.01: no difference, even with every
    // limit at 0; a little more is one.
    const struct { float r0, r1, lr, sr, la, sa; int code; float score; } cases[] = {
        {10, 12, 0.1f, 0.1f, 1, 1, 1401, 0.2f}, {10, 12, 0.5f, 0.1f, 1, 1, 1403, 2.0f},
        {10, 12, 0.5f, 0, 3, 0, 0, 0.0f},       {10, 8, 0.1f, 0.1f, 1, 1, 1402, 0.2f},
        {10, 8, 0.1f, 0.5f, 1, 1, 1404, 2.0f},  {10, 8, 0, 0.5f, 0, 3, 0, 0.0f},
        {1, 1.01f, 0, 0, 0, 0, 0, 0.0f},        {1, 0.99f, 0, 0, 0, 0, 0, 0.0f},
        {1, 1.0101f, 0, 0, 0, 0, 1401, -1},     {1, 0.9899f, 0, 0, 0, 0, 1402, -1},
        // A change exactly at a relative limit is within it.
        {10, 12, 0.2f, 0, 3, 0, 0, 0.0f},       {10, 8, 0, 0.2f, 0, 3, 0, 0.0f},
    };
    for (const auto& c : cases) {
        InspectParams p;  // the relative and absolute limits, larger and smaller
        p.value[29] = c.lr, p.value[30] = c.sr, p.value[31] = c.la, p.value[32] = c.sa;
        float score = -1.0f;
        EXPECT_EQ(holeSizeVerdict(c.r0, c.r1, p, &score), c.code)
            << c.r0 << " " << c.r1;
        if (c.score >= 0) { EXPECT_FLOAT_EQ(score, c.score) << c.r0 << " " << c.r1; }
    }
}

// A hole of radius 30 at the window centre whose copper ring covers only
// the first n of the 50 rays (ray i points at (i + 0.5) 7.2 - 180 degrees)
// in the reference, the whole ring around a hole of radius 34 in the
// camera: the reference hole is measured only when more than 16 rays find
// its edge, and then the camera's is larger beyond the 10 % limit.
TEST(HoleSizeCheck, TheReferenceHoleNeedsMoreThanSixteenEdges) {
    const auto ring = [](double hole, double end) {
        Square s(120);
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 120; ++x) {
                const double r = std::hypot(x - 60, y - 60), a = std::atan2(y - 60, x - 60) * 180 / M_PI;
                if (r >= hole && r <= hole + 20 && a <= end) s.at(x, y) = 255;
            }
        return s;
    };
    Square camera = ring(34, 180);
    const std::int32_t origin[2] = {0, 0};
    const HoleRecord holes[] = {{12, 500, 500, 30}};
    InspectParams p;
    p.value[29] = p.value[30] = 0.1f, p.value[31] = p.value[32] = 100.0f;
    for (const auto& [rays, code] : {std::pair{16, 0}, {17, 1401}}) {
        Square reference = ring(30, -180 + 7.2 * rays);
        float score = -1.0f;
        EXPECT_EQ(holeSizeCheck(ConstGrayView{reference.data(), 120, 120, 120}, ConstGrayView{camera.data(), 120, 120, 120},
                                origin, 500, 500, holes, 1, p, &score),
                  code) << rays << " rays, score " << score;
    }
}

// ---------------------------------------------------------------------------
// Pad-area test, pad test and run count.

TEST(PadAreaTest, OtherFeaturesWithinTheLimitFail) {
    const struct { Rects rects; std::vector<std::pair<int, bool>> verdicts; } cases[] = {  // limit, result
        // A limit below one fails.
        {{{50, 50, 70, 70, 255}}, {{0, false}, {1, true}}},
        // The centre lies on the pad 50..70 (any non-zero label is copper);
        // the first pixel off it on the rings around the centre is (49, 49),
        // the corner of the top side of ring 11. A second pad at columns
        // 60..70, rows 35..40 lies 11 rings from there: it counts with a
        // limit of 12 (rings 0..11), not with 11.
        {{{50, 50, 70, 70, 200}, {60, 35, 70, 40, 255}}, {{11, true}, {12, false}}},
        // A separate pixel 3 rings left of (49, 49) is erased like the pad
        // itself; one 4 rings away is a neighbour within rings 0..4.
        {{{50, 50, 70, 70, 255}, {46, 49, 46, 49, 255}}, {{20, true}}},
        {{{50, 50, 70, 70, 255}, {45, 49, 45, 49, 255}}, {{20, false}, {4, true}}},
        // The centre open: the first copper on the rings is the pad's corner
        // (65, 55) on ring 5 (top side first); the other pad lies 12 rings
        // right of it (77 - 65).
        {{{65, 55, 68, 58, 255}, {77, 40, 80, 80, 255}}, {{12, true}, {13, false}}},
    };
    CheckScratch scratch;
    for (const auto& c : cases) {
        Square r(kWindowSide);
        for (const auto& [x0, y0, x1, y1, v] : c.rects) r.rect(x0, y0, x1, y1, static_cast<std::uint8_t>(v));
        const std::vector<std::uint8_t> before = r.pixels;
        for (const auto& [limit, result] : c.verdicts)
            EXPECT_EQ(padAreaTest(r.data(), limit, scratch), result) << &c - cases << " limit " << limit;
        EXPECT_EQ(r.pixels, before);  // works on a copy
    }
}

TEST(RunCount, LongestRunOfValidPoints) {
    const PointF v{1.0f, 2.0f}, x{-1.0f, 5.0f}, zero{0.0f, 0.0f};
    const struct { std::vector<PointF> points; int startIn, count, start; } cases[] = {
        // The last entry is overwritten first, so the runs are 2, 3 and 2.
        {{v, v, x, v, zero, v, x, v, v, v}, 0, 3, 3},
        {{x, v, v, x, v, v, x}, 0, 2, 1},  // equal runs: the first wins
        {{v, v, v, v, v}, 9, 4, 0},        // all valid: the run ends one short
        {{x, PointF{3.0f, -0.5f}, v}, 7, 0, 7},  // none valid: start left alone
    };
    for (const auto& c : cases) {
        std::vector<PointF> p = c.points;
        int start = c.startIn;
        const int count = runCount(p.data(), static_cast<int>(p.size()), &start);
        EXPECT_EQ(std::tuple(count, start, p.back().x, p.back().y), std::tuple(c.count, c.start, -1.0f, -1.0f))
            << &c - cases;
    }
    // No points: nothing is written, not even just before them.
    PointF two[2] = {v, v};
    int start = 5;
    EXPECT_EQ(runCount(two + 1, 0, &start), 0);
    EXPECT_TRUE(two[0].x == 1.0f && start == 5);
}

// A round opening of radius 50 around (30, 60) in the copper, left of the
// window centre. Seen in both windows, the widest open place lies on the
// row of the centre and the pad's edge is round and faces the centre: the
// test holds, and a quarter of the edge drawn on whole pixels fits the
// opening to within a pixel (49.3 around (30.5, 59.3)). A
// camera without open area (the widest open place below 5), or an open
// camera area over reference copper, fails and leaves the outputs alone.
TEST(PadTest, FindsARoundEdgeAroundAnOpening) {
    for (const auto& [inRef, inCam] : {std::pair{true, true}, std::pair{true, false}, std::pair{false, true}}) {
        Square ref(kWindowSide, 255), cam(kWindowSide, 255);
        if (inRef) Canvas(ref).disc(30, 60, 50, 0);
        if (inCam) Canvas(cam).disc(30, 60, 50, 0);
        CheckScratch scratch;
        float best = 999.0f;
        Circle circle{1.0f, 2.0f, 3.0f};
        const bool found = inRef && inCam;
        EXPECT_EQ(padTest(ref.data(), cam.data(), kWindowSide, 90, 0.5f, &best, &circle, scratch), found);
        EXPECT_FLOAT_EQ(best, found ? 0.337760925f : 999.0f);
        EXPECT_FLOAT_EQ(circle.x, found ? 30.450985f : 1.0f);
        EXPECT_FLOAT_EQ(circle.y, found ? 59.3186073f : 2.0f);
        EXPECT_FLOAT_EQ(circle.radius, found ? 49.324585f : 3.0f);
    }
    // The camera's only open area a strip along the centre row, toward the
    // opening: 9 pixels wide (half width 5) it is searched and the edge
    // found; 8 wide (half width 4) it is too narrow to look from.
    for (const int w : {8, 9}) {
        Square ref(kWindowSide, 255), cam(kWindowSide, 255);
        Canvas(ref).disc(30, 60, 50, 0);
        cam.rect(0, 56, 40, 56 + w - 1, 0);
        CheckScratch scratch;
        float best = 999.0f;
        Circle circle{};
        EXPECT_EQ(padTest(ref.data(), cam.data(), kWindowSide, 90, 0.5f, &best, &circle, scratch), w == 9) << w;
    }
    // An opening of radius 20 is too small for a pad's edge (30 at least).
    Square ref(kWindowSide, 255), cam(kWindowSide, 255);
    Canvas(ref).disc(45, 60, 20, 0);
    Canvas(cam).disc(45, 60, 20, 0);
    CheckScratch scratch;
    float best = 999.0f;
    Circle circle{};
    EXPECT_FALSE(padTest(ref.data(), cam.data(), kWindowSide, 90, 0.5f, &best, &circle, scratch));
}

// ---------------------------------------------------------------------------
// Clean-up of the reference window.

TEST(CleanReference, ShortBumpsGoHolesCloseInPlaceInsideTheMargins) {
    const struct {
        const char* name;
        std::vector<std::array<int, 5>> rects;  // x0, y0, x1, y1, value, drawn in turn
        int margin;
        std::vector<std::array<int, 3>> expected;  // x, y, value after
    } cases[] = {
        // A 2-pixel bump on the top edge (copper below only) and a 1-pixel
        // bump on the left edge go (the latter in the column pass: left 0,
        // right copper); 4 pixels are too long to be a bump. A one-pixel
        // hole is closed with its left neighbour's value.
        {"bumps",
         {{40, 50, 80, 70, 255}, {60, 49, 61, 49, 255}, {45, 71, 48, 71, 255}, {39, 60, 39, 60, 255},
          {60, 60, 60, 60, 0}},
         0,
         {{60, 49, 0}, {61, 49, 0}, {45, 71, 255}, {48, 71, 255}, {39, 60, 0}, {60, 60, 255},
          {40, 50, 255}}},
        {"hole", {{40, 40, 80, 80, 200}, {59, 60, 59, 60, 77}, {60, 60, 60, 60, 0}}, 0, {{60, 60, 77}}},
        // An isolated 2-pixel segment keeps its row run (nothing above or
        // below either pixel: they agree). In the column pass column 60 goes
        // first (left 0, right copper); then column 61 has 0 on both sides.
        {"in place", {{60, 30, 61, 30, 255}}, 0, {{60, 30, 0}, {61, 30, 255}}},
        // The row pass with mx = 0 starts at column 1: a bump over columns
        // 1..2 stays, one over 2..3 or 20..21 goes. The column pass with
        // my = 0 starts at row 0: a spur left of a feature over rows 0..1
        // stays, one over rows 1..2 goes.
        {"first row", {{0, 50, 30, 70, 255}, {1, 49, 2, 49, 255}, {20, 49, 21, 49, 255}}, 0,
         {{1, 49, 255}, {20, 49, 0}}},
        {"second row", {{0, 50, 30, 70, 255}, {2, 49, 3, 49, 255}}, 0, {{2, 49, 0}}},
        {"first column", {{11, 0, 30, 20, 255}, {10, 0, 10, 1, 255}}, 0, {{10, 0, 255}, {10, 1, 255}}},
        {"second column", {{11, 0, 30, 20, 255}, {10, 1, 10, 2, 255}}, 0, {{10, 1, 0}, {10, 2, 0}}},
        // With margins of 10 the row pass covers rows and columns 11..108,
        // the column pass 10..109: bumps in the margins stay, the same bump
        // inside goes.
        {"margins",
         {{40, 6, 80, 20, 255}, {60, 5, 60, 5, 255}, {40, 100, 80, 115, 255}, {60, 116, 60, 116, 255},
          {40, 50, 80, 70, 255}, {60, 49, 60, 49, 255}},
         10,
         {{60, 5, 255}, {60, 116, 255}, {60, 49, 0}}},
    };
    for (const auto& c : cases) {
        Square r(kWindowSide);
        for (const auto& [x0, y0, x1, y1, v] : c.rects) r.rect(x0, y0, x1, y1, static_cast<std::uint8_t>(v));
        cleanReference(r.data(), c.margin, c.margin);
        for (const auto& [x, y, v] : c.expected) EXPECT_EQ(r.at(x, y), v) << c.name << " at " << x << "," << y;
    }
}

// ---------------------------------------------------------------------------
// Direction of the line through the set pixels around a point.

TEST(LineDirection, AngleOfStraightLinesFromTwentyOnePoints) {
    // Angles are converted with 3.14159 instead of pi: 45 degrees come out as
    // 45 * pi / 3.14159 = 45.000038. A vertical fit has the slope 2^23: just
    // below 90 * pi / 3.14159 = 90.000076. 123 marks "no line": the angle is
    // left alone. Only pixels within 20 rows and columns count, and at
    // least 21 of them; two crossing diagonals follow no line within 1.2.
    const struct {
        const char* name;
        int cx, cy;
        std::function<bool(int, int)> set;
        float angle;
    } cases[] = {
        {"y = x", 60, 60, [](int x, int y) { return x == y; }, 45.000038f},
        {"flat", 60, 35, [](int, int y) { return y == 30; }, 0.0f},
        {"y = 120 - x", 60, 60, [](int x, int y) { return x > 0 && y == 120 - x; }, -45.000038f},
        {"20 pixels", 60, 60, [](int x, int y) { return x == 60 && y >= 41 && y <= 60; }, 123.0f},
        {"21 pixels", 60, 60, [](int x, int y) { return x == 60 && y >= 41 && y <= 61; }, 90.000076f},
        {"rows 19..39", 60, 60, [](int x, int y) { return x == 60 && y >= 19 && y <= 39; }, 123.0f},
        {"crossing", 60, 60, [](int x, int y) { return x == y || x == 119 - y; }, 123.0f},
    };
    for (const auto& c : cases) {
        Square w(kWindowSide);
        for (int y = 0; y < kWindowSide; ++y)
            for (int x = 0; x < kWindowSide; ++x)
                if (c.set(x, y)) w.at(x, y) = 9;  // any non-zero value is set
        float angle = 123.0f;
        EXPECT_EQ(LineDirection(w.data(), c.cx, c.cy, &angle), c.angle != 123.0f) << c.name;
        EXPECT_NEAR(angle, c.angle, 1e-5f) << c.name;
    }
}

}  // namespace
}  // namespace pcbinspect
