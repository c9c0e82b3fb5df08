// Sub-image extraction and vertical skew on the CPU: a 1024 x 1024 window
// from an 8192 x 8192 source, and the skew of a 4096 x 4096 colour image.
// Items are destination pixels.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "pcbinspect/exports.h"

namespace {

constexpr int kSource = 8192;
constexpr int kWindow = 1024;

const std::vector<std::uint8_t>& source() {
    static const std::vector<std::uint8_t> pixels = [] {
        std::vector<std::uint8_t> p(static_cast<std::size_t>(kSource) * kSource);
        std::mt19937 rng(1);
        for (auto& v : p) v = static_cast<std::uint8_t>(rng());
        return p;
    }();
    return pixels;
}

// state.range(0): angle in thousandths of a degree; state.range(1): 1 for a
// centre off whole pixels (bilinear), 0 for one whose window corner is whole
// (the unrotated window is then a copy).
void BM_getSubGray(benchmark::State& state) {
    const auto& src = source();
    const float angle = static_cast<float>(state.range(0)) / 1000.0f;
    const float cx = state.range(1) ? 4100.3f : 4100.5f, cy = state.range(1) ? 3900.6f : 3900.5f;
    std::vector<std::uint8_t> dst(static_cast<std::size_t>(kWindow) * kWindow);
    for (auto _ : state) {
        getSubGray(src.data(), kSource, kSource, kSource, dst.data(), kWindow, kWindow, kWindow,
                   cx, cy, angle, false);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kWindow) * kWindow);
}
// Unrotated copy, unrotated bilinear shift, rotated by 17.5 degrees.
BENCHMARK(BM_getSubGray)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({17500, 1})
    ->Unit(benchmark::kMillisecond);

void BM_getSubGrayNearest(benchmark::State& state) {
    const auto& src = source();
    const float angle = static_cast<float>(state.range(0)) / 1000.0f;
    std::vector<std::uint8_t> dst(static_cast<std::size_t>(kWindow) * kWindow);
    for (auto _ : state) {
        getSubGrayNearest(src.data(), kSource, kSource, kSource, dst.data(), kWindow, kWindow,
                          kWindow, 4100.3f, 3900.6f, angle);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kWindow) * kWindow);
}
BENCHMARK(BM_getSubGrayNearest)->Arg(0)->Arg(17500)->Unit(benchmark::kMillisecond);

void BM_skewDIB(benchmark::State& state) {
    const int side = 4096;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(side) * side * 3);
    std::mt19937 rng(2);
    for (auto& v : image) v = static_cast<std::uint8_t>(rng());
    const int skew = static_cast<int>(state.range(0));
    for (auto _ : state) {
        skewDIB(image.data(), side, side * 3, side, skew, false);
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(side) * side);
}
BENCHMARK(BM_skewDIB)->Arg(37)->Arg(-37)->Unit(benchmark::kMillisecond);

}  // namespace
