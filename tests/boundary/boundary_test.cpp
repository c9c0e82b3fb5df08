// The export boundary: the argument checks and the exception frame that every
// export runs its body in, the last-error text, and the exported copyGray
// with the internal copies at an offset, checked against a per-pixel model
// over many geometries.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>

#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "boundary/gray_copy.h"
#include "boundary/image_view.h"
#include "boundary/last_error.h"
#include "boundary/parallel.h"
#include "boundary/scratch_memory.h"
#include "pcbinspect/exports.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

// The largest 32-bit geometry passes (the check only does arithmetic on the
// sizes: the pixel is never read); areas that overflow do not.
TEST(ArgumentCheck, AcceptsTheLargestGeometryAndRefusesAreasThatOverflow) {
    std::uint8_t pixel = 0;
    EXPECT_TRUE(ArgumentCheck("f").image("image", &pixel, INT_MAX, INT_MAX, INT_MAX, 1).ok());
    EXPECT_TRUE(ArgumentCheck("f").atLeast("count", 0, 0).notNull("p", &pixel).ok());
    std::size_t bytes = 0;
    EXPECT_TRUE(checkedArea(16000, 16000, 4, bytes));
    EXPECT_EQ(bytes, 1024000000u);
    EXPECT_TRUE(checkedArea(INT_MAX, INT_MAX, 1, bytes));
    EXPECT_FALSE(checkedArea(INT_MAX, INT_MAX, 1u << 20, bytes));
    // A negative side is refused on its own, also where the product would
    // come out small: a zero other side or a zero factor.
    for (auto [w, h, factor] : {std::tuple{-1, 5, 1}, {-1, 0, 1}, {0, -1, 1}, {-1, 1, 0}, {3, -2, 0}})
        EXPECT_FALSE(checkedArea(w, h, factor, bytes)) << w << " x " << h << " x " << factor;
    EXPECT_TRUE(checkedArea(0, 0, 1, bytes));
    EXPECT_EQ(bytes, 0u);
}

// Views into one buffer: the span of a view ends after its last row's width,
// so a view that starts there shares nothing with it.
TEST(ImageView, SharesBytesOnlyWhereTheRowSpansMeet) {
    std::uint8_t buffer[64] = {};
    const GrayView a{buffer, 4, 8, 3};  // bytes 0 .. 19
    const struct {
        GrayView b;
        bool shared;
    } cases[] = {
        {GrayView{buffer + 20, 4, 4, 2}, false},  // starts where a ends
        {GrayView{buffer + 19, 1, 1, 1}, true},   // a's last byte
        {GrayView{buffer + 4, 2, 8, 2}, true},    // in a's stride gaps: counted as shared
        {GrayView{buffer + 40, 8, 8, 3}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sharesBytes(a, c.b), c.shared);
        EXPECT_EQ(sharesBytes(c.b, a), c.shared);
    }
    const ImageView<const std::uint16_t> wide{reinterpret_cast<const std::uint16_t*>(buffer + 32), 4, 4, 2};
    EXPECT_TRUE(sharesBytes(wide, GrayView{buffer + 47, 1, 1, 1}));  // 16 bytes from 32
    EXPECT_FALSE(sharesBytes(wide, GrayView{buffer + 48, 1, 1, 1}));
}

TEST(GuardedExport, TurnsEveryExceptionIntoTheNothingDoneResultAndOneLine) {
    EXPECT_EQ(guardedExport("alloc", 7, []() -> int { throw std::bad_alloc(); }), 7);
    EXPECT_STREQ(getLastError(), "alloc: out of memory");
    EXPECT_EQ(guardedExport("logic", -1, []() -> int { throw std::runtime_error("broken"); }), -1);
    EXPECT_STREQ(getLastError(), "logic: internal error: broken");
    guardedExport("other", [] { throw 42; });
    EXPECT_STREQ(getLastError(), "other: internal error");
    EXPECT_EQ(guardedExport("fine", 0, [] { return 5; }), 5);
    EXPECT_STREQ(getLastError(), "other: internal error");
    // The text is one line of at most 255 characters, always at one address.
    const char* text = getLastError();
    setLastError("someExport", "first line\r\n%s", std::string(1000, 'x').c_str());
    EXPECT_EQ(getLastError(), text);
    const std::string message = getLastError();
    EXPECT_EQ(message.size(), 255u);
    EXPECT_EQ(message.substr(0, 25), "someExport: first line  x");
}

