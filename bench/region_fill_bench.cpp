// Region fill on 4096 x 4096 images: one region covering the image, and
// thousands of small regions filled one after another.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "imaging/region_fill.h"

namespace {

constexpr int kSide = 4096;

void BM_RegionFill_OneRegion(benchmark::State& state) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(kSide) * kSide, 0);
    // The tile fill's caller-sized stack: one (x, y) pair per pixel.
    std::vector<std::int16_t> stack(static_cast<std::size_t>(kSide) * kSide * 2);
    std::uint8_t value = 1;
    int box[4];
    for (auto _ : state) {
        benchmark::DoNotOptimize(pcbinspect::RegionFill(stack.data(), image.data(), kSide, kSide,
                                                        kSide, kSide / 2, kSide / 2, value, box));
        value = value == 1 ? 0 : 1;  // alternate so every pass repaints the image
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kSide) * kSide);
}
BENCHMARK(BM_RegionFill_OneRegion)->Unit(benchmark::kMillisecond);

void BM_RegionFillLarge_OneRegion(benchmark::State& state) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(kSide) * kSide, 0);
    std::uint8_t value = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pcbinspect::RegionFillLarge(image.data(), kSide, kSide, kSide,
                                                             kSide / 2, kSide / 2, value, nullptr));
        value = value == 1 ? 0 : 1;
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kSide) * kSide);
}
BENCHMARK(BM_RegionFillLarge_OneRegion)->Unit(benchmark::kMillisecond);

// A grid of 16 x 16 pads (12 x 12 pixels of copper, 4 pixels apart): 65536
// regions, each filled and boxed from its top-left pixel.
void BM_RegionFill_ManySmall(benchmark::State& state) {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(kSide) * kSide, 0);
    std::vector<std::int16_t> stack(static_cast<std::size_t>(kSide) * kSide * 2);
    auto paint = [&](std::uint8_t v) {
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x)
                if (x % 16 < 12 && y % 16 < 12) image[static_cast<std::size_t>(y) * kSide + x] = v;
    };
    paint(255);
    std::uint8_t value = 128;
    int box[4];
    for (auto _ : state) {
        for (int y = 0; y < kSide; y += 16)
            for (int x = 0; x < kSide; x += 16)
                benchmark::DoNotOptimize(pcbinspect::RegionFill(stack.data(), image.data(), kSide,
                                                                kSide, kSide, x, y, value, box));
        value = value == 128 ? 255 : 128;
    }
    state.SetItemsProcessed(state.iterations() * (kSide / 16) * (kSide / 16));
    state.SetLabel("regions");
}
BENCHMARK(BM_RegionFill_ManySmall)->Unit(benchmark::kMillisecond);

}  // namespace
