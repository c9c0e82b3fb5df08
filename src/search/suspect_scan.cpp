// The flaw scans of the suspected-flaw search: camera edges looked up in the
// reference, then reference edges looked up in the camera, with 15 x 15
// patch agreements, followed by the spacing, merge and de-duplication rules
// of the records.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "boundary/gray_copy.h"
#include "boundary/numeric.h"
#include "boundary/vector_lanes.h"
#include "search/search_ops.h"
#include "search/suspect_search.h"

namespace pcbinspect {
namespace {

constexpr int kRecordInts = 6;
constexpr int kHalfPatch = 7;

// Marks of the scan maps.
constexpr std::uint8_t kEdge = 255;      // edge pixel not yet visited
constexpr std::uint8_t kVisited = 200;   // edge pixel visited or met
constexpr std::uint8_t kInner = 128;     // inside a feature, or ignored

// An edge pixel for the shift searches: visited or not, with an open
// 4-neighbour. Interior pixels only (the caller keeps p off the outer ring).
bool isEdgeAt(const GrayView& map, int x, int y) {
    const std::uint8_t* row = map.row(y);
    if (row[x] < kVisited) return false;
    return map.row(y - 1)[x] == 0 || map.row(y + 1)[x] == 0 || row[x - 1] == 0 || row[x + 1] == 0;
}

bool allNeighboursSet(const GrayView& map, int x, int y) {
    if (x < 1 || y < 1 || x >= map.width - 1 || y >= map.height - 1) return false;
    const std::uint8_t* row = map.row(y);
    return map.row(y - 1)[x] != 0 && map.row(y + 1)[x] != 0 && row[x - 1] != 0 && row[x + 1] != 0;
}

// Moves x to the first unvisited edge of row[x, end); false when there is
// none. Marks only ever turn edges into something else, so a group of pixels
// without an edge now is passed over as a whole.
bool nextEdge(const std::uint8_t* row, int end, int& x) {
#ifdef __SSE2__
    for (; x + 16 <= end; x += 16)
        if (const unsigned m = bytesEqual16(row + x, kEdge)) {
            x += __builtin_ctz(m);
            return true;
        }
#endif
    for (; x < end; ++x)
        if (row[x] == kEdge) return true;
    return false;
}

// The records written so far, in the caller's array.
class RecordList {
public:
    RecordList(std::int32_t* records, int capacity) : records_(records), capacity_(capacity) {}

    int count() const { return count_; }
    bool hasRoom() const {
        return (static_cast<long long>(count_) + 1) * kRecordInts <= capacity_;
    }
    std::int32_t* at(int i) { return records_ + static_cast<std::ptrdiff_t>(i) * kRecordInts; }
    void write(int i, int refX, int refY, int x, int y, int agreementField) {
        std::int32_t* r = at(i);
        r[0] = refX;
        r[1] = refY;
        r[2] = x;
        r[3] = y;
        r[4] = agreementField;
        r[5] = 0;
    }
    void append(int refX, int refY, int x, int y, int field) {
        write(count_++, refX, refY, x, y, field);
    }
    // Later records within a squared window distance below 10 of an earlier
    // one are replaced by the last record; every near duplicate goes, the
    // last record included, and a record moved into a freed place is looked
    // at again.
    void removeNearDuplicates() {
        for (int i = 0; i < count_; ++i) {
            int j = i + 1;
            while (j < count_) {
                const long long dx = static_cast<long long>(at(j)[2]) - at(i)[2];
                const long long dy = static_cast<long long>(at(j)[3]) - at(i)[3];
                if (dx * dx + dy * dy < 10) {
                    std::memmove(at(j), at(count_ - 1), sizeof(std::int32_t) * kRecordInts);
                    --count_;
                } else {
                    ++j;
                }
            }
        }
    }

private:
    std::int32_t* records_;
    int capacity_;
    int count_ = 0;
};

class FlawScan {
public:
    FlawScan(SearchState& s, std::int32_t* records, int capacity, CellBands* bands)
        : s_(s), set_(s.settings), w_(s.w()), h_(s.h()), list_(records, capacity), bands_(bands) {}

