// The circle detector, findCircles and test.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "boundary/last_error.h"
#include "circles/circle_detector.h"
#include "circles/find_circles.h"
#include "pcbinspect/exports.h"
#include "support/shape_images.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::GuardedImage;

// An accumulator of 3 slices of 10 x 10 cells, 2 pixels each, for radii
// 10, 12 and 14.
struct Accumulator {
    AccumulatorShape shape{3, 10, 10, 2};
    std::vector<float> cells = std::vector<float>(300, 0.0f);
    float& at(int k, int gx, int gy) { return cells[(k * 10 + gy) * 10 + gx]; }
};

CircleSettings collecting(int threshold, int maxCount) {
    CircleSettings s = findCirclesSettings(14, 10, threshold, maxCount);
    return s;
}

TEST(CollectCircles, MergesCandidatesCloserThanTheMinimumDistance) {
    Accumulator acc;
    acc.at(1, 5, 5) = 10.5f;  // (10, 10), radius 12
    acc.at(2, 6, 5) = 12.75f; // (12, 10), radius 14: 2 pixels away, merged
    acc.at(2, 7, 7) = 9.0f;   // (14, 14): offsets 3 and 4 from the merged (11, 10), 25 >= 16
    acc.at(0, 9, 9) = 8.0f;   // below the threshold
    const auto list = collectCircles(acc.cells.data(), acc.shape, collecting(9, 10));
    ASSERT_EQ(list.size(), 2u);
    // Averaged centre and radius; the larger vote, truncated.
    EXPECT_EQ(list[0].x, 11.0f);
    EXPECT_EQ(list[0].y, 10.0f);
    EXPECT_EQ(list[0].radius, 13.0f);
    EXPECT_EQ(list[0].vote, 12);
    EXPECT_EQ(list[1].x, 14.0f);
    EXPECT_EQ(list[1].y, 14.0f);
    EXPECT_EQ(list[1].radius, 14.0f);
    EXPECT_EQ(list[1].vote, 9);
    // Offsets are truncated before they are squared: (13.5, 10) to (10, 10)
    // is 3 pixels (9 < 16), merged; exactly 4 pixels apart (16) is not.
    Accumulator far;
    far.at(0, 2, 2) = 20.0f;  // (4, 4)
    far.at(0, 4, 2) = 20.0f;  // (8, 4): 4 pixels from (4, 4), a new circle
    far.at(1, 2, 2) = 15.5f;  // (4, 4) again, radius 12: merged into the first
    const auto farList = collectCircles(far.cells.data(), far.shape, collecting(1, 10));
    ASSERT_EQ(farList.size(), 2u);
    EXPECT_EQ(farList[0].radius, 11.0f);
    EXPECT_EQ(farList[0].vote, 20);  // the earlier, larger vote stays
    EXPECT_EQ(farList[1].x, 8.0f);
}

TEST(CollectCircles, StopsOneCircleBeyondMaxCount) {
    Accumulator acc;
    for (int i = 0; i < 5; ++i) acc.at(1, 2 * i, 2 * i) = 30.0f;  // 4 pixels apart diagonally
    for (int maxCount : {0, 1, 3}) {
        const auto list = collectCircles(acc.cells.data(), acc.shape, collecting(5, maxCount));
        EXPECT_EQ(list.size(), static_cast<std::size_t>(maxCount) + 1);
    }
    // A threshold above every cell finds nothing; the fullest cell is 30.
    EXPECT_TRUE(collectCircles(acc.cells.data(), acc.shape, collecting(31, 10)).empty());
    EXPECT_EQ(largestVote(acc.cells.data(), acc.shape), 30);
    acc.at(2, 1, 1) = 41.9f;
    EXPECT_EQ(largestVote(acc.cells.data(), acc.shape), 41);  // truncated
}

// A dark image with bright discs.
std::vector<std::uint8_t> discs(int w, int h, const std::vector<std::array<double, 3>>& list) {
    std::vector<std::uint8_t> img(static_cast<std::size_t>(w) * h, 30);
    for (const auto& d : list) testing::drawDisc(img.data(), w, w, h, d[0], d[1], d[2], 200);
    return img;
}

