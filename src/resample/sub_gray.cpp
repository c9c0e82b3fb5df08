#include "resample/sub_gray.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "boundary/gray_copy.h"
#include "boundary/numeric.h"
#include "boundary/parallel.h"
#include "boundary/vector_lanes.h"
#include "gpu/cuda_env.h"
#include "gpu/device_runtime.h"
#include "gpu/launch_shape.h"
#include "gpu/resample_pixels.h"
#include "pcbinspect/exports.h"

namespace pcbinspect {
namespace {

// Rotations below this many degrees are treated as none.
constexpr double kMinAngle = 0.001;

// Bytes from the first pixel of an image to just past its last pixel.
std::size_t imageSpan(int rowBytes, int stride, int height) {
    return static_cast<std::size_t>(height - 1) * static_cast<std::size_t>(stride) +
           static_cast<std::size_t>(rowBytes);
}

// Window pieces sampled together: strips of kStripColumns columns, each
// down its rows in blocks of kBlockRows rows, eight pixels of every row of a
// block in turn. A rotated window's row descends through the source, some
// twenty source rows for each source cache line it crosses; with strides of
// a multiple of 4 KiB those lines share one set of the first-level cache,
// which holds fewer, and the next window row, which reads nearly the same
// lines, would find them gone. A few rows taken together reuse each line
// while it is there, and a strip keeps the source pages they touch few.
constexpr int kBlockRows = 8;
constexpr int kStripColumns = 128;

// Runs piece(j0, j1, from, to) over pieces of window rows [j0, j1) and
// columns [from, to), in bands of rows over the worker threads; pixels are
// independent, so the result depends neither on the bands nor on the
// pieces.
template <class Piece>
void forEachPiece(int rows, int columns, const Piece& piece) {
    parallelRows(rows, 32, [&](int first, int end) {
        for (int from = 0; from < columns; from += kStripColumns) {
            const int to = columns - from > kStripColumns ? from + kStripColumns : columns;
            for (int j = first; j < end; j += kBlockRows) piece(j, std::min(j + kBlockRows, end), from, to);
        }
    });
}

// Pixels of a window row handled together: positions first, then the
// source pixels (the only part that cannot run in vector lanes), then the
// mix, each a loop over the chunk.
constexpr int kChunk = 256;

// Source positions of window pixels i0 .. i0 + n - 1 of row j.
void chunkPositions(const SubGrayArgs& a, int j, int i0, int n, float* sx, float* sy) {
    for (int t = 0; t < n; ++t)
        windowSamplePosition(i0 + t, j, a.dstW, a.dstH, a.cx, a.cy, a.s, a.c, sx[t], sy[t]);
}

#ifdef PCBINSPECT_AVX2
// Eight window pixels at a time with AVX2, each lane doing what the scalar
// loops do, in the same order and precision: the single-precision position,
// the truncated cell, the mix of bilinearMix and its rounding in double.
// The cell's pixels come from gathers of four bytes, taken from up to
// `back` bytes before the wanted one so that no read leaves its source row;
// a lane whose cell lies outside the source reads nothing and leaves its
// pixel as it was. Sources narrower than 8 pixels, or too large for 32-bit
// gather offsets, are left to the scalar loops. Returns the first pixel of
// the row left to them.
struct LanePositions {
    __m256 sx, sy;
};

// The parts of the positions that depend on the column alone, cx + dx c and
// cy + dx s, for window columns i .. i + 7: computed once for all the rows
// of a block.
struct ColumnTerms {
    __m256 x, y;
};

__attribute__((target("avx2"))) inline ColumnTerms columnTerms(const SubGrayArgs& a, int i) {
    const __m256 dx = _mm256_sub_ps(
        _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(i), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7))),
        _mm256_set1_ps(static_cast<float>(a.dstW - 1) * 0.5f));
    return ColumnTerms{_mm256_add_ps(_mm256_set1_ps(a.cx), _mm256_mul_ps(dx, _mm256_set1_ps(a.c))),
                       _mm256_add_ps(_mm256_set1_ps(a.cy), _mm256_mul_ps(dx, _mm256_set1_ps(a.s)))};
}

