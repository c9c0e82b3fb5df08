// Parameter vector, tolerance, tolerance-table lookup and flaw records.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "model/inspect_records.h"

namespace pcbinspect {
namespace {

TEST(InspectParams, EntriesBeyondTheCountReadAsZero) {
    std::vector<float> given(35);
    for (int i = 0; i < 35; ++i) given[i] = 1.5f + i;
    const InspectParams three = InspectParams::load(given.data(), 3);
    EXPECT_EQ(three[0], 1.5f);
    EXPECT_EQ(three[2], 3.5f);
    EXPECT_EQ(three[3], 0.0f);
    EXPECT_EQ(three[34], 0.0f);
    // A count above 35 reads only the 35 entries the vector has.
    const InspectParams all = InspectParams::load(given.data(), 1000);
    EXPECT_EQ(all[34], 35.5f);
    EXPECT_EQ(InspectParams::load(given.data(), -4)[0], 0.0f);
    EXPECT_EQ(InspectParams::load(nullptr, 35)[0], 0.0f);
}

TEST(InspectParams, HoleSizeCheckNeedsALimitAboveEpsilon) {
    std::vector<float> p(35, 0.0f);
    EXPECT_FALSE(InspectParams::load(p.data(), 35).holeSizeCheckEnabled());
    p[31] = 1.1920929e-7f;  // exactly 2^-23: not above it
    EXPECT_FALSE(InspectParams::load(p.data(), 35).holeSizeCheckEnabled());
    p[31] = 0.0f;
    p[32] = -2.5e-7f;  // the magnitude counts
    EXPECT_TRUE(InspectParams::load(p.data(), 35).holeSizeCheckEnabled());
    p[32] = 0.0f;
    p[28] = 5.0f;  // outside the four hole-size entries
    p[33] = 5.0f;
    EXPECT_FALSE(InspectParams::load(p.data(), 35).holeSizeCheckEnabled());
    p[29] = 0.2f;
    EXPECT_TRUE(InspectParams::load(p.data(), 35).holeSizeCheckEnabled());
    EXPECT_FALSE(InspectParams::load(p.data(), 29).holeSizeCheckEnabled());
}

TEST(Tolerance, IsPercentClampedToTheUnitRange) {
    const std::int32_t half[5] = {50, 0, 0, 0, 0};
    const std::int32_t low[5] = {-20, 0, 0, 0, 0};
    const std::int32_t high[5] = {250, 0, 0, 0, 0};
    const std::int32_t some[5] = {7, 0, 0, 0, 0};
    EXPECT_EQ(toleranceFromControl(half), 0.5f);
    EXPECT_EQ(toleranceFromControl(low), 0.0f);
    EXPECT_EQ(toleranceFromControl(high), 1.0f);
    EXPECT_EQ(toleranceFromControl(some), 7.0f / 100.0f);
}

std::vector<float> tableOf(std::vector<float> keys) {
    std::vector<float> t;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        t.push_back(keys[i]);
        for (int f = 1; f < 9; ++f) t.push_back(static_cast<float>(100 * i + f));
    }
    return t;
}

int indexOf(const std::vector<float>& table, const WidthTolerance* found) {
    if (found == nullptr) return -1;
    return static_cast<int>(reinterpret_cast<const float*>(found) - table.data()) / 9;
}

TEST(WidthToleranceLookup, TakesTheSmallestKeyAboveTheWidth) {
    const auto table = tableOf({12.0f, 6.0f, 9.0f, 4.0f});
    const int n = 4;
    EXPECT_EQ(indexOf(table, findWidthTolerance(table.data(), n, 5.0f)), 1);
    EXPECT_EQ(indexOf(table, findWidthTolerance(table.data(), n, 6.0f)), 2);  // strictly above
    EXPECT_EQ(indexOf(table, findWidthTolerance(table.data(), n, 3.9f)), 3);
    EXPECT_EQ(indexOf(table, findWidthTolerance(table.data(), n, 12.0f)), -1);
    EXPECT_EQ(indexOf(table, findWidthTolerance(table.data(), 0, 1.0f)), -1);
    EXPECT_EQ(indexOf(table, findWidthTolerance(nullptr, 3, 1.0f)), -1);
    const WidthTolerance* r = findWidthTolerance(table.data(), n, 8.0f);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->widenLimit, 206.0f);
    EXPECT_EQ(r->narrowLimit, 207.0f);
    EXPECT_EQ(r->spacingLimit, 208.0f);
}

TEST(WidthToleranceLookup, ComparesLaterKeysWithTheTruncatedBest) {
    // 5.5 is held as 5; 5.2 is not below 5 and does not replace it.
    const auto table = tableOf({5.5f, 5.2f});
    EXPECT_EQ(indexOf(table, findWidthTolerance(table.data(), 2, 4.0f)), 0);
    // Equal keys: the first listed wins.
    const auto twins = tableOf({7.0f, 7.0f});
    EXPECT_EQ(indexOf(twins, findWidthTolerance(twins.data(), 2, 4.0f)), 0);
    // Keys of 99999 and more are never taken.
    const auto huge = tableOf({99999.0f, 1e6f});
    EXPECT_EQ(indexOf(huge, findWidthTolerance(huge.data(), 2, 4.0f)), -1);
}

TEST(FlawWriter, StopsBeforeARecordThatWouldNotFit) {
    std::vector<std::int32_t> out(20, -7);
    FlawWriter writer(out.data(), 20);  // room for two records and six spare ints
    const FlawRecord r{5, 46, 1, 2, 3, 4, 0};
    EXPECT_TRUE(writer.append(r));
    EXPECT_TRUE(writer.append(r));
    EXPECT_TRUE(writer.full());
    EXPECT_FALSE(writer.append(r));
    EXPECT_EQ(writer.count(), 2);
    EXPECT_EQ(out[7], 5);
    EXPECT_EQ(out[13], 0);
    EXPECT_EQ(out[14], -7);  // nothing past the second record

    FlawWriter tiny(out.data(), 6);
    EXPECT_FALSE(tiny.append(r));
    EXPECT_EQ(tiny.count(), 0);
}

TEST(ScoreField, TruncatesTowardZero) {
    EXPECT_EQ(scoreField(std::nextafter(0.46f, 0.0f)), 45);
    EXPECT_EQ(scoreField(0.5f), 50);
    EXPECT_EQ(scoreField(-0.019f), -1);
    EXPECT_EQ(scoreField(999.0f), 99900);
    EXPECT_EQ(scoreField(std::numeric_limits<float>::quiet_NaN()), INT_MIN);
    EXPECT_EQ(scoreField(3e8f), INT_MIN);
}

}  // namespace
}  // namespace pcbinspect
