// Template match scores, interpolated and at whole pixels.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "measures/match_score.h"
#include "support/test_images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::Square;

ConstGrayView cview(Square& s) { return ConstGrayView{s.data(), s.n, s.n, s.n}; }

TEST(MatchScore, NoSampleOnTheImageScoresOne) {
    Square img(20, 50), templ(10, 80);
    for (bool diff : {false, true}) {
        MatchOptions o;
        o.differenceMode = diff;
        EXPECT_EQ(MatchScore(cview(img), cview(templ), 500.0f, 500.0f, o), 1.0f);
        std::vector<std::uint8_t> mask(100, 0);
        o.mask = mask.data();
        EXPECT_EQ(MatchScore(cview(img), cview(templ), 10.0f, 10.0f, o), 1.0f);
        EXPECT_EQ(WindowMatchScore(cview(img), cview(templ), 10, 10, o), 1.0f);
    }
}

TEST(MatchScore, IdentityPlacementSamplesItsLastRowAndColumnOutside) {
    // Difference mode without the neutral flag: the 19 + 19 + 1 outside
    // samples of a 20 x 20 template add 255^2 each; the 361 inside ones
    // match exactly (both constant), so the score is
    // (1 - 39 * 65025 / 401 / 65025)^5.
    Square img(20, 90), templ(20, 90);
    MatchOptions o;
    o.differenceMode = true;
    const float score = MatchScore(cview(img), cview(templ), 10.0f, 10.0f, o);
    EXPECT_FLOAT_EQ(score, static_cast<float>(std::pow(1.0 - 39.0 / 401.0, 5)));
    o.outsideIsNeutral = true;
    EXPECT_EQ(MatchScore(cview(img), cview(templ), 10.0f, 10.0f, o), 1.0f);
}

TEST(MatchScore, ConstantTemplateInCorrelationMode) {
    // Every t is 0 and becomes 1, so sum t^2 = n; with a matching constant
    // image every p becomes 1 as well: the score is exactly 1.
    Square img(30, 120), templ(10, 120);
    MatchOptions o;
    o.outsideIsNeutral = true;
    EXPECT_FLOAT_EQ(MatchScore(cview(img), cview(templ), 15.0f, 15.0f, o), 1.0f);
}

TEST(MatchScore, CorrelationIgnoresTheSign) {
    // A checkerboard of 0/200 and its inverse: mean-free values of +-100,
    // opposite signs, same absolute score (1 when the placement is exact).
    Square img(24), inv(24), templ(12);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 24; ++x) {
            img.at(x, y) = ((x / 2 + y / 2) % 2) ? 200 : 0;
            inv.at(x, y) = ((x / 2 + y / 2) % 2) ? 0 : 200;
        }
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 12; ++x) templ.at(x, y) = img.at(x + 6, y + 6);
    MatchOptions o;
    o.outsideIsNeutral = true;
    const float same = MatchScore(cview(img), cview(templ), 12.0f, 12.0f, o);
    const float opposite = MatchScore(cview(inv), cview(templ), 12.0f, 12.0f, o);
    EXPECT_FLOAT_EQ(same, 1.0f);
    EXPECT_FLOAT_EQ(opposite, same);
    // Off by one pixel the agreement drops.
    EXPECT_LT(MatchScore(cview(img), cview(templ), 13.0f, 12.0f, o), 0.9f);
}

TEST(MatchScore, StepSamplesMultiplesOnly) {
    // A template that is 255 on multiples of 3 and 0 elsewhere, laid on an
    // all-255 image: with step 3 only the 255s are used and they match.
    Square img(240, 255), templ(240, 0);
    for (int y = 0; y < 240; y += 3)
        for (int x = 0; x < 240; x += 3) templ.at(x, y) = 255;
    MatchOptions o;
    o.step = 3;
    o.differenceMode = true;
    o.outsideIsNeutral = true;
    EXPECT_EQ(MatchScore(cview(img), cview(templ), 120.0f, 120.0f, o), 1.0f);
    o.step = 1;
    EXPECT_LT(MatchScore(cview(img), cview(templ), 120.0f, 120.0f, o), 1.0f);
}

TEST(MatchScore, RotationByNinetyDegreesTurnsTheTemplate) {
    // A bar along x matches the image's bar along y after a quarter turn.
    Square img(60), templ(41);
    Canvas(img).rect(27, 10, 33, 50, 200);
    Canvas(templ).rect(0, 17, 40, 23, 200);
    MatchOptions o;
    o.outsideIsNeutral = true;
    o.angle = 90.0f;
    const float turned = MatchScore(cview(img), cview(templ), 30.0f, 30.0f, o);
    o.angle = 0.0f;
    const float straight = MatchScore(cview(img), cview(templ), 30.0f, 30.0f, o);
    EXPECT_GT(turned, 0.95f);
    EXPECT_LT(straight, 0.5f);
}

TEST(WindowMatchScore, WholePixelPlacementAndUnroundedMeans) {
    Square img(30), templ(10);
    Canvas(img).rect(10, 10, 19, 19, 100);
    Canvas(templ).rect(0, 0, 9, 9, 100);
    MatchOptions o;
    o.differenceMode = true;
    o.outsideIsNeutral = true;
    // Corner at (15 - 5, 15 - 5): an exact match.
    EXPECT_EQ(WindowMatchScore(cview(img), cview(templ), 15, 15, o), 1.0f);
    // Half off the image at the top-left: the inside samples still match.
    Square edge(30, 100);
    EXPECT_EQ(WindowMatchScore(cview(edge), cview(templ), 2, 2, o), 1.0f);
    // Without the neutral flag each outside sample adds 255 (not 255^2):
    // 100 samples, 7 x 7 = 49 inside; (1 - 51 * 255 / 101 / 65025)^5.
    o.outsideIsNeutral = false;
    EXPECT_FLOAT_EQ(WindowMatchScore(cview(edge), cview(templ), 2, 2, o),
                    static_cast<float>(std::pow(1.0 - 51.0 * 255.0 / 101.0 / 65025.0, 5)));
}

}  // namespace
}  // namespace pcbinspect