// Then (cx + dx c) - dy s and (cy + dx s) + dy c for row j: the products of
// one pair of floats are the same in a lane as alone.
__attribute__((target("avx2"))) inline LanePositions lanePositions(const SubGrayArgs& a,
                                                                   const ColumnTerms& t, int j) {
    const float dy = static_cast<float>(j) - static_cast<float>(a.dstH - 1) * 0.5f;
    LanePositions p;
    p.sx = _mm256_sub_ps(t.x, _mm256_set1_ps(dy * a.s));
    p.sy = _mm256_add_ps(t.y, _mm256_set1_ps(dy * a.c));
    return p;
}

// Lanes whose cell (ix, iy) has a right and a lower neighbour in the source.
__attribute__((target("avx2"))) inline __m256i laneInside(const SubGrayArgs& a, __m256i ix, __m256i iy) {
    const __m256i none = _mm256_set1_epi32(-1);
    return _mm256_and_si256(
        _mm256_and_si256(_mm256_cmpgt_epi32(ix, none), _mm256_cmpgt_epi32(_mm256_set1_epi32(a.srcW - 1), ix)),
        _mm256_and_si256(_mm256_cmpgt_epi32(iy, none), _mm256_cmpgt_epi32(_mm256_set1_epi32(a.srcH - 1), iy)));
}

// Four source bytes per lane from row offset iy * stride + ix - back, back
// being `reach` where ix >= reach and 0 otherwise; shifted so that the byte
// at ix comes lowest.
__attribute__((target("avx2"))) inline __m256i gatherFrom(const SubGrayArgs& a, __m256i ix, __m256i iy,
                                                          __m256i inside, int reach, int rowsDown) {
    const __m256i back = _mm256_and_si256(_mm256_cmpgt_epi32(ix, _mm256_set1_epi32(reach - 1)),
                                          _mm256_set1_epi32(reach));
    const __m256i offset = _mm256_sub_epi32(
        _mm256_add_epi32(_mm256_mullo_epi32(_mm256_add_epi32(iy, _mm256_set1_epi32(rowsDown)),
                                            _mm256_set1_epi32(a.srcStride)),
                         ix),
        back);
    const __m256i words = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(),
                                                      reinterpret_cast<const int*>(a.src), offset, inside, 1);
    return _mm256_srlv_epi32(words, _mm256_slli_epi32(back, 3));
}

// Stores the low bytes of eight ints (already within 0..255 after the
// saturating packs) where `inside` is set, keeping the other pixels.
__attribute__((target("avx2"))) inline void storeInside(std::uint8_t* dst, __m128i lo, __m128i hi,
                                                        __m256i inside) {
    const __m128i words = _mm_packs_epi32(lo, hi);
    const __m128i bytes = _mm_packus_epi16(words, words);
    const __m128i maskWords =
        _mm_packs_epi32(_mm256_castsi256_si128(inside), _mm256_extracti128_si256(inside, 1));
    const __m128i mask = _mm_packs_epi16(maskWords, maskWords);
    const __m128i old = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(dst));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_blendv_epi8(old, bytes, mask));
}

// Eight values of at least 0 plus a half in double, truncated toward zero,
// formed in single precision: the whole part and the exact fraction give the
// nearest whole number, halves up.
__attribute__((target("avx2"))) inline __m256i halfUpFromZero(__m256 v) {
    const __m256i whole = _mm256_cvttps_epi32(v);
    const __m256 fraction = _mm256_sub_ps(v, _mm256_cvtepi32_ps(whole));
    return _mm256_sub_epi32(whole, _mm256_castps_si256(_mm256_cmp_ps(fraction, _mm256_set1_ps(0.5f), _CMP_GE_OQ)));
}