    int run();

private:
    struct Found {
        float agreement = 0.0f;
        int dx = 0, dy = 0;  // the shift of the best agreement
    };

    bool cameraScan();
    void referenceScan();
    template <class Agreement>
    Found shiftSearch(const GrayView& searched, int x, int y, int ox, int oy, Agreement agreement);
    Found searchReferenceEdges(int x, int y, int ox, int oy);
    Found searchCameraEdges(int x, int y);
    bool isSuspect(float agreement) const {
        return agreement < set_.threshold && agreement > -0.01f;
    }
    bool excluded(int refX, int refY) const;
    bool tooClose(int x, int y, float agreement);
    void addFlaw(int refX, int refY, int x, int y, float agreement);
    bool inside(int x, int y) const { return x >= 1 && y >= 1 && x < w_ - 1 && y < h_ - 1; }
    int refPosition(int centre, int pos, int half2, double extra) const {
        // Window centre plus the position from the window's middle, in
        // double precision (odd sizes have a half-pixel middle).
        return truncToInt(centre + (pos - half2 / 2.0) + extra);
    }

    SearchState& s_;
    const SearchSettings& set_;
    int w_, h_;
    RecordList list_;
    CellBands* bands_;
    GrayView ref_{}, ignore_{}, camera_{};
};

// The reference and G under the window as 0/255.
void cutScanWindows(SearchState& s) {
    const int w = s.w(), h = s.h();
    const std::size_t area = static_cast<std::size_t>(w) * h;
    s.scanRef.assign(area, 0);
    s.scanIgnore.assign(area, 0);
    copySubGrayAt(s.binaryRef.data(), s.W(), s.W(), s.H(), s.scanRef.data(), w, w, h, s.cornerX,
                  s.cornerY);
    copySubGrayAt(s.ignore.data, s.W(), s.ignore.stride, s.H(), s.scanIgnore.data(), w, w, h,
                  s.cornerX, s.cornerY);
    for (auto& v : s.scanRef) v = v < 129 ? 0 : 255;
    for (auto& v : s.scanIgnore) v = v < 129 ? 0 : 255;
}

// Marks row y of `map`: its set pixels that are ignored or inside (all four
// neighbours set) become kInner; the others are edges, marked kInner in
// `edges` when one is given. True when `edges` got a mark. Marking keeps a
// pixel set, so the pixels of the row marked before another is looked at
// do not change its verdict, and sixteen pixels are judged at once.
bool markInnerRow(GrayView map, ConstGrayView ignore, std::uint8_t* edges, int y) {
    std::uint8_t* row = map.row(y);
    const std::uint8_t* ign = ignore.row(y);
    bool marked = false;
    auto one = [&](int x) {
        if (row[x] == 0) return;
        if (ign[x] != 0 || allNeighboursSet(map, x, y)) {
            row[x] = kInner;
        } else if (edges != nullptr) {
            edges[x] = kInner;
            marked = true;
        }
    };
    int x = 0;
#ifdef __SSE2__
    if (y >= 1 && y < map.height - 1) {
        one(0);
        x = 1;
        const std::uint8_t* up = map.row(y - 1);
        const std::uint8_t* down = map.row(y + 1);
        const __m128i zero = _mm_setzero_si128(), inner = _mm_set1_epi8(static_cast<char>(kInner));
        auto isZero = [&](const std::uint8_t* p) {
            return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), zero);
        };
        __m128i anyMarked = zero;
        for (; x + 16 <= map.width - 1; x += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
            const __m128i open = _mm_or_si128(_mm_or_si128(isZero(up + x), isZero(down + x)),
                                              _mm_or_si128(isZero(row + x - 1), isZero(row + x + 1)));
            // An edge: set, not ignored, a neighbour open.
            const __m128i edge = _mm_andnot_si128(_mm_cmpeq_epi8(v, zero),
                                                  _mm_and_si128(isZero(ign + x), open));
            // Set pixels that are not edges become inner.
            const __m128i keep = _mm_or_si128(_mm_cmpeq_epi8(v, zero), edge);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x),
                             _mm_or_si128(_mm_and_si128(keep, v), _mm_andnot_si128(keep, inner)));
            if (edges != nullptr) {
                __m128i* const e = reinterpret_cast<__m128i*>(edges + x);
                _mm_storeu_si128(e, _mm_or_si128(_mm_andnot_si128(edge, _mm_loadu_si128(e)),
                                                 _mm_and_si128(edge, inner)));
                anyMarked = _mm_or_si128(anyMarked, edge);
            }
        }
        marked |= _mm_movemask_epi8(anyMarked) != 0;
    }
