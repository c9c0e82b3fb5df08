// Working-mask measures on 240 x 240 windows, as the re-check stages run
// them many times per candidate.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "imaging/match_score.h"
#include "imaging/morphology.h"
#include "imaging/thickness_map.h"
#include "boards/images.h"

namespace {

using pcbinspect::testing::Canvas;
using pcbinspect::testing::Square;

constexpr int kSide = 240;

// A conductor window: a 24-pixel line with a branch and a round pad.
Square conductorWindow() {
    Square s(kSide);
    const Canvas c(s);
    c.rect(0, 108, 239, 131, 255);
    c.rect(150, 0, 165, 120, 255);
    c.disc(60, 60, 30, 255);
    return s;
}

void BM_ThicknessMap(benchmark::State& state) {
    const Square source = conductorWindow();
    Square work(kSide);
    for (auto _ : state) {
        work.pixels = source.pixels;
        pcbinspect::ThicknessMap(pcbinspect::GrayView{work.data(), kSide, kSide, kSide});
        benchmark::DoNotOptimize(work.data());
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_ThicknessMap)->Unit(benchmark::kMicrosecond);

void BM_MatchScore(benchmark::State& state) {
    Square image = conductorWindow();
    Square templ = conductorWindow();
    pcbinspect::MatchOptions o;
    o.step = static_cast<int>(state.range(0));
    o.differenceMode = state.range(1) != 0;
    o.outsideIsNeutral = true;
    const pcbinspect::ConstGrayView iv{image.data(), kSide, kSide, kSide};
    const pcbinspect::ConstGrayView tv{templ.data(), kSide, kSide, kSide};
    float cx = 120.0f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(pcbinspect::MatchScore(iv, tv, cx, 121.0f, o));
        cx = cx == 120.0f ? 119.0f : 120.0f;
    }
    state.SetItemsProcessed(state.iterations() * (kSide / o.step) * (kSide / o.step));
}
BENCHMARK(BM_MatchScore)->Args({3, 0})->Args({3, 1})->Args({5, 0})->Args({5, 1})
    ->Unit(benchmark::kMicrosecond);

void BM_DilateSteps(benchmark::State& state) {
    const Square source = conductorWindow();
    Square work(kSide);
    pcbinspect::MorphologyScratch scratch;
    for (auto _ : state) {
        work.pixels = source.pixels;
        benchmark::DoNotOptimize(pcbinspect::DilateSteps(
            scratch, pcbinspect::GrayView{work.data(), kSide, kSide, kSide}, 10, 255));
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_DilateSteps)->Unit(benchmark::kMicrosecond);

void BM_ErodeSteps(benchmark::State& state) {
    const Square source = conductorWindow();
    Square work(kSide);
    pcbinspect::MorphologyScratch scratch;
    for (auto _ : state) {
        work.pixels = source.pixels;
        benchmark::DoNotOptimize(pcbinspect::ErodeSteps(
            scratch, pcbinspect::GrayView{work.data(), kSide, kSide, kSide}, 10));
    }
    state.SetItemsProcessed(state.iterations() * kSide * kSide);
}
BENCHMARK(BM_ErodeSteps)->Unit(benchmark::kMicrosecond);

}  // namespace

#include "inspect/recheck_stages.h"

namespace {

// The line-width stage on a straight 20-pixel line and on a corner, with a
// camera line 6 pixels wider (the climbs run until the widths match).
void BM_LineWidthStage(benchmark::State& state) {
    Square a(kSide), b(kSide), tile(120);
    const bool corner = state.range(0) != 0;
    const Canvas ca(a), cb(b);
    if (corner) {
        ca.rect(0, 110, 129, 129, 255);
        ca.rect(110, 110, 129, 239, 255);
        cb.rect(0, 107, 132, 132, 255);
        cb.rect(107, 107, 132, 239, 255);
    } else {
        ca.rect(0, 110, 239, 129, 255);
        cb.rect(0, 107, 239, 132, 255);
    }
    std::vector<float> params(35, 0.5f);
    const pcbinspect::InspectParams p = pcbinspect::InspectParams::load(params.data(), 35);
    std::vector<std::uint8_t> scratch(pcbinspect::kLineWidthScratch);
    pcbinspect::MorphologyScratch morph;
    Square wa(kSide), wb(kSide), pa(kSide), pb(kSide);
    for (auto _ : state) {
        wa.pixels = a.pixels;
        wb.pixels = b.pixels;
        pa.pixels = a.pixels;
        pb.pixels = b.pixels;
        pcbinspect::LineWidthInputs in{scratch.data(), &morph, tile.data(), pa.data(), pb.data(),
                                       wa.data(), wb.data(), &p, 0, 0, nullptr, 0, 0.1f, 0, 0};
        benchmark::DoNotOptimize(pcbinspect::LineWidthStage(in).code);
    }
    state.SetLabel(corner ? "corner" : "straight");
}
BENCHMARK(BM_LineWidthStage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
