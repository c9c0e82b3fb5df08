#include "imaging/match_score.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

#include "boundary/numeric.h"
#include "boundary/vector_lanes.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace pcbinspect {
namespace {

constexpr float kPi = 3.14159f;
constexpr double kEpsilon = 1.1920929e-7;  // FLT_EPSILON

// One counted template pixel: its value and, when it lies on the image, the
// image value under it.
struct Sample {
    float image;
    int templ;
    bool inside;
};

// Calls visit(sample) for every counted template pixel (step and mask
// applied), in row order. `place(u, v, sample)` fills in the image side.
template <class Place, class Visit>
void forEachSample(ConstGrayView templ, const MatchOptions& o, Place place, Visit visit) {
    const int step = o.step < 1 ? 1 : o.step;
    for (int v = 0; v < templ.height; v += step) {
        const std::uint8_t* trow = templ.row(v);
        const std::uint8_t* mrow =
            o.mask ? o.mask + static_cast<std::ptrdiff_t>(v) * templ.stride : nullptr;
        for (int u = 0; u < templ.width; u += step) {
            if (mrow && mrow[u] == 0) continue;
            Sample s{0.0f, trow[u], false};
            place(u, v, s);
            visit(s);
        }
    }
}

// Values strictly between -1 and 1 are replaced by 1 so that neither factor
// of a product is ever near zero.
float awayFromZero(float v) { return (v > -1.0f && v < 1.0f) ? 1.0f : v; }

// Second pass of both modes over the same samples, given the two means.
// Correlation: |sum pt| / (sqrt(sum t^2) sqrt(sum p^2)); difference:
// (1 - sum d^2 / (k + 1) / 65025)^5, where an outside sample adds
// `outsidePenalty` to the sum (0 when neutral).
template <class Samples>
float secondPass(Samples samples, float meanImage, float meanTempl, const MatchOptions& o,
                 double outsidePenalty) {
    if (o.differenceMode) {
        double sdd = 0;
        double k = 0;
        samples([&](const Sample& s) {
            k += 1;
            if (!s.inside) {
                sdd += outsidePenalty;
                return;
            }
            const float d =
                std::fabs((s.image - meanImage) - (static_cast<float>(s.templ) - meanTempl));
            sdd += static_cast<double>(d) * d;
        });
        return static_cast<float>(std::pow(1.0 - sdd / (k + 1) / 65025.0, 5));
    }
    double spt = 0, spp = 0, stt = 0;
    samples([&](const Sample& s) {
        float p = 1.0f, t = 1.0f;
        if (s.inside) {
            p = s.image - meanImage;
            t = static_cast<float>(s.templ) - meanTempl;
        } else if (!o.outsideIsNeutral) {
            p = 255.0f;
        }
        p = awayFromZero(p);
        t = awayFromZero(t);
        spt += static_cast<double>(p) * t;
        spp += static_cast<double>(p) * p;
        stt += static_cast<double>(t) * t;
    });
    if (!(spp > kEpsilon) || !(stt > kEpsilon)) return 0.0f;
    return static_cast<float>(std::fabs(spt) / (std::sqrt(stt) * std::sqrt(spp)));
}

}  // namespace

