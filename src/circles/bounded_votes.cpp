#include "circles/bounded_votes.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "boundary/parallel.h"
#include "boundary/scratch_memory.h"
#include "boundary/vector_lanes.h"

namespace pcbinspect {
namespace {

// Bounds are counted in integer units of a vote (unitsPerVote: as many as
// keep the threshold within 16 bits), each term rounded up, so that their
// sums are exact in any order; sums that pass 65535 stay there, at or above
// the threshold.
constexpr std::int32_t kLargestUnits = 65535;
// Below this many votes, rounding a cell's running float sum costs at most
// 2^-11 of a vote per addition (half its last place), which each term's
// allowance covers with room for the rounding of the term itself; a cell
// whose bound reaches it always has its votes replayed.
constexpr std::int32_t kBoundedVotes = 16384;
constexpr double kAllowance = 1.0 / 1024.0;  // per term, in votes
// Kernel rows are added sixteen cells at a time.
constexpr int kLanes = 16;
using Units = std::uint16_t;
constexpr double kPi = 3.14159265358979323846;

// The cells one vote may reach along one axis: the vote's centre lies within
// `spread` of `ideal` (in cells), so its cell is floor(ideal -+ spread), with
// the fraction inside the cell in [low, high].
struct AxisCase {
    int cell;
    double low, high;
};
// Floor and ceiling of values well inside the int range, without a call.
int floorInt(double v) {
    const int t = static_cast<int>(v);
    return t > v ? t - 1 : t;
}
int ceilInt(double v) {
    const int t = static_cast<int>(v);
    return t < v ? t + 1 : t;
}
double floorOf(double v) {
    const double t = static_cast<double>(static_cast<std::int64_t>(v));
    return t > v ? t - 1.0 : t;
}
int axisCases(double ideal, double spread, AxisCase out[2]) {
    const double first = floorOf(ideal - spread), last = floorOf(ideal + spread);
    if (first == last) {
        out[0] = AxisCase{static_cast<int>(first), ideal - spread - first, ideal + spread - first};
        return 1;
    }
    out[0] = AxisCase{static_cast<int>(first), ideal - spread - first, 1.0};
    out[1] = AxisCase{static_cast<int>(last), 0.0, ideal + spread - last};
    return 2;
}

// Bound units of one slice's votes from a pixel of one parity, for cells
// relative to the cell of the pixel's even neighbour (x >> 1, y >> 1), in
// rows of `stride` units covering x0 .. x0 + stride - 1. Each row's units
// are added in lane groups that skip the row's empty stretches: a ring's
// row holds one or two short runs, so a group is the unit of work.
struct BoundKernel {
    int x0 = 0, y0 = 0, width = 0, stride = 0, rows = 0;
    std::vector<std::int32_t> units;
    // The lane groups: each one's place in the kernel (row, column) and its
    // kLanes units, one group after another.
    struct Group {
        int row, column;
    };
    std::vector<Group> groups;
    std::vector<Units> groupUnits;
    // Where each group goes from the plane cell of kernel cell (0, 0), once
    // the plane is laid out.
    std::vector<std::ptrdiff_t> targets;
};

// The kernels of one slice for the four parities of a pixel (x & 1, y & 1),
// kernel (x & 1) | (y & 1) << 1.
void buildKernels(const float* offsetX, const float* offsetY, int directions, double spread, int unitsPerVote,
                  std::array<BoundKernel, 4>& kernels) {
    // The ideal centre of each direction's vote, in cells from the pixel's
    // even neighbour: (parity + 0.5 - offset) / 2, exactly half a cell
    // further for an odd parity than for an even one.
    const auto idealOf = [](float offset) { return (0.5 - static_cast<double>(offset)) / 2.0; };
    double lowX = idealOf(offsetX[0]), highX = lowX;
    double lowY = idealOf(offsetY[0]), highY = lowY;
    for (int i = 1; i < directions; ++i) {
        const double ax = idealOf(offsetX[i]), ay = idealOf(offsetY[i]);
        lowX = std::min(lowX, ax), highX = std::max(highX, ax);
        lowY = std::min(lowY, ay), highY = std::max(highY, ay);
    }
    // The cells each kernel covers: a vote reaches from its lower cell to
    // the one right of (below) its higher one.
    for (int parity = 0; parity < 4; ++parity) {
        BoundKernel& kernel = kernels[static_cast<std::size_t>(parity)];
        const double shiftX = 0.5 * (parity & 1), shiftY = 0.5 * (parity >> 1);
        const int minX = static_cast<int>(floorOf(lowX + shiftX - spread));
        const int maxX = static_cast<int>(floorOf(highX + shiftX + spread)) + 1;
        const int minY = static_cast<int>(floorOf(lowY + shiftY - spread));
        const int maxY = static_cast<int>(floorOf(highY + shiftY + spread)) + 1;
        kernel.x0 = minX;
        kernel.y0 = minY;
        kernel.rows = maxY - minY + 1;
        kernel.width = maxX - minX + 1;
        // Room for a last lane group starting at any column.
        kernel.stride = kernel.width + kLanes;
        kernel.units.assign(static_cast<std::size_t>(kernel.rows) * kernel.stride, 0);
    }
    // One unit above the truncated value: at least its ceiling.
    const auto unitsOf = [unitsPerVote](double votes) {
        return static_cast<std::int32_t>((votes + kAllowance) * unitsPerVote) + 1;
    };

    // Each direction's vote adds the most it may add to each cell it may
    // reach, over the cases the rounding of its centre leaves open.
    for (int i = 0; i < directions; ++i) {
        AxisCase cx[2][2], cy[2][2];
        int nx[2], ny[2];
        const double ax = idealOf(offsetX[i]), ay = idealOf(offsetY[i]);
        nx[0] = axisCases(ax, spread, cx[0]);
        nx[1] = axisCases(ax + 0.5, spread, cx[1]);
        ny[0] = axisCases(ay, spread, cy[0]);
        ny[1] = axisCases(ay + 0.5, spread, cy[1]);
        for (int parity = 0; parity < 4; ++parity) {
            BoundKernel& kernel = kernels[static_cast<std::size_t>(parity)];
            const AxisCase* const kx = cx[parity & 1];
            const AxisCase* const ky = cy[parity >> 1];
            const int cases = nx[parity & 1] * ny[parity >> 1];
            const auto cellAt = [&](int x, int y) -> std::int32_t& {
                return kernel.units[static_cast<std::size_t>(y - kernel.y0) * kernel.stride + (x - kernel.x0)];
            };
            if (cases == 1) {
                cellAt(kx[0].cell, ky[0].cell) += unitsOf((1.0 - kx[0].low) + (1.0 - ky[0].low));
                cellAt(kx[0].cell + 1, ky[0].cell) += unitsOf(kx[0].high);
                cellAt(kx[0].cell, ky[0].cell + 1) += unitsOf(ky[0].high);
                continue;
            }
            struct Reach {
                int x, y;
                std::int32_t units;
            } reach[12];
            int count = 0;
            const auto add = [&](int x, int y, double votes) {
                const std::int32_t units = unitsOf(votes);
                for (int j = 0; j < count; ++j)
                    if (reach[j].x == x && reach[j].y == y) {
                        reach[j].units = std::max(reach[j].units, units);
                        return;
                    }
                reach[count++] = Reach{x, y, units};
            };
            for (int a = 0; a < nx[parity & 1]; ++a)
                for (int b = 0; b < ny[parity >> 1]; ++b) {
                    add(kx[a].cell, ky[b].cell, (1.0 - kx[a].low) + (1.0 - ky[b].low));
                    add(kx[a].cell + 1, ky[b].cell, kx[a].high);
                    add(kx[a].cell, ky[b].cell + 1, ky[b].high);
                }
            for (int j = 0; j < count; ++j) cellAt(reach[j].x, reach[j].y) += reach[j].units;
        }
    }

    for (BoundKernel& kernel : kernels) {
        kernel.groups.clear();
        kernel.groupUnits.clear();
        for (int row = 0; row < kernel.rows; ++row) {
            const std::int32_t* u = kernel.units.data() + static_cast<std::size_t>(row) * kernel.stride;
            for (int x = 0; x < kernel.width;) {
                if (u[x] == 0) {
                    ++x;
                    continue;
                }
                // A group starts at the first non-zero unit; the stride
                // leaves room for it to reach past the last column.
                kernel.groups.push_back(BoundKernel::Group{row, x});
                const std::size_t at = kernel.groupUnits.size();
                kernel.groupUnits.resize(at + kLanes);
                Units* const out = kernel.groupUnits.data() + at;
                for (int l = 0; l < kLanes; ++l) out[l] = static_cast<Units>(std::min(u[x + l], kLargestUnits));
                x += kLanes;
            }
        }
    }
}

// The kernel of the pixel (x, y), by its parity, and the plane cell its
// cell (0, 0) lands on: `origin` is that cell for the pixel (0, 0), and the
// groups' targets are laid out for rows of planeW cells.
inline const BoundKernel& placeKernel(const std::array<BoundKernel, 4>& kernels, int x, int y, Units* plane,
                                      std::ptrdiff_t origin, std::ptrdiff_t planeW, Units*& at) {
    const BoundKernel& kernel = kernels[(x & 1) | ((y & 1) << 1)];
    at = plane + origin + static_cast<std::ptrdiff_t>((y >> 1) + kernel.y0) * planeW + ((x >> 1) + kernel.x0);
    return kernel;
}

// Adds each pixel's kernel into the bound plane, each sum saturating at the
// largest value (saturating sums do not depend on their order).
void addKernels(const std::int32_t* pixels, std::size_t count, const std::array<BoundKernel, 4>& kernels,
                Units* plane, std::ptrdiff_t origin, std::ptrdiff_t planeW) {
    for (std::size_t e = 0; e < count; ++e) {
        Units* at = nullptr;
        const BoundKernel& kernel = placeKernel(kernels, pixels[2 * e], pixels[2 * e + 1], plane, origin, planeW, at);
        const Units* src = kernel.groupUnits.data();
        for (const std::ptrdiff_t target : kernel.targets) {
            Units* const dst = at + target;
#ifdef __SSE2__
            for (int half = 0; half < kLanes; half += 8) {
                __m128i* const d = reinterpret_cast<__m128i*>(dst + half);
                _mm_storeu_si128(d, _mm_adds_epu16(_mm_loadu_si128(d),
                                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + half))));
            }
#else
            for (int l = 0; l < kLanes; ++l) dst[l] = static_cast<Units>(std::min(dst[l] + src[l], kLargestUnits));
#endif
            src += kLanes;
        }
    }
}

