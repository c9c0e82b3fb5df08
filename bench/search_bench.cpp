// The suspected-flaw search on synthetic boards: the whole export, and the
// time of each phase reported as counters.
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "pcbinspect/exports.h"
#include "search/suspect_search.h"
#include "support/board_builder.h"

namespace {

using namespace pcbinspect;
using namespace pcbinspect::testing;

// A board of side `refSide`, a window of side `w` cut near its centre (off
// centre by (13, -17)) with a few flaws planted.
struct SearchInput {
    Board board;
    GuardedImage reference, ignore, camera, mask;
    SearchInput(int refSide, int w)
        : board(syntheticBoard(refSide, refSide, 11)),
          reference(refSide, refSide),
          ignore(refSide, refSide),
          camera(w, w),
          mask(w, w) {
        copyBoard(board, reference);
        ignore.fill(0);
        mask.fill(0);
        renderCamera(board, (refSide - w) / 2 + 13, (refSide - w) / 2 - 17, camera);
        const Canvas c(camera);
        for (int k = 1; k <= 4; ++k) c.rect(k * w / 5, k * w / 5, k * w / 5 + 8, k * w / 5 + 8, 255);
    }
};

void BM_findSuspectedFlaws(benchmark::State& state) {
    SearchInput in(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const int W = in.reference.width(), w = in.camera.width();
    std::vector<std::int32_t> records(6 * 1000);
    std::int32_t position[2], offsets[50];
    float score = 0;
    int n = 0;
    // Only the call is timed (wall clock): the fresh copies of the images it
    // changes are made outside.
    for (auto _ : state) {
        GuardedImage ignore = in.ignore, camera = in.camera, mask = in.mask;
        const auto start = std::chrono::steady_clock::now();
        n = findSuspectedFlaws(in.reference.data(), ignore.data(), W, W, W, camera.data(),
                               mask.data(), w, w, w, 3, 50, 0.8f, position, &score, 10, 50, 4,
                               false, records.data(), static_cast<int>(records.size()), offsets,
                               false, 2);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        benchmark::DoNotOptimize(n);
    }
    state.counters["records"] = n;
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(W) * W);
}
BENCHMARK(BM_findSuspectedFlaws)
    ->Args({880, 640})
    ->Args({2560, 2048})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The same work phase by phase; each counter is milliseconds per call.
void BM_findSuspectedFlawsPhases(benchmark::State& state) {
    SearchInput in(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const int W = in.reference.width(), w = in.camera.width();
    std::vector<std::int32_t> records(6 * 1000);
    double t[5] = {};
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        GuardedImage ignore = in.ignore, camera = in.camera, mask = in.mask;
        SearchState s;
        s.reference = ConstGrayView{in.reference.data(), W, W, W};
        s.ignore = GrayView{ignore.data(), W, W, W};
        s.camera = GrayView{camera.data(), w, w, w};
        s.cameraMask = GrayView{mask.data(), w, w, w};
        s.settings.grow = 3;
        s.settings.threshold = 0.8f;
        s.settings.margin = 10;
        s.settings.exclusionRadius = 4;
        s.settings.border = 50;
        s.settings.spacing = 10;
        s.settings.emptySpacing = 50;
        auto c0 = Clock::now();
        prepareSearch(s);
        auto c2 = Clock::now();
        coarseAlignment(s);
        auto c3 = Clock::now();
        fineAlignment(s);
        auto c4 = Clock::now();
        localAlignment(s, [&](CellBands&) { prepareScanMaps(s); });
        auto c5 = Clock::now();
        benchmark::DoNotOptimize(scanForFlaws(s, records.data(), static_cast<int>(records.size())));
        auto c6 = Clock::now();
        const Clock::time_point marks[6] = {c0, c2, c3, c4, c5, c6};
        for (int i = 0; i < 5; ++i)
            t[i] += std::chrono::duration<double, std::milli>(marks[i + 1] - marks[i]).count();
    }
    const char* names[5] = {"prepare_ms", "coarse_ms", "fine_ms", "cells_ms", "scan_ms"};
    for (int i = 0; i < 5; ++i)
        state.counters[names[i]] = t[i] / static_cast<double>(state.iterations());
}
BENCHMARK(BM_findSuspectedFlawsPhases)->Args({880, 640})->Args({2560, 2048})->Unit(benchmark::kMillisecond);

}  // namespace