float MatchScore(ConstGrayView image, ConstGrayView templ, float cx, float cy,
                 const MatchOptions& o) {
    const float radians = o.angle / 180.0f * kPi;
    const float sn = std::sin(radians), cs = std::cos(radians);
    const int halfW = templ.width / 2, halfH = templ.height / 2;
    // Template pixel (u, v) on the image, bilinear where the truncated
    // position lies in 0..size-2 (the fractions may be negative just above
    // or left of the image).
    auto bilinear = [&](int row, int col, float fr, float fc) {
        const std::uint8_t* p = image.row(row) + col;
        const std::uint8_t* q = p + image.stride;
        return p[0] * (1 - fr) * (1 - fc) + q[0] * fr * (1 - fc) + p[1] * (1 - fr) * fc +
               q[1] * fr * fc;
    };
    auto onImage = [&](int row, int col) {
        return row >= 0 && row <= image.height - 2 && col >= 0 && col <= image.width - 2;
    };
    // Without rotation the position of a template pixel is the sum of its
    // row's and its column's offset (a * 0 and b * 0 vanish exactly, a * 1
    // and b * 1 are exact), so each row and column is placed once.
    const bool axisAligned = sn == 0.0f && cs == 1.0f;
    struct Axis {
        int index;
        float fraction;
    };
    std::vector<Axis> rows, cols;
    if (axisAligned) {
        rows.resize(static_cast<std::size_t>(templ.height));
        cols.resize(static_cast<std::size_t>(templ.width));
        for (int v = 0; v < templ.height; ++v) {
            const float r = static_cast<float>(v - halfH) + cy;
            rows[v] = Axis{truncToInt(r), 0.0f};
            rows[v].fraction = r - static_cast<float>(rows[v].index);
        }
        for (int u = 0; u < templ.width; ++u) {
            const float c = static_cast<float>(u - halfW) + cx;
            cols[u] = Axis{truncToInt(c), 0.0f};
            cols[u].fraction = c - static_cast<float>(cols[u].index);
        }
    }
    // Template pixel (u, v) on the image, bilinear where the truncated
    // position lies in 0..size-2 (the fractions may be negative just above
    // or left of the image).
    auto place = [&](int u, int v, Sample& s) {
        if (axisAligned) {
            const Axis& r = rows[v];
            const Axis& c = cols[u];
            if (!onImage(r.index, c.index)) return;
            s.image = bilinear(r.index, c.index, r.fraction, c.fraction);
            s.inside = true;
            return;
        }
        const float a = static_cast<float>(u - halfW), b = static_cast<float>(v - halfH);
        const float r = a * sn + b * cs + cy;
        const float c = a * cs - b * sn + cx;
        const int row = truncToInt(r), col = truncToInt(c);
        if (!onImage(row, col)) return;
        s.image = bilinear(row, col, r - static_cast<float>(row), c - static_cast<float>(col));
        s.inside = true;
    };
    auto samples = [&](auto visit) { forEachSample(templ, o, place, visit); };

    long long sumTempl = 0, counted = 0;
    double sumImage = 0;
    int inside = 0;
    samples([&](const Sample& s) {
        sumTempl += s.templ;
        ++counted;
        if (s.inside) {
            sumImage += s.image;
            ++inside;
        }
    });
    if (inside == 0) return 1.0f;
    // The image mean covers the inside samples, the template mean every
    // counted pixel; both are truncated to whole values.
    const float meanImage = static_cast<float>(truncToInt(sumImage / inside));
    const float meanTempl = static_cast<float>(sumTempl / counted);
    return secondPass(samples, meanImage, meanTempl, o, o.outsideIsNeutral ? 0.0 : 65025.0);
}

