// Scores at several centres at once against the one-centre routine.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "imaging/match_score.h"

namespace pcbinspect {
namespace {

// Whole and fractional centres, on, across and off the image, masked or
// not, neutral outside or not: every batched score equals MatchScore's.
TEST(MatchScores, EqualTheOneCentreScoresToTheBit) {
    std::mt19937 rng(3);
    auto bytes = [&](std::vector<std::uint8_t>& v, int modulo) {
        for (auto& b : v) b = static_cast<std::uint8_t>(rng() % modulo);
    };
    for (int round = 0; round < 16; ++round) {
        const int w = 30 + static_cast<int>(rng() % 30), t = 16;
        std::vector<std::uint8_t> image(static_cast<std::size_t>(w) * w), templ(t * t), mask(t * t);
        bytes(image, 256);
        bytes(templ, 256);
        bytes(mask, 3);
        MatchOptions o;
        o.step = 1 + round % 3;
        o.mask = round % 2 ? mask.data() : nullptr;
        o.outsideIsNeutral = round % 4 < 2;
        o.differenceMode = round != 15;  // correlation takes the one-centre path
        const int n = round == 14 ? 9 : 5;  // more centres than lanes do too
        std::vector<float> cx(n), cy(n), out(n);
        for (int j = 0; j < n; ++j) {
            cx[j] = static_cast<float>(static_cast<int>(rng() % (w + 20)) - 10);
            cy[j] = static_cast<float>(static_cast<int>(rng() % (w + 20)) - 10);
        }
        if (round == 13) cx[2] += 0.5f;  // a fractional centre
        const ConstGrayView img{image.data(), w, w, w}, tv{templ.data(), t, t, t};
        MatchScores(img, tv, cx.data(), cy.data(), n, o, out.data());
        for (int j = 0; j < n; ++j)
            EXPECT_EQ(out[j], MatchScore(img, tv, cx[j], cy[j], o)) << round << "/" << j;
    }
}

}  // namespace
}  // namespace pcbinspect
