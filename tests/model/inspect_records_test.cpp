// Parameter vector, tolerance, tolerance-table lookup and flaw records.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cmath>
#include <vector>

#include "model/inspect_records.h"

namespace pcbinspect {
namespace {

TEST(InspectParams, EntriesBeyondTheCountReadAsZeroAndHoleSizeNeedsALimit) {
    std::vector<float> given(35);
    for (int i = 0; i < 35; ++i) given[i] = 1.5f + i;
    const InspectParams three = InspectParams::load(given.data(), 3), none{};
    EXPECT_EQ(std::vector<float>(three.value.begin(), three.value.begin() + 4), (std::vector<float>{1.5f, 2.5f, 3.5f, 0}));
    EXPECT_EQ(InspectParams::load(given.data(), 1000)[34], 35.5f);  // only 35 entries read
    EXPECT_TRUE(InspectParams::load(given.data(), -4).value == none.value && InspectParams::load(nullptr, 35).value == none.value);
    // Entries 29..32 enable the hole-size check when one is above 2^-23 in magnitude.
    const struct { int index; float value; int count; bool enabled; } cases[] = {
        {0, 0.0f, 35, false}, {31, 1.1920929e-7f, 35, false}, {32, -2.5e-7f, 35, true},
        {28, 5.0f, 35, false}, {33, 5.0f, 35, false}, {29, 0.2f, 35, true}, {29, 0.2f, 29, false}};
    for (const auto& c : cases) {
        std::vector<float> p(35, 0.0f);
        p[c.index] = c.value;
        EXPECT_EQ(InspectParams::load(p.data(), c.count).holeSizeCheckEnabled(), c.enabled) << c.index;
    }
}

TEST(InspectRecords, ToleranceFlawWriterAndScoreField) {
    for (auto [percent, expected] : {std::pair{50, 0.5f}, {-20, 0.0f}, {250, 1.0f}, {7, 0.07f}})  // clamped to 0..1
        EXPECT_EQ(toleranceFromControl(std::array<std::int32_t, 5>{percent}.data()), expected) << percent;
    std::vector<std::int32_t> out(20, -7);
    FlawWriter writer(out.data(), 20);  // room for two records and six spare ints
    for (int i = 0; i < 3; ++i) EXPECT_EQ(writer.append(FlawRecord{5, 46, 1, 2, 3, 4, 0}), i < 2);
    EXPECT_EQ(writer.count(), 2);
    EXPECT_EQ(out[7], 5);
    EXPECT_EQ(out[14], -7);  // nothing past the second record
    EXPECT_EQ(scoreField(std::nextafter(0.46f, 0.0f)), 45);  // truncated toward zero
    EXPECT_EQ(scoreField(-0.019f), -1);
    EXPECT_EQ(scoreField(std::nanf("")), INT_MIN);
    EXPECT_EQ(scoreField(3e8f), INT_MIN);
}

TEST(WidthToleranceLookup, TakesTheSmallestKeyAboveTheWidthComparedTruncated) {
    auto lookup = [](std::vector<float> keys, float width) {
        std::vector<float> t;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            t.push_back(keys[i]);
            for (int f = 1; f < 9; ++f) t.push_back(static_cast<float>(100 * i + f));
        }
        const WidthTolerance* r = findWidthTolerance(t.data(), static_cast<int>(keys.size()), width);
        // The record found, by the limits it carries: fields 6, 7 and 8 of record i are 100 i + 6..8.
        return r == nullptr ? -1 : static_cast<int>(r->widenLimit + r->narrowLimit + r->spacingLimit - 21) / 300;
    };
    const std::vector<float> keys{12.0f, 6.0f, 9.0f, 4.0f};
    EXPECT_EQ(lookup(keys, 5.0f), 1);
    EXPECT_EQ(lookup(keys, 6.0f), 2);  // strictly above
    EXPECT_EQ(lookup(keys, 3.9f), 3);
    EXPECT_EQ(lookup(keys, 12.0f), -1);
    EXPECT_EQ(lookup({5.5f, 5.2f}, 4.0f), 0);       // 5.5 is held as 5; 5.2 is not below 5
    EXPECT_EQ(lookup({7.0f, 7.0f}, 4.0f), 0);       // equal keys: the first listed wins
    EXPECT_EQ(lookup({99999.0f, 1e6f}, 4.0f), -1);  // keys of 99999 and more are never taken
    EXPECT_EQ(findWidthTolerance(nullptr, 3, 1.0f), nullptr);
}

}  // namespace
}  // namespace pcbinspect
