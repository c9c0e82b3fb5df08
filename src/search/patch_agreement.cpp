// The 15 x 15 patch tests of the flaw scan.
#include <cstddef>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "search/search_ops.h"

namespace pcbinspect {

const std::uint8_t PatchDisc15[kPatchSide][kPatchSide] = {
    {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0},
    {0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0},
    {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0},
    {0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0},
    {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0},
};

namespace {

// Rows are refused one early (a patch touching the last row does not count
// as inside); columns are refused only where a read would leave the image,
// so every patch the row rule admits and that lies inside is tested as is.
bool patchFits(const ConstGrayView& image, int x, int y) {
    if (y < 0 || y + kPatchSide >= image.height) return false;
    return x >= 0 && x <= image.width - kPatchSide;
}

}  // namespace

bool isBlankPatch(ConstGrayView image, int x, int y) {
    if (!patchFits(image, x, y)) return false;
    for (int r = 0; r < kPatchSide; ++r) {
        const std::uint8_t* row = image.row(y + r) + x;
        for (int c = 0; c < kPatchSide; ++c)
            if (row[c] != 0) return false;
    }
    return true;
}

#ifdef __SSE2__
namespace {

// A patch row read as columns 0 .. 7 and 7 .. 14 (two eight-byte loads that
// stay within its fifteen bytes), and the disc's cells in that layout, the
// repeated column 7 counted once.
__m128i patchRow(const std::uint8_t* p) {
    return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                              _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 7)));
}

struct DiscLanes {
    __m128i rows[kPatchSide];
    DiscLanes() {
        for (int r = 0; r < kPatchSide; ++r) {
            alignas(16) std::uint8_t lanes[16] = {};
            for (int c = 0; c < kPatchSide; ++c)
                lanes[c < 8 ? c : c + 1] = PatchDisc15[r][c] != 0 ? 0xFF : 0;
            rows[r] = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
        }
    }
};
const DiscLanes discLanes;

}  // namespace
#endif

float patchAgreement(ConstGrayView a, int xA, int yA, ConstGrayView b, int xB, int yB) {
    if (!patchFits(a, xA, yA) || !patchFits(b, xB, yB)) return 1.0f;
#ifdef __SSE2__
    // Equal disc cells counted per lane (at most 15 a lane), then added up.
    __m128i counts = _mm_setzero_si128();
    for (int r = 0; r < kPatchSide; ++r) {
        const __m128i equal = _mm_cmpeq_epi8(patchRow(a.row(yA + r) + xA), patchRow(b.row(yB + r) + xB));
        counts = _mm_sub_epi8(counts, _mm_and_si128(equal, discLanes.rows[r]));
    }
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    const int same = _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
#else
    int same = 0;
    for (int r = 0; r < kPatchSide; ++r) {
        const std::uint8_t* rowA = a.row(yA + r) + xA;
        const std::uint8_t* rowB = b.row(yB + r) + xB;
        const std::uint8_t* disc = PatchDisc15[r];
        for (int c = 0; c < kPatchSide; ++c) same += disc[c] & (rowA[c] == rowB[c]);
    }
#endif
    return static_cast<float>(same) / static_cast<float>(kPatchDiscCells);
}

}  // namespace pcbinspect
