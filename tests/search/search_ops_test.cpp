// The patch footprint, the quadrant agreement and the map operations of
// the suspected-flaw search, which its export tests cannot pin down.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <random>
#include <vector>

#include "search/search_ops.h"
#include "boards/images.h"

namespace pcbinspect::testing {
namespace {

ConstGrayView cview(const GuardedImage& g) {
    return ConstGrayView{g.data(), g.width(), g.stride(), g.height()};
}
GrayView view(GuardedImage& g) { return GrayView{g.data(), g.width(), g.stride(), g.height()}; }

TEST(PatchDisc, RowsHoldNineElevenThirteenThenFifteenCells) {
    // Rows 0 and 14 hold columns 3..11, rows 1 and 13 columns 2..12, rows 2
    // and 12 columns 1..13, the rest all 15: 201 cells.
    for (int r = 0; r < kPatchSide; ++r)
        for (int c = 0; c < kPatchSide; ++c)
            EXPECT_EQ(PatchDisc15[r][c], std::abs(c - 7) <= 4 + std::min(r, 14 - r) ? 1 : 0)
                << r << "," << c;
}

// Where the marker says 255 a sample takes the nearest template value in
// its 3 x 3 neighbourhood, clipped to the template. A 4 x 4 template of 0
// with one pixel of 100, sampled at (0, 0), (2, 0), (0, 2), (2, 2) against
// a map of 100: each sample whose neighbourhood misses that pixel adds
// (100 / 320) / 16 of disagreement.
TEST(BlockAlignmentScore, MarkedSamplesTakeTheNearestOfTheirNeighbourhood) {
    const struct { int x, y, hits; } cases[] = {{1, 1, 4}, {3, 3, 1}, {0, 2, 1}, {0, 0, 1}, {2, 0, 1}, {3, 1, 2}};
    GuardedImage map(6, 6), marker(6, 6), templ(4, 4), mask(4, 4);
    map.fill(100);
    marker.fill(255);
    mask.fill(0);
    for (const auto& c : cases) {
        templ.fill(0);
        templ.at(c.x, c.y) = 100;
        EXPECT_EQ(blockAlignmentScore(cview(map), cview(marker), cview(templ), cview(mask), 3, 3),
                  1.0 - (4 - c.hits) * 0.3125 / 16)
            << c.x << "," << c.y;
    }
}

// Rows of centres scored side by side equal the single-centre scores, steps
// 1 and 2, from centres whose window does not fit to ones that do.
TEST(BlockAlignmentScores, EqualTheSingleCentreScores) {
    std::srand(3);
    for (int round = 0; round < 6; ++round) {
        GuardedImage map(60, 50, 63), marker(60, 50, 63), templ(21, 17), mask(21, 17);
        const std::uint8_t markers[] = {0, 128, 255, 7};
        for (int y = 0; y < 50; ++y)
            for (int x = 0; x < 60; ++x) {
                map.at(x, y) = round % 2 ? (std::rand() % 2 ? 1 : 255) : std::rand() % 256;
                marker.at(x, y) = markers[std::rand() % 4];
            }
        for (int y = 0; y < 17; ++y)
            for (int x = 0; x < 21; ++x) {
                templ.at(x, y) = round % 2 ? (std::rand() % 2 ? 1 : 255) : std::rand() % 256;
                mask.at(x, y) = std::rand() % 3 == 0 ? 255 : 0;
            }
        for (const int step : {1, 2}) {
            const int n = 24, cx = 2 + 3 * round, cy = 8 + 5 * round;
            std::vector<double> row(n);
            blockAlignmentScores(cview(map), cview(marker), cview(templ), cview(mask), cx, cy, step, n, row.data());
            for (int k = 0; k < n; ++k)
                EXPECT_EQ(row[k], blockAlignmentScore(cview(map), cview(marker), cview(templ), cview(mask),
                                                      cx + k * step, cy))
                    << round << " " << step << " " << k;
        }
    }
}

// A 15 x 15 patch may reach the last column but must leave the last row
// out; one that does not fit is not blank and agrees fully.
TEST(PatchFits, ColumnsToTheEdgeRowsShortOfIt) {
    GuardedImage blank(20, 20), other(20, 20);
    blank.fill(0);
    other.fill(9);
    const struct { int x, y; bool fits; } cases[] = {{5, 4, true}, {0, 0, true}, {4, 5, false}, {6, 0, false},
                                                     {-1, 0, false}, {0, -1, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(isBlankPatch(cview(blank), c.x, c.y), c.fits) << c.x << "," << c.y;
        EXPECT_EQ(patchAgreement(cview(blank), c.x, c.y, cview(other), 0, 0), c.fits ? 0.0f : 1.0f) << c.x << "," << c.y;
    }
}

// The agreement counts the equal cells of the disc only: random patches,
// the last column of the image included, against the disc's own count.
TEST(PatchAgreement, CountsEqualCellsOfTheDisc) {
    GuardedImage a(40, 30), b(40, 30);
    std::srand(7);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            a.at(x, y) = std::rand() % 3 == 0 ? 255 : 0;
            b.at(x, y) = std::rand() % 4 == 0 ? 255 : 128 * (std::rand() % 2);
        }
    const int places[][4] = {{0, 0, 0, 0}, {25, 14, 3, 2}, {10, 7, 25, 0}, {25, 0, 25, 14}};
    for (const auto& p : places) {
        int same = 0;
        for (int r = 0; r < kPatchSide; ++r)
            for (int c = 0; c < kPatchSide; ++c)
                same += PatchDisc15[r][c] != 0 && a.at(p[0] + c, p[1] + r) == b.at(p[2] + c, p[3] + r);
        EXPECT_EQ(patchAgreement(cview(a), p[0], p[1], cview(b), p[2], p[3]),
                  static_cast<float>(same) / static_cast<float>(kPatchDiscCells));
    }
}

TEST(QuadrantAgreement, RanksQuadrantsByScoreAndContent) {
    GuardedImage a(60, 60, 61), b(30, 30, 33), d(30, 30, 33);
    d.fill(0);
    // Identical content, or all four quadrants empty (their order and
    // result kept), scores 1; off the image, 0.
    for (const std::uint8_t v : {200, 0}) {
        a.fill(v);
        b.fill(v);
        EXPECT_NEAR(quadrantAgreement(cview(a), cview(b), cview(d), 25, 35), 1.0, 1e-12) << int(v);
    }
    EXPECT_EQ(quadrantAgreement(cview(a), cview(b), cview(d), 50, 35), 0.0);
    // Camera full where the reference is empty: each quadrant of k sampled
    // cells scores 1 - k / (k + 1) = 1 / (k + 1) (the count starts at 1).
    // Columns 0..25 step 5 split at 16: quadrant cells 16, 8, 8, 4. Ranked
    // q3, q1, q2, q0; the walk sends q3 (4 cells), then q2, then q3 again
    // to the back: q1, q0, q2, q3.
    b.fill(255);
    EXPECT_NEAR(quadrantAgreement(cview(a), cview(b), cview(d), 25, 35),
                0.6 / 9 + 0.3 / 17 + 0.07 / 9 + 0.03 / 5, 1e-12);
}

// A row of centres summed at once, quadrant by quadrant, scores as each
// centre scored alone, with centres off both edges, more centres than one
// group, groups of eight partly used, and any step.
TEST(QuadrantAgreement, RowOfCentresMatchesSingleCentres) {
    GuardedImage a(90, 70, 91), b(40, 30, 41), d(40, 30, 41);
    std::srand(5);
    for (int y = 0; y < 70; ++y)
        for (int x = 0; x < 90; ++x) a.at(x, y) = static_cast<std::uint8_t>(std::rand() % 3 * 120);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x) {
            b.at(x, y) = static_cast<std::uint8_t>(std::rand() % 256);
            d.at(x, y) = std::rand() % 4 == 0 ? 255 : 0;
        }
    const QuadrantPlan plan(cview(b), cview(d), a.stride());
    for (const int step : {1, 2, 3})
        for (const int count : {40, 13, 7}) {
            std::vector<QuadrantPlan::QuadrantSums> sums[4];
            for (int q = 0; q < 4; ++q) {
                sums[q].assign(40, QuadrantPlan::QuadrantSums{-7, -7});
                plan.sumRow(cview(a), -5 + 40 - count, 30, step, count, q, sums[q].data());
            }
            for (int k = 0; k < count; ++k) {
                const QuadrantPlan::QuadrantSums four[4] = {sums[0][k], sums[1][k], sums[2][k], sums[3][k]};
                EXPECT_EQ(plan.scoreOf(four), plan.score(cview(a), -5 + 40 - count + k * step, 30)) << step << " " << k;
            }
        }
}

// A row of cubic agreements matches each centre taken alone (the lanes of a
// group against the one-at-a-time sums), with masked samples, centres off
// both edges, steps 1 to 3, partly used groups, and windows whose last
// sampled row is the image's last (where a second group of lanes may not
// read past the last sample); and the formula holds on a window whose every
// sample differs by 2 but for one masked sample.
TEST(CubicAgreement, RowOfCentresMatchesSingleCentresAndTheFormula) {
    GuardedImage a(90, 70, 91), m(90, 70, 93), b(36, 26, 37);
    std::srand(11);
    for (int y = 0; y < 70; ++y)
        for (int x = 0; x < 90; ++x) {
            a.at(x, y) = static_cast<std::uint8_t>(std::rand() % 256);
            m.at(x, y) = std::rand() % 5 == 0 ? 255 : 0;
        }
    for (int y = 0; y < 26; ++y)
        for (int x = 0; x < 36; ++x) b.at(x, y) = static_cast<std::uint8_t>(std::rand() % 256);
    for (const int cy : {30, 57})
        for (const int cx : {10, 60})
            for (const int step : {1, 2, 3})
                for (const int count : {16, 11, 5}) {
                    double row[16];
                    bool few[16];
                    cubicAgreementRow(cview(a), cview(m), cview(b), cx, cy, step, count, row, few);
                    for (int k = 0; k < count; ++k) {
                        bool single = true;
                        EXPECT_EQ(row[k], cubicAgreement(cview(a), cview(m), cview(b), cx + k * step, cy, &single))
                            << cx << " " << cy << " " << step << " " << count << " " << k;
                        EXPECT_EQ(few[k], single);
                    }
                }
    // 8 x 6 samples, one masked: 47 cubes of 8, n = 48.
    GuardedImage flat(90, 70), open(90, 70), two(36, 28);
    flat.fill(5);
    open.fill(0);
    two.fill(7);
    open.at(45 - 18 + 5, 35 - 14 + 10) = 1;
    bool few = true;
    EXPECT_EQ(cubicAgreement(cview(flat), cview(open), cview(two), 45, 35, &few),
              1.0 - 47.0 * 8.0 / 48 / 16581375.0);
    EXPECT_FALSE(few);
}

TEST(ResizeGrayBilinear, CornerAlignedAndTruncated) {
    // Corners map onto corners, halfway is (0 + 100) / 2, the middle
    // (0 + 100 + 50 + 201) / 4 = 87.75 truncated; a source of width 1 does
    // nothing.
    GuardedImage src(2, 2, 5), dst(3, 3, 4), one(1, 5);
    src.at(0, 0) = 0, src.at(1, 0) = 100, src.at(0, 1) = 50, src.at(1, 1) = 201;
    dst.fill(7);
    resizeGrayBilinear(view(dst), cview(one));
    EXPECT_EQ(dst.pixels(), std::vector<std::uint8_t>(9, 7));
    resizeGrayBilinear(view(dst), cview(src));
    EXPECT_EQ(dst.pixels(), (std::vector<std::uint8_t>{0, 50, 100, 25, 87, 150, 50, 125, 201}));
    EXPECT_TRUE(dst.guardsIntact());
}

// Against the rule written out: 255 next to a 1 becomes 168, then 1 next to
// a 168 becomes 80, on the interior pixels only.
TEST(MarkEdgeContacts, ContactsRelabelledOuterRingKept) {
    GuardedImage img(12, 10, 13);
    img.fillRandom(11, 0, 1);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 12; ++x) img.at(x, y) = img.at(x, y) ? 255 : 1;
    const GuardedImage before = img;
    markEdgeContacts(view(img));
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 12; ++x) {
            if (x == 0 || y == 0 || x == 11 || y == 9) {
                EXPECT_EQ(img.at(x, y), before.at(x, y)) << x << "," << y;
                continue;
            }
            auto any = [&](const GuardedImage& g, std::uint8_t v) {
                return g.at(x - 1, y) == v || g.at(x + 1, y) == v || g.at(x, y - 1) == v ||
                       g.at(x, y + 1) == v;
            };
            const bool set = before.at(x, y) == 255;
            EXPECT_EQ(img.at(x, y), set ? (any(before, 1) ? 168 : 255) : (any(img, 168) ? 80 : 1));
        }
    EXPECT_TRUE(img.guardsIntact());
}

