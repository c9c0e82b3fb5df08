// The export inspect: candidate handling, records, suppression, the hole
// pass and bad input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <string>
#include <tuple>
#include <vector>

#include "pcbinspect/exports.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::GuardedImage;

// A 400 x 400 reference of plain copper (label 100) in its middle and a
// camera that shows nothing: every examined candidate is an empty window.
struct Board {
    GuardedImage ref{400, 400, 404}, cam{400, 400, 400};
    std::vector<float> params = std::vector<float>(35, 0.0f);
    std::int32_t control[5] = {0, 0, 0, 0, 0}, origin[2] = {0, 0};
    std::vector<HoleRecord> holes;
    std::vector<std::int32_t> flaws = std::vector<std::int32_t>(7 * 16, -1);
    std::vector<FlawCandidate> candidates;  // as the call left them
    int suppress = 0, capacity = 7 * 16, refWidth = 400, refStride = 404, camHeight = 400;
    int toleranceCount = 0;
    bool checkLines = false;
    enum { kRef = 1, kCam = 2, kCandidates = 4, kFlaws = 8, kControl = 16, kParams = 32 };
    int nulls = 0;  // the pointers passed as null

    Board() {
        ref.fill(0);
        cam.fill(0);
        Canvas(ref).rect(20, 20, 379, 379, 100);
    }

    int run(std::vector<FlawCandidate> cands, bool checkHoles = false) {
        candidates = std::move(cands);
        auto pass = [&](auto* p, int bit) { return nulls & bit ? nullptr : p; };
        return inspect(pass(ref.data(), kRef), nullptr, refWidth, refStride, 400, pass(cam.data(), kCam),
                       400, 400, camHeight, 0, 0, pass(params.data(), kParams), 35,
                       pass(candidates.data(), kCandidates), static_cast<int>(candidates.size()),
                       suppress, 0, pass(flaws.data(), kFlaws), capacity, nullptr, checkLines, nullptr,
                       toleranceCount, origin, holes.data(), static_cast<int>(holes.size()),
                       checkHoles ? 1 : 0, pass(control, kControl));
    }
    // Code, score, reference and camera position and region of a record.
    auto record(int i) const {
        FlawRecord r;
        std::memcpy(&r, flaws.data() + 7 * i, sizeof r);
        return std::tuple(r.code, r.score, r.refX, r.refY, r.camX, r.camY, r.region);
    }
};

FlawCandidate at(float x, float y) { return FlawCandidate{x, y, x, y, 0.0f}; }

TEST(Inspect, EmptyCameraWindowIsCodeOne) {
    Board b;
    ASSERT_EQ(b.run({at(200, 200)}), 1);
    EXPECT_EQ(b.record(0), std::tuple(1, 0, 200, 200, 200, 200, 0));
    EXPECT_EQ(b.flaws[7], -1);  // nothing past the record
}

// With the line check on, an empty window within 10 pixels of a reference
// line pixel (on every side) gives no record; 11 pixels away it does.
TEST(Inspect, EmptyWindowNearAReferenceLineGivesNoRecord) {
    for (const auto& [dx, dy] : {std::pair{0, -10}, {0, 10}, {-10, 0}, {10, 0}, {0, -11}, {11, 0}}) {
        Board b;
        b.checkLines = true;
        Canvas(b.ref).rect(200 + dx, 200 + dy, 200 + dx, 200 + dy, 151);
        EXPECT_EQ(b.run({at(200, 200)}), std::abs(dx + dy) > 10 ? 1 : 0) << dx << "," << dy;
    }
}

TEST(Inspect, CandidatesNearTheCameraBorderAreSkipped) {
    // Exactly 47 from the left and the bottom border is examined; 353.6
    // rounds to 354.
    EXPECT_EQ(Board().run({at(47, 200), at(200, 353)}), 2);
    EXPECT_EQ(Board().run({at(46, 200), at(200, 46), at(354, 200), at(200, 353.6f)}), 0);
}

// A reference position that names no place (NaN, infinite, beyond 2^30)
// next to a valid camera position is skipped without touching the window
// arithmetic; candidates after it are examined as usual.
TEST(Inspect, ReferencePositionsOutOfReachAreSkipped) {
    const float inf = std::numeric_limits<float>::infinity();
    for (const float bad : {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 1e30f, -1e30f,
                            1.1e9f, -1.1e9f}) {
        for (const bool inY : {false, true}) {
            Board b;
            FlawCandidate odd = at(200, 200);
            (inY ? odd.refY : odd.refX) = bad;
            ASSERT_EQ(b.run({odd, at(150, 150)}), 1) << bad << (inY ? " in y" : " in x");
            EXPECT_EQ(std::get<2>(b.record(0)), 150);
        }
    }
    // Far outside the reference but within reach, the window is read as
    // empty: the camera, empty as well, gives code 1 as inside.
    Board far;
    ASSERT_EQ(far.run({FlawCandidate{-5.0e8f, 3.0e8f, 200, 200, 0}}), 1);
    EXPECT_EQ(std::get<0>(far.record(0)), 1);
    // Candidates far outside both images are skipped.
    EXPECT_EQ(Board().run({FlawCandidate{-1e9f, 5e8f, 1e30f, -1e30f, 0.0f}}), 0);
}

