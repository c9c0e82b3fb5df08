// Circle finding that votes in full only where a circle can be: each radius
// slice first sums cheap upper bounds of its votes, and only the cells whose
// bound reaches the vote threshold have their exact votes replayed.
#pragma once

#include <vector>

#include "circles/circle_detector.h"

namespace pcbinspect {

// Whether findCirclesBounded serves these settings and plan: two-pixel cells,
// one-degree angle steps, a positive vote threshold, voting radii of 1 to
// 1024 pixels and an image below 4096 pixels a side.
bool boundedVotesSuit(const VotingPlan& plan, const CircleSettings& settings);

// The circles collectCircles lists from the full accumulator of the plan,
// the same bytes in the same order. Without vectorLanes the replays and the
// candidate search run their scalar loops even where AVX2 is at hand.
std::vector<DetectedCircle> findCirclesBounded(const VotingPlan& plan, const CircleSettings& settings,
                                               bool vectorLanes = true);

}  // namespace pcbinspect