TEST(ReduceMaskBlocks, ClearsOnlyWhenJudged) {
    // Without mask blocks (5 mask pixels per block, below 51) nothing is
    // judged: B stays.
    GuardedImage a(100, 100, 101), b(100, 100, 101);
    a.fill(255);
    b.fill(0);
    for (int x = 0; x < 50; ++x) b.at(x, 3) = 1;
    const auto before = b.pixels();
    reduceMaskBlocks(cview(a), view(b));
    EXPECT_EQ(b.pixels(), before);
    // Content in the middle columns, open board around it, a mask block row
    // across it and a lone mask pixel in block (0, 0). The lone pixel's
    // block never held 51 mask pixels: cleared. The mask row's blocks open
    // above and below onto empty space: eroded away, and B is cleared
    // outside the eroded mask blocks, up to the image's edge where its sides
    // are no multiple of the block.
    GuardedImage c(205, 203, 208), m(205, 203, 208);
    c.fill(0);
    m.fill(0);
    Canvas(c).rect(60, 40, 139, 159, 255);  // content blocks 6..13 x 4..15
    Canvas(m).rect(60, 90, 139, 99, 255);   // mask block row 9, columns 6..13
    m.at(3, 3) = 255;
    m.at(204, 202) = 255;
    reduceMaskBlocks(cview(c), view(m));
    EXPECT_EQ(m.at(3, 3), 0);
    EXPECT_EQ(m.at(204, 202), 0);
    EXPECT_EQ(m.at(100, 95), 0);
    EXPECT_TRUE(m.guardsIntact());
}

