// Template match scores, interpolated and at whole pixels, against a plain
// model of the arithmetic and at placements whose scores are known exactly.
#include <gtest/gtest.h>

#include <algorithm>
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

TEST(MatchScore, ExactScoresAtTheEdgesOfTheImage) {
    // No sample on the image (far away, or every one masked) scores 1.
    Square img(20, 50), templ(10, 80), same(20, 90);
    std::vector<std::uint8_t> mask(100, 0);
    for (bool diff : {false, true}) {
        MatchOptions o;
        o.differenceMode = diff;
        EXPECT_EQ(MatchScore(cview(img), cview(templ), 500.0f, 500.0f, o), 1.0f);
        o.mask = mask.data();
        EXPECT_EQ(MatchScore(cview(img), cview(templ), 10.0f, 10.0f, o), 1.0f);
        EXPECT_EQ(WindowMatchScore(cview(img), cview(templ), 10, 10, o), 1.0f);
    }
    // A 20 x 20 template on a 20 x 20 image: its last row and column sample
    // outside (truncated positions above size - 2), 39 of 400 samples, each
    // adding 255^2 unless the outside is neutral; the 361 inside ones match.
    MatchOptions o;
    o.differenceMode = true;
    EXPECT_FLOAT_EQ(MatchScore(cview(same), cview(same), 10.0f, 10.0f, o),
                    static_cast<float>(std::pow(1.0 - 39.0 / 401.0, 5)));
    o.outsideIsNeutral = true;
    EXPECT_EQ(MatchScore(cview(same), cview(same), 10.0f, 10.0f, o), 1.0f);
}

TEST(WindowMatchScore, WholePixelPlacementAndOutsideSamples) {
    Square img(30), templ(10), edge(30, 100);
    Canvas(img).rect(10, 10, 19, 19, 100);
    Canvas(templ).rect(0, 0, 9, 9, 100);
    MatchOptions o;
    o.differenceMode = o.outsideIsNeutral = true;
    EXPECT_EQ(WindowMatchScore(cview(img), cview(templ), 15, 15, o), 1.0f);  // corner at (10, 10)
    // Half off the image at the top-left: the inside samples still match.
    EXPECT_EQ(WindowMatchScore(cview(edge), cview(templ), 2, 2, o), 1.0f);
    // Without the neutral flag each outside sample adds 255 (not 255^2):
    // 100 samples, 7 x 7 = 49 inside; (1 - 51 * 255 / 101 / 65025)^5.
    o.outsideIsNeutral = false;
    EXPECT_FLOAT_EQ(WindowMatchScore(cview(edge), cview(templ), 2, 2, o),
                    static_cast<float>(std::pow(1.0 - 51.0 * 255.0 / 101.0 / 65025.0, 5)));
}

// The correlation score written out plainly, sample by sample: truncated
// means, values near zero replaced by 1, sums in double precision; a sample
// off the image (NaN here) counts as 255 against 1.
float modelCorrelation(const Square& img, const Square& templ, float cx, float cy, int step) {
    std::vector<float> p;
    std::vector<int> t;
    double sumI = 0;
    long long sumT = 0;
    int inside = 0;
    const auto px = [&](int x, int y) { return img.pixels[y * img.n + x]; };
    for (int v = 0; v < templ.n; v += step)
        for (int u = 0; u < templ.n; u += step) {
            const float r = static_cast<float>(v - templ.n / 2) + cy, c = static_cast<float>(u - templ.n / 2) + cx;
            const int row = static_cast<int>(r), col = static_cast<int>(c);
            t.push_back(templ.pixels[v * templ.n + u]);
            sumT += t.back();
            if (row < 0 || row > img.n - 2 || col < 0 || col > img.n - 2) { p.push_back(NAN); continue; }
            const float fr = r - row, fc = c - col;
            p.push_back(px(col, row) * (1 - fr) * (1 - fc) + px(col, row + 1) * fr * (1 - fc) +
                        px(col + 1, row) * (1 - fr) * fc + px(col + 1, row + 1) * fr * fc);
            sumI += p.back();
            ++inside;
        }
    const float mi = static_cast<float>(static_cast<int>(sumI / inside)), mt = static_cast<float>(sumT / static_cast<long long>(t.size()));
    double spt = 0, spp = 0, stt = 0;
    for (std::size_t i = 0; i < t.size(); ++i) {
        float a = std::isnan(p[i]) ? 255.0f : p[i] - mi, b = std::isnan(p[i]) ? 1.0f : t[i] - mt;
        a = a > -1 && a < 1 ? 1 : a;
        b = b > -1 && b < 1 ? 1 : b;
        spt += static_cast<double>(a) * b, spp += static_cast<double>(a) * a, stt += static_cast<double>(b) * b;
    }
    return static_cast<float>(std::fabs(spt) / (std::sqrt(stt) * std::sqrt(spp)));
}

