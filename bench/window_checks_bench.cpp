// Box blur of working windows (240 x 240) and of whole images (4096 x 4096)
// at the radii the checks use.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "imaging/window_filters.h"
#include "inspect/window_checks.h"

namespace {

void BM_boxBlurGray(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const int radius = static_cast<int>(state.range(1));
    std::vector<std::uint8_t> image(static_cast<std::size_t>(side) * side);
    std::mt19937 rng(42);
    for (auto& v : image) v = static_cast<std::uint8_t>(rng());
    for (auto _ : state) {
        pcbinspect::boxBlurGray(image.data(), side, side, side, radius);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(side) * side);
    state.SetLabel("pixels");
}
BENCHMARK(BM_boxBlurGray)
    ->Args({240, 10})
    ->Args({240, 12})
    ->Args({4096, 10})
    ->Args({4096, 12})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
