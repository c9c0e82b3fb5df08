#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "boundary/vector_lanes.h"
#include "boundary/numeric.h"
#include "imaging/window_filters.h"
#include "inspect/window_routines.h"
#include "inspect/window_checks.h"
#include "imaging/line_fit.h"
#include "imaging/match_score.h"
#include "imaging/morphology.h"
#include "imaging/nearest_pixel.h"
#include "inspect/recheck_stages.h"
#include "imaging/region_fill.h"
#include "imaging/thickness_map.h"

namespace pcbinspect {
namespace {

constexpr int N = kRecheckSide;
constexpr int kTile = 120;

int setNeighbours8(const std::uint8_t* s, int x, int y) {
    int n = 0;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            if (dx == 0 && dy == 0) continue;
            const int nx = x + dx, ny = y + dy;
            if (nx >= 0 && ny >= 0 && nx < N && ny < N && s[ny * N + nx] != 0) ++n;
        }
    return n;
}

float distanceTo(int x, int y, int cx, int cy) {
    const float dx = static_cast<float>(x - cx), dy = static_cast<float>(y - cy);
    return std::sqrt(dx * dx + dy * dy);
}

// The set pixel nearest to (px, py) by squared distance, the first found
// column by column; its value, or `none` when the image is empty.
struct Nearest {
    int x = -1, y = -1;
    int value = 0;
};

Nearest nearestColumnwise(const std::uint8_t* s, int px, int py) {
    Nearest n;
    if (NearestByColumns(s, N, px, py, &n.x, &n.y)) n.value = s[n.y * N + n.x];
    return n;
}

bool tileCopper(std::uint8_t v) { return v != 0 && v != kLabelClass2; }

// The first and last set columns of a row of N pixels; false when none is set.
bool setSpan(const std::uint8_t* row, int* first, int* last) {
    std::uint8_t any = 0;
    for (int x = 0; x < N; ++x) any |= row[x];
    if (any == 0) return false;
    int a = 0, b = N - 1;
    while (row[a] == 0) ++a;
    while (row[b] == 0) --b;
    *first = a;
    *last = b;
    return true;
}

// A thickness map with the line-direction correction.
void widthMap(std::uint8_t* m) {
    ThicknessMap(GrayView{m, N, N, N});
    CorrectLineDirection(GrayView{m, N, N, N});
}

class LineWidth {
public:
    explicit LineWidth(const LineWidthInputs& in)
        : in_(in),
          p_(*in.params),
          s_(in.scratch),
          s2_(in.scratch + kRecheckArea),
          mask_(in.scratch + 2 * kRecheckArea),
          shaped_(in.scratch + 3 * kRecheckArea),
          paintSpread_(in.scratch + 4 * kRecheckArea),
          maskSpread_(in.scratch + 4 * kRecheckArea + kTile * N),
          morph_(*in.morph) {}

    StageVerdict run();

private:
    struct Climb {
        float best = 0.0f;
        int k = 0;
        float cx = 120.0f, cy = 120.0f;
        int sx = 0, sy = 0;
    };

    void spreadTile();
    void paintTile(std::uint8_t* m);
    void comparisonMask();
    bool referenceSkeleton();
    void alignment();
    bool scoreMoves(Climb& climb);
    void lineWidth();
    StageVerdict excessMissing();
    StageVerdict verdict(int code, float score) const {
        StageVerdict v;
        v.code = code;
        v.score = score;
        return v;
    }

    const LineWidthInputs& in_;
    const InspectParams& p_;
    std::uint8_t* s_;
    std::uint8_t* s2_;
    std::uint8_t* mask_;
    std::uint8_t* shaped_;  // the reference grown or shrunk step by step
    std::uint8_t* paintSpread_;
    std::uint8_t* maskSpread_;
    MorphologyScratch& morph_;

