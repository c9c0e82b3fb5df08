// Window shifts and the two forms of box smoothing.
#include "imaging/window_filters.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "boundary/scratch_memory.h"
#include "boundary/numeric.h"
#include "boundary/vector_lanes.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace pcbinspect {

namespace {

// A shift by whole pixels: every pixel takes the source pixel (x - dx,
// y - dy) unchanged (the bilinear weights are exactly 1 and 0), so the
// window is moved in place, row by row, in the order that reads each source
// row before it is overwritten.
void shiftWhole(GrayView image, int dx, int dy, std::uint8_t fill) {
    const int w = image.width, h = image.height;
    const int keep = w - std::abs(dx);  // columns that take a source pixel
    auto moveRow = [&](int y) {
        std::uint8_t* row = image.row(y);
        const int iy = y - dy;
        if (iy < 0 || iy >= h || keep <= 0) {
            std::memset(row, fill, static_cast<std::size_t>(w));
            return;
        }
        const std::uint8_t* src = image.row(iy);
        std::memmove(row + std::max(dx, 0), src + std::max(-dx, 0), static_cast<std::size_t>(keep));
        if (dx > 0) std::memset(row, fill, static_cast<std::size_t>(dx));
        if (dx < 0) std::memset(row + keep, fill, static_cast<std::size_t>(-dx));
    };
    if (dy >= 0)
        for (int y = h - 1; y >= 0; --y) moveRow(y);
    else
        for (int y = 0; y < h; ++y) moveRow(y);
}

}  // namespace

void shiftWindow(GrayView image, float dx, float dy, std::uint8_t fill) {
    if (image.empty()) return;
    const int w = image.width, h = image.height;
    if (dx == std::trunc(dx) && dy == std::trunc(dy) && std::fabs(dx) <= static_cast<float>(w) &&
        std::fabs(dy) <= static_cast<float>(h)) {
        shiftWhole(image, static_cast<int>(dx), static_cast<int>(dy), fill);
        return;
    }
    const ScratchArray<std::uint8_t> moved(static_cast<std::size_t>(w) * h);
    std::memset(moved.get(), fill, static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const float sy = static_cast<float>(y) - dy;
        const int iy = truncToInt(sy);
        if (iy < 0 || iy >= h) continue;
        const float fy = sy - static_cast<float>(iy);
        const std::uint8_t* r0 = image.row(iy);
        const std::uint8_t* r1 = image.row(std::min(iy + 1, h - 1));
        std::uint8_t* out = moved.get() + static_cast<std::size_t>(y) * w;
        for (int x = 0; x < w; ++x) {
            const float sx = static_cast<float>(x) - dx;
            const int ix = truncToInt(sx);
            if (ix < 0 || ix >= w) continue;
            const float fx = sx - static_cast<float>(ix);
            const int ix1 = std::min(ix + 1, w - 1);
            const float v = (1.0f - fx) * (1.0f - fy) * r0[ix] + (1.0f - fx) * fy * r1[ix] +
                            fx * (1.0f - fy) * r0[ix1] + fx * fy * r1[ix1];
            // The truncated value keeps its low eight bits. Inside the image
            // it lies in 0 .. 255; only a position in (-1, 0), which truncates
            // to 0, extrapolates.
            out[x] = static_cast<std::uint8_t>(truncToInt(v) & 0xFF);
        }
    }
    for (int y = 0; y < h; ++y)
        std::memcpy(image.row(y), moved.get() + static_cast<std::size_t>(y) * w,
                    static_cast<std::size_t>(w));
}