#endif
    for (; x < map.width; ++x) one(x);
    return marked;
}

// The shift search shared by both scans: positions (x + ox + dx, y + oy +
// dy), nearest shifts first (dx = 0, -1, 1, -2, 2 ..., and for each dx the
// same order of dy). At each edge of `searched` there, `agreement(px, py)`
// scores the patches; the search stops at an ignored pixel and as soon as the
// best agreement exceeds the threshold.
template <class Agreement>
FlawScan::Found FlawScan::shiftSearch(const GrayView& searched, int x, int y, int ox, int oy,
                                      Agreement agreement) {
    const int grow = set_.grow;
    float best = -1.0f;
    bool met = false;
    Found f;
    for (int r = 0; r <= grow; ++r) {
        for (int a = -1; a <= 1; a += 2) {
            if (r == 0 && a == -1) continue;
            const int dx = a * r;
            for (int b = 0; b <= grow; ++b) {
                for (int c = -1; c <= 1; c += 2) {
                    if (b == 0 && c == -1) continue;
                    const int dy = c * b;
                    const int px = x + ox + dx, py = y + oy + dy;
                    if (!inside(px, py)) continue;
                    if (ignore_.at(px, py) != 0) goto done;
                    if (isEdgeAt(searched, px, py)) {
                        met = true;
                        const float v = agreement(px, py);
                        if (v > best + 0.01f) {
                            best = v;
                            f.dx = dx;
                            f.dy = dy;
                        }
                    }
                    if (best > set_.threshold) goto done;
                }
            }
        }
    }
done:
    f.agreement = met ? best : 0.0f;
    return f;
}

// A camera edge at (x, y) against the reference edges around its place
// (x + ox, y + oy); reference edges met are marked visited.
FlawScan::Found FlawScan::searchReferenceEdges(int x, int y, int ox, int oy) {
    return shiftSearch(ref_, x, y, ox, oy, [&](int px, int py) {
        const float v = patchAgreement(asConst(ref_), px - kHalfPatch, py - kHalfPatch,
                                       asConst(camera_), x - kHalfPatch, y - kHalfPatch);
        for (int yy = std::max(py - 1, 0); yy <= std::min(py + 1, h_ - 1); ++yy)
            for (int xx = std::max(px - 1, 0); xx <= std::min(px + 1, w_ - 1); ++xx)
                if (ref_.at(xx, yy) > kVisited) ref_.at(xx, yy) = kVisited;
        return v;
    });
}

// The converse search of a reference edge at (x, y) for camera edges around
// the same place, in the same order and with the same stops.
FlawScan::Found FlawScan::searchCameraEdges(int x, int y) {
    return shiftSearch(camera_, x, y, 0, 0, [&](int px, int py) {
        return patchAgreement(asConst(camera_), px - kHalfPatch, py - kHalfPatch, asConst(ref_),
                              x - kHalfPatch, y - kHalfPatch);
    });
}

// Code 150 (and 151 when asked) on the grid of step 2 within the exclusion
// radius, clipped to R.
bool FlawScan::excluded(int refX, int refY) const {
    const long long radius = set_.exclusionRadius;
    if (radius < 0) return false;
    const ConstGrayView& r = s_.reference;
    // First grid offset at or after `low` on the grid -radius, -radius + 2 ...
    auto firstFrom = [&](long long low) {
        long long first = -radius;
        if (first < low) first += (low - first + 1) / 2 * 2;
        return first;
    };
    const long long j0 = firstFrom(-static_cast<long long>(refY));
    const long long j1 = std::min(radius, static_cast<long long>(r.height) - 1 - refY);
    const long long i0 = firstFrom(-static_cast<long long>(refX));
    const long long i1 = std::min(radius, static_cast<long long>(r.width) - 1 - refX);
    for (long long j = j0; j <= j1; j += 2) {
        const std::uint8_t* row = r.row(static_cast<int>(refY + j));
        for (long long i = i0; i <= i1; i += 2) {
            const std::uint8_t v = row[refX + i];
            if (v == 150 || (v == 151 && set_.code151Excludes)) return true;
        }
    }
    return false;
}