    bool tilePainted_ = false;
    float f_ = 1.0f;
    int limit_ = 0;
    float wA_ = 0.0f;
    int p1x_ = -1, p1y_ = -1;
    Climb grow_, shrink_;
    int pending_ = 0;
    float pendingScore_ = 0.0f;
};

// The tile's copper on the enlarged grid, a row of 240 per tile row: where a
// copper pixel u doubled to columns 2u, 2u + 1 paints within one column
// (paintSpread_), and where the columns lie within three of 2u
// (maskSpread_). Rows without copper are all zero.
void LineWidth::spreadTile() {
    tilePainted_ = false;
    std::memset(paintSpread_, 0, 2 * kTile * N);
    // Copper of a tile row with two zero columns on either side.
    std::uint8_t c[kTile + 4] = {};
    for (int v = 0; v < kTile; ++v) {
        const std::uint8_t* t = in_.tile + v * kTile;
        std::uint8_t any = 0;
        for (int u = 0; u < kTile; ++u) {
            c[u + 2] = tileCopper(t[u]) ? 1 : 0;
            any |= c[u + 2];
        }
        if (!any) continue;
        tilePainted_ = true;
        std::uint8_t* paint = paintSpread_ + v * N;
        std::uint8_t* mask = maskSpread_ + v * N;
        for (int u = 0; u < kTile; ++u) {
            const std::uint8_t* q = c + u + 2;
            const std::uint8_t around = q[-1] | q[0] | q[1];
            paint[2 * u] = q[-1] | q[0];
            paint[2 * u + 1] = q[0] | q[1];
            mask[2 * u] = around;
            mask[2 * u + 1] = around | q[2];
        }
    }
}

// The background fill from the corners and the label tile's copper: holes of
// the mask under tile copper are filled, the background becomes 0. Each
// enlarged pixel of tile copper (within 1 .. N - 2) paints its 3 x 3
// neighbourhood 255, except the background the corners reached.
void LineWidth::paintTile(std::uint8_t* m) {
    const int corners[4][2] = {{0, 0}, {N - 1, 0}, {N - 1, N - 1}, {0, N - 1}};
    for (const auto& c : corners)
        if (m[c[1] * N + c[0]] == 0) SpanFill(morph_.spans, m, N, N, N, c[0], c[1], 1);
    for (int y = 0; y < N; ++y) {
        // Rows y - 1 .. y + 1 within 1 .. N - 2 lie on at most two tile rows.
        const std::uint8_t* first = paintSpread_ + (std::max(y - 1, 1) / 2) * N;
        const std::uint8_t* last = paintSpread_ + (std::min(y + 1, N - 2) / 2) * N;
        std::uint8_t* row = m + y * N;
        int x = 0;
#ifdef __SSE2__
        for (; x + 16 <= N; x += 16) {
            auto load = [](const std::uint8_t* p) {
                return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            };
            const __m128i q = load(row + x);
            const __m128i painted = _mm_xor_si128(
                _mm_cmpeq_epi8(_mm_or_si128(load(first + x), load(last + x)), _mm_setzero_si128()),
                _mm_set1_epi8(-1));
            const __m128i reached = _mm_cmpeq_epi8(q, _mm_set1_epi8(1));
            const __m128i v = _mm_or_si128(painted, _mm_andnot_si128(painted, q));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), _mm_andnot_si128(reached, v));
        }
#endif
        for (; x < N; ++x) {
            const std::uint8_t q = row[x];
            row[x] = q == 1 ? 0 : ((first[x] | last[x]) != 0 ? 255 : q);
        }
    }
}

