// Huge inputs, one case per run, with time and peak memory:
//   huge_inputs corrections W H | search W H | inspect N
// corrections: correctInvalidLines and correctCAD on a synthetic W x H
// reference; search: findSuspectedFlaws of a 2048 x 1024 window cut from it;
// inspect: N candidates spread over the defect board.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "pcbinspect/exports.h"
#include "boards/defect_board.h"
#include "boards/images.h"

namespace {

using pcbinspect::testing::Canvas;

double peakMegabytes() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_maxrss) / 1024.0;
}

template <class F>
void timed(const char* what, F&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%-40s %9.2f s   peak %8.1f MB\n", what, s, peakMegabytes());
}

// Pads, lines and wide networks of label 170 every 512 pixels.
std::vector<std::uint8_t> reference(int w, int h) {
    std::vector<std::uint8_t> ref(static_cast<std::size_t>(w) * h, 0);
    const Canvas c(ref.data(), w, w, h);
    for (int y = 0; y + 512 <= h || (y == 0 && h < 512); y += 512)
        for (int x = 0; x + 512 <= w; x += 512) {
            const int cy = y + std::min(256, h / 2);
            c.rect(x + 96, cy - 10, x + 415, cy + 9, 170);
            c.rect(x + 246, std::max(cy - 160, 0), x + 265, std::min(cy + 159, h - 1), 170);
            c.disc(x + 90, cy - 60 < 30 ? cy : cy - 60, 30, 180);
            c.rect(x + 380, cy + 40, x + 440, std::min(cy + 100, h - 1), 160);
            c.rect(x + 20, std::min(cy + 120, h - 5), x + 300, std::min(cy + 123, h - 1), 100);
        }
    return ref;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string what = argv[1];
    if (what == "corrections" || what == "search") {
        const int w = std::atoi(argv[2]), h = std::atoi(argv[3]);
        std::vector<std::uint8_t> ref = reference(w, h);
        std::printf("reference %d x %d (%.1f MB)\n", w, h, static_cast<double>(ref.size()) / 1048576.0);
        if (what == "corrections") {
            timed("correctInvalidLines", [&] { correctInvalidLines(ref.data(), w, w, h); });
            timed("correctCAD", [&] { correctCAD(ref.data(), w, w, h); });
            return 0;
        }
        const int ww = std::min(2048, w - 200), wh = std::min(1024, h - 100);
        std::vector<std::uint8_t> cam(static_cast<std::size_t>(ww) * wh), mask(cam.size(), 0),
            ignore(ref.size(), 0);
        const int left = (w - ww) / 2 + 7, top = (h - wh) / 2 - 5;
        for (int y = 0; y < wh; ++y)
            for (int x = 0; x < ww; ++x) {
                const std::uint8_t l = ref[static_cast<std::size_t>(y + top) * w + x + left];
                cam[static_cast<std::size_t>(y) * ww + x] = (l == 160 || l == 170 || l == 180) ? 255 : 0;
            }
        std::int32_t position[2] = {0, 0};
        float score = 0.0f;
        std::vector<std::int32_t> records(6 * 1000);
        int n = 0;
        timed("findSuspectedFlaws", [&] {
            n = findSuspectedFlaws(ref.data(), ignore.data(), w, w, h, cam.data(), mask.data(), ww,
                                   ww, wh, 3, 50, 0.85f, position, &score, 10, 50, 4, false,
                                   records.data(), 6000, nullptr, false, 0);
        });
        std::printf("window %d x %d cut at (%d, %d): found at (%d, %d), score %.3f, %d records\n", ww,
                    wh, left, top, position[0], position[1], score, n);
        return 0;
    }
    if (what == "inspect") {
        const int count = std::atoi(argv[2]);
        const pcbinspect::testing::DefectBoard board = pcbinspect::testing::buildDefectBoard();
        std::vector<FlawCandidate> candidates(static_cast<std::size_t>(count));
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> ux(50.0f, board.width - 50.0f),
            uy(50.0f, board.height - 50.0f);
        for (FlawCandidate& c : candidates) {
            c.refX = c.camX = ux(rng);
            c.refY = c.camY = uy(rng);
            c.carried = 0.0f;
        }
        pcbinspect::testing::BoardInspection result;
        timed("inspect", [&] {
            result = pcbinspect::testing::inspectBoard(board, candidates, 0, true, 100000);
        });
        std::printf("%d candidates: %d records\n", count, result.count);
        return 0;
    }
    return 2;
}