// A 6 x 6 speck of copper on bare board beside a line: stray copper of
// size 6 (score 600), reported only when its limit is below that.
TEST(Inspect, StrayCopperIsReportedAboveItsLimitOnly) {
    for (const float limit : {5.0f, 6.0f}) {
        Board b;
        Canvas(b.ref).rect(20, 20, 379, 379, 0);
        Canvas(b.ref).rect(20, 150, 379, 169, 170);
        Canvas(b.cam).rect(20, 150, 379, 169, 255);
        Canvas(b.cam).rect(198, 228, 203, 233, 255);
        b.params[23] = limit;
        ASSERT_EQ(b.run({at(200, 230)}), limit < 6.0f ? 1 : 0) << limit;
        if (limit < 6.0f) {
            EXPECT_EQ(b.record(0), std::tuple(29, 600, 200, 230, 200, 230, -1));
        }
    }
}

TEST(Inspect, ExcludedLabelGivesNoRecord) {
    Board b;
    Canvas(b.ref).rect(199, 199, 201, 201, 152);
    EXPECT_EQ(b.run({at(200, 200)}), 0);
}

TEST(Inspect, SuppressionDropsCandidatesWithinTheRadius) {
    Board b;
    b.suppress = 10;
    // After the record at (200, 200): 9 pixels away is dropped, 10 stays;
    // the dropped candidate's place is taken by the last one.
    EXPECT_EQ(b.run({at(200, 200), at(209, 200), at(200, 210), at(300, 300)}), 3);
    EXPECT_EQ(b.candidates[1].camX, 300.0f);
    EXPECT_EQ(std::get<4>(b.record(1)), 300);
    EXPECT_EQ(std::get<5>(b.record(2)), 210);
}

TEST(Inspect, CapacityBoundsTheRecords) {
    // No room for one record, then room for exactly one.
    for (const int capacity : {6, 13}) {
        Board b;
        b.capacity = capacity;
        EXPECT_EQ(b.run({at(200, 200), at(300, 300)}), capacity / 7);
        EXPECT_EQ(b.flaws[7 * (capacity / 7)], -1) << capacity;
    }
}

TEST(Inspect, HolePassReportsHolesClosedInTheCamera) {
    Board b;
    Canvas(b.ref).disc(100, 100, 8, 154);
    Canvas(b.cam).rect(80, 80, 120, 120, 255);  // the camera shows copper there
    b.holes = {{1, 100, 100, 10},
               {12, 100, 100, 10},   // kinds 11 and 12 are skipped
               {1, 300, 300, 10}};   // no 154 there: no record
    ASSERT_EQ(b.run({}, true), 1);
    EXPECT_EQ(b.record(0), std::tuple(12, 0, 100, 100, 100, 100, 0));
    // Without the hole pass, nothing.
    EXPECT_EQ(b.run({}, false), 0);
    // An open hole gives nothing.
    Board open;
    Canvas(open.ref).disc(100, 100, 8, 154);
    open.holes = {{1, 100, 100, 10}};
    EXPECT_EQ(open.run({}, true), 0);
}

TEST(Inspect, RejectsBadArguments) {
    const std::pair<const char*, void (*)(Board&)> cases[] = {
        {"reference pixels are null", [](Board& b) { b.nulls = Board::kRef; }},
        {"camera pixels are null", [](Board& b) { b.nulls = Board::kCam; }},
        {"reference width 0 is below 1", [](Board& b) { b.refWidth = 0; }},
        {"reference stride 399 is below its width 400", [](Board& b) { b.refStride = 399; }},
        {"camera height -1 is below 1", [](Board& b) { b.camHeight = -1; }},
        {"flaws is null", [](Board& b) { b.nulls = Board::kFlaws; }},
        {"control is null", [](Board& b) { b.nulls = Board::kControl; }},
        {"params is null", [](Board& b) { b.nulls = Board::kParams; }},
        {"candidates is null", [](Board& b) { b.nulls = Board::kCandidates; }},
        {"toleranceTable is null", [](Board& b) { b.toleranceCount = 3; }},
    };
    for (const auto& [message, change] : cases) {
        Board b;
        const auto before = b.ref.pixels();
        change(b);
        EXPECT_EQ(b.run({at(200, 200)}), 0) << message;
        EXPECT_EQ(std::string(getLastError()), std::string("inspect: ") + message);
        EXPECT_EQ(b.ref.pixels(), before) << message;
        EXPECT_EQ(b.flaws[0], -1) << message;
    }
}

}  // namespace
}  // namespace pcbinspect