#ifdef PCBINSPECT_AVX2
__attribute__((target("avx2"))) void addKernelsAvx2(const std::int32_t* pixels, std::size_t count,
                                                    const std::array<BoundKernel, 4>& kernels, Units* plane,
                                                    std::ptrdiff_t origin, std::ptrdiff_t planeW) {
    for (std::size_t e = 0; e < count; ++e) {
        Units* at = nullptr;
        const BoundKernel& kernel = placeKernel(kernels, pixels[2 * e], pixels[2 * e + 1], plane, origin, planeW, at);
        const Units* src = kernel.groupUnits.data();
        for (const std::ptrdiff_t target : kernel.targets) {
            __m256i* const d = reinterpret_cast<__m256i*>(at + target);
            _mm256_storeu_si256(d, _mm256_adds_epu16(_mm256_loadu_si256(d),
                                                     _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src))));
            src += kLanes;
        }
    }
}
#endif

// Appends the columns from `first` on of the n units of a row that reach
// `key` and clears them, in one pass.
void takeReaching(Units* units, int first, int n, Units key, std::vector<int>& columns) {
    for (int i = first; i < n; ++i) {
        if (units[i] >= key) columns.push_back(i);
        units[i] = 0;
    }
}

#ifdef PCBINSPECT_AVX2
// The lanes of v at or above `least` (all bits of a lane set), and their
// columns appended from `first` on.
__attribute__((target("avx2"))) inline __m256i reachingLanes(__m256i v, __m256i least) {
    return _mm256_cmpeq_epi16(_mm256_max_epu16(v, least), v);
}
__attribute__((target("avx2"))) inline void appendReaching(int first, __m256i reaching, std::vector<int>& columns) {
    // Two mask bits a lane, the lower one kept.
    unsigned bits = static_cast<unsigned>(_mm256_movemask_epi8(reaching)) & 0x55555555u;
    for (; bits != 0; bits &= bits - 1) columns.push_back(first + __builtin_ctz(bits) / 2);
}