namespace {

// Radii up to this use the quotient table; beyond it (where the table would
// take megabytes) the quotient is computed by division, which gives the same
// values.
constexpr int kLargestTableRadius = 4095;
// Rows of the horizontal pass computed together.
constexpr int kRowBatch = 4;
// Spans up to this are divided by multiplication (SpanDivider).
constexpr int kLargestMultiplySpan = 181;

// Working memory of one box smoothing call, in one allocation: the rows of
// the temporary image that the vertical pass still needs, the quotient table
// and the column sums. The temporary rows form a ring: a row is needed from
// the moment it enters the vertical window until it leaves it, 2r + 2 rows
// later, and the horizontal pass runs at most kRowBatch - 1 rows ahead, so a
// ring of 2r + 1 + kRowBatch rows (or the whole height, when smaller) holds
// every row still needed. Rows stay in cache instead of going through memory.
template <class Sum>
struct BoxMemory {
    std::unique_ptr<std::uint8_t[]> block;
    std::uint8_t* ring = nullptr;
    int ringRows = 0;
    std::uint8_t* table = nullptr;
    Sum* sums = nullptr;
    std::vector<std::uint16_t> prefix;  // running sums of one padded row

    BoxMemory(int width, int height, int radius) {
        const long long wanted = 2LL * radius + 1 + kRowBatch;
        ringRows = wanted < height ? static_cast<int>(wanted) : height;
        const std::size_t ringBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(ringRows);
        const std::size_t span = 2 * static_cast<std::size_t>(radius) + 1;
        const std::size_t tableBytes = radius <= kLargestTableRadius ? span * 256 : 0;
        const std::size_t sumsOffset =
            (ringBytes + tableBytes + alignof(Sum) - 1) / alignof(Sum) * alignof(Sum);
        block.reset(new std::uint8_t[sumsOffset + sizeof(Sum) * static_cast<std::size_t>(width)]);
        ring = block.get();
        if (tableBytes > 0) {
            table = block.get() + ringBytes;
            // k / (2r + 1) for every sum of 2r + 1 values of 0 .. 255: each
            // quotient q covers the 2r + 1 sums q (2r + 1) .. q (2r + 1) + 2r.
            for (std::size_t q = 0; q < 256; ++q)
                std::memset(table + q * span, static_cast<int>(q), span);
        }
        sums = reinterpret_cast<Sum*>(block.get() + sumsOffset);
        if (2LL * radius + 1 <= kLargestMultiplySpan)
            prefix.resize(static_cast<std::size_t>(width) + 2 * static_cast<std::size_t>(radius) + 1);
    }
};

// The truncated quotient by an odd span d of at most kLargestMultiplySpan,
// for every sum of d bytes (at most 255 d): a product with M = ceil(2^k / d)
// shifted right by k, where 2^k >= 255 d^2 keeps the product's excess below
// 1 / d and the product itself below 2^32. An integer multiply and shift
// per lane, so the loops using it vectorise.
struct SpanDivider {
    std::uint32_t multiplier = 0;
    unsigned shift = 0;
    explicit SpanDivider(unsigned span) {
        while ((std::uint64_t{1} << shift) < 255ULL * span * span) ++shift;
        multiplier = static_cast<std::uint32_t>(((std::uint64_t{1} << shift) + span - 1) / span);
    }
    std::uint8_t operator()(std::uint32_t sum) const {
        return static_cast<std::uint8_t>((sum * multiplier) >> shift);
    }
};

// dst[x] = (ends[x] - starts[x]) / d over a row, the differences taken in
// 16 bits. The divider's fields are copied to locals first: stores through
// byte pointers may alias anything, and would otherwise force a reload per
// pixel and keep the loop from vectorising.
PCBINSPECT_AVX2_CLONES void divideDifferences(const SpanDivider& divide, const std::uint16_t* __restrict ends,
                       const std::uint16_t* __restrict starts, std::uint8_t* __restrict dst,
                       int n) {
    const std::uint32_t m = divide.multiplier;
    const unsigned k = divide.shift;
    for (int x = 0; x < n; ++x)
        dst[x] = static_cast<std::uint8_t>(
            (static_cast<std::uint32_t>(static_cast<std::uint16_t>(ends[x] - starts[x])) * m) >> k);
}

// Running 16-bit sums of n bytes continuing from acc, into out[0 .. n - 1];
// returns the last. Sums modulo 2^16 do not depend on the order of the
// additions, so eight lanes at a time give the serial values.
std::uint16_t runningSums(const std::uint8_t* __restrict src, int n, std::uint16_t acc,
                          std::uint16_t* __restrict out) {
    int x = 0;
#ifdef __SSE2__
    __m128i carry = _mm_set1_epi16(static_cast<short>(acc));
    const __m128i zero = _mm_setzero_si128();
    for (; x + 8 <= n; x += 8) {
        __m128i v = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + x)), zero);
        v = _mm_add_epi16(v, _mm_slli_si128(v, 2));
        v = _mm_add_epi16(v, _mm_slli_si128(v, 4));
        v = _mm_add_epi16(v, _mm_slli_si128(v, 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_add_epi16(v, carry));
        // The carry moves on by these eight bytes' sum, taken from the
        // partial sums alone, so the chain from one group to the next is a
        // single addition.
        const __m128i last = _mm_shufflehi_epi16(v, 0xFF);
        carry = _mm_add_epi16(carry, _mm_unpackhi_epi64(last, last));
    }
    acc = static_cast<std::uint16_t>(_mm_cvtsi128_si32(carry));
