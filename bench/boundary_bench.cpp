// copyGray on a large image with padded strides.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "pcbinspect/exports.h"

namespace {

void BM_copyGray(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    const int srcStride = side + 64, dstStride = side + 32;
    std::vector<std::uint8_t> src(static_cast<std::size_t>(srcStride) * side, 7);
    std::vector<std::uint8_t> dst(static_cast<std::size_t>(dstStride) * side, 0);
    for (auto _ : state) {
        copyGray(dst.data(), side, dstStride, side, src.data(), side, srcStride, side);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(side) * side);
    state.SetLabel("pixels");
}
BENCHMARK(BM_copyGray)->Arg(1024)->Arg(8192)->Unit(benchmark::kMillisecond);

}  // namespace