__attribute__((target("avx2"))) void takeReachingAvx2(Units* units, int n, Units key,
                                                      std::vector<int>& columns) {
    const __m256i least = _mm256_set1_epi16(static_cast<short>(key));
    const __m256i zero = _mm256_setzero_si256();
    int i = 0;
    // Thirty-two cells a step, one test for both halves: cells that reach
    // the key are few.
    for (; i + 32 <= n; i += 32) {
        __m256i* const at = reinterpret_cast<__m256i*>(units + i);
        const __m256i low = _mm256_loadu_si256(at), high = _mm256_loadu_si256(at + 1);
        _mm256_storeu_si256(at, zero);
        _mm256_storeu_si256(at + 1, zero);
        const __m256i reachLow = reachingLanes(low, least), reachHigh = reachingLanes(high, least);
        const __m256i either = _mm256_or_si256(reachLow, reachHigh);
        if (_mm256_testz_si256(either, either)) continue;
        appendReaching(i, reachLow, columns);
        appendReaching(i + 16, reachHigh, columns);
    }
    for (; i + 16 <= n; i += 16) {
        __m256i* const at = reinterpret_cast<__m256i*>(units + i);
        const __m256i v = _mm256_loadu_si256(at);
        _mm256_storeu_si256(at, zero);
        appendReaching(i, reachingLanes(v, least), columns);
    }
    takeReaching(units, i, n, key, columns);
}
#endif

// Angles in degrees of (x, y), in [0, 360], within a few millionths of a
// degree: arctangents tabulated on [0, 1] and interpolated.
class AngleTable {
public:
    AngleTable() {
        for (int i = 0; i <= kSteps; ++i)
            degrees_[i] = std::atan(static_cast<double>(i) / kSteps) * (180.0 / kPi);
    }
    double degrees(double x, double y) const {
        const double ax = std::fabs(x), ay = std::fabs(y);
        const bool steep = ay > ax;
        const double t = steep ? ax / ay : ay / ax;
        const double f = t * kSteps;
        const int i = std::min(static_cast<int>(f), kSteps - 1);
        double a = degrees_[i] + (degrees_[i + 1] - degrees_[i]) * (f - i);
        if (steep) a = 90.0 - a;
        if (x < 0) a = 180.0 - a;
        if (y < 0) a = 360.0 - a;
        return a;
    }

private:
    static constexpr int kSteps = 1024;
    std::array<double, kSteps + 1> degrees_{};
};

// The cells of one slice whose votes are replayed, and the slice's
// directions. The box's cells are laid out with a border of one cell on
// every side, which takes the parts of votes centred next to the box, so
// that every vote near it adds its three terms without further tests; past
// the bordered rows lie two spare places for each vector lane and a row for
// the terms below them, which take the votes of the lanes that do not count.
struct ReplayBox {
    float* out;  // (boxW + 2) x (boxH + 2) cells from (x0 - 1, y0 - 1), then the spares
    int x0, y0, x1, y1, pitch;
    float lastX, lastY;  // centres at or past these fall off the grid
    const float* offsetX;
    const float* offsetY;