// The same for any value: below 0 the result is 0 above -1.5 and -1 at or
// below it, where the double sum would give -1 or less; no pixel is picked
// nor stored there either way.
__attribute__((target("avx2"))) inline __m256i halfUp(__m256 v) {
    const __m256i farBelow = _mm256_castps_si256(_mm256_cmp_ps(v, _mm256_set1_ps(-1.5f), _CMP_LE_OQ));
    const __m256i below = _mm256_castps_si256(_mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_LT_OQ));
    return _mm256_blendv_epi8(halfUpFromZero(v), farBelow, below);
}

// The source rows and columns around eight lanes' cells, when they are few
// enough for plain loads: cells on at most four rows and within fifteen
// bytes of the leftmost one, so that five rows of sixteen bytes hold every
// lane's four pixels, all inside the source. Then each wanted byte is picked
// by a shuffle from the loaded rows, which on many processors is far
// cheaper than a gather.
struct CellBlock {
    int x0 = 0, y0 = 0, rows = 0;
    __m128i index;  // each lane's byte offset from x0
    __m256i row;    // each lane's row offset from y0
};

// The smaller and the larger of the first and last lanes. Along a window
// row the positions, and so the cells, move monotonically with the pixel
// (products with one factor, sums with one term and truncation all keep
// order), so these are the lanes' minimum and maximum.
__attribute__((target("avx2"))) inline int endsMin(__m256i v) {
    return std::min(_mm256_cvtsi256_si32(v), _mm256_extract_epi32(v, 7));
}

__attribute__((target("avx2"))) inline int endsMax(__m256i v) {
    return std::max(_mm256_cvtsi256_si32(v), _mm256_extract_epi32(v, 7));
}

// `loads`: the rows loaded, five, or two where every lane's cell lies on
// one row (an unrotated window).
template <int loads>
__attribute__((target("avx2"))) inline bool cellBlock(const SubGrayArgs& a, __m256i ix, __m256i iy,
                                                      __m256i inside, CellBlock& b) {
    if (_mm256_movemask_epi8(inside) != -1) return false;
    b.x0 = endsMin(ix);
    b.y0 = endsMin(iy);
    b.rows = endsMax(iy) - b.y0 + 1;
    // All the rows are loaded whatever the lanes need, so that the picking
    // has no branch.
    if (b.x0 > a.srcW - 16 || endsMax(ix) - b.x0 > 14 || b.rows > loads - 1 || b.y0 > a.srcH - loads)
        return false;
    const __m256i offset = _mm256_sub_epi32(ix, _mm256_set1_epi32(b.x0));
    const __m128i words =
        _mm_packs_epi32(_mm256_castsi256_si128(offset), _mm256_extracti128_si256(offset, 1));
    b.index = _mm_packus_epi16(words, words);
    b.row = _mm256_sub_epi32(iy, _mm256_set1_epi32(b.y0));
    return true;
}

// Each lane's row offset from y0 in one byte, in the low eight bytes.
__attribute__((target("avx2"))) inline __m128i rowBytes(const CellBlock& b) {
    const __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(b.row), _mm256_extracti128_si256(b.row, 1));
    return _mm_packs_epi16(words, words);
}

__attribute__((target("avx2"))) inline __m128i loadRow(const SubGrayArgs& a, const CellBlock& b, int r) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(
        a.src + static_cast<std::ptrdiff_t>(b.y0 + r) * a.srcStride + b.x0));
}

__attribute__((target("avx2"))) inline __m256 widenBytes(__m128i v) {
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(v));
}

// The four pixels of each lane's cell as floats: each source row loaded once
// gives, by one shuffle, every lane's pixel and its right neighbour there
// (low and high eight bytes), which is the top pair of the lanes on that row
// and the bottom pair of those on the row above.
struct CellPixels {
    __m256 tl, tr, bl, br;
};

