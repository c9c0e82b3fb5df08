// The edge map, the circle detector, findCircles and test.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "boundary/last_error.h"
#include "circles/bounded_votes.h"
#include "circles/circle_detector.h"
#include "circles/edge_map.h"
#include "circles/find_circles.h"
#include "pcbinspect/exports.h"
#include "support/shape_images.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::GuardedImage;
using Pixels = std::set<std::pair<int, int>>;

TEST(EdgeMap, ChainsStartAboveTheHighThresholdAndFollowOnePath) {
    // Images of w x h built from value(x, y); the marked pixels expected.
    const struct {
        int w, h, threshold, (*value)(int, int);
        Pixels edges;
    } cases[] = {
        // Flat images, single rows or columns (no 2 x 2 gradient) and a step of
        // 20, not above the high threshold 20, have no edges.
        {16, 12, 20, [](int, int) { return 140; }, {}}, {1, 9, 20, [](int x, int y) { return 40 * (x + y); }, {}},
        {9, 1, 20, [](int x, int y) { return 40 * (x + y); }, {}}, {8, 10, 20, [](int x, int) { return x < 4 ? 50 : 70; }, {}},
        // A step of 100 between columns 3 and 4 gives magnitude 100 in column
        // 3, rows 0..8 (the last row has none): one chain. A step of 15 between
        // columns 7 and 8 is weak only and touches no chain: unmarked.
        {12, 10, 20, [](int x, int) { return x < 4 ? 0 : x < 8 ? 100 : 115; }, {{3, 0}, {3, 1}, {3, 2}, {3, 3}, {3, 4}, {3, 5}, {3, 6}, {3, 7}, {3, 8}}},
        // A negative high threshold (low 0) makes every pixel of no gradient
        // strong: one chain through the whole flat image.
        {3, 2, -1, [](int, int) { return 9; }, {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}}},
        // A step of 21 is above the high threshold: a chain.
        {8, 10, 20, [](int x, int) { return x < 4 ? 50 : 71; }, {{3, 0}, {3, 1}, {3, 2}, {3, 3}, {3, 4}, {3, 5}, {3, 6}, {3, 7}, {3, 8}}},
        // Column 2 strong in rows 0..4 (magnitudes 100, then 57 + 42 at row
        // 4), weak in rows 5..8 (15); the drop along row 4 is strong (85) at
        // columns 3 and 4. The chain prefers the strong pixels of row 4 and
        // ends at (4, 4), whose neighbours hold no weak pixel.
        {6, 10, 20, [](int x, int y) { return x < 3 ? 0 : y <= 4 ? 100 : 15; }, {{2, 0}, {2, 1}, {2, 2}, {2, 3}, {2, 4}, {3, 4}, {4, 4}}},
        // Width 4: row 4 is strong at column 2 only; from there the first weak
        // neighbour in chain order is the diagonal (1, 5), and the chain goes
        // on down the weak pixels of column 1.
        {4, 10, 20, [](int x, int y) { return x < 2 ? 0 : y <= 4 ? 100 : 15; },
         {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {1, 6}, {1, 7}, {1, 8}, {2, 4}}},
        // Columns 0, 0, 40, 50, ...: column 1 sees 40 and column 2 sees 10,
        // below its neighbour across the edge, and is suppressed (on the first
        // row, where nothing is suppressed, the chain passes it by).
        {6, 6, 20, [](int x, int) { return x < 2 ? 0 : x == 2 ? 40 : 50; }, {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}}},
        // A strong pixel at (2, 8) below a weak run in rows 0..6 of column
        // 2, row 7 without gradient between them: the chain does not jump
        // the gap.
        {4, 10, 20, [](int x, int y) { return x < 3 ? 0 : y == 9 ? 100 : y >= 7 ? 0 : 15; }, {{2, 8}}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> img(c.w * c.h), edges(c.w * c.h, 7);
        for (int i = 0; i < c.w * c.h; ++i) img[i] = static_cast<std::uint8_t>(c.value(i % c.w, i / c.w));
        EXPECT_EQ(EdgeMap(img.data(), edges.data(), c.w, c.h, c.threshold), static_cast<int>(c.edges.size())) << &c - cases;
        for (int i = 0; i < c.w * c.h; ++i)
            EXPECT_EQ(edges[i], c.edges.count({i % c.w, i / c.w})) << &c - cases << ": " << i % c.w << "," << i / c.w;
    }
}