void MatchScores(ConstGrayView image, ConstGrayView templ, const float* cx, const float* cy,
                 int n, const MatchOptions& o, float* out) {
    constexpr int kLanes = 8;
    const float radians = o.angle / 180.0f * kPi;
    bool whole = o.differenceMode && std::sin(radians) == 0.0f && std::cos(radians) == 1.0f &&
                 n <= kLanes;
    // Below 2^22 every position sum stays exact in single precision.
    constexpr float kExact = 4194304.0f;
    whole = whole && templ.width < kExact && templ.height < kExact;
    for (int j = 0; j < n && whole; ++j)
        whole = std::fabs(cx[j]) < kExact && std::fabs(cy[j]) < kExact &&
                cx[j] == std::trunc(cx[j]) && cy[j] == std::trunc(cy[j]);
    if (!whole) {
        for (int j = 0; j < n; ++j) out[j] = MatchScore(image, templ, cx[j], cy[j], o);
        return;
    }
    // Template pixel (u, v) lies on image pixel (u + left, v + top); it is
    // inside where that pixel has a right and a lower neighbour.
    int left[kLanes], top[kLanes];
    for (int j = 0; j < n; ++j) {
        left[j] = static_cast<int>(cx[j]) - templ.width / 2;
        top[j] = static_cast<int>(cy[j]) - templ.height / 2;
    }
    // Per template row: each lane's image row (when the row has a lower
    // neighbour) and its columns with a right neighbour, as template
    // columns; and the columns inside for every lane, where the lanes go
    // without checks.
    struct LaneRows {
        const std::uint8_t* pixels[kLanes];  // image row under the template row
        int lo[kLanes], hi[kLanes];          // inside columns, empty when the row is not
        int sharedLo, sharedHi;
    };
    auto laneRows = [&](int v, LaneRows& r) {
        r.sharedLo = 0;
        r.sharedHi = templ.width - 1;
        for (int j = 0; j < n; ++j) {
            const int row = top[j] + v;
            if (row < 0 || row > image.height - 2) {
                r.pixels[j] = nullptr;
                r.lo[j] = 1;
                r.hi[j] = 0;
            } else {
                r.pixels[j] = image.row(row);
                r.lo[j] = std::max(0, -left[j]);
                r.hi[j] = image.width - 2 - left[j];
            }
            r.sharedLo = std::max(r.sharedLo, r.lo[j]);
            r.sharedHi = std::min(r.sharedHi, r.hi[j]);
        }
    };
    long long sumTempl = 0, counted = 0;
    long long sumImage[kLanes] = {};
    int onImage[kLanes] = {};
    const int step = o.step < 1 ? 1 : o.step;
    // Visits the counted samples in row order: visit(rows, u, value).
    auto eachSample = [&](auto visit) {
        LaneRows rows;
        for (int v = 0; v < templ.height; v += step) {
            laneRows(v, rows);
            const std::uint8_t* trow = templ.row(v);
            const std::uint8_t* mrow =
                o.mask ? o.mask + static_cast<std::ptrdiff_t>(v) * templ.stride : nullptr;
            for (int u = 0; u < templ.width; u += step)
                if (!mrow || mrow[u] != 0) visit(rows, u, trow[u]);
        }
    };
    eachSample([&](const LaneRows& r, int u, int t) {
        sumTempl += t;
        ++counted;
        const bool shared = u >= r.sharedLo && u <= r.sharedHi;
        for (int j = 0; j < n; ++j)
            if (shared || (u >= r.lo[j] && u <= r.hi[j])) {
                sumImage[j] += r.pixels[j][left[j] + u];
                ++onImage[j];
            }
    });
    // The means as MatchScore takes them: the image's truncated from the
    // (exact) sum over the inside samples, the template's by whole division.
    float meanImage[kLanes] = {};
    for (int j = 0; j < n; ++j)
        if (onImage[j] > 0)
            meanImage[j] = static_cast<float>(
                truncToInt(static_cast<double>(sumImage[j]) / onImage[j]));
    const float meanTempl = counted > 0 ? static_cast<float>(sumTempl / counted) : 0.0f;
    const double penalty = o.outsideIsNeutral ? 0.0 : 65025.0;
    double sdd[kLanes] = {};
    eachSample([&](const LaneRows& r, int u, int t) {
        const float tt = static_cast<float>(t) - meanTempl;
        const bool shared = u >= r.sharedLo && u <= r.sharedHi;
        for (int j = 0; j < n; ++j) {
            if (!shared && !(u >= r.lo[j] && u <= r.hi[j])) {
                sdd[j] += penalty;
                continue;
            }
            const float d =
                std::fabs((static_cast<float>(r.pixels[j][left[j] + u]) - meanImage[j]) - tt);
            sdd[j] += static_cast<double>(d) * d;
        }
    });
    const double k = static_cast<double>(counted);
    for (int j = 0; j < n; ++j)
        out[j] = onImage[j] == 0
                     ? 1.0f
                     : static_cast<float>(std::pow(1.0 - sdd[j] / (k + 1) / 65025.0, 5));
}

float WindowMatchScore(ConstGrayView image, ConstGrayView templ, int cx, int cy,
                       const MatchOptions& o) {
    const int left = cx - templ.width / 2, top = cy - templ.height / 2;
    auto place = [&](int u, int v, Sample& s) {
        const int row = top + v, col = left + u;
        if (row < 0 || row >= image.height || col < 0 || col >= image.width) return;
        s.image = image.row(row)[col];
        s.inside = true;
    };
    auto samples = [&](auto visit) { forEachSample(templ, o, place, visit); };

    double sumImage = 0, sumTempl = 0;
    int inside = 0;
    samples([&](const Sample& s) {
        if (!s.inside) return;
        sumImage += s.image;
        sumTempl += s.templ;
        ++inside;
    });
    if (inside == 0) return 1.0f;
    // Both means over the inside samples, unrounded.
    const float meanImage = static_cast<float>(sumImage / inside);
    const float meanTempl = static_cast<float>(sumTempl / inside);
    return secondPass(samples, meanImage, meanTempl, o, o.outsideIsNeutral ? 0.0 : 255.0);
}