template <int loads>
__attribute__((target("avx2"))) inline CellPixels pickCells(const SubGrayArgs& a, const CellBlock& b) {
    const __m128i row = rowBytes(b);
    const __m128i pairIndex = _mm_unpacklo_epi64(b.index, _mm_add_epi8(b.index, _mm_set1_epi8(1)));
    __m128i top = _mm_setzero_si128(), bottom = top, onRowAbove = top;
    for (int r = 0; r < loads; ++r) {
        const __m128i pairs = _mm_shuffle_epi8(loadRow(a, b, r), pairIndex);
        const __m128i onRow = _mm_cmpeq_epi8(row, _mm_set1_epi8(static_cast<char>(r)));
        top = _mm_blendv_epi8(top, pairs, onRow);
        bottom = _mm_blendv_epi8(bottom, pairs, onRowAbove);
        onRowAbove = onRow;
    }
    return CellPixels{widenBytes(top), widenBytes(_mm_srli_si128(top, 8)), widenBytes(bottom),
                      widenBytes(_mm_srli_si128(bottom, 8))};
}

bool avx2Rows(const SubGrayArgs& a) {
    return a.srcW >= 8 && static_cast<long long>(a.srcH) * a.srcStride <= INT_MAX - 8 &&
           __builtin_cpu_supports("avx2");
}

// Window pixels i .. i + 7 of row j, bilinear.
template <int loads>
__attribute__((target("avx2"), always_inline)) inline void sampleGroupAvx2(const SubGrayArgs& a,
                                                                            const ColumnTerms& t, int j, int i) {
    std::uint8_t* dst = a.dst + static_cast<std::ptrdiff_t>(j) * a.dstStride;
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256i byte = _mm256_set1_epi32(0xFF);
    {
        const LanePositions p = lanePositions(a, t, j);
        const __m256i ix = _mm256_cvttps_epi32(p.sx), iy = _mm256_cvttps_epi32(p.sy);
        const __m256i inside = laneInside(a, ix, iy);
        if (_mm256_testz_si256(inside, inside)) return;
        const __m256 fx = _mm256_sub_ps(p.sx, _mm256_cvtepi32_ps(ix));
        const __m256 fy = _mm256_sub_ps(p.sy, _mm256_cvtepi32_ps(iy));
        __m256 tl, tr, bl, br;
        CellBlock block;
        const bool allInside = cellBlock<loads>(a, ix, iy, inside, block);
        if (allInside) {
            const CellPixels cells = pickCells<loads>(a, block);
            tl = cells.tl;
            tr = cells.tr;
            bl = cells.bl;
            br = cells.br;
        } else {
            const __m256i top = gatherFrom(a, ix, iy, inside, 2, 0);
            const __m256i bottom = gatherFrom(a, ix, iy, inside, 2, 1);
            tl = _mm256_cvtepi32_ps(_mm256_and_si256(top, byte));
            tr = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(top, 8), byte));
            bl = _mm256_cvtepi32_ps(_mm256_and_si256(bottom, byte));
            br = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(bottom, 8), byte));
        }
        const __m256 gx = _mm256_sub_ps(one, fx), gy = _mm256_sub_ps(one, fy);
        __m256 v = _mm256_mul_ps(_mm256_mul_ps(tl, gx), gy);
        v = _mm256_add_ps(v, _mm256_mul_ps(_mm256_mul_ps(bl, gx), fy));
        v = _mm256_add_ps(v, _mm256_mul_ps(_mm256_mul_ps(tr, fx), gy));
        v = _mm256_add_ps(v, _mm256_mul_ps(_mm256_mul_ps(br, fx), fy));
        // The mix of an inside lane is at least 0.
        const __m256i value = halfUpFromZero(v);
        const __m128i lo = _mm256_castsi256_si128(value), hi = _mm256_extracti128_si256(value, 1);
        if (allInside) {
            const __m128i words = _mm_packs_epi32(lo, hi);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(words, words));
        } else {
            storeInside(dst + i, lo, hi, inside);
        }
    }
}

