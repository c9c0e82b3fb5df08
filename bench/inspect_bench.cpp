// The export inspect on the synthetic defect board: candidates per second,
// for the candidates that lie on planted defects and for those on intact
// features, each list in one call. The reference is restored from a copy
// before every call (inspect corrects it in place); that copy is outside
// the timing.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "pcbinspect/exports.h"
#include "boards/defect_board.h"

namespace {

using pcbinspect::testing::DefectBoard;

void runInspect(benchmark::State& state, const DefectBoard& b,
                const std::vector<FlawCandidate>& list) {
    std::vector<std::uint8_t> ref = b.reference;
    std::vector<FlawCandidate> cands = list;
    std::vector<std::int32_t> flaws(7 * 256);
    std::int64_t records = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ref = b.reference;
        cands = list;
        state.ResumeTiming();
        const int n = inspect(ref.data(), nullptr, b.width, b.width, b.height, b.camera.data(),
                              b.width, b.width, b.height, b.camShiftX, b.camShiftY,
                              b.params.data(), static_cast<int>(b.params.size()), cands.data(),
                              static_cast<int>(cands.size()), 0, 0, flaws.data(),
                              static_cast<int>(flaws.size()), nullptr, false,
                              reinterpret_cast<const float*>(b.tolerances.data()),
                              static_cast<int>(b.tolerances.size()), b.holeOrigin.data(),
                              b.holes.data(), static_cast<int>(b.holes.size()), 0,
                              reinterpret_cast<const std::int32_t*>(&b.control));
        records += n;
        benchmark::DoNotOptimize(flaws.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(list.size()));
    state.counters["records_per_call"] =
        state.iterations() > 0 ? static_cast<double>(records) / state.iterations() : 0.0;
    state.SetLabel("candidates");
}

// The candidates on the twelve planted defects.
void BM_inspect_defectCandidates(benchmark::State& state) {
    static const DefectBoard b = pcbinspect::testing::buildDefectBoard();
    runInspect(state, b, b.defectCandidates());
}
BENCHMARK(BM_inspect_defectCandidates)->Unit(benchmark::kMillisecond);

// The candidates on intact features of the same board.
void BM_inspect_cleanCandidates(benchmark::State& state) {
    static const DefectBoard b = pcbinspect::testing::buildDefectBoard();
    runInspect(state, b, b.cleanCandidates());
}
BENCHMARK(BM_inspect_cleanCandidates)->Unit(benchmark::kMillisecond);

// No candidate: the fixed cost of a call, the reference corrections.
void BM_inspect_noCandidate(benchmark::State& state) {
    static const DefectBoard b = pcbinspect::testing::buildDefectBoard();
    runInspect(state, b, {});
}
BENCHMARK(BM_inspect_noCandidate)->Unit(benchmark::kMillisecond);

}  // namespace
