// Preparation of the suspected-flaw search: binary maps of both sides, the
// content gates, the block maps of the coarse alignment and the blurred maps
// of the fine one.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "boundary/vector_lanes.h"
#include "boundary/parallel.h"
#include "imaging/morphology.h"
#include "imaging/region_fill.h"
#include "imaging/window_filters.h"
#include "search/search_ops.h"
#include "search/suspect_search.h"

namespace pcbinspect {
namespace {

constexpr std::uint8_t kLineLabel = 150;
constexpr std::uint8_t kReferenceLineLabel = 151;
constexpr std::uint8_t kIgnoreLabel = 152;

bool isRegionLabel(std::uint8_t v) { return v == 160 || v == 170 || v == 180; }

// Pixels of a binary image (0 / non-zero) whose four 4-neighbours all hold
// `neighbours` and which themselves hold `from` become `to`; interior pixels
// only. In place: the pixels changed never decide a later pixel, because a
// changed pixel's neighbours do not hold `from`. For the same reason sixteen
// pixels at a time may be judged on the values before any of them changes.
void replaceSurrounded(GrayView image, std::uint8_t from, bool neighboursSet, std::uint8_t to) {
    for (int y = 1; y < image.height - 1; ++y) {
        const std::uint8_t* up = image.row(y - 1);
        std::uint8_t* row = image.row(y);
        const std::uint8_t* down = image.row(y + 1);
        int x = 1;
#ifdef __SSE2__
        const __m128i zero = _mm_setzero_si128(), fromLanes = _mm_set1_epi8(static_cast<char>(from)),
                      toLanes = _mm_set1_epi8(static_cast<char>(to));
        const auto load = [](const std::uint8_t* p) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        };
        for (; x + 16 <= image.width - 1; x += 16) {
            const __m128i v = load(row + x);
            const __m128i isFrom = _mm_cmpeq_epi8(v, fromLanes);
            if (_mm_movemask_epi8(isFrom) == 0) continue;
            // Which 4-neighbours of each lane are clear.
            const __m128i upClear = _mm_cmpeq_epi8(load(up + x), zero);
            const __m128i downClear = _mm_cmpeq_epi8(load(down + x), zero);
            const __m128i leftClear = _mm_cmpeq_epi8(load(row + x - 1), zero);
            const __m128i rightClear = _mm_cmpeq_epi8(load(row + x + 1), zero);
            const __m128i change =
                neighboursSet
                    ? _mm_andnot_si128(_mm_or_si128(_mm_or_si128(upClear, downClear),
                                                    _mm_or_si128(leftClear, rightClear)),
                                       isFrom)
                    : _mm_and_si128(_mm_and_si128(_mm_and_si128(upClear, downClear),
                                                  _mm_and_si128(leftClear, rightClear)),
                                    isFrom);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x),
                             _mm_or_si128(_mm_andnot_si128(change, v), _mm_and_si128(change, toLanes)));
        }
#endif
        for (; x < image.width - 1; ++x) {
            if (row[x] != from) continue;
            const bool allSet = up[x] != 0 && down[x] != 0 && row[x - 1] != 0 && row[x + 1] != 0;
            const bool allClear = up[x] == 0 && down[x] == 0 && row[x - 1] == 0 && row[x + 1] == 0;
            if (neighboursSet ? allSet : allClear) row[x] = to;
        }
    }
}

// Camera window to 0/255 without lone pixels, then the mask reduction.
void normaliseCamera(SearchState& s) {
    GrayView c = s.camera;
    for (int y = 0; y < c.height; ++y) {
        std::uint8_t* row = c.row(y);
        for (int x = 0; x < c.width; ++x) row[x] = row[x] != 0 ? 255 : 0;
    }
    // Lone set pixels are camera noise.
    replaceSurrounded(c, 255, false, 0);
    reduceMaskBlocks(ConstGrayView{c.data, c.width, c.stride, c.height}, s.cameraMask);
}