// The whole groups of eight of window rows [j0, j1), a group of every row
// before the next group. Returns the first pixel of each row left to the
// scalar loops.
template <int loads>
__attribute__((target("avx2"))) int sampleBlockAvx2(const SubGrayArgs& a, int j0, int j1, int from, int to) {
    int i = from;
    for (; i + 8 <= to; i += 8) {
        const ColumnTerms t = columnTerms(a, i);
        for (int j = j0; j < j1; ++j) sampleGroupAvx2<loads>(a, t, j, i);
    }
    return i;
}

// Nearest cells of eight positions: each v + 0.5 in double, truncated
// toward zero. For every float with |v| < 2^23 the float sum v + 0.5f
// truncates to the same whole number but one: the float just below 0.5,
// whose sum rounds up to 1, is taken back by a comparison (checked over
// every float of that range). Beyond, the sum may be one off, which matters
// only for sources wider or higher than kSmallSource.
__attribute__((target("avx2"))) inline __m256i halfUpSmall(__m256 v) {
    const __m256i sum = _mm256_cvttps_epi32(_mm256_add_ps(v, _mm256_set1_ps(0.5f)));
    const __m256 belowHalf = _mm256_cmp_ps(v, _mm256_set1_ps(0.49999997f), _CMP_EQ_OQ);
    return _mm256_add_epi32(sum, _mm256_castps_si256(belowHalf));
}

constexpr int kSmallSource = 1 << 22;

// Window pixels i .. i + 7 of row j, nearest; `small`: the source is at most
// kSmallSource pixels wide and high.
template <bool small>
__attribute__((target("avx2"), always_inline)) inline void nearestGroupAvx2(const SubGrayArgs& a,
                                                                            const ColumnTerms& t, int j, int i) {
    std::uint8_t* dst = a.dst + static_cast<std::ptrdiff_t>(j) * a.dstStride;
    const LanePositions p = lanePositions(a, t, j);
    const __m256i ix = small ? halfUpSmall(p.sx) : halfUp(p.sx);
    const __m256i iy = small ? halfUpSmall(p.sy) : halfUp(p.sy);
    const __m256i inside = laneInside(a, ix, iy);
    if (_mm256_testz_si256(inside, inside)) return;
    if (_mm256_movemask_epi8(inside) == -1) {
        // Every lane inside: eight plain byte loads, all eight pixels written.
        alignas(32) std::int32_t at[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(at),
                           _mm256_add_epi32(_mm256_mullo_epi32(iy, _mm256_set1_epi32(a.srcStride)), ix));
        for (int k = 0; k < 8; ++k) dst[i + k] = a.src[at[k]];
        return;
    }
    const __m256i v = _mm256_and_si256(gatherFrom(a, ix, iy, inside, 3, 0), _mm256_set1_epi32(0xFF));
    storeInside(dst + i, _mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1), inside);
}

template <bool small>
__attribute__((target("avx2"))) int nearestBlockAvx2(const SubGrayArgs& a, int j0, int j1, int from, int to) {
    int i = from;
    for (; i + 8 <= to; i += 8) {
        const ColumnTerms t = columnTerms(a, i);
        for (int j = j0; j < j1; ++j) nearestGroupAvx2<small>(a, t, j, i);
    }
    return i;
}
#endif

