// Neighbour codes, the thinning table, peeling, skeleton thinning and the
// width-carrying skeleton.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <random>
#include <vector>

#include "imaging/thickness_map.h"
#include "imaging/thinning.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Square;

int setPixels(const Square& s) { return static_cast<int>(s.pixels.size() - std::count(s.pixels.begin(), s.pixels.end(), 0)); }

// What thinning may do with a pixel, from the topology of its neighbours: an
// isolated pixel stays, a pixel with one neighbour ends a line, and a pixel
// may go when that keeps the picture's topology: its set neighbours form one
// 8-connected group and its unset 4-neighbours one 4-connected group (a
// simple point). An interior pixel, all four 4-neighbours set, may go too:
// thinning peels from the outside in.
int verdictOf(int code) {
    const int n = std::popcount(static_cast<unsigned>(code));
    if (n == 0) return kThinKeep;
    if (n == 1) return kThinLineEnd;
    if ((code & 0x5A) == 0x5A) return kThinRemovable;
    static constexpr int kX[8] = {-1, 0, 1, -1, 1, -1, 0, 1}, kY[8] = {-1, -1, -1, 0, 0, 1, 1, 1};
    auto groups = [&](int set, bool eight, bool fromFourNeighbours) {
        int seen = 0, count = 0;
        for (int b = 0; b < 8; ++b) {
            if ((code >> b & 1) != set || (seen >> b & 1) ||
                (fromFourNeighbours && std::abs(kX[b]) + std::abs(kY[b]) != 1))
                continue;
            ++count;
            int stack[8], top = 0;
            stack[top++] = b;
            seen |= 1 << b;
            while (top > 0) {
                const int q = stack[--top];
                for (int r = 0; r < 8; ++r) {
                    const int dx = std::abs(kX[r] - kX[q]), dy = std::abs(kY[r] - kY[q]);
                    if ((code >> r & 1) == set && !(seen >> r & 1) && (eight ? std::max(dx, dy) == 1 : dx + dy == 1)) {
                        seen |= 1 << r;
                        stack[top++] = r;
                    }
                }
            }
        }
        return count;
    };
    return groups(1, true, false) == 1 && groups(0, false, true) == 1 ? kThinRemovable : kThinKeep;
}

TEST(ThinningTable, KeepsExactlyWhatTopologyNeeds) {
    for (int code = 0; code < 256; ++code) EXPECT_EQ(ThinningTable[code], verdictOf(code)) << code;
}

TEST(NeighbourCode, BitsGoRowByRowFromTheTopLeftAndStopAtTheImage) {
    const int bitAt[8][2] = {{1, 1}, {2, 1}, {3, 1}, {1, 2}, {3, 2}, {1, 3}, {2, 3}, {3, 3}};
    for (int bit = 0; bit < 8; ++bit) {
        Square one(5);
        one.at(bitAt[bit][0], bitAt[bit][1]) = 9;
        EXPECT_EQ(NeighbourCode(one.data(), 5, 5, 5, 2, 2), 1 << bit);
    }
    // Outside the image counts as not set, even when memory beyond it is.
    Square full(5, 255);
    EXPECT_EQ(NeighbourCode(full.data(), 5, 5, 5, 0, 0), (1 << 4) | (1 << 6) | (1 << 7));
    EXPECT_EQ(NeighbourCode(full.data(), 5, 5, 5, 4, 4), 1 | 2 | 8);
    EXPECT_EQ(NeighbourCode(full.data(), 3, 5, 3, 2, 1), 1 | 2 | 8 | 32 | 64);
}