// Flaws with some agreement keep `spacing` from records with an agreement
// field of at least 1; empty flaws keep `emptySpacing` from records below 1.
bool FlawScan::tooClose(int x, int y, float agreement) {
    const long long unlimited = -1;
    long long d1 = unlimited, d0 = unlimited;
    for (int k = 0; k < list_.count(); ++k) {
        const std::int32_t* r = list_.at(k);
        const long long dx = static_cast<long long>(r[2]) - x, dy = static_cast<long long>(r[3]) - y;
        const long long d = dx * dx + dy * dy;
        long long& slot = r[4] >= 1 ? d1 : d0;
        if (slot == unlimited || d < slot) slot = d;
    }
    const long long spacing = set_.spacing, empty = set_.emptySpacing;
    if (agreement > 0.001f && d1 != unlimited && d1 < spacing * spacing) return true;
    if (agreement < 0.001f && d0 != unlimited && d0 < empty * empty) return true;
    return false;
}

void FlawScan::addFlaw(int refX, int refY, int x, int y, float agreement) {
    if (excluded(refX, refY) || tooClose(x, y, agreement)) return;
    const int field = truncToInt(agreement * 100.0f);
    if (agreement < set_.threshold - 0.1f) {
        list_.append(refX, refY, x, y, field);
        return;
    }
    // A flaw whose camera patch (moved by up to one pixel) matches the
    // camera patch of a nearby record of similar agreement is the same
    // place: the lower agreement is kept.
    constexpr int kMoves[5][2] = {{-1, 0}, {0, -1}, {0, 0}, {0, 1}, {1, 0}};
    const ConstGrayView cam{camera_.data, w_, w_, h_};
    const int reach = set_.emptySpacing;
    for (int k = 0; k < list_.count(); ++k) {
        const std::int32_t* r = list_.at(k);
        if (static_cast<float>(r[4]) / 100.0f < set_.threshold - 0.1f) continue;
        if (std::llabs(static_cast<long long>(r[2]) - kHalfPatch - x) >= reach ||
            std::llabs(static_cast<long long>(r[3]) - kHalfPatch - y) >= reach)
            continue;
        bool same = false;
        for (const auto& mv : kMoves) {
            const float v = patchAgreement(cam, x - kHalfPatch + mv[0], y - kHalfPatch + mv[1],
                                           cam, r[2] - kHalfPatch, r[3] - kHalfPatch);
            if (v > set_.threshold) {
                same = true;
                break;
            }
        }
        if (!same) continue;
        if (agreement * 100.0f < static_cast<float>(r[4])) list_.write(k, refX, refY, x, y, field);
        return;
    }
    list_.append(refX, refY, x, y, field);
}