// Pixels [first, to) of window row j, pixel for pixel the values of
// subGrayPixel. The arguments come by value: byte stores may alias
// anything, and would make every loop reload them through a reference.
void sampleRowPart(const SubGrayArgs a, int j, int first, int to) {
    float sx[kChunk], sy[kChunk], fx[kChunk], fy[kChunk];
    float tl[kChunk], bl[kChunk], tr[kChunk], br[kChunk];
    bool ok[kChunk];
    std::uint8_t value[kChunk];
    std::uint8_t* dst = a.dst + static_cast<std::ptrdiff_t>(j) * a.dstStride;
    for (int i0 = first; i0 < to; i0 += kChunk) {
        const int n = std::min(kChunk, to - i0);
        chunkPositions(a, j, i0, n, sx, sy);
        for (int t = 0; t < n; ++t) {
            const int ix = truncToInt(sx[t]), iy = truncToInt(sy[t]);
            ok[t] = ix >= 0 && iy >= 0 && ix < a.srcW - 1 && iy < a.srcH - 1;
            if (!ok[t]) {
                fx[t] = fy[t] = tl[t] = bl[t] = tr[t] = br[t] = 0.0f;
                continue;
            }
            fx[t] = sx[t] - static_cast<float>(ix);
            fy[t] = sy[t] - static_cast<float>(iy);
            const std::uint8_t* top = a.src + static_cast<std::ptrdiff_t>(iy) * a.srcStride + ix;
            tl[t] = top[0];
            tr[t] = top[1];
            bl[t] = top[a.srcStride];
            br[t] = top[a.srcStride + 1];
        }
        for (int t = 0; t < n; ++t) value[t] = bilinearMix(tl[t], bl[t], tr[t], br[t], fx[t], fy[t]);
        for (int t = 0; t < n; ++t)
            if (ok[t]) dst[i0 + t] = value[t];
    }
}

// Pixels [from, to) of window rows [j0, j1), bilinear: the whole groups of
// eight with AVX2 where the processor has it, the rest of each row by the
// loops above.
void sampleBlock(const SubGrayArgs& args, int j0, int j1, int from, int to) {
    const SubGrayArgs a = args;
    int first = from;
#ifdef PCBINSPECT_AVX2
    // Without rotation (s exactly 0) every lane of a group has the same
    // source row.
    if (avx2Rows(a))
        first = a.s == 0.0f ? sampleBlockAvx2<2>(a, j0, j1, from, to) : sampleBlockAvx2<5>(a, j0, j1, from, to);
#endif
    for (int j = j0; j < j1; ++j) sampleRowPart(a, j, first, to);
}

// Pixels [first, to) of window row j sampled at the nearest pixels:
// positions in a loop of their own, then the copies.
void nearestRowPart(const SubGrayArgs a, int j, int first, int to) {
    float sx[kChunk], sy[kChunk];
    std::uint8_t* dst = a.dst + static_cast<std::ptrdiff_t>(j) * a.dstStride;
    for (int i0 = first; i0 < to; i0 += kChunk) {
        const int n = std::min(kChunk, to - i0);
        chunkPositions(a, j, i0, n, sx, sy);
        for (int t = 0; t < n; ++t) {
            // Half added and truncated toward zero: (-1.5, 0.5) maps to 0.
            const int ix = truncToInt(static_cast<double>(sx[t]) + 0.5);
            const int iy = truncToInt(static_cast<double>(sy[t]) + 0.5);
            if (ix >= 0 && iy >= 0 && ix < a.srcW - 1 && iy < a.srcH - 1)
                dst[i0 + t] = a.src[static_cast<std::ptrdiff_t>(iy) * a.srcStride + ix];
        }
    }
}

// Pixels [from, to) of window rows [j0, j1), nearest, as sampleBlock.
void nearestBlock(const SubGrayArgs& args, int j0, int j1, int from, int to) {
    const SubGrayArgs a = args;
    int first = from;
#ifdef PCBINSPECT_AVX2
    if (avx2Rows(a))
        first = a.srcW <= kSmallSource && a.srcH <= kSmallSource ? nearestBlockAvx2<true>(a, j0, j1, from, to)
                                                                  : nearestBlockAvx2<false>(a, j0, j1, from, to);
#endif
    for (int j = j0; j < j1; ++j) nearestRowPart(a, j, first, to);
}