// Grows G around label 152; false when no usable reference content is left.
bool growIgnoreAndCheckContent(SearchState& s) {
    const ConstGrayView r = s.reference;
    const GrayView g = s.ignore;
    const int grow = s.settings.grow;
    bool content = false;
    for (int y = 0; y < r.height; ++y) {
        const std::uint8_t* refRow = r.row(y);
        const std::uint8_t* ignoreRow = g.row(y);
        for (int x = 0; x < r.width; ++x) {
#ifdef __SSE2__
            // A group of sixteen matters only with a pixel of label 152, or,
            // until content is found, a labelled pixel not yet ignored. The
            // ignore map only ever gains pixels, so a group without either
            // now never has one.
            if (x % 16 == 0 && x + 16 <= r.width) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(refRow + x));
                const __m128i zero = _mm_setzero_si128();
                __m128i matters = _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(kIgnoreLabel)));
                if (!content) {
                    const __m128i open = _mm_cmpeq_epi8(
                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(ignoreRow + x)), zero);
                    matters = _mm_or_si128(matters, _mm_andnot_si128(_mm_cmpeq_epi8(v, zero), open));
                }
                if (_mm_movemask_epi8(matters) == 0) {
                    x += 15;
                    continue;
                }
            }
#endif
            const std::uint8_t v = refRow[x];
            if (v == 0) continue;
            if (v == kIgnoreLabel) {
                if (ignoreRow[x] != 0) continue;
                // The square of half-size `grow` around the pixel, clipped.
                const int x0 = std::max(x - grow, 0), x1 = std::min(x + grow, r.width - 1);
                const int y0 = std::max(y - grow, 0), y1 = std::min(y + grow, r.height - 1);
                for (int yy = y0; yy <= y1; ++yy)
                    std::memset(g.row(yy) + x0, 255, static_cast<std::size_t>(x1 - x0 + 1));
            } else if (ignoreRow[x] == 0) {
                content = true;
            }
        }
    }
    return content;
}

// Counts the set, unmasked camera pixels; false when the inner rectangle
// holds 30 or fewer. Sets cameraTotal.
bool checkCameraContent(SearchState& s) {
    const GrayView c = s.camera, d = s.cameraMask;
    const int border = s.settings.border;
    long long inner = 0, total = 0;
    for (int y = 0; y < c.height; ++y) {
        const std::uint8_t* rowC = c.row(y);
        const std::uint8_t* rowD = d.row(y);
        const bool innerRow = y >= border && y < c.height - border;
        // Set, unmasked pixels: counted by whole rows, the inner ones over
        // the inner columns.
        auto count = [&](int from, int to) {
            int n = 0;
            for (int x = from; x < to; ++x) n += (rowC[x] != 0) & (rowD[x] == 0);
            return n;
        };
        total += count(0, c.width);
        if (innerRow && border < c.width - border) inner += count(border, c.width - border);
    }
    if (inner <= 30) return false;
    s.cameraTotal = total;
    return true;
}

// The reference as 0/255: labels 150 and 151 and their regions become open,
// labels 160, 170 and 180 copper; any other label takes the value of its
// left neighbour when that is already 0 or 255. Seeds are the pixels of
// columns 1 .. W - 1 in row order; a pixel a fill has reached is 0 or 255.
void binariseReference(SearchState& s) {
    const int W = s.W(), H = s.H();
    s.binaryRef.resize(static_cast<std::size_t>(W) * H);
    GrayView bin = SearchState::view(s.binaryRef, W, H);
    for (int y = 0; y < H; ++y) std::memcpy(bin.row(y), s.reference.row(y), static_cast<std::size_t>(W));
    // One work stack serves every fill.
    std::vector<std::int32_t> stack;
    auto fill = [&](int x, int y, std::uint8_t value) {
        SpanFill(stack, bin.data, W, W, H, x, y, value);
    };
    for (int y = 0; y < H; ++y) {
        std::uint8_t* row = bin.row(y);
        for (int x = 1; x < W; ++x) {
#ifdef __SSE2__
            // Groups of sixteen holding only 0, 255 and 152 are passed over:
            // fills only ever write 0 and 255, so such a group never starts
            // one later.
            if ((x - 1) % 16 == 0 && x + 16 <= W &&
                (bytesEqual16(row + x, 0) | bytesEqual16(row + x, 255) |
                 bytesEqual16(row + x, kIgnoreLabel)) == 0xFFFFu) {
                x += 15;
                continue;
            }
#endif
            const std::uint8_t v = row[x];
            if (v == 0 || v == 255 || v == kIgnoreLabel) continue;
            if (v == kLineLabel || v == kReferenceLineLabel) {
                fill(x, y, 0);
            } else if (isRegionLabel(v)) {
                fill(x, y, 255);
            } else if (row[x - 1] == 0 || row[x - 1] == 255) {
                fill(x, y, row[x - 1]);
            }
        }
    }
}