// Camera edges, row by row. False when the records array filled up, or
// when the offsets of a band of cells could not be had.
bool FlawScan::cameraScan() {
    const int border = set_.border;
    const int cw = std::max(w_ / kLocalCells, 1), ch = std::max(h_ / kLocalCells, 1);
    int readyBands = 0;
    for (int y = border; y < h_ - border - 1; ++y) {
        const int band = std::min(y / ch, kLocalCells - 1);
        for (; bands_ != nullptr && readyBands <= band; ++readyBands)
            if (!bands_->ready(readyBands)) return false;
        for (int x = border; x < w_ - border - 1; ++x) {
            if (!nextEdge(camera_.row(y), w_ - border - 1, x)) break;
            const int cell = std::min(y / ch, kLocalCells - 1) * kLocalCells +
                             std::min(x / cw, kLocalCells - 1);
            const int ox = s_.cellOffsets[cell][0], oy = s_.cellOffsets[cell][1];
            // The candidate's 2 x 2 block is visited.
            for (int yy = y; yy <= std::min(y + 1, h_ - 1); ++yy)
                for (int xx = x; xx <= std::min(x + 1, w_ - 1); ++xx)
                    if (camera_.at(xx, yy) == kEdge) camera_.at(xx, yy) = kVisited;
            Found f;
            if (isBlankPatch(asConst(ref_), x - kHalfPatch + ox, y - kHalfPatch + oy)) {
                // Camera copper where the reference is empty: the whole
                // patch is one flaw, its edges are not visited again.
                f.agreement = set_.threshold - 0.01f;
                for (int yy = std::max(y - kHalfPatch, 0); yy < std::min(y + kHalfPatch + 1, h_); ++yy)
                    for (int xx = std::max(x - kHalfPatch, 0); xx < std::min(x + kHalfPatch + 1, w_); ++xx)
                        if (camera_.at(xx, yy) == kEdge) camera_.at(xx, yy) = kVisited;
            } else {
                f = searchReferenceEdges(x, y, ox, oy);
            }
            if (!isSuspect(f.agreement)) continue;
            if (!list_.hasRoom()) return false;
            const int sx = std::clamp(f.dx, -set_.grow, set_.grow);
            const int sy = std::clamp(f.dy, -set_.grow, set_.grow);
            addFlaw(refPosition(s_.centreX, x, w_, sx + ox), refPosition(s_.centreY, y, h_, sy + oy),
                    x, y, f.agreement);
        }
    }
    return true;
}

// Reference edges left unvisited by the camera scan, over the same columns
// and from one row lower.
void FlawScan::referenceScan() {
    const int border = set_.border;
    for (int y = border + 1; y < h_ - border - 1; ++y) {
        for (int x = border; x < w_ - border - 1; ++x) {
            if (!nextEdge(ref_.row(y), w_ - border - 1, x)) break;
            for (int yy = y; yy <= std::min(y + 1, h_ - 1); ++yy)
                for (int xx = x; xx <= std::min(x + 1, w_ - 1); ++xx) ref_.at(xx, yy) = 0;
            const Found f = searchCameraEdges(x, y);
            if (!isSuspect(f.agreement)) continue;
            if (!list_.hasRoom()) return;
            addFlaw(refPosition(s_.centreX, x, w_, 0.0), refPosition(s_.centreY, y, h_, 0.0), x, y,
                    f.agreement);
        }
    }
}

int FlawScan::run() {
    if (!s_.scanHasEdges) return 0;
    ref_ = SearchState::view(s_.scanRef, w_, h_);
    ignore_ = SearchState::view(s_.scanIgnore, w_, h_);
    camera_ = SearchState::view(s_.closedCamera, w_, h_);
    if (cameraScan() && list_.hasRoom()) referenceScan();
    list_.removeNearDuplicates();
    return list_.count();
}

}  // namespace

// Inner and ignored pixels of both maps become 128; the remaining 255
// pixels are the edges. Reference edges are marked 128 in the caller's
// camera window.
void prepareScanMaps(SearchState& s) {
    cutScanWindows(s);
    const int w = s.w(), h = s.h();
    const GrayView camera = SearchState::view(s.closedCamera, w, h);
    const GrayView ref = SearchState::view(s.scanRef, w, h);
    const ConstGrayView ignore = SearchState::cview(s.scanIgnore, w, h);
    for (int y = 0; y < h; ++y) markInnerRow(camera, ignore, nullptr, y);
    bool anyEdge = false;
    for (int y = 0; y < h; ++y) {
        if (!anyEdge) anyEdge = std::memchr(camera.row(y), kEdge, static_cast<std::size_t>(w)) != nullptr;
        anyEdge |= markInnerRow(ref, ignore, s.camera.row(y), y);
    }
    s.scanHasEdges = anyEdge;
}

int scanForFlaws(SearchState& s, std::int32_t* records, int capacity, CellBands* bands) {
    FlawScan scan(s, records, capacity, bands);
    return scan.run();
}

}  // namespace pcbinspect