// The comparison mask of the alignment: everything but the centre, the
// surroundings of the tile's copper and the margins.
void LineWidth::comparisonMask() {
    std::uint8_t near[N];
    for (int y = 0; y < N; ++y) {
        // Tile rows v with |y - 2v| <= 3.
        const int v0 = y <= 3 ? 0 : (y - 2) / 2, v1 = std::min((y + 3) / 2, kTile - 1);
        std::memcpy(near, maskSpread_ + v0 * N, N);
        for (int v = v0 + 1; v <= v1; ++v)
            for (int x = 0; x < N; ++x) near[x] |= maskSpread_[v * N + x];
        std::uint8_t* row = mask_ + y * N;
        for (int x = 0; x < N; ++x) row[x] = near[x] != 0 ? 0 : 255;
    }
    for (int y = 105; y <= 135; ++y) std::memset(mask_ + y * N + 105, 0, 31);
    ClearMargins(mask_, N, in_.mx + 20, in_.my + 20);
}

// The reference skeleton with its widths; false when no conductor crosses
// the window's middle.
bool LineWidth::referenceSkeleton() {
    std::uint8_t* a = in_.a;
    spreadTile();
    paintTile(a);
    widthMap(a);
    int p0x, p0y;
    NearestSetPixel(a, N, 120, 120, &p0x, &p0y);
    f_ = IsNotStraight(a, N, p0x, p0y) ? 1.0f + in_.tolerance : 1.0f;

    std::memcpy(s_, a, kRecheckArea);
    limit_ = 0;
    PruneNearestEnd(a, &limit_);
    wA_ = NearestSetPixel(a, N, 120, 120, &p1x_, &p1y_);
    if (distanceTo(p1x_, p1y_, 120, 120) > distanceTo(p0x, p0y, 120, 120) + wA_) {
        // The pruning took the conductor at the centre: undo it.
        std::memcpy(a, s_, kRecheckArea);
        ++limit_;
        wA_ = NearestSetPixel(a, N, 120, 120, &p1x_, &p1y_);
    }
    if (tilePainted_) {
        for (int y = 1; y <= N - 2; ++y)
            for (int x = 1; x <= N - 2; ++x)
                if (tileCopper(in_.tile[(y / 2) * kTile + x / 2])) a[y * N + x] = 0;
    }
    std::memcpy(s2_, a, kRecheckArea);
    limit_ = std::max(limit_, 2);

    // Early exits: the skeleton must reach the middle of the window.
    int r0 = N, r1 = -1, c0 = N, c1 = -1;
    for (int y = 0; y < N; ++y) {
        int first, last;
        if (!setSpan(a + y * N, &first, &last)) continue;
        r0 = std::min(r0, y);
        r1 = std::max(r1, y);
        c0 = std::min(c0, first);
        c1 = std::max(c1, last);
    }
    if (r1 < 0) return true;
    if ((c1 < 123 || c0 > 117) && (r1 < 123 || r0 >= 118)) return false;

    const Nearest near = nearestColumnwise(a, 120, 120);
    const int ox = near.x - 120, oy = near.y - 120;
    float angle;
    if (std::sqrt(static_cast<float>(ox * ox + oy * oy)) <= 3.0f) {
        const int x = std::clamp(near.x, 1, N - 2), y = std::clamp(near.y, 1, N - 2);
        auto set = [&](int dx, int dy) { return a[(y + dy) * N + x + dx] != 0; };
        if (set(-1, 0) && set(1, 0))
            angle = 90.0f;
        else if (set(0, -1) && set(0, 1))
            angle = 0.0f;
        else if (set(-1, -1) || set(1, 1))
            angle = -45.0f;
        else
            angle = 45.0f;
    } else {
        angle = static_cast<float>(std::atan2(static_cast<float>(oy), static_cast<float>(ox)) /
                                   3.14159f * 180.0f);
        while (angle > 90.0f) angle -= 180.0f;
        while (angle < -90.0f) angle += 180.0f;
    }
    auto rowHas = [&](int y) { return std::any_of(a + y * N, a + y * N + N, [](auto v) { return v != 0; }); };
    auto columnHas = [&](int x) {
        for (int y = 0; y < N; ++y)
            if (a[y * N + x]) return true;
        return false;
    };
    if (c1 - c0 < 3) return rowHas(120);
    if (r1 - r0 < 3) return columnHas(120);
    if (std::fabs(angle) < 15.0f) return rowHas(120);
    if (std::fabs(std::fabs(angle) - 90.0f) < 15.0f) return columnHas(120);
    return true;
}