// Nested rings of a quadratic ramp that wraps at 256: steps in every
// direction on slopes of every gradient, so that the suppression compares
// across all eight sectors. The marked pixels of the 96 x 64 image are pinned
// by an FNV-1a digest and their count, at two thresholds.
TEST(EdgeMap, SuppressionOnRingsOfEveryDirectionIsPinned) {
    constexpr int W = 96, H = 64;
    std::vector<std::uint8_t> img(W * H), edges(W * H);
    for (int i = 0; i < W * H; ++i) {
        const int x = i % W - 40, y = i / W - 30;
        img[i] = static_cast<std::uint8_t>((x * x + 2 * y * y + x * y) / 6 % 256);
    }
    for (auto [threshold, count, digest] : {std::tuple{20, 1029, 3297468172u}, {60, 499, 2016103692u}}) {
        std::uint32_t hash = 2166136261u;
        const int marked = EdgeMap(img.data(), edges.data(), W, H, threshold);
        for (const std::uint8_t e : edges) hash = (hash ^ e) * 16777619u;
        EXPECT_EQ(marked, count) << threshold;
        EXPECT_EQ(hash, digest) << threshold;
    }
}

TEST(EdgeMap, GradientMagnitudeIsTheSumOfTheTruncatedHalvesForEveryCell) {
    const auto halves = [](int topLeft, int topRight, int bottomLeft, int bottomRight) {
        const int d1 = bottomRight - topLeft, d2 = topRight - bottomLeft;
        return std::min(std::abs((d1 + d2) / 2) + std::abs((d1 - d2) / 2), 255);
    };
    int mismatches = 0;
    const auto check = [&](int topLeft, int topRight, int bottomLeft, int bottomRight) {
        mismatches += gradientMagnitude(static_cast<std::uint8_t>(topLeft), static_cast<std::uint8_t>(topRight),
                                        static_cast<std::uint8_t>(bottomLeft), static_cast<std::uint8_t>(bottomRight)) !=
                      halves(topLeft, topRight, bottomLeft, bottomRight);
    };
    // Every pair of diagonal differences, from the darkest pixels that give
    // it, then from random cells.
    for (int d1 = -255; d1 <= 255; ++d1)
        for (int d2 = -255; d2 <= 255; ++d2)
            check(d1 < 0 ? -d1 : 0, d2 < 0 ? 0 : d2, d2 < 0 ? -d2 : 0, d1 < 0 ? 0 : d1);
    std::mt19937 rng(3);
    for (int i = 0; i < 200000; ++i) check(rng() % 256, rng() % 256, rng() % 256, rng() % 256);
    EXPECT_EQ(mismatches, 0);
}

TEST(EdgeMap, GradientSectorsAgreeWithTheAngleForEveryGradientOfBytes) {
    int mismatches = 0;
    std::array<int, 8> seen{};
    for (int gx = -255; gx <= 255; ++gx)
        for (int gy = -255; gy <= 255; ++gy) {
            const int sector = gradientSector(gx, gy);
            mismatches += sector != gradientSectorByAngle(gx, gy);
            ++seen[static_cast<std::size_t>(sector & 7)];
        }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(gradientSector(10, 0), 4);
    EXPECT_EQ(gradientSector(0, 10), 6);
    EXPECT_EQ(gradientSector(-10, 0), 0);
    EXPECT_EQ(gradientSector(-10, -10), 1);
    for (const int n : seen) EXPECT_GT(n, 20000);
}