#endif
    for (; x < n; ++x) out[x] = acc = static_cast<std::uint16_t>(acc + src[x]);
    return acc;
}

// sums[x] += in[x] - out[x]: the column sums move down a row. Separate
// pointers for the compiler, which otherwise assumes that the byte rows may
// overlap the sums.
template <class Sum>
PCBINSPECT_AVX2_CLONES void advanceSums(Sum* __restrict sums, const std::uint8_t* __restrict in,
                 const std::uint8_t* __restrict out, int n) {
    for (int x = 0; x < n; ++x) sums[x] += static_cast<Sum>(in[x]) - static_cast<Sum>(out[x]);
}

template <class Sum>
PCBINSPECT_AVX2_CLONES void divideAll(const SpanDivider& divide, const Sum* __restrict sums, std::uint8_t* __restrict dst,
               int n) {
    const std::uint32_t m = divide.multiplier;
    const unsigned k = divide.shift;
    for (int x = 0; x < n; ++x)
        dst[x] = static_cast<std::uint8_t>((static_cast<std::uint32_t>(sums[x]) * m) >> k);
}

// The mean of 2r + 1 values from their sum.
template <class Sum>
struct Quotient {
    const std::uint8_t* table;
    Sum span;
    std::uint8_t operator()(Sum s) const {
        return table ? table[s] : static_cast<std::uint8_t>(s / span);
    }
};

// Sum of the 2r + 1 values centred on index 0 of a line of n values read
// through get(i), positions beyond the line repeating its first or last
// value.
template <class Sum, class Get>
Sum startSum(int n, int r, Get get) {
    Sum s = (static_cast<Sum>(r) + 1) * get(0);
    const int inside = std::min(r, n - 1);
    for (int j = 1; j <= inside; ++j) s += get(j);
    if (r > n - 1) s += static_cast<Sum>(r - (n - 1)) * get(n - 1);
    return s;
}