// Scores the five moves of a climb's centre (down, up, left, right, none);
// applies the best when it beats the climb's best score.
bool LineWidth::scoreMoves(Climb& climb) {
    MatchOptions o;
    o.step = 3;
    o.mask = mask_;
    o.outsideIsNeutral = true;
    o.differenceMode = true;
    const ConstGrayView image{in_.a, N, N, N}, templ{in_.b, N, N, N};
    constexpr int kMoves[5][2] = {{0, 1}, {0, -1}, {-1, 0}, {1, 0}, {0, 0}};
    float cx[5], cy[5], scores[5];
    for (int m = 0; m < 5; ++m) {
        cx[m] = climb.cx + kMoves[m][0];
        cy[m] = climb.cy + kMoves[m][1];
    }
    MatchScores(image, templ, cx, cy, 5, o, scores);
    int bestMove = 0;
    float best = -FLT_MAX;
    for (int m = 0; m < 5; ++m) {
        if (scores[m] > best) {
            best = scores[m];
            bestMove = m;
        }
    }
    if (!(best > climb.best)) return false;
    climb.best = best;
    climb.cx += static_cast<float>(kMoves[bestMove][0]);
    climb.cy += static_cast<float>(kMoves[bestMove][1]);
    climb.sx += kMoves[bestMove][0];
    climb.sy += kMoves[bestMove][1];
    return true;
}

void LineWidth::alignment() {
    std::uint8_t* a = in_.a;
    std::uint8_t* b = in_.b;
    std::memcpy(a, in_.pristineA, kRecheckArea);
    comparisonMask();

    boxBlurGray(b, N, N, N, 12);
    boxBlurGray(a, N, N, N, 12);
    MatchOptions o;
    o.step = 3;
    o.mask = mask_;
    o.differenceMode = true;
    const float s0 = MatchScore(ConstGrayView{a, N, N, N}, ConstGrayView{b, N, N, N}, 120.0f,
                                120.0f, o);
    grow_.best = shrink_.best = s0;
    if (!(s0 > 0.75f)) return;

    // Growth: the reference grown by k steps, one more step each round.
    const GrayView shaped{shaped_, N, N, N};
    std::memcpy(shaped_, in_.pristineA, kRecheckArea);
    for (int k = 1; k <= 119; ++k) {
        if (k == 1)
            DilateSteps(morph_, shaped, 1, -1);
        else
            DilateMoreSteps(morph_, shaped, 1);
        std::memcpy(a, shaped_, kRecheckArea);
        boxBlurGray(a, N, N, N, 12);
        if (!scoreMoves(grow_)) break;
        grow_.k = k;
    }

    // Shrinking: the reference shrunk by k steps, and the camera cut where
    // the shrunk reference can no longer reach.
    int d0 = N;
    for (int y = 0; y < N; ++y) {
        int first, last;
        if (setSpan(in_.pristineA + y * N, &first, &last))
            d0 = std::min({d0, first, N - 1 - last, y, N - 1 - y});
    }
    std::memcpy(shaped_, in_.pristineA, kRecheckArea);
    for (int k = 1; k <= 119; ++k) {
        if (k == 1)
            ErodeSteps(morph_, shaped, 1);
        else
            ErodeMoreSteps(morph_, shaped, 1);
        std::memcpy(a, shaped_, kRecheckArea);
        std::memcpy(b, in_.pristineB, kRecheckArea);
        for (int j = -std::abs(shrink_.sy); j <= k - 1; ++j)
            for (const int row : {d0 - shrink_.sy + j, N - 1 - d0 - shrink_.sy - j})
                if (row >= 0 && row < N) std::memset(b + row * N, 0, N);
        for (int j = -std::abs(shrink_.sx); j <= k - 1; ++j)
            for (const int col : {d0 - shrink_.sx + j, N - 1 - d0 - shrink_.sx - j})
                if (col >= 0 && col < N)
                    for (int y = 0; y < N; ++y) b[y * N + col] = 0;
        boxBlurGray(a, N, N, N, 12);
        boxBlurGray(b, N, N, N, 12);
        if (!scoreMoves(shrink_)) break;
        shrink_.k = k;
    }
}

