// Similarity scores of the alignment: block maps (coarse), blurred full
// resolution maps (fine and local).
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "boundary/vector_lanes.h"
#include "imaging/window_filters.h"
#include "search/search_ops.h"

namespace pcbinspect {
namespace {

// Top-left corner of a w x h window centred at (cx, cy) on an image, or false
// when the window does not lie inside with a pixel to spare on the right and
// below (the scores treat touching the last row or column as outside).
bool placeWindow(int imageWidth, int imageHeight, int w, int h, int cx, int cy, int& x0,
                 int& y0) {
    const long long left = static_cast<long long>(cx) - w / 2;
    const long long top = static_cast<long long>(cy) - h / 2;
    if (left < 0 || top < 0 || left + w >= imageWidth || top + h >= imageHeight) return false;
    x0 = static_cast<int>(left);
    y0 = static_cast<int>(top);
    return true;
}

// Smallest |m - T| over the 3 x 3 template neighbourhood of (i, j), starting
// from d; neighbours outside the template are not looked at.
int nearestTemplateDifference(const ConstGrayView& t, int i, int j, int m, int d) {
    const int j0 = std::max(j - 1, 0), j1 = std::min(j + 1, t.height - 1);
    const int i0 = std::max(i - 1, 0), i1 = std::min(i + 1, t.width - 1);
    for (int y = j0; y <= j1; ++y) {
        const std::uint8_t* row = t.row(y);
        for (int x = i0; x <= i1; ++x) d = std::min(d, std::abs(m - static_cast<int>(row[x])));
    }
    return d;
}

// d / 320 in single precision, widened; raised to the eighth power by three
// squarings when asked. Differences of two bytes, so read from a table of
// the 256 values each way.
struct DifferenceTerms {
    double value[2][256];
    DifferenceTerms() {
        for (int d = 0; d < 256; ++d) {
            double e = static_cast<double>(static_cast<float>(d) / 320.0f);
            value[0][d] = e;
            e = e * e;
            e = e * e;
            e = e * e;
            value[1][d] = e;
        }
    }
};

const DifferenceTerms& differenceTerms() {
    static const DifferenceTerms terms;
    return terms;
}

}  // namespace

double blockAlignmentScore(ConstGrayView map, ConstGrayView marker, ConstGrayView templ,
                           ConstGrayView templMask, int cx, int cy) {
    const int w = templ.width, h = templ.height;
    int x0 = 0, y0 = 0;
    if (!placeWindow(map.width, map.height, w, h, cx, cy, x0, y0)) return 0.0;
    const DifferenceTerms& terms = differenceTerms();
    double sum = 0.0;
    for (int j = 0; j < h; j += 2) {
        const std::uint8_t* rowU = templMask.row(j);
        const std::uint8_t* rowT = templ.row(j);
        const std::uint8_t* rowK = marker.row(y0 + j) + x0;
        const std::uint8_t* rowM = map.row(y0 + j) + x0;
        for (int i = 0; i < w; i += 2) {
            const int k = rowK[i];
            if (rowU[i] != 0 && k != 128) continue;
            const int m = rowM[i];
            int d = std::abs(m - static_cast<int>(rowT[i]));
            if (k == 255) d = nearestTemplateDifference(templ, i, j, m, d);
            if (d > 0) sum += terms.value[k < 255 ? 1 : 0][d];
        }
    }
    return 1.0 - sum / (static_cast<double>(w) * h);
}

namespace {

#ifdef PCBINSPECT_AVX2
// Eight centres `step` (1 or 2) columns apart, all placed, their windows
// starting at column x0 + step * k of row y0. Lane k of a sample reads the
// map and the marker at byte step * k from lane 0's: one load gives all
// eight. Skipped cells and zero differences add +0.0, which leaves a sum of
// non-negative terms unchanged, so each lane's sum is built exactly as the
// single-centre loop builds it.
__attribute__((target("avx2"))) void blockScoresAvx2(ConstGrayView map, ConstGrayView marker,
                                                     ConstGrayView templ, ConstGrayView templMask,
                                                     int x0, int y0, int step, double* out) {
    const int w = templ.width, h = templ.height;
    const double* const table = &differenceTerms().value[0][0];
    const __m256i zero = _mm256_setzero_si256();
    const __m256i k128 = _mm256_set1_epi32(128), k255 = _mm256_set1_epi32(255);
    const __m128i evens = _mm_set1_epi16(0x00FF);
    __m256d sum0 = _mm256_setzero_pd(), sum1 = _mm256_setzero_pd();
    for (int j = 0; j < h; j += 2) {
        const std::uint8_t* rowU = templMask.row(j);
        const std::uint8_t* rowT = templ.row(j);
        const std::uint8_t* rowK = marker.row(y0 + j) + x0;
        const std::uint8_t* rowM = map.row(y0 + j) + x0;
        const int j0 = std::max(j - 1, 0), j1 = std::min(j + 1, h - 1);
        for (int i = 0; i < w; i += 2) {
            __m256i k, m;
            if (step == 2) {
                k = _mm256_cvtepu16_epi32(_mm_and_si128(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(rowK + i)), evens));
                m = _mm256_cvtepu16_epi32(_mm_and_si128(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(rowM + i)), evens));
            } else {
                k = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(rowK + i)));
                m = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(rowM + i)));
            }
            // A cell under the mask counts only under marker 128.
            const __m256i active =
                rowU[i] == 0 ? _mm256_set1_epi32(-1) : _mm256_cmpeq_epi32(k, k128);
            if (_mm256_testz_si256(active, active)) continue;
            __m256i d = _mm256_abs_epi32(_mm256_sub_epi32(m, _mm256_set1_epi32(rowT[i])));
            const __m256i best = _mm256_cmpeq_epi32(k, k255);
            if (!_mm256_testz_si256(best, best)) {
                // Marker 255: the smallest difference over the 3 x 3
                // template neighbourhood (within the template).
                __m256i nearest = d;
                const int i0 = std::max(i - 1, 0), i1 = std::min(i + 1, w - 1);
                for (int y = j0; y <= j1; ++y) {
                    const std::uint8_t* row = templ.row(y);
                    for (int x = i0; x <= i1; ++x)
                        nearest = _mm256_min_epi32(
                            nearest, _mm256_abs_epi32(_mm256_sub_epi32(m, _mm256_set1_epi32(row[x]))));
                }
                d = _mm256_blendv_epi8(d, nearest, best);
            }
            // Below marker 255 the eighth power: the table's second half.
            const __m256i index = _mm256_add_epi32(
                d, _mm256_andnot_si256(best, _mm256_set1_epi32(256)));
            const __m256i counts =
                _mm256_andnot_si256(_mm256_cmpeq_epi32(d, zero), active);
            // Lanes that do not count read nothing and add +0.0.
            const __m256d c0 = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(counts)));
            const __m256d c1 = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_extracti128_si256(counts, 1)));
            sum0 = _mm256_add_pd(sum0, _mm256_mask_i32gather_pd(_mm256_setzero_pd(), table,
                                                                _mm256_castsi256_si128(index), c0, 8));
            sum1 = _mm256_add_pd(sum1, _mm256_mask_i32gather_pd(_mm256_setzero_pd(), table,
                                                                _mm256_extracti128_si256(index, 1), c1, 8));
        }
    }
    alignas(32) double sums[8];
    _mm256_store_pd(sums, sum0);
    _mm256_store_pd(sums + 4, sum1);
    for (int k = 0; k < 8; ++k) out[k] = 1.0 - sums[k] / (static_cast<double>(w) * h);
}
#endif

}  // namespace

