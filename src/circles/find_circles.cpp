#include "circles/find_circles.h"

#include <climits>
#include <cstdint>

#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "boundary/numeric.h"
#include "circles/bounded_votes.h"
#include "pcbinspect/exports.h"

namespace pcbinspect {

CircleSettings findCirclesSettings(int maxRadius, int minRadius, int voteThreshold,
                                   int maxCount) {
    CircleSettings s;
    s.edgeThreshold = 20;
    s.maxRadius = maxRadius;
    s.minRadius = minRadius;
    s.radiusStep = 2;
    s.angleStep = 1.0f;
    s.cellSize = 2;
    s.voteThreshold = voteThreshold;
    s.maxCount = maxCount;
    s.minDistance = 4.0f;
    return s;
}

std::vector<DetectedCircle> findCircleList(ConstGrayView image, const CircleSettings& s) {
    VotingPlan plan;
    if (!planVotes(image, s, plan)) return {};
    if (boundedVotesSuit(plan, s)) return findCirclesBounded(plan, s);
    const CircleVotes votes = voteForCircles(plan);
    return collectCircles(votes.acc.get(), votes.shape, s, votes.rowLargest.data());
}

CircleTestRun runCircleTest(ConstGrayView image) {
    CircleTestRun run;
    // No cell reaches the largest int: this run only measures the votes.
    // The settings differ only in the vote threshold and the list's length,
    // so one set of votes serves every threshold.
    CircleSettings s = findCirclesSettings(40, 10, INT_MAX, 2);
    const CircleVotes votes = voteForCircles(image, s);
    run.largestVote = votes.largestVote;
    if (!votes.acc) {
        run.thresholds.push_back(0);
        return run;
    }

    s.maxCount = 100;
    // The factor goes 0.5, 0.4, ... in exact tenths and the sequence ends
    // before it reaches 0.
    for (int tenths = 5; tenths > 0; --tenths) {
        const int threshold = truncToInt(run.largestVote * (tenths / 10.0));
        if (!run.thresholds.empty() && threshold == run.thresholds.back()) break;
        s.voteThreshold = threshold;
        run.thresholds.push_back(threshold);
        run.lastCount = collectCircles(votes.acc.get(), votes.shape, s, votes.rowLargest.data()).size();
        if (run.lastCount >= 2) break;
    }
    return run;
}

}  // namespace pcbinspect

extern "C" PCBINSPECT_API std::int32_t findCircles(const std::uint8_t* image, std::int32_t width,
                                                   std::int32_t stride, std::int32_t height,
                                                   std::int32_t maxRadius, std::int32_t minRadius,
                                                   std::int32_t voteThreshold, CircleRecord* out,
                                                   std::int32_t maxCount) {
    using namespace pcbinspect;
    return guardedExport("findCircles", std::int32_t{0}, [&]() -> std::int32_t {
        ArgumentCheck check("findCircles");
        check.image("image", image, width, stride, height)
            .notNull("out", out)
            .atLeast("maxCount", maxCount, 0);
        if (!check.ok()) return 0;
        const std::vector<DetectedCircle> found =
            findCircleList(viewOf(image, width, stride, height),
                           findCirclesSettings(maxRadius, minRadius, voteThreshold, maxCount));
        // The list holds at most maxCount + 1 circles, as the caller's buffer.
        std::int32_t n = 0;
        for (const DetectedCircle& c : found)
            out[n++] = CircleRecord{c.x, c.y, c.radius, static_cast<float>(c.vote)};
        return n;
    });
}

extern "C" PCBINSPECT_API void test(const std::uint8_t* image, std::int32_t width,
                                    std::int32_t stride, std::int32_t height) {
    using namespace pcbinspect;
    guardedExport("test", [&] {
        ArgumentCheck check("test");
        check.image("image", image, width, stride, height);
        if (!check.ok()) return;
        runCircleTest(viewOf(image, width, stride, height));
    });
}