// Width of the camera line against the reference line at the skeleton point
// nearest the centre.
void LineWidth::lineWidth() {
    std::uint8_t* b = in_.b;
    std::memcpy(b, in_.pristineB, kRecheckArea);
    paintTile(b);
    ThicknessMap(GrayView{b, N, N, N});
    PruneNearestEnd(b, &limit_);
    CorrectLineDirection(GrayView{b, N, N, N});
    int p2x, p2y;
    float wB = NearestSetPixel(b, N, p1x_, p1y_, &p2x, &p2y);
    float wA = wA_;
    const int moved = BestNearestInWindow(s2_, b, &p2x, &p2y,
                                          std::min(truncToInt(2.0f * wA), 20));
    if (moved > 0) {
        wB = static_cast<float>(moved);
        int qx, qy;
        wA = NearestSetPixel(s2_, N, p2x, p2y, &qx, &qy);
    }
    // Without a reference width there is no relative change to judge.
    if (!(wA > 0.0f)) return;

    float widen = p_[5], narrow = p_[6];
    if (const WidthTolerance* t = findWidthTolerance(in_.toleranceTable, in_.toleranceCount, wA)) {
        widen = t->widenLimit;
        narrow = t->narrowLimit;
    }
    const float r = std::fabs(wA - wB) / wA;
    if (wB > wA) {
        if (r > widen * f_) pending_ = 220;
    } else if (wA <= static_cast<float>(in_.widthBound)) {
        if (wB <= static_cast<float>(in_.cameraWidthBound)) pending_ = 221;
    } else if (r > narrow * f_) {
        pending_ = 221;
    }
    if (pending_ != 0) pendingScore_ = r;
}

StageVerdict LineWidth::excessMissing() {
    std::uint8_t* a = in_.a;
    std::uint8_t* b = in_.b;
    std::memcpy(a, in_.pristineA, kRecheckArea);
    std::memcpy(b, in_.pristineB, kRecheckArea);
    // The climb with the higher best score shapes the reference.
    const bool grown = grow_.best > shrink_.best;
    const Climb& won = grown ? grow_ : shrink_;
    int applied = 0;
    if (grown) {
        DilateSteps(morph_, GrayView{a, N, N, N}, grow_.k, -1);
        applied = grow_.k;
    } else if (shrink_.k > 0) {
        ErodeSteps(morph_, GrayView{a, N, N, N}, shrink_.k);
        applied = shrink_.k;
    }
    int sx = won.sx, sy = won.sy;
    const int e = grown ? 0 : shrink_.k;
    const int row0 = in_.my + 2 + sy + e, row1 = 237 - sy - e - in_.my;
    const int col0 = in_.mx + 2 + sx + e, col1 = 237 - sx - e - in_.mx;
    auto inside = [](int v) { return v >= 0 && v < N; };

    if (applied >= 1) {
        constexpr int kOffsets[9][2] = {{0, 0},  {2, 0}, {1, 0},  {-2, 0}, {-1, 0},
                                        {0, 1}, {0, 2}, {0, -1}, {0, -2}};
        int bestCount = -1, bx = 0, by = 0;
        for (const auto& o : kOffsets) {
            // Rows and columns whose pixel and shifted pixel both lie inside.
            const int dx = sx + o[0], dy = sy + o[1];
            const int y0 = std::max({row0, 0, -dy}), y1 = std::min({row1, N - 1, N - 1 - dy});
            const int x0 = std::max({col0, 0, -dx}), x1 = std::min({col1, N - 1, N - 1 - dx});
            int count = 0;
            for (int y = y0; y <= y1; ++y) {
                const std::uint8_t* rowB = b + y * N;
                const std::uint8_t* rowA = a + (y + dy) * N;
                // |b - a| > 85 as bytes: the larger minus the smaller.
                int x = x0;
#ifdef __SSE2__
                __m128i farLanes = _mm_setzero_si128();  // -1 per far pixel, at most 15 a lane
                for (; x + 16 <= x1 + 1; x += 16) {
                    const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rowB + x));
                    const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rowA + x + dx));
                    const __m128i diff = _mm_or_si128(_mm_subs_epu8(p, q), _mm_subs_epu8(q, p));
                    const __m128i near = _mm_cmpeq_epi8(_mm_subs_epu8(diff, _mm_set1_epi8(85)),
                                                        _mm_setzero_si128());
                    farLanes = _mm_sub_epi8(farLanes, _mm_andnot_si128(near, _mm_set1_epi8(-1)));
                }
                const __m128i sums = _mm_sad_epu8(farLanes, _mm_setzero_si128());
                count += _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