// The reduction on block maps made straight from the pixels: content blocks
// hold a set pixel of A, mask blocks 51 set pixels of B (pixels beyond whole
// blocks uncounted). A round counts the uncovered interior content blocks
// not surrounded by content, and those with three blocks empty in both maps
// beside them (sideways) or above or below them (across); then it strips the
// mask blocks two or more blocks in from the edge that touch a non-mask
// block, and settles at 3 and 3: B is cleared outside the mask blocks left,
// the last block row and column reaching the image's edge.
std::vector<std::uint8_t> reducedMaskModel(const GuardedImage& a, const GuardedImage& b) {
    const int bw = a.width() / 10, bh = a.height() / 10;
    std::vector<std::uint8_t> out = b.pixels();
    if (bw < 3 || bh < 3) return out;
    std::vector<int> content(bw * bh), mask(bw * bh);
    for (int y = 0; y < bh * 10; ++y)
        for (int x = 0; x < bw * 10; ++x) {
            content[y / 10 * bw + x / 10] += a.at(x, y) != 0;
            mask[y / 10 * bw + x / 10] += b.at(x, y) != 0;
        }
    for (int& m : mask) m = m >= 51;
    auto in = [&](const std::vector<int>& map, int x, int y) { return map[y * bw + x] != 0; };
    auto surrounded = [&](const std::vector<int>& map, int x, int y) {
        return in(map, x - 1, y) && in(map, x + 1, y) && in(map, x, y - 1) && in(map, x, y + 1);
    };
    auto empty = [&](int x, int y) { return !in(content, x, y) && !in(mask, x, y); };
    for (int round = 0; round < 30; ++round) {
        int na = 0, nb = 0, sideways = 0, across = 0;
        for (int y = 1; y + 1 < bh; ++y)
            for (int x = 1; x + 1 < bw; ++x) {
                nb += in(mask, x, y);
                if (in(mask, x, y) || !in(content, x, y)) continue;
                ++na;
                if (surrounded(content, x, y)) continue;
                bool side[4] = {true, true, true, true};  // right, left, below, above
                for (int k = -1; k <= 1; ++k) {
                    side[0] = side[0] && empty(x + 1, y + k), side[1] = side[1] && empty(x - 1, y + k);
                    side[2] = side[2] && empty(x + k, y + 1), side[3] = side[3] && empty(x + k, y - 1);
                }
                sideways += side[0] || side[1];
                across += side[2] || side[3];
            }
        if (na <= 8 || nb == 0) return out;
        std::vector<int> eroded = mask;
        for (int y = 2; y + 2 < bh; ++y)
            for (int x = 2; x + 2 < bw; ++x)
                if (!surrounded(mask, x, y)) eroded[y * bw + x] = 0;
        mask = eroded;
        if (sideways < 3 || across < 3) continue;
        for (int y = 0; y < b.height(); ++y)
            for (int x = 0; x < b.width(); ++x)
                if (!in(mask, std::min(x / 10, bw - 1), std::min(y / 10, bh - 1))) out[y * b.width() + x] = 0;
        return out;
    }
    return out;
}