void WindowMatchPlan::prepare(ConstGrayView templ, const MatchOptions& o) {
    halfWidth_ = templ.width / 2;
    halfHeight_ = templ.height / 2;
    samples_.clear();
    const int step = o.step < 1 ? 1 : o.step;
    for (int v = 0; v < templ.height; v += step) {
        const std::uint8_t* trow = templ.row(v);
        const std::uint8_t* mrow =
            o.mask ? o.mask + static_cast<std::ptrdiff_t>(v) * templ.stride : nullptr;
        for (int u = 0; u < templ.width; u += step)
            if (!mrow || mrow[u] != 0) samples_.push_back(Sample{u, v, trow[u]});
    }
    valueSums_.assign(samples_.size() + 1, 0);
    for (std::size_t i = 0; i < samples_.size(); ++i) valueSums_[i + 1] = valueSums_[i] + samples_[i].value;
    rows_.clear();
    for (int i = 0; i < static_cast<int>(samples_.size()); ++i) {
        if (rows_.empty() || rows_.back().v != samples_[i].v)
            rows_.push_back(SampleRow{samples_[i].v, i, i});
        rows_.back().end = i + 1;
    }
}

// The samples lo .. hi - 1 that all four lanes share, each lane's term as
// the scalar code forms it: |(p - mean of image) - (value - mean of
// template)| in single precision, squared and added in double.
void WindowMatchPlan::addShared(const std::uint8_t* p0, const std::uint8_t* p1,
                                const std::uint8_t* p2, const std::uint8_t* p3, int lo, int hi,
                                const float* meanImage, const float* meanTempl, double* sdd) const {
#ifdef __SSE2__
    const __m128 meanI = _mm_loadu_ps(meanImage), meanT = _mm_loadu_ps(meanTempl);
    const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    __m128d sum01 = _mm_loadu_pd(sdd), sum23 = _mm_loadu_pd(sdd + 2);
    for (int i = lo; i < hi; ++i) {
        const Sample& s = samples_[i];
        const __m128 p = _mm_cvtepi32_ps(_mm_setr_epi32(p0[s.u], p1[s.u], p2[s.u], p3[s.u]));
        const __m128 t = _mm_sub_ps(_mm_set1_ps(static_cast<float>(s.value)), meanT);
        const __m128 d = _mm_and_ps(_mm_sub_ps(_mm_sub_ps(p, meanI), t), magnitude);
        const __m128d d01 = _mm_cvtps_pd(d), d23 = _mm_cvtps_pd(_mm_movehl_ps(d, d));
        sum01 = _mm_add_pd(sum01, _mm_mul_pd(d01, d01));
        sum23 = _mm_add_pd(sum23, _mm_mul_pd(d23, d23));
    }
    _mm_storeu_pd(sdd, sum01);
    _mm_storeu_pd(sdd + 2, sum23);
#else
    const std::uint8_t* pixels[4] = {p0, p1, p2, p3};
    for (int i = lo; i < hi; ++i)
        for (int j = 0; j < 4; ++j) {
            const Sample& s = samples_[i];
            const float p = static_cast<float>(pixels[j][s.u]);
            const float d = std::fabs((p - meanImage[j]) - (static_cast<float>(s.value) - meanTempl[j]));
            sdd[j] += static_cast<double>(d) * d;
        }
#endif
}