using testing::GuardedImage;

// Model: destination pixel (x, y) receives source pixel (x - ox, y - oy) when
// both lie inside their images; every other destination byte is unchanged.
void expectShiftedCopy(const GuardedImage& before, const GuardedImage& after,
                       const GuardedImage& src, int ox, int oy) {
    ASSERT_TRUE(after.guardsIntact());
    for (int y = 0; y < after.height(); ++y)
        for (int x = 0; x < after.width(); ++x) {
            const int sx = x - ox, sy = y - oy;
            const bool covered = sx >= 0 && sy >= 0 && sx < src.width() && sy < src.height();
            ASSERT_EQ(after.at(x, y), covered ? src.at(sx, sy) : before.at(x, y)) << x << "," << y;
        }
}

TEST(CopyGray, ExportAndOffsetCopiesMatchThePixelModel) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> size(1, 9), pad(0, 3), offset(-12, 12);
    for (int i = 0; i < 2000; ++i) {
        SCOPED_TRACE(i);
        const int sw = size(rng), sh = size(rng), dw = size(rng), dh = size(rng);
        GuardedImage src(sw, sh, sw + pad(rng), 16);
        src.fillRandom(i);
        GuardedImage dst(dw, dh, dw + pad(rng), 16);
        dst.fillRandom(i + 10000);
        const GuardedImage before = dst;
        copyGray(dst.data(), dw, dst.stride(), dh, src.data(), sw, src.stride(), sh);
        expectShiftedCopy(before, dst, src, 0, 0);
        const int far = 2147483000;  // offsets this far out would wrap round in 32-bit sums
        const int ox = i % 40 == 1 ? far : i % 40 == 2 ? -far : offset(rng);
        const int oy = i % 40 == 3 ? far : i % 40 == 2 ? -far : offset(rng);
        dst = before;
        copyGrayAt(dst.data(), dw, dst.stride(), dh, src.data(), sw, src.stride(), sh, ox, oy);
        expectShiftedCopy(before, dst, src, ox, oy);
        // Window pixel (x, y) is source pixel (x + left, y + top).
        dst = before;
        copySubGrayAt(src.data(), sw, src.stride(), sh, dst.data(), dw, dst.stride(), dh, ox, oy);
        expectShiftedCopy(before, dst, src, -ox, -oy);
        // A cut window is 0 wherever the source is not.
        GuardedImage cleared = before;
        cleared.fill(0);
        dst = before;
        cutSubGrayAt(src.data(), sw, src.stride(), sh, dst.data(), dw, dst.stride(), dh, ox, oy);
        expectShiftedCopy(cleared, dst, src, -ox, -oy);
        ASSERT_TRUE(src.guardsIntact());
    }
}