// First row or column of the 6 x 6 block `b` of an image of `size` pixels.
int blockStart(int b, int size) { return std::max(0, std::min(b * kReduction, size - kReduction)); }

// Dark areas of the reference enclosed by copper and dense enough to be
// holes in it rather than open board: their 0 pixels become 1.
void markEnclosedDarkAreas(SearchState& s) {
    const int W = s.W(), H = s.H();
    const int bw = W / kReduction, bh = H / kReduction;
    if (bw < 1 || bh < 1) return;
    std::vector<std::uint8_t> blocks(static_cast<std::size_t>(bw) * bh);
    const GrayView bin = SearchState::view(s.binaryRef, W, H);
    // Block map: the integer mean of each 6 x 6 block above 127 is copper.
    // The six rows of a block row are summed column by column first (at most
    // 6 x 255 each), then six columns a block.
    std::vector<std::uint16_t> columns(static_cast<std::size_t>(W));
    for (int by = 0; by < bh; ++by) {
        std::uint16_t* const sums = columns.data();
        const int y0 = blockStart(by, H);
        const std::uint8_t* const first = bin.row(y0);
        for (int x = 0; x < W; ++x) sums[x] = first[x];
        for (int y = y0 + 1; y < y0 + kReduction; ++y) {
            const std::uint8_t* row = bin.row(y);
            for (int x = 0; x < W; ++x) sums[x] = static_cast<std::uint16_t>(sums[x] + row[x]);
        }
        for (int bx = 0; bx < bw; ++bx) {
            const std::uint16_t* p = sums + blockStart(bx, W);
            const int sum = p[0] + p[1] + p[2] + p[3] + p[4] + p[5];
            blocks[static_cast<std::size_t>(by) * bw + bx] = sum / 36 > 127 ? 255 : 0;
        }
    }
    // Each open region of the block map is tagged 1 and kept when it is
    // enclosed (spans neither the full height nor the full width), smaller
    // than 2778 blocks, and fills at least half of its box measured as
    // (box width - 1) x (box height - 1); otherwise it is tagged 128. A box
    // one block thin has no such area and counts as filled.
    for (int by = 0; by < bh; ++by) {
        for (int bx = 0; bx < bw; ++bx) {
            if (blocks[static_cast<std::size_t>(by) * bw + bx] != 0) continue;
            int box[4] = {0, 0, 0, 0};  // bottom, top, left, right
            const std::int64_t count = RegionFillLarge(blocks.data(), bw, bw, bh, bx, by, 1, box);
            const long long boxW = static_cast<long long>(box[3]) - box[2] + 1;
            const long long boxH = static_cast<long long>(box[0]) - box[1] + 1;
            const double area = static_cast<double>(boxW - 1) * static_cast<double>(boxH - 1);
            const bool dense = area <= 0.0 || static_cast<double>(count) / area >= 0.5;
            const bool enclosed = boxH < bh && boxW < bw && count < 2778 && dense;
            if (!enclosed) RegionFillLarge(blocks.data(), bw, bw, bh, bx, by, 128, nullptr);
        }
    }
    for (int by = 0; by < bh; ++by) {
        const int y0 = blockStart(by, H);
        for (int bx = 0; bx < bw; ++bx) {
            if (blocks[static_cast<std::size_t>(by) * bw + bx] != 1) continue;
            const int x0 = blockStart(bx, W);
            for (int y = y0; y < y0 + kReduction; ++y) {
                std::uint8_t* p = bin.row(y) + x0;
                for (int x = 0; x < kReduction; ++x)
                    if (p[x] == 0) p[x] = 1;
            }
        }
    }
}

