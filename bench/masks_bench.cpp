// getMaskGray on a 4096 x 4096 image with 200 polygons, and ZeroOutboundGray
// on a 4096 x 4096 window cut by a turned rectangle.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "pcbinspect/exports.h"

namespace {

constexpr int kSide = 4096;

// Hexagons of radius 20 to 200 pixels scattered over the board frame (whose
// origin the mask maps to the image centre); the first 100 erase, the rest
// paint.
struct Polygons {
    std::vector<std::int32_t> points;
    std::vector<std::int32_t> counts;
};

Polygons hexagons(int n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> centre(-kSide / 2 + 200, kSide / 2 - 200), size(20, 200);
    Polygons p;
    for (int i = 0; i < n; ++i) {
        const int cx = centre(rng), cy = centre(rng), r = size(rng);
        for (int k = 0; k < 6; ++k) {
            const double a = k * 3.141592653589793 / 3.0;
            p.points.push_back(cx + static_cast<int>(r * std::cos(a)));
            p.points.push_back(cy + static_cast<int>(r * std::sin(a)));
        }
        p.counts.push_back(6);
    }
    return p;
}

void BM_getMaskGray(benchmark::State& state) {
    const Polygons erase = hexagons(100, 1), paint = hexagons(100, 2);
    std::vector<std::uint8_t> source(static_cast<std::size_t>(kSide) * kSide);
    std::mt19937 rng(3);
    for (auto& v : source) v = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> image(source.size());
    for (auto _ : state) {
        state.PauseTiming();
        image = source;
        state.ResumeTiming();
        getMaskGray(nullptr, nullptr, erase.points.data(), erase.counts.data(), 100,
                    paint.points.data(), paint.counts.data(), 100, image.data(), kSide, kSide,
                    kSide, 12.0f, -30.0f, 7.5f);
        benchmark::DoNotOptimize(image.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSide) * kSide);
    state.SetLabel("pixels");
}
BENCHMARK(BM_getMaskGray)->Unit(benchmark::kMillisecond);

void BM_ZeroOutboundGray(benchmark::State& state) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(kSide) * kSide, 200);
    for (auto _ : state) {
        ZeroOutboundGray(image.data(), kSide, kSide, kSide, kSide, kSide, 4000, 3000, 20.0f, 0, 0,
                         kSide, kSide);
        benchmark::DoNotOptimize(image.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSide) * kSide);
    state.SetLabel("pixels");
}
BENCHMARK(BM_ZeroOutboundGray)->Unit(benchmark::kMillisecond);

}  // namespace