    static std::size_t places(int boxW, int boxH) {
        return static_cast<std::size_t>(boxW + 2) * (boxH + 3) + 16;
    }
    std::size_t cell(int gx, int gy) const {
        return static_cast<std::size_t>(gy - y0 + 1) * pitch + (gx - x0 + 1);
    }
};

// Adds the vote centred at cell coordinates (cx, cy), inside the grid, to
// the cells of the box it reaches.
inline void replayVote(const ReplayBox& b, float cx, float cy) {
    const int ix = static_cast<int>(cx), iy = static_cast<int>(cy);
    if (ix < b.x0 - 1 || ix > b.x1 || iy < b.y0 - 1 || iy > b.y1) return;
    const float fx = cx - static_cast<float>(ix);
    const float fy = cy - static_cast<float>(iy);
    float* const c = b.out + b.cell(ix, iy);
    c[0] += (1.0f - fx) + (1.0f - fy);
    c[1] += fx;
    c[b.pitch] += fy;
}

// The votes of the pixel (px, py) in directions first .. last - 1, in order.
void replayScalar(const ReplayBox& b, float px, float py, int first, int last) {
    for (int i = first; i < last; ++i) {
        const float cx = halfCellCentre(px, b.offsetX[i]);
        const float cy = halfCellCentre(py, b.offsetY[i]);
        if (cx >= 0.0f && cx < b.lastX && cy >= 0.0f && cy < b.lastY) replayVote(b, cx, cy);
    }
}

// One pixel's votes in directions first .. last - 1.
struct Visit {
    float x, y;
    int first, last;
};

#ifdef PCBINSPECT_AVX2
// replayScalar with the centres of eight directions in vector lanes, the
// same operations lane by lane. All eight lanes of a group with a vote near
// the box add their terms in direction order, those without one into their
// spare places: a fixed sequence of additions costs less here than a branch
// on each lane. The offsets hold room for a group past the last direction.
class ReplayLanes {
public:
    __attribute__((target("avx2"))) explicit ReplayLanes(const ReplayBox& b)
        : b_(b),
          lastX_(_mm256_set1_ps(b.lastX)),
          lastY_(_mm256_set1_ps(b.lastY)),
          lowX_(_mm256_set1_epi32(b.x0 - 2)),
          highX_(_mm256_set1_epi32(b.x1 + 1)),
          lowY_(_mm256_set1_epi32(b.y0 - 2)),
          highY_(_mm256_set1_epi32(b.y1 + 1)),
          originX_(_mm256_set1_epi32(b.x0 - 1)),
          originY_(_mm256_set1_epi32(b.y0 - 1)),
          pitch_(_mm256_set1_epi32(b.pitch)),
          spares_(_mm256_add_epi32(_mm256_set1_epi32((b.y1 - b.y0 + 3) * b.pitch),
                                   _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14))) {}

    // The votes of the pixel (x, y) in directions i .. i + 7, those before
    // `last` counted.
    __attribute__((target("avx2"), always_inline)) void group(float x, float y, int i, int last) const {
        const __m256 one = _mm256_set1_ps(1.0f);
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        const __m256 cx = halfCellCentres(_mm256_set1_ps(x), b_.offsetX + i);
        const __m256 cy = halfCellCentres(_mm256_set1_ps(y), b_.offsetY + i);
        const __m256 inside = centresOnGrid(cx, cy, lastX_, lastY_);
        const __m256i ix = _mm256_cvttps_epi32(cx), iy = _mm256_cvttps_epi32(cy);
        const __m256i near = _mm256_and_si256(
            _mm256_and_si256(_mm256_cmpgt_epi32(ix, lowX_), _mm256_cmpgt_epi32(highX_, ix)),
            _mm256_and_si256(_mm256_cmpgt_epi32(iy, lowY_), _mm256_cmpgt_epi32(highY_, iy)));
        const __m256i counted = _mm256_cmpgt_epi32(_mm256_set1_epi32(last - i), lane);
        const __m256 votes = _mm256_and_ps(inside, _mm256_castsi256_ps(_mm256_and_si256(near, counted)));
        if (_mm256_movemask_ps(votes) == 0) return;
        alignas(32) std::int32_t index[8];
        alignas(32) float toCell[8], toRight[8], toBelow[8];
        const __m256 fx = _mm256_sub_ps(cx, _mm256_cvtepi32_ps(ix));
        const __m256 fy = _mm256_sub_ps(cy, _mm256_cvtepi32_ps(iy));
        _mm256_store_ps(toCell, _mm256_add_ps(_mm256_sub_ps(one, fx), _mm256_sub_ps(one, fy)));
        _mm256_store_ps(toRight, fx);
        _mm256_store_ps(toBelow, fy);
        // The vote's cell in the bordered box, or the lane's spare place.
        const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(iy, originY_), pitch_),
                                            _mm256_sub_epi32(ix, originX_));
        const __m256i place = _mm256_blendv_epi8(spares_, at, _mm256_castps_si256(votes));
        _mm256_store_si256(reinterpret_cast<__m256i*>(index), place);
        for (int l = 0; l < 8; ++l) {
            float* const c = b_.out + index[l];
            c[0] += toCell[l];
            // Kept apart: one 8-byte load of c[0] and c[1] would wait for
            // the previous vote's stores, which it only partly overlaps.
            asm volatile("" ::: "memory");
            c[1] += toRight[l];
            c[b_.pitch] += toBelow[l];
        }
    }

