// Neighbour codes, the thinning table, peeling and skeleton thinning.
#include <gtest/gtest.h>

#include <bit>

#include "imaging/thinning.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::Square;

TEST(ThinningTable, LineEndsAreExactlyTheSingleNeighbourCodes) {
    for (int code = 0; code < 256; ++code) {
        const bool single = std::popcount(static_cast<unsigned>(code)) == 1;
        EXPECT_EQ(ThinningTable[code] == kThinLineEnd, single) << code;
    }
    EXPECT_EQ(ThinningTable[0], kThinKeep);    // an isolated pixel stays
    EXPECT_EQ(ThinningTable[255], kThinRemovable);
    EXPECT_EQ(ThinningTable[0x42], kThinKeep);  // above and below: a line pixel stays
}

TEST(NeighbourCode, BitsGoRowByRowFromTheTopLeft) {
    Square s(5);
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

TEST(ThinPeel, RemovesThinLinesAndKeepsWideAreas) {
    Square s(80);
    Canvas c(s);
    c.rect(5, 10, 70, 12, 255);   // 3 pixels wide: peeled away
    c.rect(20, 40, 40, 60, 255);  // 21 x 21: corners eroded a little only
    ThinPeel(s.data(), 80, 80, 80);
    int thin = 0, wide = 0;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 80; ++x) {
            ASSERT_TRUE(s.at(x, y) == 0 || s.at(x, y) == 255);
            if (s.at(x, y) == 0) continue;
            (y < 20 ? thin : wide)++;
        }
    EXPECT_EQ(thin, 0);
    EXPECT_GT(wide, 400);
    EXPECT_EQ(s.at(30, 50), 255);
}

TEST(SkeletonThin, ThinsABarToALineAndPrunesItsSpursInModeZero) {
    // A 9-pixel-thick bar, rows 20..28.
    auto thin = [](int mode, Square& s) {
        Canvas(s).rect(5, 20, 54, 28, 255);
        const int left = SkeletonThin(s.data(), 60, 60, 60, mode);
        int counted = 0;
        for (int y = 0; y < 60; ++y)
            for (int x = 0; x < 60; ++x) counted += s.at(x, y) != 0;
        EXPECT_EQ(counted, left);
        return left;
    };
    // Mode 0: one straight run on the middle row; the spurs towards the
    // bar's corners are pruned while thinning goes on.
    Square pruned(60);
    const int line = thin(0, pruned);
    int run = 0;
    for (int x = 0; x < 60; ++x) run += pruned.at(x, 24) != 0;
    EXPECT_EQ(run, line);
    EXPECT_GT(line, 30);
    for (int x = 1; x < 59; ++x)
        if (pruned.at(x - 1, 24) && pruned.at(x + 1, 24)) {
            EXPECT_NE(pruned.at(x, 24), 0);
        }
    // Mode 1 keeps line ends: the same middle run plus spurs off the row.
    Square kept(60);
    const int withSpurs = thin(1, kept);
    EXPECT_GT(withSpurs, line);
    int offRow = 0;
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 60; ++x) {
            if (y != 24 && kept.at(x, y)) ++offRow;
            // Thinned: no 2 x 2 block is fully set.
            if (x < 59 && y < 59) {
                EXPECT_FALSE(kept.at(x, y) && kept.at(x + 1, y) && kept.at(x, y + 1) &&
                             kept.at(x + 1, y + 1));
            }
        }
    EXPECT_GT(offRow, 0);
}

TEST(SkeletonThin, ClearsTheOuterFrame) {
    Square s(20, 255);
    SkeletonThin(s.data(), 20, 20, 20, 1);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(s.at(i, 0), 0);
        EXPECT_EQ(s.at(i, 19), 0);
        EXPECT_EQ(s.at(0, i), 0);
        EXPECT_EQ(s.at(19, i), 0);
    }
    EXPECT_EQ(SkeletonThin(s.data(), 0, 20, 20, 0), 0);
}

}  // namespace
}  // namespace pcbinspect