void blockAlignmentScores(ConstGrayView map, ConstGrayView marker, ConstGrayView templ,
                          ConstGrayView templMask, int cx, int cy, int step, int n, double* out) {
    int k = 0;
#ifdef PCBINSPECT_AVX2
    if ((step == 1 || step == 2) && __builtin_cpu_supports("avx2")) {
        for (; k + 8 <= n; k += 8) {
            int first = 0, last = 0, y0 = 0;
            if (!placeWindow(map.width, map.height, templ.width, templ.height, cx + k * step, cy,
                             first, y0) ||
                !placeWindow(map.width, map.height, templ.width, templ.height, cx + (k + 7) * step,
                             cy, last, y0)) {
                for (int e = k; e < k + 8; ++e)
                    out[e] = blockAlignmentScore(map, marker, templ, templMask, cx + e * step, cy);
                continue;
            }
            blockScoresAvx2(map, marker, templ, templMask, first, y0, step, out + k);
        }
    }
#endif
    for (; k < n; ++k) out[k] = blockAlignmentScore(map, marker, templ, templMask, cx + k * step, cy);
}

double weightedAlignmentScore(ConstGrayView map, ConstGrayView marker, ConstGrayView templ,
                              ConstGrayView maskImage, int cx, int cy) {
    const int w = templ.width, h = templ.height;
    int x0 = 0, y0 = 0;
    if (!placeWindow(map.width, map.height, w, h, cx, cy, x0, y0)) return 0.0;
    // The blurred weights, w x h with stride w.
    std::vector<std::uint8_t> weights(static_cast<std::size_t>(w) * h);
    for (int j = 0; j < h; ++j)
        std::copy_n(maskImage.row(j), w, weights.data() + static_cast<std::size_t>(j) * w);
    boxBlurGray(weights.data(), w, w, h, w / 10);
    const DifferenceTerms& terms = differenceTerms();
    double sum = 0.0;
    for (int j = 0; j < h; j += 2) {
        const std::uint8_t* rowV = weights.data() + static_cast<std::size_t>(j) * w;
        const std::uint8_t* rowT = templ.row(j);
        const std::uint8_t* rowK = marker.row(y0 + j) + x0;
        const std::uint8_t* rowM = map.row(y0 + j) + x0;
        for (int i = 0; i < w; i += 2) {
            const int v = rowV[i], k = rowK[i];
            if (v > 254 && k != 128) continue;
            const int m = rowM[i];
            int d = std::abs(m - static_cast<int>(rowT[i]));
            if (k == 255) d = nearestTemplateDifference(templ, i, j, m, d);
            // The weight is formed in double precision.
            if (d > 0) sum += (255.0 - v) / 255.0 * terms.value[k != 255 ? 1 : 0][d];
        }
    }
    return 1.0 - sum / (static_cast<double>(w) * h);
}