private:
    const ReplayBox& b_;
    __m256 lastX_, lastY_;
    __m256i lowX_, highX_, lowY_, highY_, originX_, originY_, pitch_, spares_;
};

// The visits of two boxes, each box's in order, one group of eight
// directions of each box in turn: the two boxes' cells are apart, so the
// additions of one need not wait for those of the other.
__attribute__((target("avx2"))) void replayPairAvx2(const ReplayBox& boxA, const Visit* a, std::size_t countA,
                                                    const ReplayBox& boxB, const Visit* b, std::size_t countB) {
    const ReplayLanes lanesA(boxA), lanesB(boxB);
    const Visit* const endA = a + countA;
    const Visit* const endB = b + countB;
    int ia = a != endA ? a->first : 0, ib = b != endB ? b->first : 0;
    while (a != endA || b != endB) {
        if (a != endA) {
            lanesA.group(a->x, a->y, ia, a->last);
            ia += 8;
            if (ia >= a->last && ++a != endA) ia = a->first;
        }
        if (b != endB) {
            lanesB.group(b->x, b->y, ib, b->last);
            ib += 8;
            if (ib >= b->last && ++b != endB) ib = b->first;
        }
    }
}
#endif

// A cell whose bound reaches the threshold: its box of replayed cells and
// its exact votes.
struct Candidate {
    int gx, gy;
    int box;
    float votes;
};

// Everything one slice needs, and the scratch of the worker running it.
struct SliceWork {
    std::vector<float> offsetX, offsetY;
    std::vector<int> degrees;
    std::vector<int> firstAtDegree;  // first direction at or past each whole degree, 0..360
    std::array<BoundKernel, 4> kernels;
    ScratchArray<Units> plane;  // zeroed between slices
    int left = 0, top = 0, planeW = 0, planeH = 0;
    std::vector<Candidate> candidates;
    std::vector<int> columns;  // of one row's candidates
    std::vector<int> order;    // candidates by box
    std::vector<float> exact;  // the replayed boxes, or a whole slice voted in full
    std::vector<float> fullOffsets;
    // The replayed boxes: each one's cells, its place in `exact`, its
    // candidates (a range of `order`) and its visits (a range of `visits`).
    struct Box {
        int x0, y0, x1, y1;
        std::size_t place, firstCandidate, endCandidate, firstVisit, endVisit;
    };
    std::vector<Box> boxes;
    std::vector<Visit> visits;
};

// A cell at or above the threshold with its exact votes.
struct SliceCell {
    int gx, gy;
    float votes;
};

// The bounded search of one call: what every slice shares (the pixels by
// row, the spread of the centres, the threshold in bound units), read only
// while the slices run on their workers.
class BoundedSlices {
public:
    BoundedSlices(const VotingPlan& plan, const CircleSettings& s, bool vectorLanes)
        : plan_(plan), s_(s) {
#ifdef PCBINSPECT_AVX2
        avx2_ = vectorLanes && __builtin_cpu_supports("avx2");
#else
        (void)vectorLanes;
#endif
        const AccumulatorShape& shape = plan.shape;
        lastX_ = static_cast<float>(shape.gridW - 1);
        lastY_ = static_cast<float>(shape.gridH - 1);
        height_ = plan.height;
        const std::size_t n = plan.edgePixels.size() / 2;
        // The edge pixels of each row: rowStart_[y] .. rowStart_[y + 1].
        rowStart_.assign(static_cast<std::size_t>(height_) + 1, 0);
        for (std::size_t e = 0; e < n; ++e) ++rowStart_[plan.edgePixels[2 * e + 1] + 1];
        for (int y = 0; y < height_; ++y) rowStart_[y + 1] += rowStart_[y];

        // Centres are formed from pixel - offset + 0.5 in single precision,
        // two roundings of values below 2^m; the spread allows four times
        // their error, in cells.
        for (std::size_t k = 1; k + 1 < plan.slices.size(); ++k)
            largestRadius_ = std::max(largestRadius_, plan.slices[k].radius);
        const double reach = std::max(plan.width, plan.height) + largestRadius_ + 2.0;
        int m = 0;
        while (std::ldexp(1.0, m) <= reach) ++m;
        spread_ = std::ldexp(1.0, m - 23);
        const std::int32_t threshold = std::min(s.voteThreshold, kBoundedVotes);
        unitsPerVote_ = kLargestUnits / threshold;
        key_ = static_cast<Units>(threshold * unitsPerVote_);
    }