TEST(SkeletonThin, ThinsABarToItsMiddleRowAndPrunesSpursInModeZero) {
    // A 9-pixel-thick bar, rows 20..28, thins to one unbroken run on its
    // middle row with no 2 x 2 block fully set; mode 0 prunes the spurs
    // towards the corners while thinning goes on, mode 1 keeps them.
    for (int mode : {0, 1}) {
        Square s(60);
        s.rect(5, 20, 54, 28, 255);
        const int left = SkeletonThin(s.data(), 60, 60, 60, mode);
        int run = 0, first = 60, last = -1, blocks = 0;
        for (int i = 0; i < 60 * 59; ++i) {
            if (i / 60 == 24 && s.pixels[i]) ++run, first = std::min(first, i % 60), last = i % 60;
            blocks += i % 60 < 59 && s.pixels[i] && s.pixels[i + 1] && s.pixels[i + 60] && s.pixels[i + 61];
        }
        EXPECT_EQ(left, setPixels(s));
        EXPECT_TRUE(blocks == 0 && run > 30 && last - first + 1 == run) << mode;
        EXPECT_EQ(left == run, mode == 0);
    }
    // The outermost rows and columns are cleared; an empty image is left alone.
    Square frame(20, 255);
    SkeletonThin(frame.data(), 20, 20, 20, 1);
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(!frame.at(i, 0) && !frame.at(i, 19) && !frame.at(0, i) && !frame.at(19, i)) << i;
    EXPECT_EQ(SkeletonThin(frame.data(), 0, 20, 20, 0), 0);
}

// Peeling as plainly as it can be said: at every inner pixel, in row order,
// that is set with fewer than four set 8-neighbours, whole passes over the
// 40 x 40 window about it (where it would reach the last row or column, it
// ends one before) clear, all at once, the
// window's inner pixels with fewer than four set neighbours, until a pass
// clears nothing.
void peelModel(std::vector<std::uint8_t>& img, int w, int s, int h) {
    auto set = [&](int x, int y) { return img[static_cast<std::size_t>(y) * s + x] != 0; };
    auto few = [&](int x, int y) {
        int n = 0;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) n += (dx || dy) && set(x + dx, y + dy);
        return set(x, y) && n < 4;
    };
    for (int y = 1; y <= h - 2; ++y)
        for (int x = 1; x <= w - 2; ++x) {
            if (!few(x, y)) continue;
            const int x0 = std::max(0, x - 20), y0 = std::max(0, y - 20);
            const int x1 = x0 + 40 < w ? x0 + 39 : w - 2, y1 = y0 + 40 < h ? y0 + 39 : h - 2;
            for (bool cleared = true; cleared;) {
                std::vector<std::size_t> gone;
                for (int yy = y0 + 1; yy < y1; ++yy)
                    for (int xx = x0 + 1; xx < x1; ++xx)
                        if (few(xx, yy)) gone.push_back(static_cast<std::size_t>(yy) * s + xx);
                for (const std::size_t i : gone) img[i] = 0;
                cleared = !gone.empty();
            }
        }
}

TEST(ThinPeel, MatchesWholeWindowPassesOnRandomMasks) {
    std::mt19937 rng(91);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int trial = 0; trial < 300; ++trial) {
        const int w = uniform(1, 130), h = uniform(1, 110), s = w + uniform(0, 20);
        std::vector<std::uint8_t> img(static_cast<std::size_t>(s) * h, 0);
        // Bars and blocks of every thickness, and scattered pixels.
        for (int k = uniform(0, 25); k > 0; --k) {
            const int x = uniform(0, w - 1), y = uniform(0, h - 1);
            const int x1 = std::min(w - 1, x + uniform(0, 50)), y1 = std::min(h - 1, y + uniform(0, 6));
            const bool turn = uniform(0, 1) == 1;
            for (int yy = y; yy <= (turn ? std::min(h - 1, y + x1 - x) : y1); ++yy)
                for (int xx = x; xx <= (turn ? std::min(w - 1, x + y1 - y) : x1); ++xx)
                    img[static_cast<std::size_t>(yy) * s + xx] = 255;
        }
        for (int k = uniform(0, w * h / 8); k > 0; --k)
            img[static_cast<std::size_t>(uniform(0, h - 1)) * s + uniform(0, w - 1)] = 255;
        std::vector<std::uint8_t> want = img;
        peelModel(want, w, s, h);
        ThinPeel(img.data(), w, s, h);
        ASSERT_EQ(img, want) << trial << ": " << w << " x " << h;
    }
}