// One horizontal pass into the temporary rows and one vertical pass into
// rows [firstRow, endRow) of dst. The horizontal pass of a row runs just
// before the vertical pass first needs it; the vertical pass writes row y
// only after the horizontal pass has read every row up to y + r + 1, so src
// and dst may be the same image. Every output is the truncated mean of the
// exact sum of its box, so any split into row ranges gives the same bytes.
template <class Sum>
void boxPasses(const std::uint8_t* src, std::ptrdiff_t srcStride, std::uint8_t* image,
               std::ptrdiff_t stride, int w, int h, int r, int firstRow, int endRow,
               const BoxMemory<Sum>& mem) {
    const Quotient<Sum> q{mem.table, static_cast<Sum>(2 * static_cast<Sum>(r) + 1)};
    const int last = w - 1;
    auto tempRow = [&](int y) {
        return mem.ring + static_cast<std::ptrdiff_t>(y % mem.ringRows) * w;
    };
    auto rowSum = [&](const std::uint8_t* src) {
        return startSum<Sum>(w, r, [src](int i) { return static_cast<Sum>(src[i]); });
    };

    // Rows: a running sum along each row; the pixel entering on the right is
    // clamped to the last column, the one leaving on the left to the first.
    // Four rows are carried at once so that their running sums, each a chain
    // of dependent additions, overlap in time.
    int nextRow = firstRow > r ? firstRow - r : 0;
    const bool byMultiply = 2LL * r + 1 <= kLargestMultiplySpan;
    const SpanDivider divide(byMultiply ? static_cast<unsigned>(2 * r + 1) : 1U);
    const auto divideRow = [&divide](const std::uint16_t* ends, const std::uint16_t* starts,
                                     std::uint8_t* dst, int n) {
        divideDifferences(divide, ends, starts, dst, n);
    };
    const auto divideSums = [&divide](const Sum* sums, std::uint8_t* dst, int n) {
        divideAll<Sum>(divide, sums, dst, n);
    };
    // A row's sums as differences of the running sums of the row padded
    // with r copies of its end values: 16-bit running sums wrap, but every
    // difference (a sum of at most 181 bytes) is below 2^16 and so exact.
    auto horizontalByPrefix = [&](int target) {
        std::uint16_t* const prefix = const_cast<std::uint16_t*>(mem.prefix.data());
        const int span = 2 * r + 1;
        for (; nextRow < h && nextRow <= target; ++nextRow) {
            const std::uint8_t* in = src + nextRow * srcStride;
            std::uint8_t* dst = tempRow(nextRow);
            std::uint16_t acc = 0;
            int i = 0;
            prefix[0] = 0;
            for (int j = 0; j < r; ++j) prefix[++i] = acc = static_cast<std::uint16_t>(acc + in[0]);
            acc = runningSums(in, w, acc, prefix + i + 1);
            i += w;
            for (int j = 0; j < r; ++j) prefix[++i] = acc = static_cast<std::uint16_t>(acc + in[last]);
            divideRow(prefix + span, prefix, dst, w);
        }
    };
    auto horizontalUpTo = [&](int target) {
        if (byMultiply) {
            horizontalByPrefix(target);
            return;
        }
        for (; nextRow + kRowBatch - 1 < h && nextRow <= target; nextRow += kRowBatch) {
            const std::uint8_t* s0 = src + nextRow * srcStride;
            const std::uint8_t* s1 = s0 + srcStride;
            const std::uint8_t* s2 = s1 + srcStride;
            const std::uint8_t* s3 = s2 + srcStride;
            std::uint8_t* d0 = tempRow(nextRow);
            std::uint8_t* d1 = tempRow(nextRow + 1);
            std::uint8_t* d2 = tempRow(nextRow + 2);
            std::uint8_t* d3 = tempRow(nextRow + 3);
            Sum a0 = rowSum(s0), a1 = rowSum(s1), a2 = rowSum(s2), a3 = rowSum(s3);
            for (int x = 0; x < w; ++x) {
                d0[x] = q(a0);
                d1[x] = q(a1);
                d2[x] = q(a2);
                d3[x] = q(a3);
                // Written so that no sum of x and r can overflow.
                const int in = r < last - x - 1 ? x + r + 1 : last;
                const int out = x > r ? x - r : 0;
                a0 += static_cast<Sum>(s0[in]) - static_cast<Sum>(s0[out]);
                a1 += static_cast<Sum>(s1[in]) - static_cast<Sum>(s1[out]);
                a2 += static_cast<Sum>(s2[in]) - static_cast<Sum>(s2[out]);
                a3 += static_cast<Sum>(s3[in]) - static_cast<Sum>(s3[out]);
            }
        }
        for (; nextRow < h && nextRow <= target; ++nextRow) {
            const std::uint8_t* row = src + nextRow * srcStride;
            std::uint8_t* dst = tempRow(nextRow);
            Sum a = rowSum(row);
            for (int x = 0; x < w; ++x) {
                dst[x] = q(a);
                const int in = r < last - x - 1 ? x + r + 1 : last;
                const int out = x > r ? x - r : 0;
                a += static_cast<Sum>(row[in]) - static_cast<Sum>(row[out]);
            }
        }
    };

    // Columns: one running sum per column, advanced a whole row at a time so
    // that both rows read and the row written are contiguous.
    const int lastRow = h - 1;
    Sum* sums = mem.sums;
    if (firstRow == 0) {
        horizontalUpTo(std::min(r, lastRow));
        for (int x = 0; x < w; ++x)
            sums[x] = startSum<Sum>(h, r, [&](int i) { return static_cast<Sum>(tempRow(i)[x]); });
    } else {
        // The box of row firstRow: the rows it reaches inside the image
        // once each, the first and last rows once more for each row it
        // reaches beyond them.
        const int top = firstRow > r ? firstRow - r : 0;
        const int bottom = r < lastRow - firstRow ? firstRow + r : lastRow;
        horizontalUpTo(bottom);
        const Sum above = static_cast<Sum>(firstRow > r ? 0 : r - firstRow);
        const Sum below = static_cast<Sum>(r < lastRow - firstRow ? 0 : r - (lastRow - firstRow));
        std::fill(sums, sums + w, Sum{0});
        const auto addCopies = [&](Sum copies, const std::uint8_t* row) {
            for (int x = 0; x < w; ++x) sums[x] += static_cast<Sum>(copies * row[x]);
        };
        if (above > 0) addCopies(above, tempRow(0));
        if (below > 0) addCopies(below, tempRow(lastRow));
        for (int y = top; y <= bottom; ++y) {
            const std::uint8_t* row = tempRow(y);
            for (int x = 0; x < w; ++x) sums[x] += row[x];
        }
    }
    // For spans up to 257 every sum is below 2^16, and the truncated
    // quotient equals the product with the reciprocal rounded up, taken in
    // double precision: its excess (below 2^-35) never reaches the next
    // whole number, whose distance is at least 1 / span. Unlike the table
    // lookup, that loop vectorises.
    const bool byReciprocal = 2LL * r + 1 <= 257;
    const double reciprocal = std::nextafter(1.0 / static_cast<double>(2 * r + 1), 2.0);
    for (int y = firstRow; y < endRow; ++y) {
        const int inRow = r < lastRow - y - 1 ? y + r + 1 : lastRow;
        const int outRow = y > r ? y - r : 0;
        horizontalUpTo(inRow);
        std::uint8_t* dst = image + y * stride;
        const std::uint8_t* in = tempRow(inRow);
        const std::uint8_t* out = tempRow(outRow);
        if (byMultiply) {
            divideSums(sums, dst, w);
            advanceSums<Sum>(sums, in, out, w);
            continue;
        }
        if (byReciprocal) {
            for (int x = 0; x < w; ++x)
                dst[x] = static_cast<std::uint8_t>(static_cast<int>(static_cast<double>(sums[x]) * reciprocal));
            advanceSums<Sum>(sums, in, out, w);
            continue;
        }
        for (int x = 0; x < w; ++x) {
            dst[x] = q(sums[x]);
            sums[x] += static_cast<Sum>(in[x]) - static_cast<Sum>(out[x]);
        }
    }
}

