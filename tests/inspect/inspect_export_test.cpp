// The export inspect: candidate handling, records, suppression, the hole
// pass and bad input.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
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
    std::int32_t control[5] = {0, 0, 0, 0, 0};
    std::int32_t origin[2] = {0, 0};
    std::vector<HoleRecord> holes;
    std::vector<std::int32_t> flaws = std::vector<std::int32_t>(7 * 16, -1);
    int suppress = 0;
    int capacity = 7 * 16;

    Board() {
        ref.fill(0);
        cam.fill(0);
        Canvas(ref).rect(20, 20, 379, 379, 100);
    }

    int run(std::vector<FlawCandidate>& cands, bool checkHoles = false) {
        return inspect(ref.data(), nullptr, 400, 404, 400, cam.data(), 400, 400, 400, 0, 0,
                       params.data(), 35, cands.data(), static_cast<int>(cands.size()), suppress,
                       0, flaws.data(), capacity, nullptr, false, nullptr, 0, origin,
                       holes.data(), static_cast<int>(holes.size()), checkHoles ? 1 : 0, control);
    }
    FlawRecord record(int i) const {
        FlawRecord r;
        std::memcpy(&r, flaws.data() + 7 * i, sizeof r);
        return r;
    }
};

FlawCandidate at(float x, float y) { return FlawCandidate{x, y, x, y, 0.0f}; }

TEST(Inspect, EmptyCameraWindowIsCodeOne) {
    Board b;
    std::vector<FlawCandidate> c{at(200, 200)};
    ASSERT_EQ(b.run(c), 1);
    const FlawRecord r = b.record(0);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.score, 0);
    EXPECT_EQ(r.refX, 200);
    EXPECT_EQ(r.camY, 200);
    EXPECT_EQ(r.region, 0);
    EXPECT_EQ(b.flaws[7], -1);  // nothing past the record
}

TEST(Inspect, CandidatesNearTheCameraBorderAreSkipped) {
    Board b;
    std::vector<FlawCandidate> inside{at(47, 200), at(200, 353)};
    EXPECT_EQ(b.run(inside), 2);  // exactly 47 from the left and the bottom border
    Board c;
    std::vector<FlawCandidate> outside{at(46, 200), at(200, 46), at(354, 200), at(200, 353.6f)};
    EXPECT_EQ(c.run(outside), 0);  // 353.6 rounds to 354
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
            std::vector<FlawCandidate> c{odd, at(150, 150)};
            ASSERT_EQ(b.run(c), 1) << bad << (inY ? " in y" : " in x");
            EXPECT_EQ(b.record(0).refX, 150);
        }
    }
    // Far outside the reference but within reach, the window is read as
    // empty: the camera, empty as well, gives code 1 as inside.
    Board far;
    std::vector<FlawCandidate> c{FlawCandidate{-5.0e8f, 3.0e8f, 200, 200, 0}};
    ASSERT_EQ(far.run(c), 1);
    EXPECT_EQ(far.record(0).code, 1);
}

TEST(Inspect, ExcludedLabelGivesNoRecord) {
    Board b;
    Canvas(b.ref).rect(199, 199, 201, 201, 152);
    std::vector<FlawCandidate> c{at(200, 200)};
    EXPECT_EQ(b.run(c), 0);
}

TEST(Inspect, SuppressionDropsCandidatesWithinTheRadius) {
    Board b;
    b.suppress = 10;
    // After the record at (200, 200): 9 pixels away is dropped, 10 stays.
    std::vector<FlawCandidate> c{at(200, 200), at(209, 200), at(200, 210), at(300, 300)};
    EXPECT_EQ(b.run(c), 3);
    // The dropped candidate's place was taken by the last one.
    EXPECT_EQ(c[1].camX, 300.0f);
    EXPECT_EQ(b.record(1).camX, 300);
    EXPECT_EQ(b.record(2).camY, 210);
}

TEST(Inspect, CapacityBoundsTheRecords) {
    Board b;
    b.capacity = 6;
    std::vector<FlawCandidate> c{at(200, 200)};
    EXPECT_EQ(b.run(c), 0);
    EXPECT_EQ(b.flaws[0], -1);
    Board d;
    d.capacity = 13;  // room for one record only
    std::vector<FlawCandidate> two{at(200, 200), at(300, 300)};
    EXPECT_EQ(d.run(two), 1);
    EXPECT_EQ(d.flaws[7], -1);
}

TEST(Inspect, HolePassReportsHolesClosedInTheCamera) {
    Board b;
    Canvas(b.ref).disc(100, 100, 8, 154);
    Canvas(b.cam).rect(80, 80, 120, 120, 255);  // the camera shows copper there
    b.holes.push_back(HoleRecord{1, 100, 100, 10});
    b.holes.push_back(HoleRecord{12, 100, 100, 10});  // kinds 11 and 12 are skipped
    b.holes.push_back(HoleRecord{1, 300, 300, 10});   // no 154 there: no record
    std::vector<FlawCandidate> none;
    ASSERT_EQ(b.run(none, true), 1);
    const FlawRecord r = b.record(0);
    EXPECT_EQ(r.code, 12);
    EXPECT_EQ(r.refX, 100);
    EXPECT_EQ(r.camY, 100);
    // An open hole gives nothing.
    Board open;
    Canvas(open.ref).disc(100, 100, 8, 154);
    open.holes.push_back(HoleRecord{1, 100, 100, 10});
    EXPECT_EQ(open.run(none, true), 0);
    // Without the hole pass, nothing either.
    EXPECT_EQ(b.run(none, false), 0);
}

TEST(Inspect, RejectsBadArguments) {
    Board b;
    std::vector<FlawCandidate> c{at(200, 200)};
    const auto before = b.ref.pixels();
    EXPECT_EQ(inspect(nullptr, nullptr, 400, 404, 400, b.cam.data(), 400, 400, 400, 0, 0,
                      b.params.data(), 35, c.data(), 1, 0, 0, b.flaws.data(), 112, nullptr, false,
                      nullptr, 0, b.origin, nullptr, 0, 0, b.control),
              0);
    EXPECT_STREQ(getLastError(), "inspect: reference pixels are null");
    EXPECT_EQ(inspect(b.ref.data(), nullptr, 400, 404, 400, b.cam.data(), 400, 400, 400, 0, 0,
                      b.params.data(), 35, nullptr, 1, 0, 0, b.flaws.data(), 112, nullptr, false,
                      nullptr, 0, b.origin, nullptr, 0, 0, b.control),
              0);
    EXPECT_STREQ(getLastError(), "inspect: candidates is null");
    EXPECT_EQ(inspect(b.ref.data(), nullptr, 400, 404, 400, b.cam.data(), 400, 400, 400, 0, 0,
                      b.params.data(), 35, c.data(), 1, 0, 0, b.flaws.data(), 112, nullptr, false,
                      nullptr, 3, b.origin, nullptr, 0, 0, b.control),
              0);
    EXPECT_STREQ(getLastError(), "inspect: toleranceTable is null");
    EXPECT_EQ(b.ref.pixels(), before);
    EXPECT_EQ(b.flaws[0], -1);
    // Candidates far outside both images are skipped.
    std::vector<FlawCandidate> far{FlawCandidate{-1e9f, 5e8f, 1e30f, -1e30f, 0.0f}};
    EXPECT_EQ(b.run(far), 0);
}

}  // namespace
}  // namespace pcbinspect