    // The cells of slice k at or above the vote threshold, in row order.
    void run(std::int64_t k, SliceWork& w, std::vector<SliceCell>& found) const {
        found.clear();
        const AccumulatorShape& shape = plan_.shape;
        w.offsetX.assign(kMaxDirections, 0.0f);
        w.offsetY.assign(kMaxDirections, 0.0f);
        w.degrees.assign(kMaxDirections, 0);
        const int directions = sliceDirections(plan_, k, w.offsetX.data(), w.offsetY.data(), w.degrees.data());
        w.firstAtDegree.resize(361);
        for (int a = 0, i = 0; a <= 360; ++a) {
            while (i < directions && w.degrees[i] < a) ++i;
            w.firstAtDegree[a] = i;
        }
        buildKernels(w.offsetX.data(), w.offsetY.data(), directions, spread_, unitsPerVote_, w.kernels);

        // The bound plane, padded so that every kernel lands inside it. It
        // is laid out for the largest radius once and left zeroed after each
        // slice, row by row as the rows are searched.
        int left = 0, top = 0, right = 0, bottom = 0;
        for (const BoundKernel& kernel : w.kernels) {
            left = std::max(left, -kernel.x0);
            top = std::max(top, -kernel.y0);
            right = std::max(right, kernel.x0 + kernel.stride);
            bottom = std::max(bottom, kernel.y0 + kernel.rows);
        }
        if (!w.plane || left > w.left || top > w.top || right > w.planeW - w.left - shape.gridW ||
            bottom > w.planeH - w.top - shape.gridH) {
            const int pad = static_cast<int>(largestRadius_ / 2.0f) + 4;
            w.left = std::max(left, pad);
            w.top = std::max(top, pad);
            w.planeW = w.left + shape.gridW + std::max(right, pad + kLanes + 1);
            w.planeH = w.top + shape.gridH + std::max(bottom, pad + 1);
            const std::size_t size = static_cast<std::size_t>(w.planeW) * w.planeH;
            w.plane = ScratchArray<Units>(size);
            std::fill(w.plane.get(), w.plane.get() + size, 0);
        }
        Units* const plane = w.plane.get();
        const int planeW = w.planeW;
        for (BoundKernel& kernel : w.kernels) {
            kernel.targets.resize(kernel.groups.size());
            for (std::size_t g = 0; g < kernel.groups.size(); ++g)
                kernel.targets[g] = static_cast<std::ptrdiff_t>(kernel.groups[g].row) * planeW + kernel.groups[g].column;
        }
        const std::size_t pixels = plan_.edgePixels.size() / 2;
        const std::ptrdiff_t origin = static_cast<std::ptrdiff_t>(w.top) * planeW + w.left;
#ifdef PCBINSPECT_AVX2
        if (avx2_)
            addKernelsAvx2(plan_.edgePixels.data(), pixels, w.kernels, plane, origin, planeW);
        else
#endif
            addKernels(plan_.edgePixels.data(), pixels, w.kernels, plane, origin, planeW);

        // Cells whose bound reaches the threshold.
        std::vector<Candidate>& candidates = w.candidates;
        candidates.clear();
        for (int py = 0; py < w.planeH; ++py) {
            Units* const row = plane + static_cast<std::size_t>(py) * planeW;
            const int gy = py - w.top;
            if (gy < 0 || gy >= shape.gridH) {
                std::fill(row, row + planeW, 0);
                continue;
            }
            std::fill(row, row + w.left, 0);
            std::fill(row + w.left + shape.gridW, row + planeW, 0);
            w.columns.clear();
#ifdef PCBINSPECT_AVX2
            if (avx2_)
                takeReachingAvx2(row + w.left, shape.gridW, key_, w.columns);
            else
#endif
                takeReaching(row + w.left, 0, shape.gridW, key_, w.columns);
            for (const int gx : w.columns) candidates.push_back(Candidate{gx, gy, 0, 0.0f});
        }
        if (candidates.empty()) return;

        // Their exact votes: replayed box by box, a box holding the
        // candidates of one tile of 16 x 16 cells; or, where replaying would
        // cost more, the whole slice voted in full.
        constexpr int kTile = 16;
        const int tilesW = (shape.gridW + kTile - 1) / kTile;
        for (Candidate& c : candidates) c.box = (c.gy / kTile) * tilesW + c.gx / kTile;
        std::vector<int>& order = w.order;
        order.resize(candidates.size());
        for (std::size_t c = 0; c < candidates.size(); ++c) order[c] = static_cast<int>(c);
        std::stable_sort(order.begin(), order.end(),
                         [&](int a, int b) { return candidates[a].box < candidates[b].box; });
        std::size_t boxes = 0;
        for (std::size_t i = 0; i < order.size(); ++i)
            if (i == 0 || candidates[order[i]].box != candidates[order[i - 1]].box) ++boxes;

        const float radius = plan_.slices[static_cast<std::size_t>(k)].radius;
        // Replaying a box visits about the circle's pixels with a few dozen
        // directions each; voting in full visits every pixel with every
        // direction.
        const double replayCost = static_cast<double>(boxes) * 2.0 * kPi * radius * 40.0;
        const double fullCost = static_cast<double>(pixels) * directions;
        if (replayCost > fullCost) {
            const std::size_t area = static_cast<std::size_t>(shape.gridW) * shape.gridH;
            w.exact.assign(area, 0.0f);
            voteSlice(plan_, k, w.exact.data(), w.fullOffsets);
            for (Candidate& c : candidates) c.votes = w.exact[static_cast<std::size_t>(c.gy) * shape.gridW + c.gx];
        } else {
            w.boxes.clear();
            w.visits.clear();
            std::size_t places = 0;
            for (std::size_t i = 0; i < order.size();) {
                std::size_t end = i;
                int x0 = INT_MAX, y0 = INT_MAX, x1 = -1, y1 = -1;
                for (; end < order.size() && candidates[order[end]].box == candidates[order[i]].box; ++end) {
                    const Candidate& c = candidates[order[end]];
                    x0 = std::min(x0, c.gx), x1 = std::max(x1, c.gx);
                    y0 = std::min(y0, c.gy), y1 = std::max(y1, c.gy);
                }
                const std::size_t firstVisit = w.visits.size();
                collectVisits(w, directions, radius, x0, y0, x1, y1);
                w.boxes.push_back(SliceWork::Box{x0, y0, x1, y1, places, i, end, firstVisit, w.visits.size()});
                places += ReplayBox::places(x1 - x0 + 1, y1 - y0 + 1);
                i = end;
            }
            w.exact.assign(places, 0.0f);
            const auto replayBoxOf = [&](const SliceWork::Box& box) {
                return ReplayBox{w.exact.data() + box.place, box.x0, box.y0, box.x1, box.y1, box.x1 - box.x0 + 3,
                                 lastX_, lastY_, w.offsetX.data(), w.offsetY.data()};
            };
            for (std::size_t n = 0; n < w.boxes.size();) {
                const ReplayBox first = replayBoxOf(w.boxes[n]);
                const Visit* const visits = w.visits.data();
#ifdef PCBINSPECT_AVX2
                if (avx2_) {
                    // Two boxes at a time; a last one alone, beside no visits.
                    const SliceWork::Box& a = w.boxes[n];
                    const SliceWork::Box& b = w.boxes[std::min(n + 1, w.boxes.size() - 1)];
                    const bool pair = n + 1 < w.boxes.size();
                    replayPairAvx2(first, visits + a.firstVisit, a.endVisit - a.firstVisit, replayBoxOf(b),
                                   visits + b.firstVisit, pair ? b.endVisit - b.firstVisit : 0);
                    n += pair ? 2 : 1;
                    continue;
                }
#endif
                for (std::size_t v = w.boxes[n].firstVisit; v < w.boxes[n].endVisit; ++v)
                    replayScalar(first, visits[v].x, visits[v].y, visits[v].first, visits[v].last);
                ++n;
            }
            for (const SliceWork::Box& box : w.boxes) {
                const ReplayBox replayed = replayBoxOf(box);
                for (std::size_t i = box.firstCandidate; i < box.endCandidate; ++i) {
                    Candidate& c = candidates[order[i]];
                    c.votes = replayed.out[replayed.cell(c.gx, c.gy)];
                }
            }
        }
        const float threshold = static_cast<float>(s_.voteThreshold);
        for (const Candidate& c : candidates)
            if (c.votes >= threshold) found.push_back(SliceCell{c.gx, c.gy, c.votes});
    }

private:
    // Appends to w.visits the votes that may reach the cells x0..x1,
    // y0..y1 of a slice, in pixel order: the pixels within reach and, for
    // each, the directions that may land in them.
    void collectVisits(SliceWork& w, int directions, float radius, int x0, int y0, int x1, int y1) const {
        // A vote reaches the box when its centre, in cells, lies in
        // [x0 - 1, x1 + 1) x [y0 - 1, y1 + 1); in pixels, centre = 2 * cell
        // - 0.5, with a margin for the rounding of the centre.
        constexpr double kMargin = 0.01;
        const double zoneX0 = 2.0 * x0 - 2.5 - kMargin, zoneX1 = 2.0 * x1 + 1.5 + kMargin;
        const double zoneY0 = 2.0 * y0 - 2.5 - kMargin, zoneY1 = 2.0 * y1 + 1.5 + kMargin;
        const double midX = (zoneX0 + zoneX1) / 2.0, midY = (zoneY0 + zoneY1) / 2.0;
        const double halfX = (zoneX1 - zoneX0) / 2.0, halfY = (zoneY1 - zoneY0) / 2.0;
        const double halfDiagonal = std::sqrt(halfX * halfX + halfY * halfY);
        // The offsets' lengths differ from the radius by float rounding only.
        const double outer = std::fabs(radius) + kMargin, inner = std::fabs(radius) - kMargin;

        const auto voteRange = [&](float fx, float fy, int first, int last) {
            if (first < last) w.visits.push_back(Visit{fx, fy, first, last});
        };
        const auto degreeIndex = [&](int degrees) {
            // First direction at or past a whole degree in [0, 360].
            return w.firstAtDegree[static_cast<std::size_t>(degrees)];
        };

        const int yFirst = std::max(0, ceilInt(zoneY0 - outer));
        const int yLast = std::min(height_ - 1, floorInt(zoneY1 + outer));
        const std::int32_t* const begin = plan_.edgePixels.data();
        for (int y = yFirst; y <= yLast; ++y) {
            std::size_t e = rowStart_[y];
            const std::size_t end = rowStart_[y + 1];
            if (e == end) continue;
            const double nearY = y < zoneY0 ? zoneY0 - y : (y > zoneY1 ? y - zoneY1 : 0.0);
            if (nearY > outer) continue;
            const double reach = std::sqrt(outer * outer - nearY * nearY);
            const int xa = ceilInt(zoneX0 - reach);
            const int xb = floorInt(zoneX1 + reach);
            // Pixels of the row are in x order: find the first at or past xa.
            {
                std::size_t lo = e, hi = end;
                while (lo < hi) {
                    const std::size_t mid = (lo + hi) / 2;
                    if (begin[2 * mid] < xa) lo = mid + 1; else hi = mid;
                }
                e = lo;
            }
            if (e == end || begin[2 * e] > xb) continue;
            // Pixels closer than the radius to every corner of the zone
            // cannot reach it.
            const double farY = std::max(std::fabs(y - zoneY0), std::fabs(y - zoneY1));
            int skip0 = INT_MAX, skip1 = INT_MIN;
            if (inner > farY) {
                const double v = std::sqrt(inner * inner - farY * farY) - kMargin;
                skip0 = floorInt(zoneX1 - v) + 1;
                skip1 = ceilInt(zoneX0 + v) - 1;
            }
            for (; e < end; ++e) {
                const int x = begin[2 * e];
                if (x > xb) break;
                if (x >= skip0 && x <= skip1) continue;
                const float fx = static_cast<float>(x), fy = static_cast<float>(y);
                // The offsets that land in the zone lie in the box
                // (x, y) - zone: directions within the angle under which that
                // box is seen, widened a little.
                const double cx = x - midX, cy = y - midY;
                const double d2 = cx * cx + cy * cy;
                const double h2 = halfDiagonal * halfDiagonal;
                if (d2 <= h2 * 1.0001 + 0.01) {
                    voteRange(fx, fy, 0, directions);
                    continue;
                }
                const double halfAngle = halfDiagonal / std::sqrt(d2 - h2) * (180.0 / kPi) + 0.2;
                const double centre = angles_.degrees(cx, cy);
                double lo = centre - halfAngle, hi = centre + halfAngle;
                if (hi - lo >= 359.0) {
                    voteRange(fx, fy, 0, directions);
                } else if (lo < 0.0) {
                    voteRange(fx, fy, 0, degreeIndex(floorInt(hi) + 1));
                    voteRange(fx, fy, degreeIndex(ceilInt(lo + 360.0)), directions);
                } else if (hi >= 360.0) {
                    voteRange(fx, fy, 0, degreeIndex(floorInt(hi - 360.0) + 1));
                    voteRange(fx, fy, degreeIndex(ceilInt(lo)), directions);
                } else {
                    voteRange(fx, fy, degreeIndex(ceilInt(lo)), degreeIndex(floorInt(hi) + 1));
                }
            }
        }
    }