#endif
                for (; x <= x1; ++x) {
                    const std::uint8_t p = rowB[x], q = rowA[x + dx];
                    count += static_cast<std::uint8_t>(std::max(p, q) - std::min(p, q)) > 85;
                }
            }
            if (bestCount < 0 || count < bestCount) {
                bestCount = count;
                bx = o[0];
                by = o[1];
            }
        }
        sx += bx;
        sy += by;
    }

    // Difference and outline maps of the camera against the shifted reference.
    std::uint8_t* d = s_;
    std::uint8_t* outline = in_.pristineA;
    std::memset(d, 0, kRecheckArea);
    std::memset(outline, 0, kRecheckArea);
    // Columns whose shifted column has both neighbours inside.
    const int xa = std::max({col0, 1 - sx, 0}), xb = std::min({col1, 238 - sx, N - 1});
    for (int y = row0; y <= row1; ++y) {
        const int ay = y + sy;
        if (ay - 1 < 0 || ay - 1 > 237 || !inside(y)) continue;
        int x = xa;
#ifdef __SSE2__
        // Sixteen pixels at a time, with the two maps cleared above: a
        // difference of at least 86 either way marks d 255 (camera above) or
        // 128, and the outline where the reference pixel is an edge (set with
        // a clear 4-neighbour, or clear with a set one).
        for (; x + 16 <= xb + 1; x += 16) {
            auto load = [](const std::uint8_t* p) {
                return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            };
            const __m128i zero = _mm_setzero_si128();
            const std::uint8_t* ref = a + ay * N + x + sx;
            const __m128i cam = load(b + y * N + x), r = load(ref);
            const __m128i gLow = _mm_sub_epi16(_mm_unpacklo_epi8(cam, zero), _mm_unpacklo_epi8(r, zero));
            const __m128i gHigh = _mm_sub_epi16(_mm_unpackhi_epi8(cam, zero), _mm_unpackhi_epi8(r, zero));
            const __m128i above = _mm_packs_epi16(_mm_cmpgt_epi16(gLow, _mm_set1_epi16(85)),
                                                  _mm_cmpgt_epi16(gHigh, _mm_set1_epi16(85)));
            const __m128i below = _mm_packs_epi16(_mm_cmplt_epi16(gLow, _mm_set1_epi16(-85)),
                                                  _mm_cmplt_epi16(gHigh, _mm_set1_epi16(-85)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + y * N + x),
                             _mm_or_si128(above, _mm_and_si128(below, _mm_set1_epi8(-128))));
            auto clear = [&](const std::uint8_t* p) { return _mm_cmpeq_epi8(load(p), zero); };
            const __m128i anyClear = _mm_or_si128(_mm_or_si128(clear(ref + N), clear(ref - 1)),
                                                  _mm_or_si128(clear(ref + 1), clear(ref - N)));
            const __m128i allClear = _mm_and_si128(_mm_and_si128(clear(ref + N), clear(ref - 1)),
                                                   _mm_and_si128(clear(ref + 1), clear(ref - N)));
            const __m128i refClear = _mm_cmpeq_epi8(r, zero);
            const __m128i edge = _mm_or_si128(_mm_andnot_si128(refClear, anyClear),
                                              _mm_andnot_si128(allClear, refClear));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(outline + y * N + x),
                             _mm_and_si128(_mm_or_si128(above, below), edge));
        }
