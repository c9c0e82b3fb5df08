// Hough circle detection over centre and radius.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "boundary/scratch_memory.h"
#include "boundary/image_view.h"

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

// Keeps the middle pixel of every run of set pixels along the rows, then
// along the columns, of a compact edge map.
void thinEdgeRuns(std::uint8_t* edges, int width, int height);

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
