// Template match scores, interpolated and at whole pixels.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "imaging/match_score.h"
#include "boards/images.h"

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

namespace pcbinspect {
namespace {

// The score written out plainly, sample by sample, as an independent model
// of the arithmetic: truncated means, values near zero replaced by 1, sums
// in double precision.
float modelCorrelation(const Square& img, const Square& templ, float cx, float cy, int step) {
    std::vector<float> image;
    std::vector<int> tv;
    std::vector<bool> in;
    double sumI = 0;
    long long sumT = 0;
    int inside = 0;
    for (int v = 0; v < templ.n; v += step)
        for (int u = 0; u < templ.n; u += step) {
            const float a = static_cast<float>(u - templ.n / 2), b = static_cast<float>(v - templ.n / 2);
            const float r = a * 0.0f + b * 1.0f + cy, c = a * 1.0f - b * 0.0f + cx;
            const int row = static_cast<int>(r), col = static_cast<int>(c);
            const int t = templ.pixels[v * templ.n + u];
            tv.push_back(t);
            sumT += t;
            const bool ok = row >= 0 && row <= img.n - 2 && col >= 0 && col <= img.n - 2;
            in.push_back(ok);
            float value = 0;
            if (ok) {
                const float fr = r - row, fc = c - col;
                auto px = [&](int x, int y) { return img.pixels[y * img.n + x]; };
                value = px(col, row) * (1 - fr) * (1 - fc) + px(col, row + 1) * fr * (1 - fc) +
                        px(col + 1, row) * (1 - fr) * fc + px(col + 1, row + 1) * fr * fc;
                sumI += value;
                ++inside;
            }
            image.push_back(value);
        }
    const float mi = static_cast<float>(static_cast<int>(sumI / inside));
    const float mt = static_cast<float>(sumT / static_cast<long long>(tv.size()));
    double spt = 0, spp = 0, stt = 0;
    for (std::size_t i = 0; i < tv.size(); ++i) {
        float p = in[i] ? image[i] - mi : 255.0f, t = in[i] ? tv[i] - mt : 1.0f;
        if (p > -1 && p < 1) p = 1;
        if (t > -1 && t < 1) t = 1;
        spt += static_cast<double>(p) * t;
        spp += static_cast<double>(p) * p;
        stt += static_cast<double>(t) * t;
    }
    return static_cast<float>(std::fabs(spt) / (std::sqrt(stt) * std::sqrt(spp)));
}

TEST(MatchScore, UnrotatedScoresEqualThePlainModelToTheBit) {
    std::mt19937 rng(5);
    for (int i = 0; i < 20; ++i) {
        Square img(37), templ(20);
        for (auto& v : img.pixels) v = static_cast<std::uint8_t>(rng() % 256);
        for (auto& v : templ.pixels) v = static_cast<std::uint8_t>(rng() % 256);
        const float cx = 5.0f + (rng() % 2700) / 100.0f, cy = 5.0f + (rng() % 2700) / 100.0f;
        const int step = 1 + static_cast<int>(rng() % 3);
        MatchOptions o;
        o.step = step;
        EXPECT_EQ(MatchScore(cview(img), cview(templ), cx, cy, o),
                  modelCorrelation(img, templ, cx, cy, step))
            << i;
    }
}

}  // namespace
}  // namespace pcbinspect

namespace pcbinspect {
namespace {

// The prepared plan, one position at a time and four side by side, gives
// the general routine's score to the bit, also where a position puts part
// of a masked template off the image.
TEST(WindowMatchPlan, BatchedScoresEqualTheGeneralRoutine) {
    std::mt19937 rng(9);
    for (int round = 0; round < 12; ++round) {
        Square img(40 + static_cast<int>(rng() % 20)), templ(24);
        for (auto& v : img.pixels) v = static_cast<std::uint8_t>(rng() % 256);
        for (auto& v : templ.pixels) v = static_cast<std::uint8_t>(rng() % 256);
        std::vector<std::uint8_t> mask(templ.pixels.size());
        for (auto& m : mask) m = rng() % 4 == 0 ? 0 : 255;
        MatchOptions o;
        o.step = 1 + static_cast<int>(rng() % 3);
        o.mask = round % 2 ? mask.data() : nullptr;
        o.outsideIsNeutral = true;
        o.differenceMode = true;
        WindowMatchPlan plan;
        plan.prepare(cview(templ), o);
        std::vector<int> cx, cy;
        for (int i = 0; i < 11; ++i) {  // two groups of four and three alone
            cx.push_back(static_cast<int>(rng() % (img.n + 30)) - 15);
            cy.push_back(static_cast<int>(rng() % (img.n + 30)) - 15);
        }
        std::vector<float> batched(cx.size());
        plan.scores(cview(img), cx.data(), cy.data(), static_cast<int>(cx.size()), batched.data());
        for (std::size_t i = 0; i < cx.size(); ++i) {
            const float general = WindowMatchScore(cview(img), cview(templ), cx[i], cy[i], o);
            EXPECT_EQ(plan.score(cview(img), cx[i], cy[i]), general) << round << "/" << i;
            EXPECT_EQ(batched[i], general) << round << "/" << i;
        }
    }
}

}  // namespace
}  // namespace pcbinspect