namespace {

// The centres (cx + k * step, cy), k0 <= k < k1, whose window of w x h fits
// in an image of aw x ah form one run: its first centre, its length and the
// first window's corner; first is -1 when none fits.
struct CentreRun {
    int first = -1, n = 0, x0 = 0, y0 = 0;
};
CentreRun centreRun(int aw, int ah, int w, int h, int cx, int cy, int step, int k0, int k1) {
    CentreRun run;
    for (int k = k0; k < k1; ++k) {
        int x = 0, y = 0;
        if (!placeWindow(aw, ah, w, h, cx + k * step, cy, x, y)) continue;
        if (run.first < 0) {
            run.first = k;
            run.x0 = x;
            run.y0 = y;
        }
        run.n = k - run.first + 1;
    }
    return run;
}

#ifdef PCBINSPECT_AVX2
bool avx2Lanes() { return __builtin_cpu_supports("avx2"); }
#endif

// Centres of one row of cubic agreements, and samples added in 32 bits
// before they go into the 64-bit totals: 128 cubes of at most 255^3 stay
// below 2^31. The sums are of integers, exact in either width, so the order
// in which lanes add them does not matter.
constexpr int kCubicLanes = 16;
constexpr int kSamplesPer32 = 128;

// One sample (reference bytes from a, mask bytes from m, centre k reading
// a[k * step]) added to the counts of centres k0 .. n - 1.
void addSampleScalar(const std::uint8_t* a, const std::uint8_t* m, int vb, int step, int k0, int n,
                     std::int32_t* cubes, std::int32_t* counts) {
    for (int k = k0; k < n; ++k) {
        if (m[k * step] != 0) continue;
        const int d = static_cast<int>(a[k * step]) - vb;
        cubes[k] += std::abs(d * d * d);
        ++counts[k];
    }
}

#ifdef PCBINSPECT_AVX2
// The eight bytes p[0], p[3], .. p[21], read without passing p[21].
__attribute__((target("avx2"))) inline __m128i everyThird(const std::uint8_t* p) {
    const __m128i low = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                         _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
    const __m128i high = _mm_shuffle_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 14)),
                                          _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 4, 7, -1, -1, -1, -1, -1, -1, -1, -1));
    return _mm_or_si128(low, high);
}