// Reduced map of `src` into `dst` (cleared first, so maps too small to be
// resized read as empty), optionally thresholded to 1 / 255 with the edge
// contacts marked.
void reduceMap(ScratchImage& dst, ConstGrayView src, bool binary) {
    const int dw = src.width / kReduction, dh = src.height / kReduction;
    dst.assign(static_cast<std::size_t>(dw) * dh, 0);
    const GrayView out = SearchState::view(dst, dw, dh);
    resizeGrayBilinear(out, src);
    if (!binary) return;
    for (auto& v : dst) v = v <= 50 ? 1 : 255;
    markEdgeContacts(out);
}

// Marker map: enclosed dark areas 255, usable region labels 128 (which
// win), sampled at the top-left pixel of each block.
void markMarkers(SearchState& s) {
    const int W = s.W(), H = s.H();
    const int bw = W / kReduction, bh = H / kReduction;
    s.markers.assign(static_cast<std::size_t>(bw) * bh, 0);
    for (int by = 0; by < bh; ++by) {
        const int y = std::min(by * kReduction, H - 1);
        const std::uint8_t* binRow = s.binaryRef.data() + static_cast<std::size_t>(y) * W;
        const std::uint8_t* refRow = s.reference.row(y);
        const std::uint8_t* ignoreRow = s.ignore.row(y);
        std::uint8_t* out = s.markers.data() + static_cast<std::size_t>(by) * bw;
        for (int bx = 0; bx < bw; ++bx) {
            const int x = std::min(bx * kReduction, W - 1);
            if (binRow[x] == 1) out[bx] = 255;
            if (isRegionLabel(refRow[x]) && ignoreRow[x] == 0) out[bx] = 128;
        }
    }
}

// The reference's maps: binary with its enclosed dark areas marked; then,
// each from the binary map alone, the reduced map with its markers and the
// blurred copy of the fine alignment, which is made in bands of rows.
constexpr int kBlurBands = 3;
void referenceBinary(SearchState& s) {
    binariseReference(s);
    markEnclosedDarkAreas(s);
}
void allocateReferenceBlurred(SearchState& s) {
    s.blurredRef.resize(static_cast<std::size_t>(s.W()) * s.H());
}
void referenceReduced(SearchState& s) {
    reduceMap(s.reducedRef, SearchState::cview(s.binaryRef, s.W(), s.H()), true);
    markMarkers(s);
}
void referenceBlurredBand(SearchState& s, int band) {
    const int W = s.W(), H = s.H();
    boxBlurGrayRows(s.binaryRef.data(), W, s.blurredRef.data(), W, W, H, 3,
                    static_cast<int>(static_cast<long long>(H) * band / kBlurBands),
                    static_cast<int>(static_cast<long long>(H) * (band + 1) / kBlurBands));
}
// After the binary map: task 0 is the reduced map, the others the bands of
// the blurred one.
constexpr int kReferenceTailTasks = 1 + kBlurBands;
void referenceTail(SearchState& s, int task) {
    task == 0 ? referenceReduced(s) : referenceBlurredBand(s, task - 1);
}
void referenceMaps(SearchState& s) {
    referenceBinary(s);
    allocateReferenceBlurred(s);
    for (int task = 0; task < kReferenceTailTasks; ++task) referenceTail(s, task);
}