#endif
        for (; x <= xb; ++x)
            markDifference(b[y * N + x], a + ay * N + x + sx, N, d + y * N + x, outline + y * N + x);
    }
    auto markShifted = [&](int x, int y) {
        const int ax = x + sx, ay = y + sy;
        if (inside(x) && inside(y) && inside(ax) && inside(ay) && a[ay * N + ax] != 0)
            outline[y * N + x] = 255;
    };
    for (int x = col0; x <= col1; ++x) {
        markShifted(x, row0);
        markShifted(x, row1);
    }
    for (int y = row0; y <= row1; ++y) {
        markShifted(col0, y);
        markShifted(col1, y);
    }
    ErodeOnce(GrayView{d, N, N, N});
    ExcessMissingResult m = ExcessMissing(d, outline, N, in_.mx, in_.my);
    float excess = m.excess.value, missing = m.missing.value;
    if (excess > 0.1f) excess += 1.0f;
    if (missing > 0.1f) missing += 1.0f;
    const bool excessFound = m.excess.x >= 0 && m.excess.y >= 0;
    const bool missingFound = m.missing.x >= 0 && m.missing.y >= 0;

    // Widths of the reference near each finding.
    widthMap(a);
    auto widthNear = [&](const DifferenceMeasure& at) {
        const Nearest n = nearestColumnwise(a, at.x, at.y);
        return n.x < 0 ? 1.0f : static_cast<float>(n.value);
    };
    const float wE = std::max(widthNear(m.excess), 5.0f);
    const float wG = std::max(widthNear(m.missing), 5.0f);
    const float eRatio = 0.5f * excess / wE;
    float gRatio = 0.5f * missing / wG;

    if (gRatio > 0.4f) {
        // The narrowest camera width around the missing spot, on the camera's
        // largest conductor.
        std::memcpy(b, in_.pristineB, kRecheckArea);
        for (int i = 0; i < kRecheckArea; ++i)
            if (b[i]) b[i] = 128;
        std::vector<std::int16_t> stack(2 * kRecheckArea);
        int largest = 0, lx = -1, ly = -1;
        for (int x = 0; x < N; ++x)
            for (int y = 0; y < N; ++y) {
                if (b[y * N + x] != 128) continue;
                const int count = RegionFill(stack.data(), b, N, N, N, x, y, 255, nullptr);
                if (count > largest) {
                    if (lx >= 0) RegionFill(stack.data(), b, N, N, N, lx, ly, 0, nullptr);
                    largest = count;
                    lx = x;
                    ly = y;
                }
            }
        ThicknessMap(GrayView{b, N, N, N});
        CorrectLineDirection(GrayView{b, N, N, N});
        PruneNearestEnd(b, &limit_);
        const float g = missing;
        const int xa = std::max(truncToInt(static_cast<float>(m.missing.x) - g), 0);
        const int xb = std::min(truncToInt(static_cast<float>(m.missing.x) + g), N - 1);
        const int ya = std::max(truncToInt(static_cast<float>(m.missing.y) - g), 0);
        const int yb = std::min(truncToInt(static_cast<float>(m.missing.y) + g), N - 1);
        int smallest = 99999;
        for (int y = ya; y <= yb; ++y)
            for (int x = xa; x <= xb; ++x)
                if (b[y * N + x] != 0) smallest = std::min<int>(smallest, b[y * N + x]);
        gRatio = std::max(gRatio, 1.0f - static_cast<float>(smallest) / wG);
    }

    float excess1 = p_[0], excess2 = p_[2], missing1 = p_[1], missing2 = p_[3];
    if (const WidthTolerance* t = findWidthTolerance(in_.toleranceTable, in_.toleranceCount, wE)) {
        excess1 = t->excessLimit1;
        excess2 = t->excessLimit2;
    }
    if (const WidthTolerance* t = findWidthTolerance(in_.toleranceTable, in_.toleranceCount, wG)) {
        missing1 = t->missingLimit1;
        missing2 = t->missingLimit2;
    }

    auto at = [](StageVerdict v, const DifferenceMeasure& p) {
        v.hasOffset = true;
        v.dx = (p.x - 120) / 2;
        v.dy = (p.y - 120) / 2;
        return v;
    };
    if (excessFound) {
        if (eRatio > excess1 * f_) return at(verdict(210, eRatio), m.excess);
        if (wE * eRatio > excess2 * f_) return at(verdict(211, wE * eRatio), m.excess);
    }
    if (missingFound) {
        const float capped = std::min(gRatio, 0.99f);
        if (gRatio > missing1 * f_) return at(verdict(200, capped), m.missing);
        if (gRatio * wG > missing2 * f_) return at(verdict(201, capped * wG), m.missing);
    }
    return verdict(pending_, pendingScore_);
}

