// Each export against the OpenCV routine a user would reach for instead, on
// the same inputs in the same process, with the same number of threads on
// both sides (one unless --threads N). Prints one row per pair: the median
// time of each and the ratio peer / ours (above 1: we are faster). It calls
// the shared library, so an earlier build can be timed in the same way by
// putting its folder first in LD_LIBRARY_PATH.
//   pcbinspect_peers [--threads N] [--filter TEXT]
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "pcbinspect/exports.h"
#include "support/board_builder.h"
#include "support/reference_builder.h"
#include "support/shape_images.h"

namespace {

using Clock = std::chrono::steady_clock;

// Median milliseconds of each side over repetitions taken in turns, ours
// then theirs, until each side has filled about half a second (at least 3,
// at most 50 runs a side); `prepare` runs untimed before each run. Taking
// turns lets both sides meet the same state of a machine whose speed drifts
// over seconds.
std::pair<double, double> medianMsInTurns(const std::function<void()>& prepare, const std::function<void()>& ours,
                                          const std::function<void()>& theirs) {
    std::vector<double> times[2];
    double total[2] = {0.0, 0.0};
    const std::function<void()>* sides[2] = {&ours, &theirs};
    for (const auto* run : sides) {  // warm-up
        prepare();
        (*run)();
    }
    const auto more = [&](int k) { return times[k].size() < 3 || (total[k] < 500.0 && times[k].size() < 50); };
    while (more(0) || more(1)) {
        for (int k = 0; k < 2; ++k) {
            if (!more(k)) continue;
            prepare();
            const auto t0 = Clock::now();
            (*sides[k])();
            const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
            times[k].push_back(ms);
            total[k] += ms;
        }
    }
    for (auto& t : times) std::sort(t.begin(), t.end());
    return {times[0][times[0].size() / 2], times[1][times[1].size() / 2]};
}

struct Row {
    std::string name, peer;
    std::function<void()> prepare;  // untimed, before each run of either side
    std::function<void()> ours, theirs;
};

std::vector<std::uint8_t> noise(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

// Hexagons of radius 20 to 200 board pixels around the image centre.
void hexagons(int n, int side, std::uint32_t seed, std::vector<std::int32_t>& points,
              std::vector<std::int32_t>& counts) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> centre(-side / 2 + 200, side / 2 - 200), size(20, 200);
    for (int i = 0; i < n; ++i) {
        const int cx = centre(rng), cy = centre(rng), r = size(rng);
        for (int k = 0; k < 6; ++k) {
            const double a = k * 3.141592653589793 / 3.0;
            points.push_back(cx + static_cast<int>(r * std::cos(a)));
            points.push_back(cy + static_cast<int>(r * std::sin(a)));
        }
        counts.push_back(6);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int threads = 1;
    std::string filter;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) threads = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--filter") && i + 1 < argc) filter = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--threads N] [--filter TEXT]\n", argv[0]);
            return 2;
        }
    }
    threads = std::max(threads, 1);