void sampleWindow(const SubGrayArgs& args) {
    forEachPiece(args.dstH, args.dstW,
                 [&](int j0, int j1, int from, int to) { sampleBlock(args, j0, j1, from, to); });
}

}  // namespace

void rotationOf(float angle, float& s, float& c) {
    const float theta = angle / 180.0f * 3.1415925f;
    s = std::sin(theta);
    c = std::cos(theta);
}

bool resampleGrayOnDevice(const std::uint8_t* src, int srcW, int srcStride, int srcH,
                          std::uint8_t* dst, int dstW, int dstStride, int dstH, int cx, int cy,
                          float angle) {
    if (srcW < 1 || srcH < 1 || dstW < 1 || dstH < 1) return false;
    CudaEnv* env = getCudaEnv();
    if (!cudaEnvCreated(env)) return false;
    LaunchShape shape;
    if (!launchShape(cudaEnvMaxThreadsPerBlock(env), dstW, dstH, shape)) return false;
    float s = 0.0f, c = 1.0f;
    if (std::fabs(angle) > kMinAngle) rotationOf(angle, s, c);

    const std::size_t srcBytes = imageSpan(srcW, srcStride, srcH);
    const std::size_t dstBytes = imageSpan(dstW, dstStride, dstH);
    DeviceSlots slots(env);
    auto* deviceSrc = static_cast<std::uint8_t*>(slots.take(srcBytes));
    auto* deviceDst = static_cast<std::uint8_t*>(slots.take(dstBytes));
    if (deviceSrc == nullptr || deviceDst == nullptr) return false;
    DeviceRuntime& rt = deviceRuntime();
    if (rt.copyToDevice(deviceSrc, src, srcBytes) != kDeviceSuccess) return false;
    if (rt.memset(deviceDst, 0, dstBytes) != kDeviceSuccess) return false;
    const SubGrayArgs args{deviceSrc,        srcW,
                           srcStride,        srcH,
                           deviceDst,        dstW,
                           dstStride,        dstH,
                           static_cast<float>(cx), static_cast<float>(cy),
                           s,                c};
    if (rt.subGray(shape, args) != kDeviceSuccess) return false;
    // The result comes down into host scratch first, so that a failed copy
    // leaves the caller's window untouched for the CPU path.
    std::vector<std::uint8_t> result(dstBytes);
    if (rt.copyToHost(result.data(), deviceDst, dstBytes) != kDeviceSuccess) return false;
    for (int j = 0; j < dstH; ++j)
        std::memcpy(dst + static_cast<std::ptrdiff_t>(j) * dstStride,
                    result.data() + static_cast<std::size_t>(j) * dstStride,
                    static_cast<std::size_t>(dstW));
    return true;
}

void resampleGrayBilinear(const std::uint8_t* src, int srcW, int srcStride, int srcH,
                          std::uint8_t* dst, int dstW, int dstStride, int dstH, float cx,
                          float cy, float angle, bool useGpu) {
    if (srcW < 1 || srcH < 1 || dstW < 1 || dstH < 1) return;
    SubGrayArgs args{src, srcW, srcStride, srcH, dst, dstW, dstStride, dstH, cx, cy, 0.0f, 1.0f};
    if (std::fabs(angle) >= kMinAngle) {
        if (useGpu && resampleGrayOnDevice(src, srcW, srcStride, srcH, dst, dstW, dstStride, dstH,
                                           truncToInt(cx), truncToInt(cy), angle))
            return;
        rotationOf(angle, args.s, args.c);
        sampleWindow(args);
        return;
    }
    // No rotation: a window whose corner is within 0.2 of whole pixels (the
    // fraction taken toward zero) is copied at the truncated corner.
    const float ox = cx - static_cast<float>(dstW - 1) * 0.5f;
    const float oy = cy - static_cast<float>(dstH - 1) * 0.5f;
    const int left = truncToInt(ox);
    const int top = truncToInt(oy);
    if (std::fabs(ox - static_cast<float>(left)) < 0.2f &&
        std::fabs(oy - static_cast<float>(top)) < 0.2f) {
        copySubGrayAt(src, srcW, srcStride, srcH, dst, dstW, dstStride, dstH, left, top);
        return;
    }
    // s = 0 and c = 1 give exactly cx + dx, cy + dy.
    sampleWindow(args);
}

