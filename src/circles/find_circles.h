// The circle finding exports' fixed settings and the self-test sequence.
#pragma once

#include <cstddef>
#include <vector>

#include "boundary/image_view.h"
#include "circles/circle_detector.h"

namespace pcbinspect {

// Settings of findCircles: edge threshold 20, radius step 2, angle step one
// degree, 2-pixel cells, candidates within 4 pixels merged.
CircleSettings findCirclesSettings(int maxRadius, int minRadius, int voteThreshold, int maxCount);

// The circles findCircles lists: those of detectCircles, found by replaying
// only the votes of cells that can reach the threshold where the settings
// allow it.
std::vector<DetectedCircle> findCircleList(ConstGrayView image, const CircleSettings& settings);

// What the self-test run of the detector did.
struct CircleTestRun {
    int largestVote = 0;            // from a first run that no cell can pass
    std::vector<int> thresholds;    // vote thresholds of the following runs
    std::size_t lastCount = 0;      // circles found by the last run
};

// Radii 10 to 40: learns the largest vote, then lowers the threshold from
// half of it in tenths until a run finds two circles. It gives up when the
// factor reaches 0 or the threshold stops changing, so images with no room
// for two circles end too.
CircleTestRun runCircleTest(ConstGrayView image);

}  // namespace pcbinspect
