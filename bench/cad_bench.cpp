// The two corrections of the CAD reference on an 8192 x 8192 synthetic
// reference of pads, lines and wide networks of label 170.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "pcbinspect/exports.h"
#include "support/reference_builder.h"

namespace {

constexpr int kSide = 8192;

const std::vector<std::uint8_t>& reference() {
    static const std::vector<std::uint8_t> ref = pcbinspect::testing::syntheticReference(kSide);
    return ref;
}

template <void (*Correct)(std::uint8_t*, std::int32_t, std::int32_t, std::int32_t)>
void BM_Correction(benchmark::State& state) {
    std::vector<std::uint8_t> work(reference().size());
    for (auto _ : state) {
        state.PauseTiming();
        work = reference();
        state.ResumeTiming();
        Correct(work.data(), kSide, kSide, kSide);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kSide) * kSide);
}

void BM_correctInvalidLines(benchmark::State& state) { BM_Correction<correctInvalidLines>(state); }
void BM_correctCAD(benchmark::State& state) { BM_Correction<correctCAD>(state); }
BENCHMARK(BM_correctInvalidLines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_correctCAD)->Unit(benchmark::kMillisecond);

}  // namespace