TEST(DetectCircles, FlatImagesAndShortRadiusRangesFindNothing) {
    const std::vector<std::uint8_t> flat(64 * 48, 90);
    const ConstGrayView view{flat.data(), 64, 64, 48};
    // No edges: no votes, largest vote 0 and no cell reaches a threshold of 1.
    const auto none = detectCircles(view, findCirclesSettings(40, 10, 1, 5));
    EXPECT_EQ(none.largestVote, 0);
    EXPECT_TRUE(none.circles.empty());

    // With a threshold of 0 every cell of a voting range is a candidate.
    // Radii 10..14 make 3 slices, the middle one voting: the list fills up
    // to maxCount + 1. 10..13 make 2 slices and 14..10 a reversed range:
    // nothing votes and nothing is listed. A negative cell size lists nothing.
    EXPECT_EQ(detectCircles(view, findCirclesSettings(14, 10, 0, 2)).circles.size(), 3u);
    EXPECT_TRUE(detectCircles(view, findCirclesSettings(13, 10, 0, 2)).circles.empty());
    EXPECT_TRUE(detectCircles(view, findCirclesSettings(10, 14, 0, 2)).circles.empty());
    CircleSettings negativeCell = findCirclesSettings(14, 10, 0, 2);
    negativeCell.cellSize = -2;
    EXPECT_TRUE(detectCircles(view, negativeCell).circles.empty());
}

// Circles found with a threshold of 70 % of the fullest cell, which the
// drawn circle's centre holds; every circle listed must match a drawn one.
void expectFound(int w, int h, const std::vector<std::array<double, 3>>& drawn) {
    SCOPED_TRACE(::testing::Message() << "first circle " << drawn[0][0] << "," << drawn[0][1]
                                      << " r " << drawn[0][2]);
    const auto img = discs(w, h, drawn);
    const ConstGrayView view{img.data(), w, w, h};
    const int largest = detectCircles(view, findCirclesSettings(40, 10, INT_MAX, 2)).largestVote;
    ASSERT_GT(largest, 0);
    std::vector<CircleRecord> out(11);
    const int n = findCircles(img.data(), w, w, h, 40, 10, largest * 7 / 10, out.data(), 10);
    ASSERT_EQ(n, static_cast<int>(drawn.size()));
    std::vector<bool> matched(drawn.size(), false);
    for (int i = 0; i < n; ++i) {
        bool found = false;
        for (std::size_t j = 0; j < drawn.size(); ++j) {
            // Within two pixels in centre and radius.
            if (std::hypot(out[i].x - drawn[j][0], out[i].y - drawn[j][1]) <= 2.0 &&
                std::fabs(out[i].radius - drawn[j][2]) <= 2.0 && !matched[j]) {
                matched[j] = found = true;
                break;
            }
        }
        EXPECT_TRUE(found) << "circle " << out[i].x << "," << out[i].y << " r " << out[i].radius;
        EXPECT_GE(out[i].vote, static_cast<float>(largest * 7 / 10));
        EXPECT_EQ(out[i].vote, std::trunc(out[i].vote));  // an integer vote
    }
}

TEST(FindCircles, FindsDrawnCirclesWithinTwoPixels) {
    // The detector's radii are the even ones from 10 to 40, and a disc of
    // radius r - 0.5 has its edge about r from the centre: these discs sit
    // on a radius slice.
    expectFound(140, 110, {{45, 40, 11.5}});
    expectFound(140, 110, {{45, 40, 19.5}});
    expectFound(140, 110, {{70.3, 55.6, 19.5}});
    expectFound(140, 110, {{45, 40, 29.5}});
    expectFound(140, 110, {{70.3, 55.6, 33.5}});
    expectFound(140, 110, {{45, 40, 37.5}});
    // Circles of one radius are found together.
    expectFound(200, 100, {{50, 50, 19.5}, {150, 50, 19.5}});
    expectFound(240, 180, {{50, 50, 15.5}, {160, 60, 15.5}, {100, 130, 15.5}});
}