// Rounds of a box of compile-time radius R on an image of at most
// kSmallBoxArea pixels: every mean is the direct sum of its 2R + 1 values
// (the running sums give the same integers) divided by a constant, so each
// pass is a loop of independent lanes that vectorises. The horizontal pass
// goes into a copy on the stack, the vertical one back into the image.
constexpr int kSmallBoxArea = 1 << 16;

template <int R>
void smallBoxRounds(std::uint8_t* image, int w, std::ptrdiff_t stride, int h, int rounds) {
    constexpr unsigned kSpan = 2 * R + 1;
    std::uint8_t temp[kSmallBoxArea];
    const auto clampTo = [](int v, int last) { return v < 0 ? 0 : (v > last ? last : v); };
    for (int round = 0; round < rounds; ++round) {
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* src = image + y * stride;
            std::uint8_t* dst = temp + static_cast<std::ptrdiff_t>(y) * w;
            // Columns whose box leaves the row repeat its first or last value.
            const auto edgeMean = [&](int x) {
                unsigned sum = 0;
                for (int j = -R; j <= R; ++j) sum += src[clampTo(x + j, w - 1)];
                return static_cast<std::uint8_t>(sum / kSpan);
            };
            const int firstInside = std::min(R, w), lastInside = w - 1 - R;
            for (int x = 0; x < firstInside; ++x) dst[x] = edgeMean(x);
            for (int x = firstInside; x <= lastInside; ++x) {
                std::uint16_t sum = 0;
                for (int j = -R; j <= R; ++j) sum = static_cast<std::uint16_t>(sum + src[x + j]);
                dst[x] = static_cast<std::uint8_t>(sum / kSpan);
            }
            for (int x = std::max(firstInside, lastInside + 1); x < w; ++x) dst[x] = edgeMean(x);
        }
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* rows[kSpan];
            for (int i = -R; i <= R; ++i)
                rows[i + R] = temp + static_cast<std::ptrdiff_t>(clampTo(y + i, h - 1)) * w;
            std::uint8_t* dst = image + y * stride;
            for (int x = 0; x < w; ++x) {
                std::uint16_t sum = 0;
                for (unsigned i = 0; i < kSpan; ++i) sum = static_cast<std::uint16_t>(sum + rows[i][x]);
                dst[x] = static_cast<std::uint8_t>(sum / kSpan);
            }
        }
    }
}