// The same with steps 1 and 3, eight centres at a time in vector lanes,
// then the rest one at a time.
__attribute__((target("avx2"))) void addSampleAvx2(const std::uint8_t* a, const std::uint8_t* m, int vb,
                                                   int step, int n, std::int32_t* cubes, std::int32_t* counts) {
    int k = 0;
    for (; k + 8 <= n; k += 8) {
        const std::uint8_t* pa = a + k * step;
        const std::uint8_t* pm = m + k * step;
        const __m128i bytesA = step == 1 ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pa)) : everyThird(pa);
        const __m128i bytesM = step == 1 ? _mm_loadl_epi64(reinterpret_cast<const __m128i*>(pm)) : everyThird(pm);
        const __m256i keep = _mm256_cmpeq_epi32(_mm256_cvtepu8_epi32(bytesM), _mm256_setzero_si256());
        const __m256i diff = _mm256_sub_epi32(_mm256_cvtepu8_epi32(bytesA), _mm256_set1_epi32(vb));
        const __m256i cube = _mm256_abs_epi32(_mm256_mullo_epi32(_mm256_mullo_epi32(diff, diff), diff));
        __m256i* const c = reinterpret_cast<__m256i*>(cubes + k);
        __m256i* const t = reinterpret_cast<__m256i*>(counts + k);
        _mm256_storeu_si256(c, _mm256_add_epi32(_mm256_loadu_si256(c), _mm256_and_si256(cube, keep)));
        _mm256_storeu_si256(t, _mm256_sub_epi32(_mm256_loadu_si256(t), keep));
    }
    addSampleScalar(a, m, vb, step, k, n, cubes, counts);
}
#endif

}  // namespace

void cubicAgreementRow(ConstGrayView a, ConstGrayView mask, ConstGrayView b, int cx, int cy,
                       int step, int count, double* out, bool* tooFew) {
    const int w = b.width, h = b.height;
    std::fill(out, out + count, 0.0);
    std::fill(tooFew, tooFew + count, false);
    const auto [first, n, x0, y0] = centreRun(a.width, a.height, w, h, cx, cy, step, 0, count);
    if (first < 0) return;
#ifdef PCBINSPECT_AVX2
    const bool vectors = (step == 1 || step == 3) && avx2Lanes();
#endif
    long long sums[kCubicLanes] = {};
    std::int32_t counts[kCubicLanes] = {};
    std::int32_t cubes[kCubicLanes] = {};
    int pending = 0;  // samples in cubes
    for (int j = 0; j < h; j += 5) {
        const std::uint8_t* rowA = a.row(y0 + j) + x0;
        const std::uint8_t* rowMask = mask.row(y0 + j) + x0;
        const std::uint8_t* rowB = b.row(j);
        for (int i = 0; i < w; i += 5) {
#ifdef PCBINSPECT_AVX2
            if (vectors) {
                addSampleAvx2(rowA + i, rowMask + i, rowB[i], step, n, cubes, counts);
            } else
#endif
            {
                addSampleScalar(rowA + i, rowMask + i, rowB[i], step, 0, n, cubes, counts);
            }
            if (++pending == kSamplesPer32) {
                for (int k = 0; k < n; ++k) sums[k] += cubes[k];
                std::fill(cubes, cubes + kCubicLanes, 0);
                pending = 0;
            }
        }
    }
    for (int k = 0; k < n; ++k) {
        sums[k] += cubes[k];
        const int cells = 1 + counts[k];
        tooFew[first + k] = cells < 10;
        out[first + k] = 1.0 - static_cast<double>(sums[k]) / cells / 16581375.0;
    }
}