TEST(MatchScore, UnrotatedScoresEqualThePlainModelToTheBit) {
    std::mt19937 rng(5);
    for (int i = 0; i < 20; ++i) {
        Square img(37), templ(20);
        for (Square* s : {&img, &templ}) std::generate(s->pixels.begin(), s->pixels.end(), [&] { return rng() % 256; });
        const float cx = 5.0f + (rng() % 2700) / 100.0f, cy = 5.0f + (rng() % 2700) / 100.0f;
        MatchOptions o;
        o.step = 1 + static_cast<int>(rng() % 3);
        EXPECT_EQ(MatchScore(cview(img), cview(templ), cx, cy, o), modelCorrelation(img, templ, cx, cy, o.step)) << i;
    }
}

// Half a turn places a template of odd side where the template turned by
// hand lies unturned (the float sine of the turn is not 0, so the general
// placement runs): cut from the image and turned, it matches there again. A
// turn too small to move the cosine off 1 still moves the samples.
TEST(MatchScore, HalfTurnEqualsTheTurnedTemplate) {
    std::mt19937 rng(7);
    Square img(40), templ(21), cut(21);
    std::generate(img.pixels.begin(), img.pixels.end(), [&] { return rng() % 256; });
    for (int v = 0; v < 21; ++v)
        for (int u = 0; u < 21; ++u) cut.at(u, v) = templ.at(20 - u, 20 - v) = img.at(u + 10, v + 10);
    MatchOptions plain, half, tiny;
    half.angle = 180.0f, tiny.angle = 0.01f;
    EXPECT_EQ(MatchScore(cview(img), cview(cut), 20.0f, 20.0f, plain), 1.0f);
    EXPECT_NEAR(MatchScore(cview(img), cview(templ), 20.0f, 20.0f, half), 1.0f, 1e-5f);
    EXPECT_NE(MatchScore(cview(img), cview(cut), 19.3f, 20.6f, tiny), MatchScore(cview(img), cview(cut), 19.3f, 20.6f, plain));
}

// The prepared plan, one position at a time and four side by side, gives
// the general routine's score to the bit, also where a position puts part
// of a masked template off the image.
TEST(WindowMatchPlan, BatchedScoresEqualTheGeneralRoutine) {
    std::mt19937 rng(9);
    for (int round = 0; round < 12; ++round) {
        Square img(40 + static_cast<int>(rng() % 20)), templ(24);
        for (Square* s : {&img, &templ}) std::generate(s->pixels.begin(), s->pixels.end(), [&] { return rng() % 256; });
        std::vector<std::uint8_t> mask(templ.pixels.size());
        for (auto& m : mask) m = rng() % 4 == 0 ? 0 : 255;
        MatchOptions o;
        o.step = 1 + static_cast<int>(rng() % 3);
        o.mask = round % 2 ? mask.data() : nullptr;
        o.outsideIsNeutral = o.differenceMode = true;
        WindowMatchPlan plan;
        plan.prepare(cview(templ), o);
        std::vector<int> cx(11), cy(11);  // two groups of four and three alone
        for (int i = 0; i < 11; ++i) cx[i] = static_cast<int>(rng() % (img.n + 30)) - 15, cy[i] = static_cast<int>(rng() % (img.n + 30)) - 15;
        std::vector<float> batched(cx.size());
        plan.scores(cview(img), cx.data(), cy.data(), static_cast<int>(cx.size()), batched.data());
        for (std::size_t i = 0; i < cx.size(); ++i) {
            const float general = WindowMatchScore(cview(img), cview(templ), cx[i], cy[i], o);
            EXPECT_EQ(plan.score(cview(img), cx[i], cy[i]), general) << round << "/" << i;
            EXPECT_EQ(batched[i], general) << round << "/" << i;
        }
        // Rows of 1 .. 8 centres two apart (8 from every odd column) starting
        // at every column from off the image on the left to off it on the right.
        for (int x0 = -30; x0 < img.n + 15; ++x0) {
            const int n = x0 % 2 != 0 ? 8 : 1 + (x0 + 30) / 2 % 8;
            float row[8];
            plan.scoresAlongRow(cview(img), x0, cy[0], n, row);
            for (int k = 0; k < n; ++k)
                ASSERT_EQ(row[k], WindowMatchScore(cview(img), cview(templ), x0 + 2 * k, cy[0], o)) << round << "/" << x0 << "/" << k;
        }
    }
}

}  // namespace
}  // namespace pcbinspect