TEST(ThicknessMap, RectanglesGiveTheirHalfHeightAlongTheMiddleRow) {
    Square one(30);
    one.at(15, 12) = 77;  // any foreground value counts as 1
    ThicknessMap(GrayView{one.data(), 30, 30, 30});
    EXPECT_TRUE(one.at(15, 12) == 1 && setPixels(one) == 1);
    for (int k : {2, 3, 5, 8}) {
        // 2k + 1 rows high, 100 long: values k + 1 along the middle row away
        // from the ends, nothing on the rows beside it.
        Square s(140);
        s.rect(20, 40, 119, 40 + 2 * k, 200);
        ThicknessMap(GrayView{s.data(), 140, 140, 140});
        for (int x = 40; x < 100; ++x)
            EXPECT_EQ((std::vector<int>{s.at(x, 39 + k), s.at(x, 40 + k), s.at(x, 41 + k)}), (std::vector<int>{0, k + 1, 0})) << k << ": " << x;
    }
    // Images with one inner column or row: that line is thinned all the
    // same, shortened at its ends.
    std::vector<std::uint8_t> column(3 * 10, 255), row(12 * 3, 255);
    ThicknessMap(GrayView{column.data(), 3, 3, 10});
    ThicknessMap(GrayView{row.data(), 12, 12, 3});
    std::vector<int> middleColumn, middleRow;
    for (int y = 0; y < 10; ++y) middleColumn.push_back(column[y * 3 + 1]);
    for (int x = 0; x < 12; ++x) middleRow.push_back(row[12 + x]);
    EXPECT_EQ(middleColumn, (std::vector<int>{0, 0, 0, 1, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(middleRow, (std::vector<int>{0, 0, 0, 1, 1, 1, 1, 1, 0, 0, 0, 0}));
    // The boundary is taken phase by phase (even rows' even columns first),
    // which decides where a 5 x 4 block's skeleton ends up: a diagonal pair.
    Square block(21);
    block.rect(2, 2, 6, 5, 255);
    ThicknessMap(GrayView{block.data(), 21, 21, 7});
    EXPECT_TRUE(block.at(5, 3) == 2 && block.at(4, 4) == 2 && setPixels(block) == 2);
}

// Thinning depends on where pixels lie relative to each other and on the
// parity of their columns, not on where the vector blocks of a row end: a
// random shape moved right by an even number of columns, across the block
// ends of a 45-pixel row into its scalar tail, thins to the same pixels
// moved by as much.
TEST(Thinning, ShapesMovedByEvenColumnsThinTheSame) {
    constexpr int W = 45, H = 28;
    std::mt19937 rng(11);
    std::vector<std::uint8_t> shape(16 * 20);
    for (auto& p : shape) p = rng() % 10 < 7 ? 255 : 0;
    for (int kind = 0; kind < 3; ++kind) {
        std::vector<std::uint8_t> first;
        for (int shift = 0; shift <= 22; shift += 2) {
            std::vector<std::uint8_t> img(W * H, 0);
            for (int i = 0; i < 16 * 20; ++i) img[(4 + i / 16) * W + 4 + shift + i % 16] = shape[i];
            if (kind < 2) SkeletonThin(img.data(), W, W, H, kind);
            else ThicknessMap(GrayView{img.data(), W, W, H});
            std::vector<std::uint8_t> moved(W * H, 0);  // moved back by the shift
            for (int i = 0; i < W * H; ++i) {
                if (img[i] == 0) continue;
                ASSERT_GE(i % W, shift) << kind;
                moved[i - shift] = img[i];
            }
            if (shift == 0) first = moved;
            EXPECT_EQ(moved, first) << kind << ": " << shift;
        }
        EXPECT_GT(W * H - std::count(first.begin(), first.end(), 0), 20) << kind;
    }
}

}  // namespace
}  // namespace pcbinspect