double cubicAgreement(ConstGrayView a, ConstGrayView mask, ConstGrayView b, int cx, int cy,
                      bool* tooFew) {
    double v = 0.0;
    cubicAgreementRow(a, mask, b, cx, cy, 1, 1, &v, tooFew);
    return v;
}

namespace {

// The four quadrant scores ranked, those with fewer than 10 non-empty cells
// moved to the back, and the ranks weighted 0.6, 0.3, 0.07, 0.03.
double rankedQuadrants(const double* sum, const int* n, const int* content) {
    // Ranked slots: quadrant index and score; -1 marks a slot without one.
    struct Slot {
        int quadrant = -1;
        double score = 0.0;
    } slots[4];
    int filled = 0;
    for (int q = 0; q < 4; ++q) {
        const double score = 1.0 - sum[q] / n[q] / 16581375.0;
        if (!(score > 0.0)) continue;
        // Insert behind every slot of an equal or higher score.
        int at = filled;
        while (at > 0 && slots[at - 1].score < score) {
            slots[at] = slots[at - 1];
            --at;
        }
        slots[at] = Slot{q, score};
        ++filled;
    }
    // Quadrants with too little content go to the back, one walk from the
    // front; the slot that moves up into a vacated place is not looked at
    // again.
    for (int s = 0; s < 4; ++s) {
        const int q = slots[s].quadrant;
        if (q < 0 || content[q] >= 10) continue;
        const Slot moved = slots[s];
        for (int t = s; t < 3; ++t) slots[t] = slots[t + 1];
        slots[3] = moved;
    }
    return 0.6 * slots[0].score + 0.3 * slots[1].score + 0.07 * slots[2].score +
           0.03 * slots[3].score;
}

}  // namespace

QuadrantPlan::QuadrantPlan(ConstGrayView b, ConstGrayView d, std::ptrdiff_t strideA)
    : w_(b.width), h_(b.height) {
    const int qw = w_ / 2 + 1, qh = h_ / 2 + 1;
    // Room for every cell of the grid a quadrant spans, so that filling
    // never moves the lists.
    for (auto& cells : cells_) cells.reserve(static_cast<std::size_t>(qh / 5 + 1) * (qw / 5 + 1));
    for (int j = 0; j < h_; j += 5) {
        const std::uint8_t* rowB = b.row(j);
        const std::uint8_t* rowD = d.row(j);
        const int qRow = 2 * (j / qh);
        for (int i = 0; i < w_; i += 5) {
            if (rowD[i] != 0) continue;
            const int q = i / qw + qRow;
            const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(j) * strideA + i;
            cells_[q].push_back(Cell{offset, rowB[i]});
            farthest_ = offset;  // offsets grow in this order
        }
    }
}