// Thins a w x h map of set pixels through thinEdgeChains, its pixels listed
// in the order given by `order` (raster order permuted); returns the map
// of the pixels kept, after checking that they came in raster order.
std::vector<std::uint8_t> thinnedMap(const std::vector<std::uint8_t>& map, int w, int h, std::mt19937* order) {
    std::vector<std::uint8_t> states(map.size());
    std::vector<std::int32_t> chain;
    for (int i = 0; i < w * h; ++i) {
        states[i] = map[i] ? kEdgeOnChain : static_cast<std::uint8_t>(i % 3);  // other states are not edges
        if (map[i]) chain.insert(chain.end(), {i % w, i / w});
    }
    if (order != nullptr) {
        std::vector<std::size_t> perm(chain.size() / 2);
        std::iota(perm.begin(), perm.end(), std::size_t{0});
        std::shuffle(perm.begin(), perm.end(), *order);
        std::vector<std::int32_t> shuffled;
        for (std::size_t p : perm) shuffled.insert(shuffled.end(), {chain[2 * p], chain[2 * p + 1]});
        chain = shuffled;
    }
    std::vector<std::int32_t> pixels;
    thinEdgeChains(states.data(), w, h, chain, pixels);
    std::vector<std::uint8_t> out(map.size(), 0);
    for (std::size_t i = 0; i < pixels.size(); i += 2) {
        if (i > 0) {
            EXPECT_LT(pixels[i - 1] * w + pixels[i - 2], pixels[i + 1] * w + pixels[i]) << "raster order";
        }
        out[static_cast<std::size_t>(pixels[i + 1] * w + pixels[i])] = 1;
    }
    return out;
}

