#include "frame_finder.h"

#include <algorithm>
#include <cmath>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace pcbinspect::tool {
namespace {

// At most this many coarse peaks are refined, those within kPeakSlack of the
// best coarse correlation.
constexpr int kMaxPeaks = 400;
constexpr double kPeakSlack = 0.2;

// The copper of `image` over the rectangle `area` (which may reach outside
// the image: bare board there) as 0/1 floats, reduced `factor` times by
// area means.
cv::Mat copperMap(const Image& image, const cv::Rect& area, int factor) {
    cv::Mat full(area.height, area.width, CV_8U, cv::Scalar(0));
    const cv::Rect inside = area & cv::Rect(0, 0, image.width, image.height);
    for (int y = inside.y; y < inside.y + inside.height; ++y) {
        const std::uint8_t* from = image.row(y) + inside.x * image.channels;
        std::uint8_t* to = full.ptr<std::uint8_t>(y - area.y) + (inside.x - area.x);
        for (int x = 0; x < inside.width; ++x) to[x] = from[x * image.channels] ? 1 : 0;
    }
    cv::Mat asFloat;
    full.convertTo(asFloat, CV_32F);
    if (factor <= 1) return asFloat;
    cv::Mat small;
    cv::resize(asFloat, small,
               cv::Size(std::max(area.width / factor, 1), std::max(area.height / factor, 1)), 0,
               0, cv::INTER_AREA);
    return small;
}

// Normalised correlation of the template over the map; undefined places
// (a flat window) read as -1.
cv::Mat correlation(const cv::Mat& map, const cv::Mat& frame) {
    cv::Mat scores;
    cv::matchTemplate(map, frame, scores, cv::TM_CCOEFF_NORMED);
    cv::patchNaNs(scores, -1.0);
    return scores;
}

// The best corner of the frame over `area` at reduction `factor`, in
// reference pixels, with its correlation.
FrameGuess bestIn(const Image& copper, const Image& camera, const cv::Rect& area, int factor) {
    const cv::Mat map = copperMap(copper, area, factor);
    const cv::Mat frame = copperMap(camera, cv::Rect(0, 0, camera.width, camera.height), factor);
    if (map.cols < frame.cols || map.rows < frame.rows) return {area.x, area.y, -1.0};
    const cv::Mat scores = correlation(map, frame);
    double best = 0.0;
    cv::Point at;
    cv::minMaxLoc(scores, nullptr, &best, nullptr, &at);
    return {area.x + at.x * factor, area.y + at.y * factor, best};
}

}  // namespace

std::vector<FrameGuess> findFrame(const Image& copper, const Image& camera,
                                  const FrameRange& range, int count) {
    const int w = camera.width, h = camera.height;
    // The coarse scale brings the frame's smaller side to about 64 cells:
    // enough to tell a layout apart, small enough to score every corner.
    const int coarse = std::max(1, std::min(w, h) / 64);
    const int fine = std::max(1, coarse / 4);
    const cv::Rect area(range.x0, range.y0, range.x1 - range.x0 + w, range.y1 - range.y0 + h);
    const cv::Mat map = copperMap(copper, area, coarse);
    const cv::Mat frame = copperMap(camera, cv::Rect(0, 0, w, h), coarse);
    std::vector<FrameGuess> guesses;
    if (map.cols < frame.cols || map.rows < frame.rows) return guesses;
    cv::Mat scores = correlation(map, frame);
    // Peaks, best first, down to a little below the best: a board of
    // repeated cells scores alike at every repeat, and only the finer scale
    // tells them apart. Each peak clears the corners within three cells
    // around it (its refinement reaches two), so that the peaks are
    // different places however short the period of the layout.
    double top = 0.0;
    cv::minMaxLoc(scores, nullptr, &top);
    const int clearX = 3, clearY = 3;
    std::vector<cv::Point> peaks;
    while (static_cast<int>(peaks.size()) < kMaxPeaks) {
        double best = 0.0;
        cv::Point at;
        cv::minMaxLoc(scores, nullptr, &best, nullptr, &at);
        if (best <= -1.0 || (!peaks.empty() && best < top - kPeakSlack)) break;
        peaks.push_back(at);
        const cv::Rect cleared =
            cv::Rect(at.x - clearX, at.y - clearY, 2 * clearX + 1, 2 * clearY + 1) &
            cv::Rect(0, 0, scores.cols, scores.rows);
        scores(cleared).setTo(-1.0);
    }
    // Each peak refined at the finer scale over the cells around it.
    for (const cv::Point& at : peaks) {
        const FrameGuess coarseGuess{area.x + at.x * coarse, area.y + at.y * coarse, top};
        const cv::Rect local(coarseGuess.x - 2 * coarse, coarseGuess.y - 2 * coarse,
                             4 * coarse + w, 4 * coarse + h);
        FrameGuess g = fine < coarse ? bestIn(copper, camera, local, fine) : coarseGuess;
        if (g.correlation <= -1.0) g = coarseGuess;
        guesses.push_back(g);
    }
    std::stable_sort(guesses.begin(), guesses.end(),
                     [](const FrameGuess& a, const FrameGuess& b) {
                         return a.correlation > b.correlation;
                     });
    if (static_cast<int>(guesses.size()) > count) guesses.resize(static_cast<std::size_t>(count));
    return guesses;
}

}  // namespace pcbinspect::tool