double QuadrantPlan::score(ConstGrayView a, int cx, int cy) const {
    int x0 = 0, y0 = 0;
    if (!placeWindow(a.width, a.height, w_, h_, cx, cy, x0, y0)) return 0.0;
    const std::uint8_t* corner = a.row(y0) + x0;
    // |A - B|^3 is at most 255^3 < 2^24 and a window holds far fewer than
    // 2^29 cells: the sums are exact in 64-bit integers, as in doubles.
    double sum[4];
    int n[4], content[4];
    for (int q = 0; q < 4; ++q) {
        long long total = 0;
        int filled = 0;
        for (const Cell& c : cells_[q]) {
            const int va = corner[c.offset], vb = c.value;
            const int diff = va - vb;
            total += std::abs(diff * diff * diff);
            filled += (va | vb) != 0 ? 1 : 0;
        }
        sum[q] = static_cast<double>(total);
        n[q] = 1 + static_cast<int>(cells_[q].size());
        content[q] = filled;
    }
    return rankedQuadrants(sum, n, content);
}

namespace {

// Centres of one row scored together, and cells added in 32 bits before
// they go into the 64-bit totals: 128 cubes of at most 255^3 stay below 2^31.
constexpr int kRowLanes = 16;
constexpr std::size_t kCellsPer32 = 128;

// Adds one cell's cube and content to the running counts of centres
// k0 .. n - 1; centre k reads the reference at from[k * step].
void addCellScalar(const std::uint8_t* from, int vb, int step, int k0, int n, std::int32_t* cubes,
                   std::int32_t* filled) {
    for (int k = k0; k < n; ++k) {
        const int va = from[k * step];
        const int diff = va - vb;
        cubes[k] += std::abs(diff * diff * diff);
        filled[k] += (va | vb) != 0 ? 1 : 0;
    }
}

#ifdef PCBINSPECT_AVX2
// The cubes and contents of eight centres whose reference bytes are `bytes`
// (the low eight), added to their counts where `keep` is set; the other
// lanes add 0. The counts hold eight ints from `cubes` and `filled` on.
__attribute__((target("avx2"))) inline void addLanes(__m128i bytes, int vb, std::int32_t* cubes,
                                                     std::int32_t* filled, __m256i keep) {
    const __m256i va = _mm256_cvtepu8_epi32(bytes);
    const __m256i b8 = _mm256_set1_epi32(vb);
    const __m256i diff = _mm256_sub_epi32(va, b8);
    const __m256i cube = _mm256_abs_epi32(_mm256_mullo_epi32(_mm256_mullo_epi32(diff, diff), diff));
    const __m256i empty = _mm256_cmpeq_epi32(_mm256_or_si256(va, b8), _mm256_setzero_si256());
    const __m256i content = _mm256_add_epi32(_mm256_set1_epi32(1), empty);
    __m256i* const c = reinterpret_cast<__m256i*>(cubes);
    __m256i* const f = reinterpret_cast<__m256i*>(filled);
    _mm256_storeu_si256(c, _mm256_add_epi32(_mm256_loadu_si256(c), _mm256_and_si256(cube, keep)));
    _mm256_storeu_si256(f, _mm256_add_epi32(_mm256_loadu_si256(f), _mm256_and_si256(content, keep)));
}

// The same for steps 1 and 2 with eight, then four centres in vector lanes;
// integer sums, so the lanes give the scalar loop's totals exactly. Loads
// stay within the bytes the scalar loop reads unless `roomy` says that the
// image holds the bytes of whole groups of eight centres, which then also
// serve the last few centres (the counts of lanes beyond n are not read).
// The counts reach eight ints past n - 1.
__attribute__((target("avx2"))) void addCellAvx2(const std::uint8_t* from, int vb, int step, int n,
                                                 bool roomy, std::int32_t* cubes, std::int32_t* filled) {
    int k = 0;
    const __m128i evens = _mm_setr_epi8(0, 2, 4, 6, 9, 11, 13, 15, -1, -1, -1, -1, -1, -1, -1, -1);
    const int whole = roomy ? n : n - 7;  // groups start below this
    for (; k < whole; k += 8) {
        const std::uint8_t* p = from + k * step;
        __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        if (step == 2)
            bytes = _mm_shuffle_epi8(
                _mm_unpacklo_epi64(bytes, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 7))), evens);
        addLanes(bytes, vb, cubes + k, filled + k, _mm256_set1_epi32(-1));
    }
    if (k + 4 <= n) {
        const std::uint8_t* p = from + k * step;
        std::uint32_t word = 0;
        if (step == 1) {
            std::memcpy(&word, p, 4);
        } else {
            word = p[0] | p[2] << 8 | p[4] << 16 | static_cast<std::uint32_t>(p[6]) << 24;
        }
        addLanes(_mm_cvtsi32_si128(static_cast<int>(word)), vb, cubes + k, filled + k,
                 _mm256_setr_epi32(-1, -1, -1, -1, 0, 0, 0, 0));
        k += 4;
    }
    addCellScalar(from, vb, step, k, n, cubes, filled);
}
#endif

}  // namespace