TEST(CopyGray, EmptySizesAndBadArgumentsWriteNothing) {
    GuardedImage src(12, 5, 16), dst(12, 5, 16);
    src.fillRandom(3);
    dst.fillRandom(4);
    const auto original = dst.pixels();
    copyGrayAt(dst.data(), 12, 16, 5, src.data(), 0, 16, 5, 0, 0);
    copySubGrayAt(src.data(), 12, 16, 5, dst.data(), 12, 16, 0, 0, 0);
    const struct {
        std::uint8_t* d;
        int dw, ds, dh;
        const std::uint8_t* s;
        int sw, ss, sh;
        const char* problem;
    } cases[] = {
        {nullptr, 12, 16, 5, src.data(), 12, 16, 5, "destination pixels are null"},
        {dst.data(), 12, 16, 5, nullptr, 12, 16, 5, "source pixels are null"},
        {dst.data(), 0, 16, 5, src.data(), 12, 16, 5, "destination width 0 is below 1"},
        {dst.data(), 12, 16, -3, src.data(), 12, 16, 5, "destination height -3 is below 1"},
        {dst.data(), 12, 16, 5, src.data(), 12, 10, 5, "source stride 10 is below its width 12"},
        {dst.data(), 12, 16, 5, src.data(), 12, 16, 0, "source height 0 is below 1"},
        {nullptr, 12, 16, 5, src.data(), 12, 10, 5, "destination pixels are null"},  // the first
    };
    for (const auto& c : cases) {
        copyGray(c.d, c.dw, c.ds, c.dh, c.s, c.sw, c.ss, c.sh);
        EXPECT_EQ(getLastError(), "copyGray: " + std::string(c.problem));
    }
    EXPECT_EQ(dst.pixels(), original);
    EXPECT_TRUE(dst.guardsIntact());
    // A call that succeeds leaves the last message as it was.
    copyGray(dst.data(), 12, 16, 5, src.data(), 12, 16, 5);
    EXPECT_STREQ(getLastError(), "copyGray: destination pixels are null");
    EXPECT_EQ(dst.pixels(), src.pixels());
}

// Scratch images keep their pixels as they grow through the sizes served by
// the ordinary allocator and by mappings of their own, and shrink back.
TEST(ScratchImage, KeepsItsPixelsAcrossSizesAndMappings) {
    ScratchImage image;
    std::size_t filled = 0;
    for (const std::size_t size : {std::size_t{1000}, std::size_t{300000}, std::size_t{5000000}, std::size_t{2000}}) {
        image.resize(size);
        for (std::size_t i = filled; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 7);
        filled = size;
        image.shrink_to_fit();
        for (std::size_t i = 0; i < size; i += 997) ASSERT_EQ(image[i], static_cast<std::uint8_t>(i * 7)) << size;
        EXPECT_EQ(image.back(), static_cast<std::uint8_t>((size - 1) * 7));
    }
}

// Within a scope, blocks of every size keep their bytes apart, whichever
// thread allocates or releases them; a released block serves the next
// request it can hold; nested scopes hand back the outer arena. Where
// blocks come from the ordinary allocator (AddressSanitizer), there are no
// arenas and only the bytes are checked.
TEST(ScratchScope, PacksBlocksApartAndReusesReleasedOnes) {
    const ScratchArena* const outside = currentScratchArena();
    {
        const ScratchScope scope;
        const ScratchArena* const arena = currentScratchArena();
        const std::size_t sizes[] = {300000, 1 << 20, 3 << 20, 20 << 20, 256 << 10, 5000};
        std::vector<ScratchArray<std::uint8_t>> blocks(std::size(sizes));
        // Half the blocks are made on the pool's workers, filled with their index.
        parallelFor(static_cast<int>(blocks.size()), 4, [&](int, int i) {
            EXPECT_EQ(currentScratchArena(), arena);
            blocks[i] = ScratchArray<std::uint8_t>(sizes[i]);
            std::fill(blocks[i].get(), blocks[i].get() + sizes[i], static_cast<std::uint8_t>(i + 1));
        });
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            const std::uint8_t* p = blocks[i].get();
            EXPECT_TRUE(std::all_of(p, p + sizes[i], [&](std::uint8_t v) { return v == i + 1; })) << sizes[i];
        }
        {
            const ScratchScope inner;
            if (arena != nullptr) {
                EXPECT_NE(currentScratchArena(), arena);
            }
            const ScratchArray<std::uint8_t> own(400000);
        }
        EXPECT_EQ(currentScratchArena(), arena);
        if (arena != nullptr) {
            // The 1 MiB block, released, serves a request of 900 KB.
            const std::uint8_t* released = blocks[1].get();
            blocks[1] = ScratchArray<std::uint8_t>();
            EXPECT_EQ(ScratchArray<std::uint8_t>(900000).get(), released);
        }
    }
    EXPECT_EQ(currentScratchArena(), outside);
}

}  // namespace
}  // namespace pcbinspect