void WindowMatchPlan::scoreFour(ConstGrayView image, const int* cx, const int* cy,
                                float* out) const {
    constexpr int L = 4;
    int left[L], top[L];
    for (int j = 0; j < L; ++j) {
        left[j] = cx[j] - halfWidth_;
        top[j] = cy[j] - halfHeight_;
    }
    // The samples of a row that lie on the image for lane j: an index range,
    // empty when the row is off the image.
    struct Span {
        int first, end;
        const std::uint8_t* pixels;  // image row under the sample row, at u = 0
    };
    auto spanOf = [&](const SampleRow& row, int j) {
        const int y = top[j] + row.v;
        if (y < 0 || y >= image.height) return Span{row.first, row.first, nullptr};
        const auto begin = samples_.begin();
        const int lo = -left[j], hi = image.width - 1 - left[j];
        const int first = static_cast<int>(
            std::lower_bound(begin + row.first, begin + row.end, lo,
                             [](const Sample& s, int u) { return s.u < u; }) - begin);
        const int end = static_cast<int>(
            std::upper_bound(begin + first, begin + row.end, hi,
                             [](int u, const Sample& s) { return u < s.u; }) - begin);
        return Span{first, end, image.row(y) + left[j]};
    };

    // Whole-value sums, exact in any order.
    long long sumImage[L] = {}, sumTempl[L] = {};
    int count[L] = {};
    for (const SampleRow& row : rows_)
        for (int j = 0; j < L; ++j) {
            const Span sp = spanOf(row, j);
            for (int i = sp.first; i < sp.end; ++i) sumImage[j] += sp.pixels[samples_[i].u];
            sumTempl[j] += valueSums_[sp.end] - valueSums_[sp.first];
            count[j] += sp.end - sp.first;
        }
    float meanImage[L] = {}, meanTempl[L] = {};
    for (int j = 0; j < L; ++j) {
        if (count[j] == 0) continue;
        meanImage[j] = static_cast<float>(static_cast<double>(sumImage[j]) / count[j]);
        meanTempl[j] = static_cast<float>(static_cast<double>(sumTempl[j]) / count[j]);
    }

    // Sums of squares: each lane visits its samples in row order. Within a
    // row, each lane first takes the samples before the part all lanes
    // share, then the shared part goes in lock step, then each lane's rest.
    double sdd[L] = {};
    auto add = [&](int j, const Span& sp, int i) {
        const Sample& s = samples_[i];
        const float p = static_cast<float>(sp.pixels[s.u]);
        const float d = std::fabs((p - meanImage[j]) - (static_cast<float>(s.value) - meanTempl[j]));
        sdd[j] += static_cast<double>(d) * d;
    };
    for (const SampleRow& row : rows_) {
        Span sp[L];
        int lo = row.first, hi = row.end;
        for (int j = 0; j < L; ++j) {
            sp[j] = spanOf(row, j);
            lo = std::max(lo, sp[j].first);
            hi = std::min(hi, sp[j].end);
        }
        if (lo >= hi) {
            for (int j = 0; j < L; ++j)
                for (int i = sp[j].first; i < sp[j].end; ++i) add(j, sp[j], i);
            continue;
        }
        for (int j = 0; j < L; ++j)
            for (int i = sp[j].first; i < lo; ++i) add(j, sp[j], i);
        addShared(sp[0].pixels, sp[1].pixels, sp[2].pixels, sp[3].pixels, lo, hi, meanImage, meanTempl, sdd);
        for (int j = 0; j < L; ++j)
            for (int i = hi; i < sp[j].end; ++i) add(j, sp[j], i);
    }
    const double k = static_cast<double>(samples_.size());
    for (int j = 0; j < L; ++j)
        out[j] = count[j] == 0 ? 1.0f
                               : static_cast<float>(std::pow(1.0 - sdd[j] / (k + 1) / 65025.0, 5));
}

void WindowMatchPlan::scores(ConstGrayView image, const int* cx, const int* cy, int n,
                             float* out) const {
    int i = 0;
    for (; i + 4 <= n; i += 4) scoreFour(image, cx + i, cy + i, out + i);
    for (; i < n; ++i) out[i] = score(image, cx[i], cy[i]);
}