#if defined(__GLIBC__)
    // glibc hands freed heap memory back to the system by rules that adapt to
    // the blocks freed so far, so one side's allocations can decide whether
    // the other refaults its buffers on every call (HoughCircles, timed after
    // findCircles, went from 2 to 18 ms that way). Fixed thresholds keep the
    // heap of both sides as a long-running host would see it.
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
#endif
    // The library reads its thread count once, at its first parallel call.
    setenv("PCBINSPECT_THREADS", std::to_string(threads).c_str(), 1);
    cv::setNumThreads(threads);

    std::vector<Row> rows;

    // copyGray: 8192 x 8192.
    const int big = 8192;
    const auto source = noise(static_cast<std::size_t>(big) * big, 1);
    std::vector<std::uint8_t> copy(source.size());
    const cv::Mat srcMat(big, big, CV_8UC1, const_cast<std::uint8_t*>(source.data()));
    cv::Mat copyMat(big, big, CV_8UC1, copy.data());
    rows.push_back({"copyGray 8192^2", "Mat::copyTo", [] {},
                    [&] { copyGray(copy.data(), big, big, big, source.data(), big, big, big); },
                    [&] { srcMat.copyTo(copyMat); }});

    // Windows of 1024 x 1024 from the 8192 x 8192 source.
    const int win = 1024;
    std::vector<std::uint8_t> window(static_cast<std::size_t>(win) * win);
    cv::Mat windowMat(win, win, CV_8UC1, window.data());
    const float cx = 4100.3f, cy = 3900.6f;
    auto windowMap = [&](double degrees) {
        // Destination to source, about the window's centre.
        const double t = degrees / 180.0 * CV_PI, s = std::sin(t), c = std::cos(t);
        const double h = (win - 1) * 0.5;
        return cv::Matx23d(c, -s, cx - c * h + s * h, s, c, cy - s * h - c * h);
    };
    const cv::Matx23d shifted = windowMap(0.0), turned = windowMap(17.5);
    const int inverse = cv::WARP_INVERSE_MAP;
    rows.push_back({"getSubGray 1024^2, fractional centre", "warpAffine linear", [] {},
                    [&] { getSubGray(source.data(), big, big, big, window.data(), win, win, win, cx, cy, 0.0f, false); },
                    [&] { cv::warpAffine(srcMat, windowMat, shifted, windowMat.size(), cv::INTER_LINEAR | inverse); }});
    rows.push_back({"getSubGray 1024^2, rotated 17.5 deg", "warpAffine linear", [] {},
                    [&] { getSubGray(source.data(), big, big, big, window.data(), win, win, win, cx, cy, 17.5f, false); },
                    [&] { cv::warpAffine(srcMat, windowMat, turned, windowMat.size(), cv::INTER_LINEAR | inverse); }});
    rows.push_back({"getSubGrayNearest 1024^2, rotated", "warpAffine nearest", [] {},
                    [&] { getSubGrayNearest(source.data(), big, big, big, window.data(), win, win, win, cx, cy, 17.5f); },
                    [&] { cv::warpAffine(srcMat, windowMat, turned, windowMat.size(), cv::INTER_NEAREST | inverse); }});

    // skewDIB: 4096 x 4096 colour, 37 rows across; the peer's maps are built
    // beforehand (fixed point, its fastest form).
    const int side = 4096, skew = 37;
    const auto colour = noise(static_cast<std::size_t>(side) * side * 3, 2);
    std::vector<std::uint8_t> skewed(colour.size());
    cv::Mat colourMat(side, side, CV_8UC3, const_cast<std::uint8_t*>(colour.data()));
    cv::Mat skewedMat(side, side, CV_8UC3, skewed.data());
    cv::Mat mapX(side, side, CV_32FC1), mapY(side, side, CV_32FC1), fixedXY, fixedFraction;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            mapX.at<float>(y, x) = static_cast<float>(x);
            mapY.at<float>(y, x) = static_cast<float>(y) - static_cast<float>(x) * skew / side + skew;
        }
    cv::convertMaps(mapX, mapY, fixedXY, fixedFraction, CV_16SC2);
    rows.push_back({"skewDIB 4096^2 colour", "remap, prebuilt maps",
                    [&] { skewed = colour; },
                    [&] { skewDIB(skewed.data(), side, side * 3, side, skew, false); },
                    [&] { cv::remap(colourMat, skewedMat, fixedXY, fixedFraction, cv::INTER_LINEAR); }});

    // getMaskGray: 4096 x 4096 with 250 hexagons (125 erase, 125 paint); the
    // peer reduces by area, thresholds, fills the turned polygons and enlarges.
    std::vector<std::int32_t> erasePoints, eraseCounts, paintPoints, paintCounts;
    hexagons(125, side, 1, erasePoints, eraseCounts);
    hexagons(125, side, 2, paintPoints, paintCounts);
    const auto gray = noise(static_cast<std::size_t>(side) * side, 3);
    std::vector<std::uint8_t> masked(gray.size());
    cv::Mat maskedMat(side, side, CV_8UC1, masked.data());
    const float offX = 12.0f, offY = -30.0f, angle = 7.5f;
    auto peerMask = [&] {
        cv::Mat small;
        cv::resize(maskedMat, small, cv::Size(side / 3, side / 3), 0, 0, cv::INTER_AREA);
        cv::threshold(small, small, 127, 255, cv::THRESH_BINARY);
        const double t = -angle / 180.0 * CV_PI, s = std::sin(t), c = std::cos(t);
        auto fill = [&](const std::vector<std::int32_t>& pts, const std::vector<std::int32_t>& counts,
                        int value) {
            std::vector<std::vector<cv::Point>> polys;
            std::size_t k = 0;
            for (const std::int32_t n : counts) {
                std::vector<cv::Point> poly;
                for (int i = 0; i < n; ++i, ++k) {
                    const double bx = pts[2 * k] / 3 - offX / 3.0, by = pts[2 * k + 1] / 3 - offY / 3.0;
                    poly.emplace_back(cvRound(c * bx - s * by + side / 6.0), cvRound(s * bx + c * by + side / 6.0));
                }
                polys.push_back(std::move(poly));
            }
            cv::fillPoly(small, polys, cv::Scalar(value));
        };
        fill(erasePoints, eraseCounts, 0);
        fill(paintPoints, paintCounts, 255);
        cv::resize(small, maskedMat, maskedMat.size(), 0, 0, cv::INTER_NEAREST);
    };
    rows.push_back({"getMaskGray 4096^2, 250 polygons", "resize + fillPoly",
                    [&] { masked = gray; },
                    [&] {
                        getMaskGray(nullptr, nullptr, erasePoints.data(), eraseCounts.data(), 125,
                                    paintPoints.data(), paintCounts.data(), 125, masked.data(),
                                    side, side, side, offX, offY, angle);
                    },
                    peerMask});

    // findCircles: 1024 x 768 with 20 discs of radius 10 to 40.
    const int cw = 1024, ch = 768;
    std::vector<std::uint8_t> discs(static_cast<std::size_t>(cw) * ch, 30);
    {
        std::mt19937 rng(5);
        std::uniform_int_distribution<int> jitter(-40, 40), radius(10, 40);
        for (int j = 0; j < 4; ++j)
            for (int i = 0; i < 5; ++i)
                pcbinspect::testing::drawDisc(discs.data(), cw, cw, ch, 110 + 200 * i + jitter(rng),
                                              95 + 190 * j + jitter(rng), radius(rng), 200);
    }
    const cv::Mat discMat(ch, cw, CV_8UC1, discs.data());
    std::vector<CircleRecord> circles(101);
    std::vector<cv::Vec3f> peerCircles;
    rows.push_back({"findCircles 1024x768", "HoughCircles", [] {},
                    [&] { findCircles(discs.data(), cw, cw, ch, 40, 10, 100, circles.data(), 100); },
                    [&] { cv::HoughCircles(discMat, peerCircles, cv::HOUGH_GRADIENT, 2, 4, 100, 30, 10, 40); }});

    // findSuspectedFlaws: a 640 x 640 camera window in an 880 x 880
    // reference; the peer locates it by normalised correlation and outlines
    // the differences.
    const int refSide = 880, camSide = 640;
    const auto board = pcbinspect::testing::syntheticBoard(refSide, refSide, 11);
    std::vector<std::uint8_t> camera(static_cast<std::size_t>(camSide) * camSide);
    for (int y = 0; y < camSide; ++y)
        for (int x = 0; x < camSide; ++x) {
            const std::uint8_t l = board.at(x + 133, y + 103);
            camera[static_cast<std::size_t>(y) * camSide + x] = (l == 160 || l == 170 || l == 180) ? 255 : 0;
        }
    for (int k = 1; k <= 4; ++k)
        for (int y = k * 128; y <= k * 128 + 8; ++y)
            std::memset(camera.data() + static_cast<std::size_t>(y) * camSide + k * 128, 255, 9);
    std::vector<std::uint8_t> ignore(static_cast<std::size_t>(refSide) * refSide), cam, camMask;
    std::vector<std::int32_t> records(6 * 1000);
    std::int32_t position[2], offsets[50];
    float score = 0.0f;
    cv::Mat copper;
    cv::compare(cv::Mat(refSide, refSide, CV_8UC1, const_cast<std::uint8_t*>(board.labels.data())),
                cv::Scalar(0), copper, cv::CMP_GT);
    rows.push_back({"findSuspectedFlaws 640^2 in 880^2", "matchTemplate + absdiff + contours",
                    [&] {
                        std::fill(ignore.begin(), ignore.end(), 0);
                        cam = camera;
                        camMask.assign(camera.size(), 0);
                    },
                    [&] {
                        findSuspectedFlaws(board.labels.data(), ignore.data(), refSide, refSide, refSide,
                                           cam.data(), camMask.data(), camSide, camSide, camSide, 3, 50,
                                           0.8f, position, &score, 10, 50, 4, false, records.data(),
                                           static_cast<int>(records.size()), offsets, false, 2);
                    },
                    [&] {
                        const cv::Mat camMat(camSide, camSide, CV_8UC1, cam.data());
                        cv::Mat result, diff;
                        cv::matchTemplate(copper, camMat, result, cv::TM_CCOEFF_NORMED);
                        cv::Point best;
                        cv::minMaxLoc(result, nullptr, nullptr, nullptr, &best);
                        cv::absdiff(copper(cv::Rect(best.x, best.y, camSide, camSide)), camMat, diff);
                        cv::threshold(diff, diff, 127, 255, cv::THRESH_BINARY);
                        std::vector<std::vector<cv::Point>> contours;
                        cv::findContours(diff, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
                    }});

    // The CAD corrections on an 8192 x 8192 synthetic reference: the peer
    // labels the line networks, and grows the pads into the lines.
    const auto reference = pcbinspect::testing::syntheticReference(big);
    std::vector<std::uint8_t> corrected(reference.size());
    cv::Mat correctedMat(big, big, CV_8UC1, corrected.data());
    rows.push_back({"correctInvalidLines 8192^2", "connectedComponentsWithStats",
                    [&] { corrected = reference; },
                    [&] { correctInvalidLines(corrected.data(), big, big, big); },
                    [&] {
                        cv::Mat lines, labels, stats, centroids;
                        cv::compare(correctedMat, cv::Scalar(170), lines, cv::CMP_EQ);
                        cv::connectedComponentsWithStats(lines, labels, stats, centroids, 4);
                    }});
    rows.push_back({"correctCAD 8192^2", "dilate + masked copy",
                    [&] { corrected = reference; },
                    [&] { correctCAD(corrected.data(), big, big, big); },
                    [&] {
                        cv::Mat pads, grown, lines;
                        cv::compare(correctedMat, cv::Scalar(160), pads, cv::CMP_GE);
                        cv::dilate(correctedMat & pads, grown, cv::Mat());
                        cv::compare(correctedMat, cv::Scalar(170), lines, cv::CMP_EQ);
                        grown.copyTo(correctedMat, lines);
                    }});

    std::printf("%-40s %-36s %10s %10s %7s\n", "export", "peer (OpenCV " CV_VERSION ")",
                "ours ms", "peer ms", "ratio");
    for (const Row& r : rows) {
        if (!filter.empty() && r.name.find(filter) == std::string::npos) continue;
        const auto [ours, theirs] = medianMsInTurns(r.prepare, r.ours, r.theirs);
        std::printf("%-40s %-36s %10.3f %10.3f %7.2f\n", r.name.c_str(), r.peer.c_str(), ours,
                    theirs, theirs / ours);
        std::fflush(stdout);
    }
    std::printf("threads: %d on each side\n", threads);
    return 0;
}