void QuadrantPlan::sumRow(ConstGrayView a, int cx, int cy, int step, int count, int quadrant,
                          QuadrantSums* out) const {
    const std::vector<Cell>& cells = cells_[quadrant];
    for (int k0 = 0; k0 < count; k0 += kRowLanes) {
        const int k1 = std::min(count, k0 + kRowLanes);
        std::fill(out + k0, out + k1, QuadrantSums{});
        const auto [first, n, x0, y0] = centreRun(a.width, a.height, w_, h_, cx, cy, step, k0, k1);
        if (first < 0) continue;
        const std::uint8_t* corner = a.row(y0) + x0;
#ifdef PCBINSPECT_AVX2
        const bool vectors = (step == 1 || step == 2) && avx2Lanes();
        // Whole groups of eight centres read up to 7 (step 1) or 14 (step 2)
        // bytes past a group's first centre; where the image holds those
        // bytes for the farthest cell, the last group is a whole one too.
        bool roomy = false;
        if (vectors) {
            const std::uintptr_t reach = reinterpret_cast<std::uintptr_t>(corner) +
                                         static_cast<std::uintptr_t>(farthest_) +
                                         static_cast<std::uintptr_t>((n - 1) / 8 * 8 * step + (step == 1 ? 7 : 14));
            const std::uintptr_t end =
                reinterpret_cast<std::uintptr_t>(a.row(a.height - 1)) + static_cast<std::uintptr_t>(a.width);
            roomy = reach < end;
        }
#endif
        // Room for a last vector of eight lanes from any centre on.
        long long totals[kRowLanes] = {};
        std::int32_t filled[kRowLanes + 8] = {};
        for (std::size_t c0 = 0; c0 < cells.size(); c0 += kCellsPer32) {
            std::int32_t cubes[kRowLanes + 8] = {};
            const std::size_t c1 = std::min(cells.size(), c0 + kCellsPer32);
            for (std::size_t c = c0; c < c1; ++c) {
                const std::uint8_t* from = corner + cells[c].offset;
#ifdef PCBINSPECT_AVX2
                if (vectors) {
                    addCellAvx2(from, cells[c].value, step, n, roomy, cubes, filled);
                    continue;
                }
#endif
                addCellScalar(from, cells[c].value, step, 0, n, cubes, filled);
            }
            for (int k = 0; k < n; ++k) totals[k] += cubes[k];
        }
        for (int k = 0; k < n; ++k) out[first + k] = QuadrantSums{totals[k], filled[k]};
    }
}

double QuadrantPlan::scoreOf(const QuadrantSums (&sums)[4]) const {
    double sum[4];
    int cellsIn[4], content[4];
    for (int q = 0; q < 4; ++q) {
        if (sums[q].filled < 0) return 0.0;
        sum[q] = static_cast<double>(sums[q].total);
        cellsIn[q] = 1 + static_cast<int>(cells_[q].size());
        content[q] = sums[q].filled;
    }
    return rankedQuadrants(sum, cellsIn, content);
}

double quadrantAgreement(ConstGrayView a, ConstGrayView b, ConstGrayView d, int cx, int cy) {
    return QuadrantPlan(b, d, a.stride).score(a, cx, cy);
}

}  // namespace pcbinspect