void WindowMatchPlan::scoresAlongRow(ConstGrayView image, int cx, int cy, int n,
                                     float* out) const {
#ifdef PCBINSPECT_AVX2
    if (n <= 8 && __builtin_cpu_supports("avx2")) {
        rowOfEight(image, cx, cy, n, out);
        return;
    }
#endif
    for (int i = 0; i < n; i += 4) {
        int cxs[4], cys[4];
        for (int k = 0; k < 4; ++k) {
            cxs[k] = cx + 2 * (i + k);
            cys[k] = cy;
        }
        scores(image, cxs, cys, std::min(4, n - i), out + i);
    }
}

#ifdef PCBINSPECT_AVX2
// Eight positions two columns apart share their image row: pixel u of lane k
// lies at pixels[u + 2k], so the even bytes of the sixteen at pixels + u are
// the eight lanes' pixels. Lanes n .. 7 are computed but not stored; they
// only narrow the part of each row that all lanes share.
__attribute__((target("avx2"))) void WindowMatchPlan::rowOfEight(ConstGrayView image, int cx,
                                                                 int cy, int n, float* out) const {
    constexpr int L = 8;
    const int left = cx - halfWidth_, top = cy - halfHeight_;
    struct RowSpans {
        int first[L], end[L];
        int lo, hi;  // the samples every lane takes with one load
        const std::uint8_t* pixels;  // image row under the sample row, at u = 0 for lane 0
    };
    // The samples of a row on the image for each lane, and the shared part,
    // whose loads end on the image too. Lane k's columns start 2k further
    // left, so its first sample comes no later than lane k - 1's, and its
    // last no later either: a walk in from each end finds them all.
    const auto spansOf = [&](const SampleRow& row, RowSpans& sp) {
        const int y = top + row.v;
        if (y < 0 || y >= image.height) return false;
        int i = row.first;
        for (int k = L - 1; k >= 0; --k) {
            while (i < row.end && samples_[i].u < -(left + 2 * k)) ++i;
            sp.first[k] = i;
        }
        int e = row.end;
        for (int k = 0; k < L; ++k) {
            while (e > row.first && samples_[e - 1].u > image.width - 1 - (left + 2 * k)) --e;
            sp.end[k] = std::max(e, sp.first[k]);
        }
        while (e > row.first && samples_[e - 1].u > image.width - 2 - (left + 2 * (L - 1))) --e;
        sp.lo = sp.first[0];
        sp.hi = std::max(e, sp.lo);
        sp.pixels = image.row(y) + left;
        return true;
    };
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);

    // Whole-value sums, exact in any order.
    long long sumImage[L] = {}, sumTempl[L] = {};
    int count[L] = {};
    RowSpans sp;
    for (const SampleRow& row : rows_) {
        if (!spansOf(row, sp)) continue;
        __m256i shared = _mm256_setzero_si256();
        for (int i = sp.lo; i < sp.hi; ++i) {
            const __m128i bytes = _mm_loadu_si128(
                reinterpret_cast<const __m128i*>(sp.pixels + samples_[i].u));
            shared = _mm256_add_epi32(shared,
                                      _mm256_cvtepu16_epi32(_mm_and_si128(bytes, lowBytes)));
        }
        alignas(32) int lanes[L];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), shared);
        for (int k = 0; k < L; ++k) {
            const std::uint8_t* p = sp.pixels + 2 * k;
            long long sum = lanes[k];
            for (int i = sp.first[k]; i < std::min(sp.lo, sp.end[k]); ++i) sum += p[samples_[i].u];
            for (int i = std::max(sp.hi, sp.first[k]); i < sp.end[k]; ++i) sum += p[samples_[i].u];
            sumImage[k] += sum;
            sumTempl[k] += valueSums_[sp.end[k]] - valueSums_[sp.first[k]];
            count[k] += sp.end[k] - sp.first[k];
        }
    }
    alignas(32) float meanImage[L] = {}, meanTempl[L] = {};
    for (int k = 0; k < L; ++k) {
        if (count[k] == 0) continue;
        meanImage[k] = static_cast<float>(static_cast<double>(sumImage[k]) / count[k]);
        meanTempl[k] = static_cast<float>(static_cast<double>(sumTempl[k]) / count[k]);
    }

    // Sums of squares: each lane visits its samples in row order, the part
    // before the shared one, the shared part in lock step, then the rest.
    alignas(32) double sdd[L] = {};
    const __m256 meanI = _mm256_load_ps(meanImage), meanT = _mm256_load_ps(meanTempl);
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    for (const SampleRow& row : rows_) {
        if (!spansOf(row, sp)) continue;
        for (int k = 0; k < L; ++k) {
            const std::uint8_t* p = sp.pixels + 2 * k;
            for (int i = sp.first[k]; i < std::min(sp.lo, sp.end[k]); ++i) {
                const Sample& s = samples_[i];
                const float d = std::fabs((static_cast<float>(p[s.u]) - meanImage[k]) -
                                          (static_cast<float>(s.value) - meanTempl[k]));
                sdd[k] += static_cast<double>(d) * d;
            }
        }
        __m256d sum0 = _mm256_load_pd(sdd), sum1 = _mm256_load_pd(sdd + 4);
        for (int i = sp.lo; i < sp.hi; ++i) {
            const Sample& s = samples_[i];
            const __m128i bytes =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(sp.pixels + s.u));
            const __m256 p =
                _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(_mm_and_si128(bytes, lowBytes)));
            const __m256 t = _mm256_sub_ps(_mm256_set1_ps(static_cast<float>(s.value)), meanT);
            const __m256 d = _mm256_and_ps(_mm256_sub_ps(_mm256_sub_ps(p, meanI), t), magnitude);
            const __m256d d0 = _mm256_cvtps_pd(_mm256_castps256_ps128(d));
            const __m256d d1 = _mm256_cvtps_pd(_mm256_extractf128_ps(d, 1));
            sum0 = _mm256_add_pd(sum0, _mm256_mul_pd(d0, d0));
            sum1 = _mm256_add_pd(sum1, _mm256_mul_pd(d1, d1));
        }
        _mm256_store_pd(sdd, sum0);
        _mm256_store_pd(sdd + 4, sum1);
        for (int k = 0; k < L; ++k) {
            const std::uint8_t* p = sp.pixels + 2 * k;
            for (int i = std::max(sp.hi, sp.first[k]); i < sp.end[k]; ++i) {
                const Sample& s = samples_[i];
                const float d = std::fabs((static_cast<float>(p[s.u]) - meanImage[k]) -
                                          (static_cast<float>(s.value) - meanTempl[k]));
                sdd[k] += static_cast<double>(d) * d;
            }
        }
    }
    const double total = static_cast<double>(samples_.size());
    for (int k = 0; k < n; ++k)
        out[k] = count[k] == 0
                     ? 1.0f
                     : static_cast<float>(std::pow(1.0 - sdd[k] / (total + 1) / 65025.0, 5));
}
#endif

