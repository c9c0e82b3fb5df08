// Hough circle detection over centre and radius.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "boundary/scratch_memory.h"
#include "boundary/image_view.h"
#include "boundary/vector_lanes.h"

namespace pcbinspect {

struct CircleSettings {
    int edgeThreshold = 20;
    int maxRadius = 0;
    int minRadius = 0;
    int radiusStep = 2;
    float angleStep = 1.0f;   // smallest angle step of the votes, degrees
    int cellSize = 2;         // accumulator cell in pixels
    int voteThreshold = 0;    // a cell with at least this many votes is a circle
    int maxCount = 0;         // the list stops once it holds more circles than this
    float minDistance = 4.0f; // candidates closer than this merge
};

struct DetectedCircle {
    int vote;
    float x, y;
    float radius;
};

struct CircleDetection {
    std::vector<DetectedCircle> circles;  // at most maxCount + 1
    int largestVote = 0;                  // truncated value of the fullest cell
};

// Thins the edge pixels of `chain` (x, y pairs, each pixel once, in any
// order), which `states` (width x height bytes) marks kEdgeOnChain: every
// run of marked pixels along a row keeps its middle pixel, then every run
// along a column of what is left. Appends the pixels kept to `pixels` in
// raster order; the others lose their mark.
void thinEdgeChains(std::uint8_t* states, int width, int height, const std::vector<std::int32_t>& chain,
                    std::vector<std::int32_t>& pixels);

// The accumulator: `slices` planes of gridH rows of gridW floats; cell
// (gx, gy) stands for the image point (gx * cell, gy * cell) and slice k for
// the radius minRadius + k * radiusStep.
struct AccumulatorShape {
    std::int64_t slices;
    int gridW, gridH;
    int cell;
};

// The value of the fullest cell, truncated; 0 for an accumulator without votes.
int largestVote(const float* acc, const AccumulatorShape& shape);

// What an image votes with: the thinned edge pixels and, for each radius
// slice, its radius and angle step (the first and last slice do not vote).
struct VotingSlice {
    float radius = 0.0f;
    double angleStep = 0.0;  // degrees, at least the settings' step
};
struct VotingPlan {
    int width = 0, height = 0;  // of the image
    AccumulatorShape shape{};
    std::vector<std::int32_t> edgePixels;  // x, y pairs in raster order
    std::vector<VotingSlice> slices;
    float cosOf[360], sinOf[360];          // by whole-degree angle index
};
// False when nothing votes: an empty image, a negative cell size or fewer
// than three radii.
bool planVotes(ConstGrayView image, const CircleSettings& settings, VotingPlan& plan);

// Room for the directions of one slice, rounded up to whole groups of eight.
constexpr int kMaxDirections = 368;
// The offsets of the centres from a voting pixel, one per direction of slice
// k in voting order, and the angle index of each (degrees may be null).
// Returns the number of directions.
int sliceDirections(const VotingPlan& plan, std::int64_t k, float* offsetX, float* offsetY,
                    int* degrees);

// Adds the votes of slice k into its zeroed plane of gridW x gridH cells:
// each edge pixel, in order, votes in each direction, spreading one vote over
// the cell its centre falls in and its right and lower neighbours. `offset`
// is scratch.
void voteSlice(const VotingPlan& plan, std::int64_t k, float* plane, std::vector<float>& offset);

// Where a pixel coordinate votes on a grid of two-pixel cells, for a centre
// `offset` before it.
inline float halfCellCentre(float pixel, float offset) { return ((pixel - offset) + 0.5f) * 0.5f; }

#ifdef PCBINSPECT_AVX2
// halfCellCentre for the eight offsets from `offset` on, lane by lane.
__attribute__((target("avx2"))) inline __m256 halfCellCentres(__m256 pixel, const float* offset) {
    const __m256 half = _mm256_set1_ps(0.5f);
    return _mm256_mul_ps(_mm256_add_ps(_mm256_sub_ps(pixel, _mm256_loadu_ps(offset)), half), half);
}
// The lanes whose centre lies on the grid: 0 <= cx < lastX, 0 <= cy < lastY.
__attribute__((target("avx2"))) inline __m256 centresOnGrid(__m256 cx, __m256 cy, __m256 lastX,
                                                            __m256 lastY) {
    const __m256 zero = _mm256_setzero_ps();
    return _mm256_and_ps(
        _mm256_and_ps(_mm256_cmp_ps(cx, zero, _CMP_GE_OQ), _mm256_cmp_ps(cx, lastX, _CMP_LT_OQ)),
        _mm256_and_ps(_mm256_cmp_ps(cy, zero, _CMP_GE_OQ), _mm256_cmp_ps(cy, lastY, _CMP_LT_OQ)));
}
#endif

// Lists a cell of `value` votes standing for the circle (x, y, r): averaged
// into the first listed circle closer than the minimum distance (offsets
// truncated), keeping the larger vote, or appended.
void addCircleCandidate(std::vector<DetectedCircle>& list, float x, float y, float r, float value,
                        float minDistance2);

// The votes of an image: the accumulator, and the largest value of each of
// its rows (slice by slice), which lets the search for circles skip rows no
// cell of which reaches the threshold. Only the vote threshold and the list's
// length may change between the settings it was made with and those of
// collectCircles.
struct CircleVotes {
    AccumulatorShape shape{};
    ScratchArray<float> acc;
    std::vector<float> rowLargest;  // slices * gridH
    int largestVote = 0;
};
CircleVotes voteForCircles(ConstGrayView image, const CircleSettings& settings);
CircleVotes voteForCircles(const VotingPlan& plan);

// The circles of the cells at or above the settings' vote threshold, in
// slice, row, column order: a candidate closer than minDistance (its offsets
// truncated) to a listed circle is averaged into the first such circle and
// keeps the larger vote; otherwise it is appended. Stops as soon as the list
// holds more than maxCount circles.
std::vector<DetectedCircle> collectCircles(const float* acc, const AccumulatorShape& shape,
                                           const CircleSettings& settings,
                                           const float* rowLargest = nullptr);

// Finds circles in `image`: the edge map's thinned pixels vote for the
// centres of the circles through them at every radius of the range except
// its first and last, accumulator cells at or above the vote threshold become
// circles in cell order, and a candidate closer than minDistance to a listed
// circle is averaged into it. A radius range of fewer than three radii (a
// reversed range included) or a negative cell size finds nothing.
CircleDetection detectCircles(ConstGrayView image, const CircleSettings& settings);

}  // namespace pcbinspect