// The camera's maps: closed (pinholes of one pixel in the copper are
// closed), reduced with its mask, and the blurred copy with its plan of
// cells for the fine alignment.
void cameraMaps(SearchState& s) {
    const int w = s.w(), h = s.h();
    s.closedCamera.resize(static_cast<std::size_t>(w) * h);
    const GrayView closed = SearchState::view(s.closedCamera, w, h);
    for (int y = 0; y < h; ++y)
        std::memcpy(closed.row(y), s.camera.row(y), static_cast<std::size_t>(w));
    replaceSurrounded(closed, 0, true, 255);
    const ConstGrayView mask{s.cameraMask.data, w, s.cameraMask.stride, h};
    reduceMap(s.reducedCamera, SearchState::cview(s.closedCamera, w, h), true);
    reduceMap(s.reducedMask, mask, false);
    s.blurredCamera.resize(s.closedCamera.size());
    boxBlurGrayRows(s.closedCamera.data(), w, s.blurredCamera.data(), w, w, h, 3, 0, h);
    s.cameraPlan.emplace(SearchState::cview(s.blurredCamera, w, h), mask, s.W());
}

}  // namespace

bool prepareSearch(SearchState& s) {
    s.buffersApart = !sharesBytes(s.ignore, s.camera) && !sharesBytes(s.ignore, s.cameraMask) &&
                     !sharesBytes(s.reference, s.camera) && !sharesBytes(s.reference, s.cameraMask);
    if (!s.buffersApart) {
        // The camera is normalised before G grows and checked after, as
        // either may change what the other reads; the maps only read.
        normaliseCamera(s);
        if (!growIgnoreAndCheckContent(s) || !checkCameraContent(s)) return false;
        parallelFor(2, threadBudget(), [&](int, int k) { k == 0 ? referenceMaps(s) : cameraMaps(s); });
        return true;
    }
    // The camera's side (it changes C and D) and the reference's (it reads
    // R and changes G) share nothing, so each runs its gate and its maps on
    // a thread of its own; once a gate fails, the maps not yet begun are
    // left out, as nothing reads them. The reference's side is the longer:
    // once its binary map is ready, the maps made from it are tasks that
    // either side takes. The camera's side, done first, waits for the
    // binary map only while the reference's side is running on another
    // thread (it may not have begun, when both run on one thread).
    enum : int { kNotBegun, kRunning, kBinaryReady, kEnded };
    bool content = false, cameraContent = false;
    std::atomic<bool> failed{false};
    std::atomic<int> reference{kNotBegun}, nextTask{0};
    const auto takeTasks = [&] {
        for (int task; (task = nextTask.fetch_add(1)) < kReferenceTailTasks;) referenceTail(s, task);
    };
    // The blurred map's memory is taken (and its pages touched) by the
    // camera's side while it would wait, else by the reference's.
    std::once_flag blurredAllocated;
    const auto allocateBlurred = [&] { std::call_once(blurredAllocated, [&] { allocateReferenceBlurred(s); }); };
    parallelFor(2, threadBudget(), [&](int, int k) {
        if (k == 0) {
            normaliseCamera(s);
            cameraContent = checkCameraContent(s);
            if (!cameraContent) failed = true;
            if (failed) return;
            cameraMaps(s);
            if (reference.load() == kRunning) allocateBlurred();
            for (int now = reference.load(); now == kRunning; now = reference.load()) reference.wait(now);
            if (reference.load() == kBinaryReady && !failed) takeTasks();
            return;
        }
        reference = kRunning;
        // Whatever way this side ends before the binary map is ready, a
        // waiting camera side is woken.
        struct Ending {
            std::atomic<int>& state;
            ~Ending() {
                int running = kRunning;
                state.compare_exchange_strong(running, kEnded);
                state.notify_all();
            }
        } ending{reference};
        content = growIgnoreAndCheckContent(s);
        if (!content) failed = true;
        if (failed) return;
        referenceBinary(s);
        allocateBlurred();
        reference = kBinaryReady;
        reference.notify_all();
        if (!failed) takeTasks();
    });
    return content && cameraContent;
}

}  // namespace pcbinspect
