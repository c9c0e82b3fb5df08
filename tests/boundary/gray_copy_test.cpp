// Row and window copies: the exported copyGray and the internal copies at an
// offset, checked against a per-pixel model over many geometries.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "boundary/gray_copy.h"
#include "boundary/last_error.h"
#include "pcbinspect/exports.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::GuardedImage;

// Model: destination pixel (x, y) receives source pixel (x - ox, y - oy) when
// both lie inside their images; every other destination byte is unchanged.
void expectShiftedCopy(const GuardedImage& before, const GuardedImage& after,
                       const GuardedImage& src, int ox, int oy) {
    ASSERT_TRUE(after.guardsIntact());
    for (int y = 0; y < after.height(); ++y) {
        for (int x = 0; x < after.width(); ++x) {
            const int sx = x - ox, sy = y - oy;
            const bool covered = sx >= 0 && sy >= 0 && sx < src.width() && sy < src.height();
            const int expected = covered ? src.at(sx, sy) : before.at(x, y);
            ASSERT_EQ(after.at(x, y), expected) << "at " << x << "," << y;
        }
    }
}

TEST(CopyGray, CopiesTheOverlapAndLeavesTheRest) {
    struct Case {
        int dw, ds, dh, sw, ss, sh;
    };
    const Case cases[] = {
        {10, 10, 8, 10, 10, 8},   // same geometry
        {6, 9, 8, 10, 13, 8},     // narrower destination: dstWidth bytes per row
        {10, 12, 4, 10, 10, 9},   // shorter destination: its first rows only
        {12, 16, 9, 5, 7, 3},     // smaller source: the rest stays as it was
        {1, 1, 1, 7, 7, 7},       // one pixel
        {7, 20, 5, 1, 3, 11},     // one column
    };
    for (const Case& c : cases) {
        GuardedImage src(c.sw, c.sh, c.ss);
        src.fillRandom(1);
        GuardedImage dst(c.dw, c.dh, c.ds);
        dst.fillRandom(2);
        const GuardedImage before = dst;
        copyGray(dst.data(), c.dw, c.ds, c.dh, src.data(), c.sw, c.ss, c.sh);
        expectShiftedCopy(before, dst, src, 0, 0);
        ASSERT_TRUE(src.guardsIntact());
    }
}

TEST(CopyGray, RejectsBadArgumentsWithoutWriting) {
    GuardedImage src(12, 5, 16);
    src.fillRandom(3);
    GuardedImage dst(12, 5, 16);
    dst.fillRandom(4);
    const auto original = dst.pixels();
    struct Case {
        std::uint8_t* d;
        int dw, ds, dh;
        const std::uint8_t* s;
        int sw, ss, sh;
        const char* message;
    };
    const Case cases[] = {
        {nullptr, 12, 16, 5, src.data(), 12, 16, 5, "copyGray: destination pixels are null"},
        {dst.data(), 12, 16, 5, nullptr, 12, 16, 5, "copyGray: source pixels are null"},
        {dst.data(), 0, 16, 5, src.data(), 12, 16, 5, "copyGray: destination width 0 is below 1"},
        {dst.data(), 12, 16, -3, src.data(), 12, 16, 5,
         "copyGray: destination height -3 is below 1"},
        {dst.data(), 12, 16, 5, src.data(), 12, 10, 5,
         "copyGray: source stride 10 is below its width 12"},
        {dst.data(), 12, 16, 5, src.data(), 12, 16, 0, "copyGray: source height 0 is below 1"},
    };
    for (const Case& c : cases) {
        copyGray(c.d, c.dw, c.ds, c.dh, c.s, c.sw, c.ss, c.sh);
        EXPECT_STREQ(getLastError(), c.message);
        EXPECT_EQ(dst.pixels(), original);
        EXPECT_TRUE(dst.guardsIntact());
    }
    // A call that succeeds leaves the last message as it was.
    copyGray(dst.data(), 12, 16, 5, src.data(), 12, 16, 5);
    EXPECT_STREQ(getLastError(), "copyGray: source height 0 is below 1");
    EXPECT_EQ(dst.pixels(), src.pixels());
}