void resampleGrayNearest(const std::uint8_t* src, int srcW, int srcStride, int srcH,
                         std::uint8_t* dst, int dstW, int dstStride, int dstH, float cx,
                         float cy, float angle) {
    if (srcW < 1 || srcH < 1 || dstW < 1 || dstH < 1) return;
    if (std::fabs(angle) >= kMinAngle) {
        float s = 0.0f, c = 1.0f;
        rotationOf(angle, s, c);
        const SubGrayArgs args{src, srcW, srcStride, srcH, dst, dstW, dstStride, dstH, cx, cy, s, c};
        forEachPiece(dstH, dstW,
                     [&args](int j0, int j1, int from, int to) { nearestBlock(args, j0, j1, from, to); });
        return;
    }
    const int left = truncToInt(static_cast<double>(cx) - (dstW - 1) * 0.5 + 0.5);
    const int top = truncToInt(static_cast<double>(cy) - (dstH - 1) * 0.5 + 0.5);
    copySubGrayAt(src, srcW, srcStride, srcH, dst, dstW, dstStride, dstH, left, top);
}

}  // namespace pcbinspect

extern "C" PCBINSPECT_API void getSubGray(const std::uint8_t* src, std::int32_t srcWidth,
                                          std::int32_t srcStride, std::int32_t srcHeight,
                                          std::uint8_t* dst, std::int32_t dstWidth,
                                          std::int32_t dstStride, std::int32_t dstHeight,
                                          float centerX, float centerY, float angle,
                                          bool useGpu) {
    using namespace pcbinspect;
    guardedExport("getSubGray", [&] {
        // The device is set up before the sizes are looked at: a first call
        // that asks for the GPU is the process's first device request even
        // when its images are empty.
        const bool onDevice = ensureCudaDevice(useGpu);
        ArgumentCheck check("getSubGray");
        check.image("source", src, srcWidth, srcStride, srcHeight)
            .image("destination", dst, dstWidth, dstStride, dstHeight);
        if (!check.ok()) return;
        resampleGrayBilinear(src, srcWidth, srcStride, srcHeight, dst, dstWidth, dstStride,
                             dstHeight, centerX, centerY, angle, onDevice);
    });
}

extern "C" PCBINSPECT_API void getSubGrayNearest(const std::uint8_t* src, std::int32_t srcWidth,
                                                 std::int32_t srcStride, std::int32_t srcHeight,
                                                 std::uint8_t* dst, std::int32_t dstWidth,
                                                 std::int32_t dstStride, std::int32_t dstHeight,
                                                 float centerX, float centerY, float angle) {
    using namespace pcbinspect;
    guardedExport("getSubGrayNearest", [&] {
        // The window starts black before anything else is looked at, so a
        // rejected source still leaves a cleared window; only its width x
        // height pixels are cleared. An unusable destination is not touched.
        ArgumentCheck check("getSubGrayNearest");
        if (!check.image("destination", dst, dstWidth, dstStride, dstHeight).ok()) return;
        for (int j = 0; j < dstHeight; ++j)
            std::memset(dst + static_cast<std::ptrdiff_t>(j) * dstStride, 0,
                        static_cast<std::size_t>(dstWidth));
        if (!check.image("source", src, srcWidth, srcStride, srcHeight).ok()) return;
        resampleGrayNearest(src, srcWidth, srcStride, srcHeight, dst, dstWidth, dstStride,
                            dstHeight, centerX, centerY, angle);
    });
}
