// The 240 x 240 re-check stages: pruning, line width with excess and
// missing copper, spacing and enclosed differences.
#include <gtest/gtest.h>

#include <vector>

#include "inspect/recheck_stages.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::Square;

TEST(PruneNearestEnd, ErasesTheBranchEndingNearestTheCentre) {
    // A horizontal skeleton line with a stem rising to end 10 pixels below
    // the centre: three ends, the stem's nearest.
    Square s(240);
    Canvas(s).rect(20, 150, 220, 150, 5);
    Canvas(s).rect(120, 130, 120, 149, 5);
    int limit = 0;
    PruneNearestEnd(s.data(), &limit);
    EXPECT_EQ(limit, 2);  // three ends found, minus one
    EXPECT_EQ(s.at(120, 130), 0);
    EXPECT_EQ(s.at(120, 148), 0);  // erased up to the fork
    EXPECT_EQ(s.at(120, 150), 5);
    EXPECT_EQ(s.at(20, 150), 5);
    // With a limit of 2 nothing more goes: two ends remain.
    PruneNearestEnd(s.data(), &limit);
    EXPECT_EQ(limit, 2);
    EXPECT_EQ(s.at(21, 150), 5);
}

// Masks and label tile of one candidate.
struct Recheck {
    Square a{240}, b{240}, pristineA{240}, pristineB{240}, tile{120};
    std::vector<std::uint8_t> scratch = std::vector<std::uint8_t>(2 * 240 * 240);
    std::vector<float> params = std::vector<float>(35, 100.0f);
    int widthBound = 0, cameraWidthBound = 0;
    float tolerance = 0.0f;

    StageVerdict run() {
        pristineA.pixels = a.pixels;
        pristineB.pixels = b.pixels;
        const InspectParams p = InspectParams::load(params.data(), 35);
        LineWidthInputs in{scratch.data(), tile.data(), pristineA.data(), pristineB.data(),
                           a.data(), b.data(), &p, 0, 0, nullptr, 0, tolerance, widthBound,
                           cameraWidthBound};
        return LineWidthStage(in);
    }
};

// A horizontal line through the centre, `ref` rows thick in the reference
// and `cam` in the camera.
Recheck horizontalLine(int ref, int cam) {
    Recheck r;
    Canvas(r.a).rect(0, 120 - ref / 2, 239, 120 - ref / 2 + ref - 1, 255);
    Canvas(r.b).rect(0, 120 - cam / 2, 239, 120 - cam / 2 + cam - 1, 255);
    return r;
}

TEST(LineWidthStage, WidenedAndNarrowedLines) {
    Recheck wide = horizontalLine(20, 30);
    wide.params[5] = 0.2f;  // widening limit
    const StageVerdict w = wide.run();
    EXPECT_EQ(w.code, 220);
    EXPECT_NEAR(w.score, 0.5f, 0.15f);  // widths 10 and 15: |10 - 15| / 10
    Recheck narrow = horizontalLine(20, 12);
    narrow.params[6] = 0.2f;  // narrowing limit
    const StageVerdict n = narrow.run();
    EXPECT_EQ(n.code, 221);
    EXPECT_NEAR(n.score, 0.4f, 0.15f);  // widths 10 and 6
    EXPECT_FALSE(n.hasOffset);
}

TEST(LineWidthStage, WidthBoundsDecideForThinLines) {
    // Reference width at most control[3] and camera width above control[4]:
    // no width verdict at all.
    Recheck r = horizontalLine(20, 12);
    r.params[6] = 0.2f;
    r.widthBound = 50;
    r.cameraWidthBound = 2;
    EXPECT_EQ(r.run().code, 0);
    // Camera width within control[4]: narrowed, whatever the limit.
    Recheck s = horizontalLine(20, 12);
    s.widthBound = 50;
    s.cameraWidthBound = 50;
    EXPECT_EQ(s.run().code, 221);
}

TEST(LineWidthStage, SkeletonsAwayFromTheCentreEndEarly) {
    // A vertical line at x = 60 ending above the centre: no verdict however
    // different the camera is; the same line across the window is judged.
    Recheck away;
    Canvas(away.a).rect(50, 0, 69, 100, 255);
    Canvas(away.b).rect(45, 0, 74, 100, 255);
    away.params[5] = 0.2f;
    EXPECT_EQ(away.run().code, 0);
    Recheck across;
    Canvas(across.a).rect(110, 0, 129, 239, 255);
    Canvas(across.b).rect(105, 0, 134, 239, 255);
    across.params[5] = 0.2f;
    EXPECT_EQ(across.run().code, 220);
}