TEST(CopyGrayAt, MatchesThePixelModelAtAnyOffset) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> size(1, 9), pad(0, 3), offset(-12, 12);
    for (int i = 0; i < 2000; ++i) {
        const int sw = size(rng), sh = size(rng), dw = size(rng), dh = size(rng);
        GuardedImage src(sw, sh, sw + pad(rng), 16);
        src.fillRandom(i);
        GuardedImage dst(dw, dh, dw + pad(rng), 16);
        dst.fillRandom(i + 10000);
        const GuardedImage before = dst;
        const int ox = offset(rng), oy = offset(rng);
        copyGrayAt(dst.data(), dw, dst.stride(), dh, src.data(), sw, src.stride(), sh, ox, oy);
        expectShiftedCopy(before, dst, src, ox, oy);
    }
}

TEST(CopySubGrayAt, CutsTheWindowAtAnyCorner) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> size(1, 9), pad(0, 3), corner(-12, 12);
    for (int i = 0; i < 2000; ++i) {
        const int sw = size(rng), sh = size(rng), dw = size(rng), dh = size(rng);
        GuardedImage src(sw, sh, sw + pad(rng), 16);
        src.fillRandom(i);
        GuardedImage dst(dw, dh, dw + pad(rng), 16);
        dst.fillRandom(i + 20000);
        const GuardedImage before = dst;
        const int left = corner(rng), top = corner(rng);
        copySubGrayAt(src.data(), sw, src.stride(), sh, dst.data(), dw, dst.stride(), dh, left,
                      top);
        // Window pixel (x, y) is source pixel (x + left, y + top).
        expectShiftedCopy(before, dst, src, -left, -top);
    }
}

TEST(CopyGrayAt, FarOffsetsAndEmptySizesWriteNothing) {
    GuardedImage src(4, 4);
    src.fillRandom(5);
    GuardedImage dst(4, 4);
    dst.fillRandom(6);
    const auto original = dst.pixels();
    const int far = 2147483000;
    copyGrayAt(dst.data(), 4, 4, 4, src.data(), 4, 4, 4, far, 0);
    copyGrayAt(dst.data(), 4, 4, 4, src.data(), 4, 4, 4, -far, -far);
    copyGrayAt(dst.data(), 4, 4, 4, src.data(), 4, 4, 4, 0, far);
    copySubGrayAt(src.data(), 4, 4, 4, dst.data(), 4, 4, 4, far, far);
    copySubGrayAt(src.data(), 4, 4, 4, dst.data(), 4, 4, 4, -far, 0);
    copyGrayAt(dst.data(), 4, 4, 4, src.data(), 0, 4, 4, 0, 0);
    copySubGrayAt(src.data(), 4, 4, 4, dst.data(), 4, 4, 0, 0, 0);
    EXPECT_EQ(dst.pixels(), original);
    EXPECT_TRUE(dst.guardsIntact());
}

TEST(BuildTime, IsOneStableCompilerTimestamp) {
    const char* first = getBuildTime();
    const std::string text = first;
    EXPECT_EQ(getBuildTime(), first);
    EXPECT_EQ(std::string(getBuildTime()), text);
    // "Mmm dd yyyy hh:mm:ss": the day padded with a blank, a 24-hour clock.
    ASSERT_EQ(text.size(), 20u) << text;
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const auto month = months.find(text.substr(0, 3));
    EXPECT_TRUE(month != std::string::npos && month % 3 == 0) << text;
    const auto digit = [&](int i) { return text[i] >= '0' && text[i] <= '9'; };
    EXPECT_EQ(text[3], ' ');
    EXPECT_TRUE((text[4] == ' ' || (text[4] >= '1' && text[4] <= '3')) && digit(5)) << text;
    EXPECT_TRUE(digit(7) && digit(8) && digit(9) && digit(10)) << text;
    EXPECT_EQ(text[6], ' ');
    EXPECT_EQ(text[11], ' ');
    EXPECT_TRUE(digit(12) && digit(13) && text[14] == ':' && digit(15) && digit(16) &&
                text[17] == ':' && digit(18) && digit(19))
        << text;
}

TEST(LastError, IsOneStableLineOfAtMost255Characters) {
    const char* text = getLastError();
    EXPECT_EQ(getLastError(), text);
    const std::string huge(1000, 'x');
    setLastError("someExport", "first line\n%s", huge.c_str());
    EXPECT_EQ(getLastError(), text);
    const std::string message = getLastError();
    EXPECT_EQ(message.size(), 255u);
    EXPECT_EQ(message.substr(0, 23), "someExport: first line ");
    EXPECT_EQ(message.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace pcbinspect