float WindowMatchPlan::score(ConstGrayView image, int cx, int cy) const {
    const int left = cx - halfWidth_, top = cy - halfHeight_;
    auto inside = [&](const Sample& s) {
        const int row = top + s.v, col = left + s.u;
        return row >= 0 && row < image.height && col >= 0 && col < image.width;
    };
    // Sums of whole values: exact in 64-bit integers, as they are in the
    // doubles of the general routine.
    long long sumImage = 0, sumTempl = 0;
    int count = 0;
    for (const Sample& s : samples_) {
        if (!inside(s)) continue;
        sumImage += image.row(top + s.v)[left + s.u];
        sumTempl += s.value;
        ++count;
    }
    if (count == 0) return 1.0f;
    const float meanImage = static_cast<float>(static_cast<double>(sumImage) / count);
    const float meanTempl = static_cast<float>(static_cast<double>(sumTempl) / count);
    // Outside samples are neutral: they add nothing to the sum of squares
    // (adding 0.0 leaves a double unchanged) and one each to k, so the inside
    // samples alone are visited, in the same row order.
    double sdd = 0;
    for (const Sample& s : samples_) {
        if (!inside(s)) continue;
        const float p = static_cast<float>(image.row(top + s.v)[left + s.u]);
        const float d = std::fabs((p - meanImage) - (static_cast<float>(s.value) - meanTempl));
        sdd += static_cast<double>(d) * d;
    }
    const double k = static_cast<double>(samples_.size());
    return static_cast<float>(std::pow(1.0 - sdd / (k + 1) / 65025.0, 5));
}

}  // namespace pcbinspect
