// The checks and the exception frame that every export runs its body in.
#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <stdexcept>

#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "pcbinspect/exports.h"

namespace pcbinspect {
namespace {

TEST(ArgumentCheck, ReportsTheFirstProblemOnly) {
    std::uint8_t pixel = 0;
    ArgumentCheck check("someExport");
    check.image("mask", &pixel, 5, 4, 3).notNull("out", nullptr).atLeast("count", -1, 0);
    EXPECT_FALSE(check.ok());
    EXPECT_STREQ(getLastError(), "someExport: mask stride 4 is below its width 5");
}

TEST(ArgumentCheck, ColourRowsNeedThreeBytesPerPixel) {
    std::uint8_t pixel = 0;
    EXPECT_TRUE(ArgumentCheck("f").image("image", &pixel, 4, 12, 2, 3).ok());
    EXPECT_FALSE(ArgumentCheck("f").image("image", &pixel, 4, 11, 2, 3).ok());
    EXPECT_STREQ(getLastError(), "f: image stride 11 is below its row of 12 bytes");
}

TEST(ArgumentCheck, AcceptsTheLargestThirtyTwoBitGeometry) {
    // Never dereferenced: the check only does arithmetic on the sizes.
    std::uint8_t pixel = 0;
    EXPECT_TRUE(ArgumentCheck("f").image("image", &pixel, 2147483647, 2147483647, 2147483647).ok());
    EXPECT_TRUE(ArgumentCheck("f").atLeast("count", 0, 0).notNull("p", &pixel).ok());
    EXPECT_FALSE(ArgumentCheck("f").atLeast("count", -5, 0).ok());
    EXPECT_STREQ(getLastError(), "f: count -5 is below 0");
}

TEST(CheckedArea, RefusesProductsThatOverflow) {
    std::size_t bytes = 0;
    EXPECT_TRUE(checkedArea(16000, 16000, 4, bytes));
    EXPECT_EQ(bytes, 1024000000u);
    EXPECT_TRUE(checkedArea(2147483647, 2147483647, 1, bytes));
    EXPECT_FALSE(checkedArea(2147483647, 2147483647, 1u << 20, bytes));
    EXPECT_FALSE(checkedArea(-1, 5, 1, bytes));
}

TEST(GuardedExport, TurnsEveryExceptionIntoTheNothingDoneResult) {
    EXPECT_EQ(guardedExport("alloc", 7, []() -> int { throw std::bad_alloc(); }), 7);
    EXPECT_STREQ(getLastError(), "alloc: out of memory");
    EXPECT_EQ(guardedExport("logic", -1, []() -> int { throw std::runtime_error("broken"); }), -1);
    EXPECT_STREQ(getLastError(), "logic: internal error: broken");
    guardedExport("other", [] { throw 42; });
    EXPECT_STREQ(getLastError(), "other: internal error");
    EXPECT_EQ(guardedExport("fine", 0, [] { return 5; }), 5);
    EXPECT_STREQ(getLastError(), "other: internal error");
}

}  // namespace
}  // namespace pcbinspect