TEST(LineWidthStage, ExcessAndMissingCopper) {
    // A blob 20 pixels high beside the line.
    Recheck excess = horizontalLine(20, 20);
    Canvas(excess.b).rect(110, 90, 129, 109, 255);
    excess.params[0] = 0.5f;
    const StageVerdict e = excess.run();
    EXPECT_TRUE(e.code == 210 || e.code == 211) << e.code;
    EXPECT_TRUE(e.hasOffset);
    EXPECT_LT(e.dy, 0);  // above the line
    // A bite half through the line.
    Recheck missing = horizontalLine(30, 30);
    Canvas(missing.b).rect(110, 105, 129, 119, 0);
    missing.params[1] = 0.2f;
    const StageVerdict m = missing.run();
    EXPECT_TRUE(m.code == 200 || m.code == 201) << m.code;
    EXPECT_LE(m.score, 0.99f);
}

TEST(SpacingStage, ReducedGapBetweenParallelLines) {
    // Lines 10 pixels wide, 20 apart in the reference; the lower one grows
    // 8 rows towards the upper one in the camera.
    Square r(120), c(120);
    Canvas(r).rect(0, 40, 119, 49, 255);
    Canvas(r).rect(0, 70, 119, 79, 255);
    Canvas(c).rect(0, 40, 119, 49, 255);
    Canvas(c).rect(0, 62, 119, 79, 255);
    std::vector<float> p(35, 0.0f);
    p[7] = 0.2f;
    float score = 0.0f;
    EXPECT_EQ(SpacingStage(r.data(), c.data(), InspectParams::load(p.data(), 35), &score, nullptr,
                           0),
              23);
    EXPECT_GT(score, 0.2f);
    EXPECT_LT(score, 0.6f);
    EXPECT_EQ(r.at(60, 45), 128);  // the measured conductors are marked
    EXPECT_EQ(c.at(60, 45), 128);
    EXPECT_EQ(r.at(60, 75), 255);
}

TEST(SpacingStage, NeedsTwoConductorsOfModestWidth) {
    std::vector<float> p(35, 0.0f);
    float score = 0.0f;
    Square r(120), c(120);
    Canvas(r).rect(0, 50, 119, 59, 255);
    Canvas(c).rect(0, 50, 119, 59, 255);
    EXPECT_EQ(SpacingStage(r.data(), c.data(), InspectParams::load(p.data(), 35), &score, nullptr,
                           0),
              0);
    Square wr(120), wc(120);
    Canvas(wr).rect(0, 0, 119, 59, 255);  // 60 wide: thickness above 25
    Canvas(wr).rect(0, 80, 119, 89, 255);
    Canvas(wc).rect(0, 0, 119, 59, 255);
    Canvas(wc).rect(0, 65, 119, 89, 255);
    EXPECT_EQ(SpacingStage(wr.data(), wc.data(), InspectParams::load(p.data(), 35), &score,
                           nullptr, 0),
              0);
}

TEST(EnclosedDifferenceCheck, MeasuresEnclosedRegionsOnly) {
    std::vector<std::uint8_t> d(240 * 240);
    float score = -1.0f;
    // Equal masks: nothing to measure.
    Square p(240), q(240);
    Canvas(p).rect(0, 100, 239, 139, 255);
    q.pixels = p.pixels;
    EXPECT_FALSE(EnclosedDifferenceCheck(d.data(), p.data(), q.data(), 0.0f, &score, nullptr, 0));
    EXPECT_EQ(score, -1.0f);
    // p has a 20 x 20 hole that q's copper encloses: it reaches 20 rows
    // across q's width of 39 between its first and last rows.
    Square notched = p;
    Canvas(notched).rect(110, 110, 129, 129, 0);
    Square solid = q;
    EXPECT_TRUE(EnclosedDifferenceCheck(d.data(), notched.data(), solid.data(), 0.3f, &score,
                                        nullptr, 0));
    EXPECT_NEAR(score, 0.5f, 0.1f);
    EXPECT_FALSE(EnclosedDifferenceCheck(d.data(), notched.data(), solid.data(), 0.7f, &score,
                                         nullptr, 0));
    // A hole in q that q's copper encloses is painted into q.
    Square holed = q;
    Canvas(holed).rect(115, 115, 124, 124, 0);
    EnclosedDifferenceCheck(d.data(), p.data(), holed.data(), 0.0f, &score, nullptr, 0);
    EXPECT_EQ(holed.at(120, 120), 255);
    // A gap in q's copper is open to q's background: never measured.
    Square gap = q;
    Canvas(gap).rect(110, 100, 129, 139, 0);
    EXPECT_FALSE(EnclosedDifferenceCheck(d.data(), p.data(), gap.data(), 0.0f, &score, nullptr, 0));
    EXPECT_EQ(gap.at(120, 120), 0);
}

}  // namespace
}  // namespace pcbinspect
