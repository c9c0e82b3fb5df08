// Hole-size check: the nearest measured hole and the verdict on its radii.
#include <gtest/gtest.h>

#include "inspect/window_checks.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::Square;

InspectParams limits(float largerRel, float smallerRel, float largerAbs, float smallerAbs) {
    InspectParams p;
    p.value[29] = largerRel;
    p.value[30] = smallerRel;
    p.value[31] = largerAbs;
    p.value[32] = smallerAbs;
    return p;
}

TEST(HoleSizeVerdict, RelativeLimitsComeBeforeAbsoluteOnes) {
    float score = -1.0f;
    // r0 = 10, r1 = 12: d = 2, q = 0.2.
    EXPECT_EQ(holeSizeVerdict(10.0f, 12.0f, limits(0.1f, 0.1f, 1.0f, 1.0f), &score), 1401);
    EXPECT_FLOAT_EQ(score, 0.2f);
    EXPECT_EQ(holeSizeVerdict(10.0f, 12.0f, limits(0.5f, 0.1f, 1.0f, 1.0f), &score), 1403);
    EXPECT_FLOAT_EQ(score, 2.0f);
    EXPECT_EQ(holeSizeVerdict(10.0f, 12.0f, limits(0.5f, 0.0f, 3.0f, 0.0f), &score), 0);
    EXPECT_EQ(score, 0.0f);
    // r1 = 8: d = -2, -q = 0.2.
    EXPECT_EQ(holeSizeVerdict(10.0f, 8.0f, limits(0.1f, 0.1f, 1.0f, 1.0f), &score), 1402);
    EXPECT_FLOAT_EQ(score, 0.2f);
    EXPECT_EQ(holeSizeVerdict(10.0f, 8.0f, limits(0.1f, 0.5f, 1.0f, 1.0f), &score), 1404);
    EXPECT_FLOAT_EQ(score, 2.0f);
    EXPECT_EQ(holeSizeVerdict(10.0f, 8.0f, limits(0.0f, 0.5f, 0.0f, 3.0f), &score), 0);
}

TEST(HoleSizeVerdict, ADifferenceOfOneHundredthIsNone) {
    float score = -1.0f;
    const InspectParams none = limits(0.0f, 0.0f, 0.0f, 0.0f);
    // 1.01f - 1 is the float just below 0.01: no difference, even with
    // every limit at 0.
    EXPECT_EQ(holeSizeVerdict(1.0f, 1.01f, none, &score), 0);
    EXPECT_EQ(holeSizeVerdict(1.0f, 0.99f, none, &score), 0);
    // A little more is a difference.
    EXPECT_EQ(holeSizeVerdict(1.0f, 1.0101f, none, &score), 1401);
    EXPECT_EQ(holeSizeVerdict(1.0f, 0.9899f, none, &score), 1402);
}

// Reference and camera windows of copper with a round hole each. The views
// are 200 x 200 so that holes up to 80 pixels from the centre (60, 60)
// still lie inside them.
struct HoleWindows {
    Square ref{200, 255}, cam{200, 255};
    void hole(int x, int y, double refRadius, double camRadius) {
        Canvas(ref).disc(x, y, refRadius, 0);
        Canvas(cam).disc(x, y, camRadius, 0);
    }
    ConstGrayView refView() { return ConstGrayView{ref.data(), 200, 200, 200}; }
    ConstGrayView camView() { return ConstGrayView{cam.data(), 200, 200, 200}; }
};

TEST(HoleSizeCheck, MeasuresTheNearestKindTwelveHole) {
    // The candidate is at reference (500, 400); the hole list is offset by
    // the origin (1000, 2000). A camera hole of radius 24 against 20 is
    // about a fifth larger; 16 against 20 a fifth smaller.
    const std::int32_t origin[2] = {1000, 2000};
    const InspectParams p = limits(0.1f, 0.1f, 100.0f, 100.0f);
    for (const auto& [camRadius, code] : {std::pair{24.0, 1401}, std::pair{16.0, 1402}}) {
        HoleWindows w;
        w.hole(70, 65, 20, camRadius);  // (10, 5) from the centre
        const HoleRecord holes[] = {
            {11, 1500, 2400, 20},  // other kinds are not measured, however near
            {12, 1510, 2405, 20},
        };
        float score = 0.0f;
        EXPECT_EQ(holeSizeCheck(w.refView(), w.camView(), origin, 500, 400, holes, 2, p, &score),
                  code);
        EXPECT_NEAR(score, 0.2f, 0.03f);
    }
}

TEST(HoleSizeCheck, HolesEightyPixelsAwayAreNotMeasured) {
    const std::int32_t origin[2] = {0, 0};
    const InspectParams p = limits(0.1f, 0.1f, 100.0f, 100.0f);
    // 48^2 + 64^2 = 6400: exactly 80 pixels. One row nearer, 6273, is measured.
    for (const auto& [dy, code] : {std::pair{64, 0}, std::pair{63, 1401}}) {
        HoleWindows w;
        w.hole(60 + 48, 60 + dy, 15, 18);
        const HoleRecord holes[] = {{12, 300 + 48, 300 + dy, 15}};
        float score = 0.0f;
        EXPECT_EQ(holeSizeCheck(w.refView(), w.camView(), origin, 300, 300, holes, 1, p, &score),
                  code)
            << dy;
    }
    // No kind-12 record at all.
    HoleWindows w;
    w.hole(60, 60, 15, 18);
    const HoleRecord other[] = {{3, 300, 300, 15}};
    float score = 0.0f;
    EXPECT_EQ(holeSizeCheck(w.refView(), w.camView(), origin, 300, 300, other, 1, p, &score), 0);
}

TEST(HoleSizeCheck, EqualDistancesKeepTheEarlierRecord) {
    // Two holes 30 pixels left and right; the camera's left hole is larger,
    // its right hole smaller.
    const std::int32_t origin[2] = {0, 0};
    const InspectParams p = limits(0.1f, 0.1f, 100.0f, 100.0f);
    HoleWindows w;
    w.hole(90, 60, 12, 15);
    w.hole(30, 60, 12, 9);
    const HoleRecord rightFirst[] = {{12, 130, 100, 12}, {12, 70, 100, 12}};
    const HoleRecord leftFirst[] = {{12, 70, 100, 12}, {12, 130, 100, 12}};
    float score = 0.0f;
    EXPECT_EQ(holeSizeCheck(w.refView(), w.camView(), origin, 100, 100, rightFirst, 2, p, &score),
              1401);
    EXPECT_EQ(holeSizeCheck(w.refView(), w.camView(), origin, 100, 100, leftFirst, 2, p, &score),
              1402);
}

TEST(HoleSizeCheck, AFailedReferenceMeasurementGivesNoVerdict) {
    // The reference holds no hole: no ray finds an edge, d stays 0.
    const std::int32_t origin[2] = {0, 0};
    HoleWindows w;
    Canvas(w.cam).disc(60, 60, 20, 0);
    const HoleRecord holes[] = {{12, 100, 100, 20}};
    float score = 5.0f;
    EXPECT_EQ(holeSizeCheck(w.refView(), w.camView(), origin, 100, 100, holes, 1,
                            limits(0.0f, 0.0f, 0.0f, 0.0f), &score),
              0);
    EXPECT_EQ(score, 0.0f);
}

}  // namespace
}  // namespace pcbinspect