TEST(FindCircles, WritesRecordsAndLeavesTheRestOfTheBuffer) {
    GuardedImage img(120, 100, 128);
    img.fill(30);
    testing::drawDisc(img.data(), 120, 128, 100, 60, 50, 20, 200);
    const auto before = img.pixels();
    // maxCount 0 stops after the first candidate: one circle, and the
    // record after it is not written.
    std::vector<CircleRecord> out(3, CircleRecord{-1, -1, -1, -1});
    EXPECT_EQ(findCircles(img.data(), 120, 128, 100, 40, 10, 1, out.data(), 0), 1);
    EXPECT_GE(out[0].vote, 1.0f);
    EXPECT_EQ(out[1].x, -1.0f);
    EXPECT_EQ(out[1].vote, -1.0f);
    EXPECT_EQ(img.pixels(), before);
    EXPECT_TRUE(img.guardsIntact());

    // A reversed radius range finds nothing and is no error.
    setLastError("probe", "kept");
    EXPECT_EQ(findCircles(img.data(), 120, 128, 100, 10, 40, 0, out.data(), 2), 0);
    EXPECT_STREQ(getLastError(), "probe: kept");
}

TEST(FindCircles, RejectsBadArgumentsWithoutWriting) {
    GuardedImage img(40, 30, 48);
    img.fillRandom(4);
    std::vector<CircleRecord> out(3, CircleRecord{-1, -1, -1, -1});
    const struct {
        const std::uint8_t* image;
        int w, s, h;
        CircleRecord* out;
        int maxCount;
        const char* message;
    } cases[] = {
        {nullptr, 40, 48, 30, out.data(), 2, "findCircles: image pixels are null"},
        {img.data(), 40, 48, 30, nullptr, 2, "findCircles: out is null"},
        {img.data(), 40, 48, 30, out.data(), -1, "findCircles: maxCount -1 is below 0"},
        {img.data(), 40, 39, 30, out.data(), 2, "findCircles: image stride 39 is below its width 40"},
        {img.data(), -40, 48, 30, out.data(), 2, "findCircles: image width -40 is below 1"},
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
    // Two circles of one radius: the first run, at half the fullest cell,
    // already finds both.
    const auto two = discs(200, 100, {{50, 50, 19.5}, {150, 50, 19.5}});
    const auto run = runCircleTest(ConstGrayView{two.data(), 200, 200, 100});
    ASSERT_EQ(run.thresholds.size(), 1u);
    EXPECT_EQ(run.thresholds[0], run.largestVote / 2);
    EXPECT_GE(run.lastCount, 2u);

    // A flat image: the fullest cell is 0, so the threshold 0 of the first
    // run repeats at once and the sequence ends after one run.
    const std::vector<std::uint8_t> flat(50 * 40, 9);
    const auto flatRun = runCircleTest(ConstGrayView{flat.data(), 50, 50, 40});
    EXPECT_EQ(flatRun.largestVote, 0);
    EXPECT_EQ(flatRun.thresholds, std::vector<int>{0});

    // A 5 x 5 image has 3 x 3 cells, all within 4 pixels of each other, so
    // no run finds two circles; the factor goes 0.5, 0.4 ... 0.1 and the
    // sequence ends there, or earlier when the threshold stops changing.
    GuardedImage tiny(5, 5);
    tiny.fillRandom(21);
    const auto tinyRun = runCircleTest(ConstGrayView{tiny.data(), 5, 5, 5});
    ASSERT_FALSE(tinyRun.thresholds.empty());
    EXPECT_LE(tinyRun.thresholds.size(), 5u);
    EXPECT_LT(tinyRun.lastCount, 2u);
    for (std::size_t i = 0; i < tinyRun.thresholds.size(); ++i) {
        EXPECT_EQ(tinyRun.thresholds[i],
                  static_cast<int>(tinyRun.largestVote * ((5 - static_cast<int>(i)) / 10.0)));
        if (i > 0) {
            EXPECT_LT(tinyRun.thresholds[i], tinyRun.thresholds[i - 1]);
        }
    }
    // The export returns on it too, without writing the image.
    const auto before = tiny.pixels();
    test(tiny.data(), 5, 5, 5);
    EXPECT_EQ(tiny.pixels(), before);
    EXPECT_TRUE(tiny.guardsIntact());
}

}  // namespace
}  // namespace pcbinspect