    const VotingPlan& plan_;
    const CircleSettings& s_;
#ifdef PCBINSPECT_AVX2
    bool avx2_ = false;
#endif
    AngleTable angles_;
    std::vector<std::size_t> rowStart_;
    int height_ = 0;
    float lastX_ = 0.0f, lastY_ = 0.0f;
    float largestRadius_ = 0.0f;
    double spread_ = 0.0;
    int unitsPerVote_ = 1;
    Units key_ = 0;
};

}  // namespace

bool boundedVotesSuit(const VotingPlan& plan, const CircleSettings& s) {
    if (plan.shape.cell != 2 || s.angleStep != 1.0f || s.voteThreshold < 1) return false;
    if (plan.shape.gridW > 2048 || plan.shape.gridH > 2048) return false;
    for (std::size_t k = 1; k + 1 < plan.slices.size(); ++k)
        if (!(plan.slices[k].radius >= 1.0f && plan.slices[k].radius <= 1024.0f)) return false;
    return true;
}

std::vector<DetectedCircle> findCirclesBounded(const VotingPlan& plan, const CircleSettings& s,
                                               bool vectorLanes) {
    const BoundedSlices slices(plan, s, vectorLanes);
    const int jobs = static_cast<int>(plan.shape.slices - 2);
    const int workers = std::max(1, std::min(threadBudget(), jobs));
    std::vector<SliceWork> work(static_cast<std::size_t>(workers));
    std::vector<std::vector<SliceCell>> found(static_cast<std::size_t>(jobs));

    // The slices' cells join the list in slice order as soon as every slice
    // before them is done; once the list is full, slices not yet started
    // are left out, as they would not be read.
    std::vector<DetectedCircle> list;
    list.reserve(static_cast<std::size_t>(std::clamp(s.maxCount, 0, 1023)) + 1);
    const float minDistance2 = s.minDistance * s.minDistance;
    std::mutex merging;
    std::vector<char> done(static_cast<std::size_t>(jobs), 0);
    int next = 0;
    std::atomic<bool> full{false};
    parallelFor(jobs, workers, [&](int worker, int job) {
        if (full.load(std::memory_order_relaxed)) return;
        slices.run(1 + job, work[static_cast<std::size_t>(worker)], found[static_cast<std::size_t>(job)]);
        const std::lock_guard<std::mutex> lock(merging);
        done[static_cast<std::size_t>(job)] = 1;
        for (; next < jobs && done[static_cast<std::size_t>(next)] && !full; ++next) {
            const float r = static_cast<float>(s.minRadius + (1 + static_cast<std::int64_t>(next)) * s.radiusStep);
            for (const SliceCell& c : found[static_cast<std::size_t>(next)]) {
                addCircleCandidate(list, static_cast<float>(c.gx * 2), static_cast<float>(c.gy * 2), r, c.votes,
                                   minDistance2);
                if (static_cast<std::int64_t>(list.size()) > s.maxCount) {
                    full = true;
                    break;
                }
            }
        }
    });
    return list;
}

}  // namespace pcbinspect
