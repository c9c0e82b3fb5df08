// findCircles on a 1024 x 768 image with 20 bright discs of radius 10 to 40.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "pcbinspect/exports.h"
#include "support/shape_images.h"

namespace {

constexpr int kWidth = 1024, kHeight = 768;

std::vector<std::uint8_t> board() {
    std::vector<std::uint8_t> img(static_cast<std::size_t>(kWidth) * kHeight, 30);
    // Discs on a 5 x 4 grid of 200 x 190 cells, jittered, radius 10..40.
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> jitter(-40, 40), radius(10, 40);
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 5; ++i)
            pcbinspect::testing::drawDisc(img.data(), kWidth, kWidth, kHeight,
                                          110 + 200 * i + jitter(rng), 95 + 190 * j + jitter(rng),
                                          radius(rng), 200);
    return img;
}

void BM_findCircles(benchmark::State& state) {
    const auto img = board();
    std::vector<CircleRecord> out(101);
    int found = 0;
    for (auto _ : state) {
        found = findCircles(img.data(), kWidth, kWidth, kHeight, 40, 10, 100, out.data(), 100);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kWidth) * kHeight);
    state.SetLabel("pixels, " + std::to_string(found) + " circles");
}
BENCHMARK(BM_findCircles)->Unit(benchmark::kMillisecond);

void BM_test(benchmark::State& state) {
    const auto img = board();
    for (auto _ : state) test(img.data(), kWidth, kWidth, kHeight);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kWidth) * kHeight);
    state.SetLabel("pixels");
}
BENCHMARK(BM_test)->Unit(benchmark::kMillisecond);

}  // namespace
