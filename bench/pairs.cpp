// Whole pairs as the field inspects them: 640 x 640 camera windows of dense
// fine-line boards with five to seven defects each (`synth --field`), read
// from their files and inspected end to end as `evaluate` does (decoding,
// photo front end, search, inspection, defects). Pairs per second, and per
// pair the split of the time, the spread over the pairs (median, p90,
// worst) and the suspects the search hands to the inspection.
//
// Binary pairs: a CAD label reference and a binary camera image. Shot
// pairs: a golden and a camera shot thresholded apart (--golden). Photo
// pairs: a golden photograph and a camera photograph (mild light, JPEG),
// through the photo front end (--golden). The boards are written once into
// a temporary folder; the same pairs are visited round and round.
//
// Run with PCBINSPECT_THREADS=1 for the one-thread figure.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "commands.h"
#include "demo.h"
#include "evaluate.h"
#include "pipeline.h"
#include "preset.h"

namespace {

namespace fs = std::filesystem;
using namespace pcbinspect::tool;

constexpr int kPairs = 24;

// The field-like boards of one seed, written once per process.
const fs::path& boardsFolder() {
    static const fs::path folder = [] {
        const fs::path dir = fs::temp_directory_path() /
                             ("pcbinspect-pairs-bench-" + std::to_string(::getpid()));
        std::ostringstream quiet;
        writeSyntheticBoards(kPairs, 7, PhotoLevel::Mild, dir, quiet, true);
        return dir;
    }();
    return folder;
}

struct Cleanup {
    ~Cleanup() {
        std::error_code ec;
        fs::remove_all(fs::temp_directory_path() /
                           ("pcbinspect-pairs-bench-" + std::to_string(::getpid())),
                       ec);
    }
} cleanup;

double msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

void runPairs(benchmark::State& state, const char* listName, bool golden) {
    keepWorkingMemory();
    const std::vector<EvaluationPair> pairs =
        readEvaluationList((boardsFolder() / listName).string());
    const Preset preset = defaultPreset();
    ReadOptions read;
    read.golden = golden;
    read.copperAuto = true;  // the tool's default
    double decode = 0, photo = 0, search = 0, inspection = 0, defects = 0;
    double suspects = 0, mostSuspects = 0;
    std::vector<double> pairMs;
    std::size_t next = 0;
    for (auto _ : state) {
        const EvaluationPair& pair = pairs[next++ % pairs.size()];
        const auto start = std::chrono::steady_clock::now();
        ReadTimes times;
        const InspectionInput in = readPair(pair.images, read, nullptr, preset.photo, &times);
        const InspectionResult r = runInspection(in, preset);
        pairMs.push_back(msSince(start));
        decode += times.decodeMs;
        photo += times.photoMs;
        search += r.searchMs;
        inspection += r.inspectMs;
        defects += r.defectsMs;
        suspects += r.suspects;
        mostSuspects = std::max(mostSuspects, static_cast<double>(r.suspects));
        benchmark::DoNotOptimize(r.defects.data());
    }
    const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.SetItemsProcessed(state.iterations());
    state.counters["decode_ms"] = decode / n;
    state.counters["photo_ms"] = photo / n;
    state.counters["search_ms"] = search / n;
    state.counters["inspect_ms"] = inspection / n;
    state.counters["defects_ms"] = defects / n;
    state.counters["suspects"] = suspects / n;
    state.counters["suspects_max"] = mostSuspects;
    if (!pairMs.empty()) {
        std::sort(pairMs.begin(), pairMs.end());
        auto rank = [&](double q) {
            const std::size_t k = static_cast<std::size_t>(std::ceil(q * pairMs.size()));
            return pairMs[std::min(std::max<std::size_t>(k, 1), pairMs.size()) - 1];
        };
        state.counters["pair_median_ms"] = rank(0.5);
        state.counters["pair_p90_ms"] = rank(0.9);
        state.counters["pair_max_ms"] = pairMs.back();
    }
    state.SetLabel("pairs");
}

// CAD labels against a binary camera image.
void BM_pairs_fieldBinary(benchmark::State& state) { runPairs(state, "list.txt", false); }
BENCHMARK(BM_pairs_fieldBinary)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Two shots thresholded apart (golden and camera binary, their edges a
// pixel apart here and there), as field sets of binary pairs hold them.
void BM_pairs_fieldShots(benchmark::State& state) { runPairs(state, "list-shots.txt", true); }
BENCHMARK(BM_pairs_fieldShots)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// A golden photograph against a camera photograph, through the photo front end.
void BM_pairs_fieldPhoto(benchmark::State& state) { runPairs(state, "list-golden.txt", true); }
BENCHMARK(BM_pairs_fieldPhoto)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