TEST(ThinEdgeChains, KeepsTheMiddleOfEachRunAlongRowsThenColumns) {
    // A single pixel stays; runs 2..6 (odd length), 8..11 (even) and 13..14
    // (reaching the last column) keep 4, 9 and 13.
    EXPECT_EQ(thinnedMap({1, 0, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1, 0, 1, 1}, 15, 1, nullptr),
              (std::vector<std::uint8_t>{1, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0}));
    // A 3 x 3 block: the rows thin to their middle column, the column to its middle row.
    EXPECT_EQ(thinnedMap({0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 1, 1, 1, 0, 0, 1, 1, 1, 0, 0, 0, 0, 0, 0}, 5, 5, nullptr),
              (std::vector<std::uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    // Random maps, their pixels listed in random order, against runs thinned
    // row by row and then column by column on the map itself.
    std::mt19937 rng(41);
    for (int round = 0; round < 300; ++round) {
        const int w = 1 + static_cast<int>(rng() % 23), h = 1 + static_cast<int>(rng() % 19);
        const unsigned density = 1 + rng() % 9;
        std::vector<std::uint8_t> map(static_cast<std::size_t>(w) * h);
        for (auto& v : map) v = rng() % 10 < density;
        std::vector<std::uint8_t> model = map;
        const auto thinRuns = [&](int lines, int length, auto&& cell) {
            for (int line = 0; line < lines; ++line)
                for (int i = 0; i < length;) {
                    if (!cell(line, i)) { ++i; continue; }
                    int last = i;
                    while (last + 1 < length && cell(line, last + 1)) ++last;
                    for (int j = i; j <= last; ++j) cell(line, j) = 0;
                    cell(line, (i + last) / 2) = 1;
                    i = last + 1;
                }
        };
        thinRuns(h, w, [&](int y, int x) -> std::uint8_t& { return model[y * w + x]; });
        thinRuns(w, h, [&](int x, int y) -> std::uint8_t& { return model[y * w + x]; });
        EXPECT_EQ(thinnedMap(map, w, h, &rng), model) << "round " << round;
    }
}

TEST(CollectCircles, MergesCandidatesCloserThanTheMinimumDistanceAndStopsBeyondMaxCount) {
    // 3 slices of 10 x 10 cells, 2 pixels each, for radii 10, 12 and 14.
    // Votes go in as (slice, gx, gy, value); out come the largest vote, then
    // the circles as (x, y, radius, vote).
    using Out = std::vector<std::array<float, 4>>;
    const auto collect = [](const Out& votes, int threshold, int maxCount) {
        const AccumulatorShape shape{3, 10, 10, 2};
        std::vector<float> cells(400, 0.0f);
        for (int i = 300; i < 400; ++i) cells[i] = 1000.0f;  // a fourth slice, beyond the accumulator: never read
        for (auto [k, gx, gy, v] : votes) cells[static_cast<int>((k * 10 + gy) * 10 + gx)] = v;
        Out out{{0, 0, 0, static_cast<float>(largestVote(cells.data(), shape))}};
        for (const DetectedCircle& c : collectCircles(cells.data(), shape, findCirclesSettings(14, 10, threshold, maxCount)))
            out.push_back({c.x, c.y, c.radius, static_cast<float>(c.vote)});
        return out;
    };
    // (10, 10) r 12 and (12, 10) r 14, 2 pixels apart, merge: averaged
    // centre and radius, the larger vote truncated. (14, 14) lies 3 and 4
    // from the merged (11, 10): 25 >= 16, a circle of its own. 8 is below
    // the threshold.
    EXPECT_EQ(collect({{1, 5, 5, 10.5f}, {2, 6, 5, 12.75f}, {2, 7, 7, 9.0f}, {0, 9, 9, 8.0f}}, 9, 10),
              (Out{{0, 0, 0, 12}, {11, 10, 13, 12}, {14, 14, 14, 9}}));
    // Offsets are truncated before they are squared: (6, 4) r 12 lies 2
    // from (4, 4) and merges into it, keeping the earlier, larger vote;
    // (8, 4) lies exactly 4 from (4, 4) (16, not below 16): a new circle.
    EXPECT_EQ(collect({{0, 2, 2, 20.0f}, {0, 4, 2, 20.0f}, {1, 3, 2, 15.5f}}, 1, 10),
              (Out{{0, 0, 0, 20}, {5, 4, 11, 20}, {8, 4, 10, 20}}));
    // Five cells 4 pixels apart diagonally: the list stops one beyond maxCount.
    Out five{{1, 0, 0, 30}, {1, 2, 2, 30}, {1, 4, 4, 30}, {1, 6, 6, 30}, {1, 8, 8, 30}};
    for (int maxCount : {0, 1, 3}) EXPECT_EQ(collect(five, 5, maxCount).size(), static_cast<std::size_t>(maxCount) + 2);
    EXPECT_EQ(collect(five, 31, 10).size(), 1u);  // a threshold above every cell
    five.push_back({2, 1, 1, 41.9f});
    EXPECT_EQ(collect(five, 5, 10)[0][3], 41.0f);  // the largest vote, truncated
}

TEST(DetectCircles, FlatImagesAndShortRadiusRangesFindNothing) {
    const std::vector<std::uint8_t> flat(64 * 48, 90);
    const ConstGrayView view{flat.data(), 64, 64, 48};
    EXPECT_EQ(detectCircles(view, findCirclesSettings(40, 10, 1, 5)).largestVote, 0);  // no edges, no votes
    // With a threshold of 0 every cell of a voting range is a candidate.
    // Radii 10..14 make 3 slices, the middle one voting: the list fills up
    // to maxCount + 1. 10..13 make 2 slices and 14..10 is reversed: nothing
    // votes and nothing is listed; neither does a negative cell size.
    EXPECT_EQ(detectCircles(view, findCirclesSettings(14, 10, 0, 2)).circles.size(), 3u);
    EXPECT_TRUE(detectCircles(view, findCirclesSettings(13, 10, 0, 2)).circles.empty());
    EXPECT_TRUE(detectCircles(view, findCirclesSettings(10, 14, 0, 2)).circles.empty());
    EXPECT_TRUE(detectCircles(view, [] { auto s = findCirclesSettings(14, 10, 0, 2); s.cellSize = -2; return s; }()).circles.empty());
}

TEST(FindCircles, FindsDrawnCirclesWithinTwoPixels) {
    // The detector's radii are the even ones from 10 to 40, and a disc of
    // radius r - 0.5 has its edge about r from the centre: these discs sit on
    // a radius slice. Circles of one radius are found together. With a
    // threshold of 70 % of the fullest cell every circle listed must match a
    // drawn one and carry an integer vote at or above the threshold.
    const struct { int w, h; std::vector<std::array<double, 3>> drawn; } cases[] = {
        {140, 110, {{45, 40, 11.5}}}, {140, 110, {{45, 40, 19.5}}}, {140, 110, {{70.3, 55.6, 19.5}}},
        {140, 110, {{45, 40, 29.5}}}, {140, 110, {{70.3, 55.6, 33.5}}}, {140, 110, {{45, 40, 37.5}}},
        {200, 100, {{50, 50, 19.5}, {150, 50, 19.5}}}, {240, 180, {{50, 50, 15.5}, {160, 60, 15.5}, {100, 130, 15.5}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::vector<std::uint8_t> img(c.w * c.h, 30);
        for (const auto& d : c.drawn) testing::drawDisc(img.data(), c.w, c.w, c.h, d[0], d[1], d[2], 200);
        const int largest = detectCircles(ConstGrayView{img.data(), c.w, c.w, c.h}, findCirclesSettings(40, 10, INT_MAX, 2)).largestVote;
        std::vector<CircleRecord> out(11);
        const int n = findCircles(img.data(), c.w, c.w, c.h, 40, 10, largest * 7 / 10, out.data(), 10);
        ASSERT_EQ(n, static_cast<int>(c.drawn.size()));
        std::vector<bool> matched(c.drawn.size(), false);
        for (int i = 0; i < n; ++i) {
            std::size_t j = 0;
            while (j < c.drawn.size() && (matched[j] || std::hypot(out[i].x - c.drawn[j][0], out[i].y - c.drawn[j][1]) > 2.0 ||
                                          std::fabs(out[i].radius - c.drawn[j][2]) > 2.0)) ++j;
            ASSERT_LT(j, c.drawn.size()) << "circle " << out[i].x << "," << out[i].y << " r " << out[i].radius;
            matched[j] = true;
            EXPECT_GE(out[i].vote, static_cast<float>(largest * 7 / 10));
            EXPECT_EQ(out[i].vote, std::trunc(out[i].vote));
        }
    }
    // Accumulator cells of one and of three pixels find the same circle, to
    // about a cell.
    std::vector<std::uint8_t> img(140 * 110, 30);
    testing::drawDisc(img.data(), 140, 140, 110, 70.3, 55.6, 19.5, 200);
    for (int cell : {1, 3}) {
        CircleSettings s = findCirclesSettings(40, 10, INT_MAX, 2);
        s.cellSize = cell;
        s.voteThreshold = detectCircles(ConstGrayView{img.data(), 140, 140, 110}, s).largestVote * 7 / 10;
        const std::vector<DetectedCircle> found = detectCircles(ConstGrayView{img.data(), 140, 140, 110}, s).circles;
        ASSERT_FALSE(found.empty()) << cell;
        for (const DetectedCircle& c : found)
            EXPECT_TRUE(std::hypot(c.x - 70.3, c.y - 55.6) <= cell + 0.5 && std::fabs(c.radius - 19.5) <= 2.0)
                << cell << ": " << c.x << "," << c.y << " r " << c.radius;
    }
}

TEST(BoundedVotes, ListTheCirclesOfTheFullAccumulator) {
    // Discs (x, y, radius, gray) on a background of 30 plus noise up to
    // `noise`, some cut by the border; each case runs every threshold and
    // list length against the full accumulator. Threshold 1 on noise puts
    // most cells of a slice above its bound: such slices vote in full.
    const struct {
        int w, h, noise, minRadius, maxRadius;
        std::vector<std::array<double, 4>> discs;
    } cases[] = {
        {241, 177, 0, 10, 40, {{60, 50, 19.5, 200}, {180, 60, 11.5, 160}, {120, 150, 33.5, 220}, {5, 170, 25, 90}}},
        {160, 120, 60, 10, 40, {{80.3, 60.6, 27.5, 200}, {20, 20, 14, 120}}},
        {130, 97, 25, 1, 13, {{30, 30, 4.5, 200}, {90, 50, 8.5, 200}, {64, 90, 11, 140}}},
        {300, 260, 10, 60, 96, {{150, 130, 77.5, 200}, {40, 240, 70, 180}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        std::vector<std::uint8_t> img(static_cast<std::size_t>(c.w) * c.h, 30);
        std::uint32_t random = 12345;
        for (std::uint8_t& p : img) {
            random = random * 1103515245u + 12345u;
            p = static_cast<std::uint8_t>(p + (c.noise > 0 ? (random >> 16) % c.noise : 0));
        }
        for (const auto& d : c.discs)
            testing::drawDisc(img.data(), c.w, c.w, c.h, d[0], d[1], d[2], static_cast<int>(d[3]));
        VotingPlan plan;
        ASSERT_TRUE(planVotes(ConstGrayView{img.data(), c.w, c.w, c.h}, findCirclesSettings(c.maxRadius, c.minRadius, 1, 0), plan));
        const CircleVotes votes = voteForCircles(plan);
        for (int threshold : {1, 9, 40, 90, votes.largestVote, INT_MAX})
            for (int maxCount : {0, 4, 200}) {
                const CircleSettings s = findCirclesSettings(c.maxRadius, c.minRadius, threshold, maxCount);
                ASSERT_TRUE(boundedVotesSuit(plan, s));
                const auto full = collectCircles(votes.acc.get(), votes.shape, s);
                for (bool lanes : {true, false}) {
                    const auto bounded = findCirclesBounded(plan, s, lanes);
                    ASSERT_EQ(bounded.size(), full.size()) << threshold << " " << maxCount << " " << lanes;
                    EXPECT_EQ(std::memcmp(bounded.data(), full.data(), full.size() * sizeof(DetectedCircle)), 0)
                        << threshold << " " << maxCount << " " << lanes;
                }
            }
    }
    // Settings it leaves to the full accumulator.
    std::vector<std::uint8_t> img(64 * 48, 30);
    testing::drawDisc(img.data(), 64, 64, 48, 30, 24, 15, 200);
    for (const auto& change : std::vector<void (*)(CircleSettings&)>{
             [](CircleSettings& s) { s.voteThreshold = 0; }, [](CircleSettings& s) { s.cellSize = 3; },
             [](CircleSettings& s) { s.angleStep = 0.5f; }, [](CircleSettings& s) { s.minRadius = -4; }}) {
        CircleSettings s = findCirclesSettings(20, 10, 5, 10);
        change(s);
        VotingPlan plan;
        ASSERT_TRUE(planVotes(ConstGrayView{img.data(), 64, 64, 48}, s, plan));
        EXPECT_FALSE(boundedVotesSuit(plan, s));
    }
}

TEST(FindCircles, WritesRecordsAndRejectsBadArgumentsWithoutWriting) {
    GuardedImage img(120, 100, 128);
    img.fill(30);
    testing::drawDisc(img.data(), 120, 128, 100, 60, 50, 20, 200);
    const auto before = img.pixels();
    // maxCount 0 stops after the first candidate: one circle, and the record
    // after it is not written. A reversed radius range finds nothing and is no error.
    std::vector<CircleRecord> out(3, CircleRecord{-1, -1, -1, -1});
    setLastError("probe", "kept");
    EXPECT_EQ(findCircles(img.data(), 120, 128, 100, 40, 10, 1, out.data(), 0), 1);
    EXPECT_EQ((std::vector<float>{out[1].x, out[1].y, out[1].radius, out[1].vote}), std::vector<float>(4, -1.0f));
    EXPECT_EQ(findCircles(img.data(), 120, 128, 100, 10, 40, 0, out.data(), 2), 0);
    EXPECT_STREQ(getLastError(), "probe: kept");
    EXPECT_EQ(img.pixels(), before);
    EXPECT_TRUE(img.guardsIntact());
    out.assign(3, CircleRecord{-1, -1, -1, -1});
    const struct { const std::uint8_t* image; int w, s, h; CircleRecord* out; int maxCount; const char* message; } cases[] = {
        {nullptr, 120, 128, 100, out.data(), 2, "findCircles: image pixels are null"},
        {img.data(), 120, 128, 100, nullptr, 2, "findCircles: out is null"},
        {img.data(), 120, 128, 100, out.data(), -1, "findCircles: maxCount -1 is below 0"},
        {img.data(), 120, 119, 100, out.data(), 2, "findCircles: image stride 119 is below its width 120"},
        {img.data(), -40, 128, 100, out.data(), 2, "findCircles: image width -40 is below 1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(findCircles(c.image, c.w, c.s, c.h, 40, 10, 0, c.out, c.maxCount), 0);
        EXPECT_STREQ(getLastError(), c.message);
        for (const CircleRecord& r : out) EXPECT_EQ(r.x, -1.0f);
    }
    test(nullptr, 40, 48, 30);
    EXPECT_STREQ(getLastError(), "test: image pixels are null");
    test(img.data(), 40, 48, 0);
    EXPECT_STREQ(getLastError(), "test: image height 0 is below 1");
}

TEST(CircleTest, LowersTheThresholdUntilTwoCirclesOrNoChange) {
    const auto run = [](std::vector<std::uint8_t> img, int w, int h) { return runCircleTest(ConstGrayView{img.data(), w, w, h}); };
    // Two circles of one radius: the first run, at half the fullest cell, finds both.
    std::vector<std::uint8_t> two(200 * 100, 30);
    for (double cx : {50.0, 150.0}) testing::drawDisc(two.data(), 200, 200, 100, cx, 50, 19.5, 200);
    const auto both = run(two, 200, 100);
    EXPECT_EQ(both.thresholds, std::vector<int>{both.largestVote / 2});
    EXPECT_GE(both.lastCount, 2u);
    // One disc whose votes fill exactly two cells stops there too.
    std::vector<std::uint8_t> one(60 * 30, 30);
    testing::drawDisc(one.data(), 60, 60, 30, 15, 15, 14, 200);
    const auto exact = run(one, 60, 30);
    EXPECT_EQ(std::pair(exact.lastCount, exact.thresholds), std::pair(std::size_t{2}, std::vector<int>{54}));
    // A flat image: the fullest cell is 0, the threshold 0 repeats at once.
    const auto flat = run(std::vector<std::uint8_t>(50 * 40, 9), 50, 40);
    EXPECT_EQ(flat.largestVote, 0);
    EXPECT_EQ(flat.thresholds, std::vector<int>{0});
    // A 5 x 5 image has 3 x 3 cells, all within 4 pixels of each other: no
    // run finds two circles; the factor goes 0.5, 0.4 ... 0.1, or stops
    // earlier when the threshold stops changing.
    GuardedImage tiny(5, 5);
    tiny.fillRandom(21);
    const auto pixels = tiny.pixels();
    const auto small = run(pixels, 5, 5);
    EXPECT_LT(small.lastCount, 2u);
    std::vector<int> expected;
    for (int t = 5; t > 0 && (expected.empty() || static_cast<int>(small.largestVote * (t / 10.0)) != expected.back()); --t)
        expected.push_back(static_cast<int>(small.largestVote * (t / 10.0)));
    EXPECT_EQ(small.thresholds, expected);
    test(tiny.data(), 5, 5, 5);  // the export runs it too, writing nothing
    EXPECT_EQ(tiny.pixels(), pixels);
    EXPECT_TRUE(tiny.guardsIntact());
}

}  // namespace
}  // namespace pcbinspect
