// Edge maps and the thinning of edge runs.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <utility>
#include <vector>

#include "circles/circle_detector.h"
#include "circles/edge_map.h"

namespace pcbinspect {
namespace {

using Pixels = std::set<std::pair<int, int>>;

Pixels edgePixels(const std::vector<std::uint8_t>& edges, int w) {
    Pixels set;
    for (std::size_t i = 0; i < edges.size(); ++i) {
        EXPECT_LE(edges[i], 1);
        if (edges[i] != 0) set.insert({static_cast<int>(i) % w, static_cast<int>(i) / w});
    }
    return set;
}

std::vector<std::uint8_t> image(int w, int h, const std::function<int(int, int)>& value) {
    std::vector<std::uint8_t> img(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img[y * w + x] = static_cast<std::uint8_t>(value(x, y));
    return img;
}

TEST(EdgeMap, FlatAndDegenerateImagesHaveNoEdges) {
    const struct {
        int w, h, value;
    } cases[] = {{16, 12, 0}, {16, 12, 140}, {1, 9, 0}, {9, 1, 0}};
    for (const auto& c : cases) {
        // Width or height 1 has no gradient; give those images a ramp anyway.
        const auto img = image(c.w, c.h, [&](int x, int y) { return c.value + 40 * (x + y); });
        const bool flat = c.w > 1 && c.h > 1;
        const auto source = flat ? image(c.w, c.h, [&](int, int) { return c.value; }) : img;
        std::vector<std::uint8_t> edges(source.size(), 7);
        EXPECT_EQ(EdgeMap(source.data(), edges.data(), c.w, c.h, 20), 0);
        EXPECT_EQ(edges, std::vector<std::uint8_t>(source.size(), 0));
    }
}

TEST(EdgeMap, FollowsOneChainFromStrongThroughWeakPixels) {
    // A step of 100 between columns 3 and 4 gives a gradient magnitude of
    // 100 in column 3, rows 0..8 (the last row has none): one chain of 9.
    // A step of 15 (between the low threshold 8 and the high one 20) between
    // columns 7 and 8 is weak only and touches no chain: it stays unmarked.
    {
        const int w = 12, h = 10;
        const auto img = image(w, h, [](int x, int) { return x < 4 ? 0 : x < 8 ? 100 : 115; });
        std::vector<std::uint8_t> edges(img.size());
        EXPECT_EQ(EdgeMap(img.data(), edges.data(), w, h, 20), 9);
        Pixels expected;
        for (int y = 0; y <= 8; ++y) expected.insert({3, y});
        EXPECT_EQ(edgePixels(edges, w), expected);
    }
    // Columns 0..c-1 are 0, the rest 100 in rows 0..4 and 15 below. Column
    // c-1 is strong in rows 0..4 (magnitudes 100 and, at row 4, 57 + 42) and
    // weak in rows 5..8 (15); the drop along row 4 is strong (85) in the
    // columns from c to the last but one. The chain runs down column c-1,
    // then prefers the strong pixels of row 4 to the weak one below.
    {
        // c = 3, width 6: row 4 is strong at columns 3 and 4; the chain ends
        // at (4, 4), whose neighbours hold no weak pixel, and the weak rows
        // 5..8 of column 2 stay unmarked.
        const int w = 6, h = 10;
        const auto img = image(w, h, [](int x, int y) { return x < 3 ? 0 : y <= 4 ? 100 : 15; });
        std::vector<std::uint8_t> edges(img.size());
        EXPECT_EQ(EdgeMap(img.data(), edges.data(), w, h, 20), 7);
        EXPECT_EQ(edgePixels(edges, w),
                  (Pixels{{2, 0}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {3, 4}, {4, 4}}));
    }
    {
        // c = 2, width 4: row 4 is strong at column 2 only; from there the
        // first weak neighbour in the chain order is the diagonal (1, 5), and
        // the chain goes on down the weak pixels of column 1.
        const int w = 4, h = 10;
        const auto img = image(w, h, [](int x, int y) { return x < 2 ? 0 : y <= 4 ? 100 : 15; });
        std::vector<std::uint8_t> edges(img.size());
        EXPECT_EQ(EdgeMap(img.data(), edges.data(), w, h, 20), 10);
        Pixels expected{{2, 4}};
        for (int y = 0; y <= 8; ++y) expected.insert({1, y});
        EXPECT_EQ(edgePixels(edges, w), expected);
    }
}

TEST(EdgeMap, StrongPixelsLieAboveTheHighThreshold) {
    // A vertical step of s gives magnitude s in one column: 20 is not above
    // the high threshold 20, so no chain starts; 21 is, and the column of 9
    // rows is marked.
    const int w = 8, h = 10;
    for (int step : {20, 21}) {
        const auto img = image(w, h, [&](int x, int) { return x < 4 ? 50 : 50 + step; });
        std::vector<std::uint8_t> edges(img.size());
        EXPECT_EQ(EdgeMap(img.data(), edges.data(), w, h, 20), step == 20 ? 0 : 9) << step;
    }
}

TEST(EdgeMap, SuppressesNonMaximaAcrossTheEdge) {
    // Columns 0, 0, 40, 50, ...: the gradient of column x looks at columns x
    // and x + 1, so column 1 sees 40 and column 2 sees 10. Column 2 is below
    // its neighbour across the edge and is suppressed (on the first row,
    // where nothing is suppressed, the chain passes it by): only column 1,
    // rows 0..4, is marked.
    const int w = 6, h = 6;
    const auto img = image(w, h, [](int x, int) { return x < 2 ? 0 : x == 2 ? 40 : 50; });
    std::vector<std::uint8_t> edges(img.size());
    EXPECT_EQ(EdgeMap(img.data(), edges.data(), w, h, 20), 5);
    Pixels expected;
    for (int y = 0; y <= 4; ++y) expected.insert({1, y});
    EXPECT_EQ(edgePixels(edges, w), expected);
}

TEST(ThinEdgeRuns, KeepsTheMiddleOfEachRun) {
    // One row, width 10: runs 2..6 (odd length), 8..9 (reaching the last
    // column) and the single pixel 0.
    std::vector<std::uint8_t> row = {1, 0, 1, 1, 1, 1, 1, 0, 1, 1};
    thinEdgeRuns(row.data(), 10, 1);
    // Middles (2 + 6) / 2 = 4 and (8 + 9) / 2 = 8; the single pixel stays.
    EXPECT_EQ(row, (std::vector<std::uint8_t>{1, 0, 0, 0, 1, 0, 0, 0, 1, 0}));

    // A run of even length 2..5 keeps (2 + 5) / 2 = 3.
    std::vector<std::uint8_t> even = {0, 0, 1, 1, 1, 1, 0};
    thinEdgeRuns(even.data(), 7, 1);
    EXPECT_EQ(even, (std::vector<std::uint8_t>{0, 0, 0, 1, 0, 0, 0}));

    // A 3 x 3 block: the rows thin to their middle column, which the
    // columns then thin to its middle row.
    std::vector<std::uint8_t> block(25, 0);
    for (int y = 1; y <= 3; ++y)
        for (int x = 1; x <= 3; ++x) block[y * 5 + x] = 1;
    thinEdgeRuns(block.data(), 5, 5);
    std::vector<std::uint8_t> centre(25, 0);
    centre[2 * 5 + 2] = 1;
    EXPECT_EQ(block, centre);
}

}  // namespace
}  // namespace pcbinspect