// Random maps: content blocks at a random density, a rectangle of mask
// blocks holding 50, 51 or 100 set pixels each, and stray mask pixels.
TEST(ReduceMaskBlocks, MatchesTheBlockModelOnRandomMaps) {
    std::mt19937 rng(8);
    int changed = 0, kept = 0;
    for (int n = 0; n < 3000; ++n) {
        const int w = 25 + rng() % 110, h = 25 + rng() % 110, density = 10 + rng() % 85;
        GuardedImage a(w, h, w + 2), b(w, h, w + 2);
        a.fill(0);
        b.fill(0);
        for (int y = 0; y < h; y += 10)
            for (int x = 0; x < w; x += 10)
                if (static_cast<int>(rng() % 100) < density) a.at(std::min<int>(x + rng() % 10, w - 1), std::min<int>(y + rng() % 10, h - 1)) = 1 + rng() % 255;
        const int bx0 = rng() % (w / 10 + 1), by0 = rng() % (h / 10 + 1), bx1 = bx0 + rng() % 7, by1 = by0 + rng() % 7;
        for (int by = by0; by <= by1; ++by)
            for (int bx = bx0; bx <= bx1; ++bx)
                for (int i = 0, count = std::array{50, 51, 100, 100}[rng() % 4]; i < count; ++i)
                    if (bx * 10 + i % 10 < w && by * 10 + i / 10 < h) b.at(bx * 10 + i % 10, by * 10 + i / 10) = 255;
        for (int i = rng() % 30; i > 0; --i) b.at(rng() % w, rng() % h) = 1;
        const auto expected = reducedMaskModel(a, b);
        (expected == b.pixels() ? kept : changed) += 1;
        reduceMaskBlocks(cview(a), view(b));
        ASSERT_EQ(b.pixels(), expected) << n << ": " << w << " x " << h;
        ASSERT_TRUE(b.guardsIntact());
    }
    EXPECT_TRUE(changed > 300 && kept > 300) << changed << " " << kept;
}

}  // namespace
}  // namespace pcbinspect::testing