StageVerdict LineWidth::run() {
    if (!referenceSkeleton()) return verdict(0, 0.0f);
    alignment();
    lineWidth();
    return excessMissing();
}

}  // namespace

void PruneNearestEnd(std::uint8_t* s, int* limit) {
    const bool once = *limit == 0;
    for (;;) {
        int ends = 0, ex = 0, ey = 0;
        long long best = -1;
        for (int y = 1; y <= N - 2; ++y)
            for (int x = 1; x <= N - 2; ++x) {
#ifdef __SSE2__
                // The skeleton is sparse: clear groups of sixteen are passed over.
                if ((x - 1) % 16 == 0 && x + 16 <= N - 1 &&
                    bytesEqual16(s + y * N + x, 0) == 0xFFFF) {
                    x += 15;
                    continue;
                }
#endif
                if (s[y * N + x] == 0 || setNeighbours8(s, x, y) != 1) continue;
                ++ends;
                const long long d = static_cast<long long>(x - 120) * (x - 120) +
                                    static_cast<long long>(y - 120) * (y - 120);
                if (best < 0 || d < best) {
                    best = d;
                    ex = x;
                    ey = y;
                }
            }
        if (once) *limit = ends - 1;
        if (best < 0 || distanceTo(ex, ey, 120, 120) > 30.0f || ex == 0 || ey == 0 ||
            ends <= (once ? 0 : *limit))
            return;
        // Erase the branch from its end up to the first fork.
        int x = ex, y = ey;
        for (;;) {
            s[y * N + x] = 0;
            int nx = -1, ny = -1;
            for (int dy = -1; dy <= 1 && nx < 0; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int qx = x + dx, qy = y + dy;
                    if ((dx || dy) && qx >= 0 && qy >= 0 && qx < N && qy < N &&
                        s[qy * N + qx] != 0) {
                        nx = qx;
                        ny = qy;
                        break;
                    }
                }
            if (nx < 0) break;
            x = nx;
            y = ny;
            if (x == 0 || y == 0 || x == N - 1 || y == N - 1 || setNeighbours8(s, x, y) != 1)
                break;
        }
        if (once) return;
    }
}

StageVerdict LineWidthStage(const LineWidthInputs& in) {
    LineWidth stage(in);
    return stage.run();
}

}  // namespace pcbinspect
