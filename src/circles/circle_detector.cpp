#include "circles/circle_detector.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "boundary/scratch_memory.h"
#include "boundary/argument_check.h"
#include "boundary/numeric.h"
#include "boundary/parallel.h"
#include "boundary/vector_lanes.h"
#include "circles/edge_map.h"

namespace pcbinspect {
namespace {

// One slice's votes into its plane: each edge pixel votes for the centres at
// the slice's radius in the directions listed, spreading one vote over the
// cell the centre falls in and its right and lower neighbours. The
// directions' offsets are padded with NaN to a multiple of eight, which
// never vote.
struct SliceVotes {
    const std::int32_t* pixels;  // x, y pairs
    std::size_t pixelCount;
    const float* offsetX;
    const float* offsetY;
    int directions;  // offsets before the padding
    float* plane;
    int gridW;
    int cell;
    float lastX, lastY;  // centres at or past these fall off the plane
};

void voteScalar(const SliceVotes& v) {
    const double cellD = v.cell;
    // Halving is exact in both precisions: ((double)p + 0.5) / 2 rounded to
    // float equals (p + 0.5f) * 0.5f.
    const bool halves = v.cell == 2;
    for (std::size_t e = 0; e < v.pixelCount; ++e) {
        const float fxPix = static_cast<float>(v.pixels[2 * e]);
        const float fyPix = static_cast<float>(v.pixels[2 * e + 1]);
        for (int i = 0; i < v.directions; ++i) {
            const float px = fxPix - v.offsetX[i];
            const float py = fyPix - v.offsetY[i];
            const float cx = halves ? halfCellCentre(fxPix, v.offsetX[i])
                                    : static_cast<float>((static_cast<double>(px) + 0.5) / cellD);
            const float cy = halves ? halfCellCentre(fyPix, v.offsetY[i])
                                    : static_cast<float>((static_cast<double>(py) + 0.5) / cellD);
            if (cx >= 0.0f && cx < v.lastX && cy >= 0.0f && cy < v.lastY) {
                const int ix = static_cast<int>(cx), iy = static_cast<int>(cy);
                const float fx = cx - static_cast<float>(ix);
                const float fy = cy - static_cast<float>(iy);
                float* const c = v.plane + static_cast<std::size_t>(iy) * v.gridW + ix;
                c[0] += (1.0f - fx) + (1.0f - fy);
                c[1] += fx;
                c[v.gridW] += fy;
            }
        }
    }
}

#ifdef PCBINSPECT_AVX2
// The cells of two-pixel grids with eight directions in vector lanes, each
// lane computing what voteScalar computes; the votes are then added lane by
// lane in direction order, so every cell's sum is built in the same order.
bool avx2Votes(const SliceVotes& v, std::size_t gridArea) {
    return v.cell == 2 && gridArea < static_cast<std::size_t>(INT_MAX) - v.gridW &&
           __builtin_cpu_supports("avx2");
}

__attribute__((target("avx2"))) void voteHalvesAvx2(const SliceVotes& v) {
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256 lastX = _mm256_set1_ps(v.lastX), lastY = _mm256_set1_ps(v.lastY);
    const __m256i gridW = _mm256_set1_epi32(v.gridW);
    alignas(32) std::int32_t index[8];
    alignas(32) float toCell[8], toRight[8], toBelow[8];
    for (std::size_t e = 0; e < v.pixelCount; ++e) {
        const __m256 fxPix = _mm256_set1_ps(static_cast<float>(v.pixels[2 * e]));
        const __m256 fyPix = _mm256_set1_ps(static_cast<float>(v.pixels[2 * e + 1]));
        for (int i = 0; i < v.directions; i += 8) {
            const __m256 cx = halfCellCentres(fxPix, v.offsetX + i);
            const __m256 cy = halfCellCentres(fyPix, v.offsetY + i);
            const __m256 inside = centresOnGrid(cx, cy, lastX, lastY);
            unsigned lanes = static_cast<unsigned>(_mm256_movemask_ps(inside));
            if (lanes == 0) continue;
            const __m256i ix = _mm256_cvttps_epi32(cx), iy = _mm256_cvttps_epi32(cy);
            const __m256 fx = _mm256_sub_ps(cx, _mm256_cvtepi32_ps(ix));
            const __m256 fy = _mm256_sub_ps(cy, _mm256_cvtepi32_ps(iy));
            _mm256_store_ps(toCell, _mm256_add_ps(_mm256_sub_ps(one, fx), _mm256_sub_ps(one, fy)));
            _mm256_store_ps(toRight, fx);
            _mm256_store_ps(toBelow, fy);
            _mm256_store_si256(reinterpret_cast<__m256i*>(index),
                               _mm256_add_epi32(_mm256_mullo_epi32(iy, gridW), ix));
            for (; lanes != 0; lanes &= lanes - 1) {
                const int l = __builtin_ctz(lanes);
                float* const c = v.plane + index[l];
                c[0] += toCell[l];
                // Kept apart: one 8-byte load of c[0] and c[1] would wait for
                // the previous vote's stores, which it only partly overlaps.
                asm volatile("" ::: "memory");
                c[1] += toRight[l];
                c[v.gridW] += toBelow[l];
            }
        }
    }
}
#endif

// The largest of n values, none of them NaN; 0 when all are smaller. Eight
// running maxima, so the loop runs in vector lanes.
float largestOf(const float* v, int n) {
    float lanes[8] = {};
    int i = 0;
    for (; i + 8 <= n; i += 8)
        for (int l = 0; l < 8; ++l) lanes[l] = v[i + l] > lanes[l] ? v[i + l] : lanes[l];
    for (; i < n; ++i) lanes[0] = v[i] > lanes[0] ? v[i] : lanes[0];
    return *std::max_element(lanes, lanes + 8);
}

}  // namespace

void thinEdgeChains(std::uint8_t* states, int width, int height, const std::vector<std::int32_t>& chain,
                    std::vector<std::int32_t>& pixels) {
    const auto at = [&](int x, int y) { return states + static_cast<std::ptrdiff_t>(y) * width + x; };
    const auto on = [&](int x, int y) { return *at(x, y) == kEdgeOnChain; };
    const std::size_t n = chain.size() / 2;
    // Each run is thinned from its first pixel; once thinned, its middle
    // pixel is a run of one whenever it is reached again, so the order of
    // the list does not matter.
    for (std::size_t i = 0; i < n; ++i) {
        const int x = chain[2 * i], y = chain[2 * i + 1];
        if (!on(x, y) || (x > 0 && on(x - 1, y))) continue;
        int last = x;
        while (last + 1 < width && on(last + 1, y)) ++last;
        if (last == x) continue;
        std::memset(at(x, y), 0, static_cast<std::size_t>(last - x + 1));
        *at((x + last) / 2, y) = kEdgeOnChain;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const int x = chain[2 * i], y = chain[2 * i + 1];
        if (!on(x, y) || (y > 0 && on(x, y - 1))) continue;
        int last = y;
        while (last + 1 < height && on(x, last + 1)) ++last;
        if (last == y) continue;
        for (int r = y; r <= last; ++r) *at(x, r) = 0;
        *at(x, (y + last) / 2) = kEdgeOnChain;
    }

    // The pixels left, by row, each row's in x order.
    std::vector<std::size_t> rowStart(static_cast<std::size_t>(height) + 1, 0);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (on(chain[2 * i], chain[2 * i + 1])) {
            ++rowStart[static_cast<std::size_t>(chain[2 * i + 1]) + 1];
            ++kept;
        }
    for (int y = 0; y < height; ++y) rowStart[y + 1] += rowStart[y];
    std::vector<std::int32_t> xs(kept);
    std::vector<std::size_t> fill(rowStart.begin(), rowStart.end() - 1);
    for (std::size_t i = 0; i < n; ++i)
        if (on(chain[2 * i], chain[2 * i + 1])) xs[fill[static_cast<std::size_t>(chain[2 * i + 1])]++] = chain[2 * i];
    pixels.reserve(pixels.size() + 2 * kept);
    for (int y = 0; y < height; ++y) {
        const auto first = xs.begin() + static_cast<std::ptrdiff_t>(rowStart[y]);
        const auto last = xs.begin() + static_cast<std::ptrdiff_t>(rowStart[y + 1]);
        if (last - first > 1) std::sort(first, last);
        for (auto x = first; x != last; ++x) {
            pixels.push_back(*x);
            pixels.push_back(y);
        }
    }
}

int largestVote(const float* acc, const AccumulatorShape& shape) {
    const std::size_t cells = static_cast<std::size_t>(shape.slices) * shape.gridW * shape.gridH;
    int largest = 0;
    for (std::size_t i = 0; i < cells; ++i)
        if (acc[i] > static_cast<float>(largest)) largest = truncToInt(acc[i]);
    return largest;
}

void addCircleCandidate(std::vector<DetectedCircle>& list, float x, float y, float r, float value,
                        float minDistance2) {
    // A circle farther than this along either axis has a truncated offset
    // of at least the minimum distance: it is passed over at once.
    const float far = std::sqrt(minDistance2) + 2.0f;
    for (DetectedCircle& c : list) {
        const float ox = c.x - x, oy = c.y - y;
        if (ox >= far || ox <= -far || oy >= far || oy <= -far) continue;
        const double dx = truncToInt(ox), dy = truncToInt(oy);
        if (static_cast<float>(dx * dx + dy * dy) < minDistance2) {
            c.x = (x + c.x) * 0.5f;
            c.y = (y + c.y) * 0.5f;
            c.radius = (r + c.radius) * 0.5f;
            c.vote = truncToInt(std::max(static_cast<float>(c.vote), value));
            return;
        }
    }
    list.push_back(DetectedCircle{truncToInt(value), x, y, r});
}

std::vector<DetectedCircle> collectCircles(const float* acc, const AccumulatorShape& shape,
                                           const CircleSettings& s, const float* rowLargest) {
    std::vector<DetectedCircle> list;
    list.reserve(static_cast<std::size_t>(std::clamp(s.maxCount, 0, 1023)) + 1);
    const float threshold = static_cast<float>(s.voteThreshold);
    const float minDistance2 = s.minDistance * s.minDistance;
    const std::size_t gridArea = static_cast<std::size_t>(shape.gridW) * shape.gridH;
    for (std::int64_t k = 0; k < shape.slices; ++k) {
        const float r = static_cast<float>(s.minRadius + k * s.radiusStep);
        const float* plane = acc + static_cast<std::size_t>(k) * gridArea;
        for (int gy = 0; gy < shape.gridH; ++gy) {
            if (rowLargest != nullptr && !(rowLargest[k * shape.gridH + gy] >= threshold)) continue;
            for (int gx = 0; gx < shape.gridW; ++gx) {
                const float value = plane[static_cast<std::size_t>(gy) * shape.gridW + gx];
                if (!(value >= threshold)) continue;
                const float x = static_cast<float>(gx * shape.cell);
                const float y = static_cast<float>(gy * shape.cell);
                addCircleCandidate(list, x, y, r, value, minDistance2);
                // The list may end one circle beyond maxCount.
                if (static_cast<std::int64_t>(list.size()) > s.maxCount) return list;
            }
        }
    }
    return list;
}

bool planVotes(ConstGrayView image, const CircleSettings& s, VotingPlan& plan) {
    const int width = image.width, height = image.height;
    if (width < 1 || height < 1 || s.cellSize < 0) return false;

    // Radius slices: the range divided by the step in single precision. A
    // reversed or too short range has no slice between its first and last.
    const float slices =
        static_cast<float>(static_cast<std::int64_t>(s.maxRadius) - s.minRadius) /
        static_cast<float>(s.radiusStep);
    const std::int64_t sliceCount = static_cast<std::int64_t>(truncToInt(slices)) + 1;
    if (sliceCount <= 2) return false;

    const int cell = std::max(s.cellSize, 1);
    const int gridW = width / cell + 1, gridH = height / cell + 1;
    std::size_t gridArea = 0, cells = 0;
    if (!checkedArea(gridW, gridH, 1, gridArea) ||
        __builtin_mul_overflow(gridArea, static_cast<std::size_t>(sliceCount), &cells) ||
        cells > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(float))
        throw std::bad_alloc();
    plan.width = width;
    plan.height = height;
    plan.shape = AccumulatorShape{sliceCount, gridW, gridH, cell};

    // The edge pixels of the image, copied first to rows of its width unless
    // they are so already, thinned and listed once in raster order.
    std::size_t area = 0;
    if (!checkedArea(width, height, 1, area)) throw std::bad_alloc();
    const ScratchArray<std::uint8_t> statePlane(area);
    ScratchArray<std::uint8_t> copy;
    const std::uint8_t* compact = image.data;
    if (image.stride != width) {
        copy = ScratchArray<std::uint8_t>(area);
        for (int y = 0; y < height; ++y)
            std::memcpy(copy.get() + static_cast<std::size_t>(y) * width, image.row(y),
                        static_cast<std::size_t>(width));
        compact = copy.get();
    }
    std::vector<std::int32_t> chain;
    followEdgeChains(compact, statePlane.get(), width, height, s.edgeThreshold, &chain);
    plan.edgePixels.clear();
    thinEdgeChains(statePlane.get(), width, height, chain, plan.edgePixels);

    // Direction of each whole-degree angle index: the radians are formed in
    // double precision with the finder's pi and used in single precision.
    for (int a = 0; a < 360; ++a) {
        const float degrees = static_cast<float>(a) * s.angleStep;
        const float theta = static_cast<float>(static_cast<double>(degrees) / 180.0 * 3.1415926);
        plan.cosOf[a] = std::cos(theta);
        plan.sinOf[a] = std::sin(theta);
    }
    // The first and the last slice receive no votes. The angle step of a
    // radius is at least the angle under which one pixel is seen from the
    // centre, so small circles take fewer steps.
    plan.slices.assign(static_cast<std::size_t>(sliceCount), VotingSlice{});
    for (std::int64_t k = 1; k + 1 < sliceCount; ++k) {
        const float r = static_cast<float>(s.minRadius + k * s.radiusStep);
        const double seen = static_cast<double>(std::atan(1.0f / r)) / 3.14159 * 180.0;
        plan.slices[k] = VotingSlice{r, std::max(static_cast<double>(s.angleStep), seen)};
    }

    return true;
}

int sliceDirections(const VotingPlan& plan, std::int64_t k, float* offsetX, float* offsetY,
                    int* degrees) {
    const VotingSlice& slice = plan.slices[static_cast<std::size_t>(k)];
    int directions = 0;
    for (int a = 0; a < 360; ++directions) {
        offsetX[directions] = plan.cosOf[a] * slice.radius;
        offsetY[directions] = plan.sinOf[a] * slice.radius;
        if (degrees != nullptr) degrees[directions] = a;
        // Steps below one degree would never leave the angle.
        const int next = truncToInt(a + slice.angleStep);
        a = next > a ? next : a + 1;
    }
    return directions;
}

void voteSlice(const VotingPlan& plan, std::int64_t k, float* plane, std::vector<float>& offset) {
    // The offsets of the centres from the pixel, x then y, one per angle
    // visited, padded with NaN.
    offset.assign(2 * kMaxDirections, std::numeric_limits<float>::quiet_NaN());
    const int directions =
        sliceDirections(plan, k, offset.data(), offset.data() + kMaxDirections, nullptr);
    const AccumulatorShape& shape = plan.shape;
    const SliceVotes votes{plan.edgePixels.data(), plan.edgePixels.size() / 2, offset.data(),
                           offset.data() + kMaxDirections, directions, plane, shape.gridW,
                           shape.cell, static_cast<float>(shape.gridW - 1),
                           static_cast<float>(shape.gridH - 1)};
#ifdef PCBINSPECT_AVX2
    if (avx2Votes(votes, static_cast<std::size_t>(shape.gridW) * shape.gridH)) {
        voteHalvesAvx2(votes);
        return;
    }
#endif
    voteScalar(votes);
}

CircleVotes voteForCircles(ConstGrayView image, const CircleSettings& s) {
    VotingPlan plan;
    if (!planVotes(image, s, plan)) return CircleVotes{};
    return voteForCircles(plan);
}

CircleVotes voteForCircles(const VotingPlan& plan) {
    CircleVotes result;
    const AccumulatorShape shape = plan.shape;
    const std::size_t gridArea = static_cast<std::size_t>(shape.gridW) * shape.gridH;
    const std::size_t cells = gridArea * static_cast<std::size_t>(shape.slices);

    // Each slice is a plane of its own, so the slices vote independently;
    // within a slice the votes come in pixel then angle order, the order in
    // which each cell's float sum is built.
    ScratchArray<float> acc(cells);
    std::fill(acc.get(), acc.get() + cells, 0.0f);
    std::vector<float> rowLargest(static_cast<std::size_t>(shape.slices) * shape.gridH, 0.0f);
    const int sliceJobs = static_cast<int>(std::min<std::int64_t>(shape.slices - 2, INT_MAX));
    const int workers = std::max(1, std::min(threadBudget(), sliceJobs));
    std::vector<std::vector<float>> offsets(static_cast<std::size_t>(workers));
    parallelFor(sliceJobs, workers, [&](int worker, int job) {
        const std::int64_t k = 1 + static_cast<std::int64_t>(job);
        float* const plane = acc.get() + static_cast<std::size_t>(k) * gridArea;
        voteSlice(plan, k, plane, offsets[static_cast<std::size_t>(worker)]);
        // The rows' largest values, while the plane is still in the cache.
        for (int gy = 0; gy < shape.gridH; ++gy)
            rowLargest[static_cast<std::size_t>(k) * shape.gridH + gy] =
                largestOf(plane + static_cast<std::size_t>(gy) * shape.gridW, shape.gridW);
    });

    result.shape = shape;
    // Votes are sums of positive numbers. Below 2^31 the running truncated
    // maximum ends at the truncated largest value whatever the order; beyond
    // it truncation saturates and the cell order decides.
    const float largest = rowLargest.empty() ? 0.0f : *std::max_element(rowLargest.begin(), rowLargest.end());
    result.largestVote = largest < 2147483648.0f ? truncToInt(largest)
                                                 : pcbinspect::largestVote(acc.get(), result.shape);
    result.acc = std::move(acc);
    result.rowLargest = std::move(rowLargest);
    return result;
}

CircleDetection detectCircles(ConstGrayView image, const CircleSettings& s) {
    const CircleVotes votes = voteForCircles(image, s);
    CircleDetection result;
    if (!votes.acc) return result;
    result.largestVote = votes.largestVote;
    result.circles = collectCircles(votes.acc.get(), votes.shape, s, votes.rowLargest.data());
    return result;
}

}  // namespace pcbinspect
