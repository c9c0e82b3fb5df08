// Prints a digest of what each export writes on the synthetic boards, one
// line per call. Builds with different flags (release, debug, sanitizers)
// must print the same lines.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "pcbinspect/exports.h"
#include "support/board_builder.h"
#include "boards/defect_board.h"
#include "boards/random_board.h"
#include "support/reference_builder.h"

namespace {

std::uint64_t digest(const void* bytes, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::uint64_t d = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; ++i) d = (d ^ p[i]) * 1099511628211ull;
    return d;
}

template <class T>
void print(const char* what, const std::vector<T>& v) {
    std::printf("%-28s %016llx\n", what,
                static_cast<unsigned long long>(digest(v.data(), v.size() * sizeof(T))));
}

}  // namespace

int main() {
    using namespace pcbinspect;
    using namespace pcbinspect::testing;

    std::vector<std::uint8_t> ref = syntheticReference(1024, 7);
    correctInvalidLines(ref.data(), 1024, 1024, 1024);
    print("correctInvalidLines", ref);
    correctCAD(ref.data(), 1024, 1024, 1024);
    print("correctCAD", ref);

    const DefectBoard board = buildDefectBoard();
    const BoardInspection result = inspectBoard(board, board.candidates);
    print("inspect defect board", result.records);
    print("inspect corrected reference", result.correctedReference);

    // A random board under a grid of candidates with suppression: the
    // records must not depend on the thread count (PCBINSPECT_THREADS).
    const DefectBoard random = buildRandomBoard(5);
    std::vector<FlawCandidate> grid;
    for (int y = 50; y < random.height - 50; y += 20)
        for (int x = 50; x < random.width - 50; x += 20)
            grid.push_back(FlawCandidate{static_cast<float>(x), static_cast<float>(y),
                                         static_cast<float>(x), static_cast<float>(y), 0.0f});
    print("inspect random board grid", inspectBoard(random, grid, 15).records);

    // More random boards under other settings, each with its own candidates
    // and a coarse grid: limits halved or doubled, the pad-area test on, no
    // width tolerances, a cell offset grid, and the line check with drawing
    // lines (label 151) beside every third candidate.
    OffsetGrid cells{};
    for (int i = 0; i < 25; ++i) cells.cells[i][0] = i % 3 - 1, cells.cells[i][1] = i % 2;
    const struct {
        int seed;
        float scale;
        InspectControl control;
        bool tolerances, offsets, lines;
    } runs[] = {
        {1, 1.0f, {10, 0, 0, 3, 2}, true, false, false},  {2, 0.5f, {0, 0, 40, 3, 2}, false, true, false},
        {3, 2.0f, {50, 0, 400, 1, 1}, true, false, true}, {4, 0.25f, {100, 0, 0, 6, 5}, true, true, true},
    };
    for (const auto& run : runs) {
        DefectBoard b = buildRandomBoard(run.seed);
        for (float& p : b.params) p *= run.scale;
        b.control = run.control;
        if (!run.tolerances) b.tolerances.clear();
        std::vector<FlawCandidate> candidates = b.candidates;
        for (int y = 37; y < b.height - 40; y += 80)
            for (int x = 41; x < b.width - 40; x += 80)
                candidates.push_back(FlawCandidate{static_cast<float>(x), static_cast<float>(y),
                                                   static_cast<float>(x), static_cast<float>(y), 0.0f});
        if (run.lines)
            for (std::size_t i = 0; i < candidates.size(); i += 3) {
                const int x = static_cast<int>(candidates[i].refX) + 6, y = static_cast<int>(candidates[i].refY) + 6;
                if (x < b.width && y < b.height) b.reference[static_cast<std::size_t>(y) * b.width + x] = 151;
            }
        std::vector<std::int32_t> flaws(7 * 400, 0);
        const int n = inspect(b.reference.data(), nullptr, b.width, b.width, b.height, b.camera.data(),
                              b.width, b.width, b.height, b.camShiftX, b.camShiftY, b.params.data(), 35,
                              candidates.data(), static_cast<int>(candidates.size()), 0, 0, flaws.data(),
                              7 * 400, run.offsets ? &cells : nullptr, run.lines,
                              reinterpret_cast<const float*>(b.tolerances.data()),
                              static_cast<int>(b.tolerances.size()), b.holeOrigin.data(), b.holes.data(),
                              static_cast<int>(b.holes.size()), 1,
                              reinterpret_cast<const std::int32_t*>(&run.control));
        flaws.resize(static_cast<std::size_t>(7 * std::min(n, 400)));
        char name[40];
        std::snprintf(name, sizeof name, "inspect random board %d", run.seed);
        print(name, flaws);
    }

    const Board search = syntheticBoard(600, 600, 11);
    std::vector<std::uint8_t> labels = search.labels, ignore(600 * 600, 0);
    GuardedImage cam(400, 400), mask(400, 400);
    renderCamera(search, 100, 100, cam);
    mask.fill(0);
    std::vector<std::int32_t> records(6 * 100, 0), out(3, 0), offsets(50, 0);
    float score = 0.0f;
    const int n = findSuspectedFlaws(labels.data(), ignore.data(), 600, 600, 600, cam.data(),
                                     mask.data(), 400, 400, 400, 3, 50, 0.85f, out.data(), &score,
                                     10, 50, 4, false, records.data(), 600, offsets.data(), false, 0);
    records.resize(static_cast<std::size_t>(6 * n));
    out[2] = n;
    print("findSuspectedFlaws records", records);
    print("findSuspectedFlaws position", out);
    print("findSuspectedFlaws offsets", offsets);

    // The search on more windows: cut at the board's edges and corners, in
    // every mode, exhaustive or not, with an exclusion radius, and with
    // flaws and lone flipped pixels in the camera, grey levels between the
    // labels in the reference and an ignored patch.
    const struct {
        std::uint32_t seed;
        int left, top, mode, radius;
        bool exhaustive, flaws;
    } cuts[] = {
        {21, 0, 0, 0, 0, false, true},   {22, 200, 200, 1, 8, true, true}, {23, 200, 0, 2, 0, false, false},
        {24, 0, 200, 2, 12, true, true}, {25, 37, 163, 1, 0, false, true},
    };
    for (const auto& cut : cuts) {
        const Board b = syntheticBoard(600, 600, cut.seed);
        GuardedImage camera(400, 400), cutMask(400, 400);
        renderCamera(b, cut.left, cut.top, camera);
        cutMask.fill(0);
        std::vector<std::uint8_t> reference = b.labels, ignored(600 * 600, 0);
        if (cut.flaws) {
            Canvas(camera).rect(100, 100, 112, 109, 0);
            Canvas(camera).rect(250, 300, 262, 305, 255);
            for (int i = 0; i < 40; ++i) camera.at(13 * i + 5, 29 * i % 400) ^= 255;
            for (std::size_t i = 0; i < reference.size(); i += 997) reference[i] = 129;
            Canvas(ignored.data(), 600, 600, 600).rect(300, 300, 340, 330, 255);
            Canvas(reference.data(), 600, 600, 600).rect(cut.left + 60, cut.top + 300, cut.left + 64, cut.top + 303, 151);
        }
        std::vector<std::int32_t> found(6 * 300 + 54, 0);
        float agreement = 0.0f;
        const int n = findSuspectedFlaws(reference.data(), ignored.data(), 600, 600, 600, camera.data(),
                                         cutMask.data(), 400, 400, 400, 3, 50, 0.85f, found.data() + 6 * 300,
                                         &agreement, 10, 50, cut.radius, cut.flaws, found.data(), 6 * 300,
                                         found.data() + 6 * 300 + 3, cut.exhaustive, cut.mode);
        found[6 * 300 + 2] = n;
        std::memcpy(&found[6 * 300 + 53], &agreement, sizeof agreement);
        char name[40];
        std::snprintf(name, sizeof name, "findSuspectedFlaws cut %d", cut.seed);
        print(name, found);
        // The caller's camera window, with the marks the search leaves in it.
        std::snprintf(name, sizeof name, "findSuspectedFlaws window %d", cut.seed);
        print(name, camera.pixels());
    }

    std::vector<std::uint8_t> sub(256 * 256, 0), nearest(256 * 256, 0);
    getSubGray(board.camera.data(), board.width, board.width, board.height, sub.data(), 256, 256,
               256, 400.25f, 300.75f, 23.5f, false);
    getSubGrayNearest(board.camera.data(), board.width, board.width, board.height, nearest.data(),
                      256, 256, 256, 400.25f, 300.75f, 23.5f);
    print("getSubGray", sub);
    print("getSubGrayNearest", nearest);

    std::vector<std::uint8_t> masked = board.camera;
    const std::int32_t pts[] = {100, 100, 900, 150, 500, 700};
    const std::int32_t counts[] = {3};
    getMaskGray(nullptr, nullptr, pts, counts, 1, nullptr, nullptr, 0, masked.data(), board.width,
                board.width, board.height, 12.5f, -7.25f, 3.0f);
    print("getMaskGray", masked);

    std::vector<CircleRecord> circles(41);
    const int c = findCircles(board.camera.data(), board.width, board.width, board.height, 40, 10,
                              60, circles.data(), 40);
    circles.resize(static_cast<std::size_t>(c));
    print("findCircles", circles);
    return 0;
}