template <class Sum>
void boxRounds(std::uint8_t* image, int w, int stride, int h, int r, int rounds) {
    BoxMemory<Sum> mem(w, h, r);
    for (int i = 0; i < rounds; ++i) boxPasses<Sum>(image, stride, image, stride, w, h, r, 0, h, mem);
}

void boxSmoothRounds(std::uint8_t* image, int w, int stride, int h, int r, int rounds) {
    if (r < 1 || w < 1 || h < 1 || image == nullptr) return;
    if (static_cast<long long>(w) * h <= kSmallBoxArea && (r == 1 || r == 2)) {
        if (r == 1)
            smallBoxRounds<1>(image, w, stride, h, rounds);
        else
            smallBoxRounds<2>(image, w, stride, h, rounds);
        return;
    }
    // A running sum reaches (2r + 1) * 255 (and the start sum (r + 1) * 255
    // before the last term); 16 bits hold that for the spans divided by
    // multiplication, so the column sums go twice as many to a vector, and
    // 32 bits for any radius below 4 million.
    constexpr long long kInt32Limit = std::numeric_limits<std::int32_t>::max();
    if (2LL * r + 1 <= kLargestMultiplySpan)
        boxRounds<std::uint16_t>(image, w, stride, h, r, rounds);
    else if ((2LL * r + 1) * 255 <= kInt32Limit)
        boxRounds<std::int32_t>(image, w, stride, h, r, rounds);
    else
        boxRounds<std::int64_t>(image, w, stride, h, r, rounds);
}

}  // namespace

void boxSmooth(GrayView image, float radius) {
    boxSmoothRounds(image.data, image.width, image.stride, image.height, truncToInt(radius), 3);
}

void boxBlurGray(std::uint8_t* image, int width, int stride, int height, int radius) {
    boxSmoothRounds(image, width, stride, height, radius, 1);
}

void boxBlurGrayRows(const std::uint8_t* src, int srcStride, std::uint8_t* dst, int dstStride,
                     int width, int height, int radius, int firstRow, int endRow) {
    const int r = radius;
    if (width < 1 || height < 1 || firstRow >= endRow) return;
    if (r < 1) {
        for (int y = firstRow; y < endRow; ++y)
            std::memcpy(dst + static_cast<std::ptrdiff_t>(y) * dstStride,
                        src + static_cast<std::ptrdiff_t>(y) * srcStride, static_cast<std::size_t>(width));
        return;
    }
    const auto rows = [&](auto sum) {
        using Sum = decltype(sum);
        const BoxMemory<Sum> mem(width, height, r);
        boxPasses<Sum>(src, srcStride, dst, dstStride, width, height, r, firstRow, endRow, mem);
    };
    constexpr long long kInt32Limit = std::numeric_limits<std::int32_t>::max();
    if (2LL * r + 1 <= kLargestMultiplySpan)
        rows(std::uint16_t{});
    else if ((2LL * r + 1) * 255 <= kInt32Limit)
        rows(std::int32_t{});
    else
        rows(std::int64_t{});
}

}  // namespace pcbinspect
