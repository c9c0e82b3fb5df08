// Prints a digest of what each export writes on the synthetic boards, one
// line per call. Builds with different flags (release, debug, sanitizers)
// must print the same lines.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "pcbinspect/exports.h"
#include "support/board_builder.h"
#include "boards/defect_board.h"
#include "boards/field_board.h"
#include "boards/random_board.h"
#include "support/reference_builder.h"
#include "support/shape_images.h"

namespace pcbinspect::testing {
void printStageDigests();
}

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
    // A side that is no multiple of 32: the last columns of the half-size
    // maps go through the scalar tails.
    std::vector<std::uint8_t> odd = syntheticReference(1000, 9);
    correctInvalidLines(odd.data(), 1000, 1000, 1000);
    correctCAD(odd.data(), 1000, 1000, 1000);
    print("correctCAD 1000", odd);

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
    // Adds a coarse grid of candidates (and label-151 pixels beside every
    // third one when lines are checked), inspects and returns the records.
    const auto inspectRecords = [&cells](DefectBoard& b, const InspectControl& control, bool offsets,
                                         bool lines) {
        std::vector<FlawCandidate> candidates = b.candidates;
        for (int y = 37; y < b.height - 40; y += 80)
            for (int x = 41; x < b.width - 40; x += 80)
                candidates.push_back(FlawCandidate{static_cast<float>(x), static_cast<float>(y),
                                                   static_cast<float>(x), static_cast<float>(y), 0.0f});
        if (lines)
            for (std::size_t i = 0; i < candidates.size(); i += 3) {
                const int x = static_cast<int>(candidates[i].refX) + 6, y = static_cast<int>(candidates[i].refY) + 6;
                if (x < b.width && y < b.height) b.reference[static_cast<std::size_t>(y) * b.width + x] = 151;
            }
        const int capacity = std::max(400, static_cast<int>(candidates.size()));
        std::vector<std::int32_t> flaws(7 * static_cast<std::size_t>(capacity), 0);
        const int n = inspect(b.reference.data(), nullptr, b.width, b.width, b.height, b.camera.data(),
                              b.width, b.width, b.height, b.camShiftX, b.camShiftY, b.params.data(), 35,
                              candidates.data(), static_cast<int>(candidates.size()), 0, 0, flaws.data(),
                              7 * capacity, offsets ? &cells : nullptr, lines,
                              reinterpret_cast<const float*>(b.tolerances.data()),
                              static_cast<int>(b.tolerances.size()), b.holeOrigin.data(), b.holes.data(),
                              static_cast<int>(b.holes.size()), 1,
                              reinterpret_cast<const std::int32_t*>(&control));
        flaws.resize(static_cast<std::size_t>(7 * std::min(n, capacity)));
        return flaws;
    };
    char name[40];
    for (const auto& run : runs) {
        DefectBoard b = buildRandomBoard(run.seed);
        for (float& p : b.params) p *= run.scale;
        b.control = run.control;
        if (!run.tolerances) b.tolerances.clear();
        std::snprintf(name, sizeof name, "inspect random board %d", run.seed);
        print(name, inspectRecords(b, run.control, run.offsets, run.lines));
    }
    // Every limit at one value, each on a board of its own: from 0, where
    // the first check of each kind decides, to limits nothing reaches.
    // Measures come in whole and half pixels, quarters of a width and
    // multiples of 7.2 degrees, so some meet a limit exactly and the records
    // show on which side of each boundary they fall. The tolerance records,
    // where kept, hold the same limit; the control block varies with them.
    const float limits[] = {0.0f, 0.25f, 0.5f, 1.0f, 1.5f, 2.0f, 2.5f, 3.0f, 3.5f, 4.0f, 5.0f, 6.0f, 7.2f, 9.0f, 14.4f, 1e4f};
    // The board mirrored on its diagonal: rows become columns, and every
    // position, hole and shift swaps its coordinates.
    const auto mirror = [](DefectBoard& b) {
        for (std::vector<std::uint8_t>* image : {&b.reference, &b.camera}) {
            std::vector<std::uint8_t> mirrored(image->size());
            for (std::size_t y = 0; y < std::size_t(b.height); ++y)
                for (std::size_t x = 0; x < std::size_t(b.width); ++x) mirrored[x * b.height + y] = (*image)[y * b.width + x];
            image->swap(mirrored);
        }
        for (FlawCandidate& f : b.candidates) f = FlawCandidate{f.refY, f.refX, f.camY, f.camX, f.carried};
        for (HoleRecord& h : b.holes) std::swap(h.x, h.y);
        std::swap(b.holeOrigin[0], b.holeOrigin[1]), std::swap(b.camShiftX, b.camShiftY), std::swap(b.width, b.height);
    };
    // A second round of boards mixes the limits: each parameter gets its
    // own value from the list, so the checks meet their boundaries in
    // other orders, and every other board of it is mirrored.
    for (int i = 0; i < 32; ++i) {
        DefectBoard b = buildRandomBoard(40 + i, 6, 4);
        b.params.assign(35, limits[i % 16]);
        if (i >= 16)
            for (int j = 0; j < 35; ++j) b.params[j] = limits[(5 * i + 3 * j) % 16];
        // The pad-area test on every other run, its ring limit below,
        // at and above the 4 rings that clear and the 60 it stops at.
        const int padLimits[] = {3, 4, 5, 59, 60, 61, 200};
        const InspectControl control{i * 7 % 101, 0, i % 2 == 1 ? padLimits[i / 2 % 7] : 0, i % 5, i % 3};
        if (i % 3 == 2) b.tolerances.clear();
        const float l = limits[i % 16];
        for (WidthTolerance& t : b.tolerances) t = WidthTolerance{t.key, l, l, l, l, l, l, l, l};
        // One cell's copper gone from the camera, another cell flooded, and
        // candidates 47 (the nearest taken) to 61 pixels (past the window's
        // half side) from the camera's edges: on them, beside each side and
        // in the corners.
        const int gone = 160 * (i % 6), flooded = 160 * ((i + 3) % 6), W = b.width, H = b.height;
        const Canvas camera(b.camera.data(), W, W, H);
        camera.rect(gone, 0, gone + 159, 159, 0);
        camera.rect(flooded, 480, flooded + 159, 639, 255);
        for (const int a : {47, 48, 51, 54, 57, 59, 60, 61})
            for (const auto& [x, y] : {std::pair{gone + 60 + a, a}, {flooded + 60 + a, H - 1 - a}, {a, 240 + a},
                                       {W - 1 - a, 240 + a}, {a, a}, {W - 1 - a, H - 1 - a}, {560 - a, a}, {a, 600 - a}})
                b.candidates.push_back(FlawCandidate{float(x), float(y), float(x), float(y), 0.0f});
        if (i >= 16 && i % 2 == 0) mirror(b);
        if (i < 16)
            std::snprintf(name, sizeof name, "inspect limits %g", limits[i]);
        else
            std::snprintf(name, sizeof name, "inspect mixed limits %d", i);
        print(name, inspectRecords(b, control, i % 4 == 3, i % 2 == 1));
    }

    // Lines leaving the camera by its left and its top edge, widened there
    // and with a blob beside them, under candidates 5 to 61 pixels from the
    // edge: the windows' margins on the camera's edges, for every stage.
    {
        DefectBoard e;
        setInspectionSettings(e);
        e.width = 400, e.height = 300;
        e.reference.assign(400 * 300, 0);
        e.camera.assign(400 * 300, 0);
        const Canvas ref(e.reference.data(), 400, 400, 300), cam(e.camera.data(), 400, 400, 300);
        for (const Canvas* c : {&ref, &cam}) {
            c->rect(0, 94, 399, 105, c == &ref ? 170 : 255);
            c->rect(294, 0, 305, 299, c == &ref ? 170 : 255);
        }
        cam.rect(0, 91, 70, 108, 255), cam.rect(25, 82, 31, 90, 255), cam.rect(0, 150, 8, 156, 255);
        cam.rect(297, 0, 302, 40, 0), cam.rect(310, 20, 316, 26, 255), cam.rect(200, 0, 206, 6, 255);
        for (const int d : {5, 15, 30, 45, 59, 60, 61})
            for (const auto& [x, y] : {std::pair{d, 100}, {300, d}, {d, 153}, {203, d}})
                e.candidates.push_back(FlawCandidate{float(x), float(y), float(x), float(y), 0.0f});
        print("inspect camera edges", inspectRecords(e, e.control, false, false));
    }

    // Dense fine-line boards (lines and gaps of 4 to 8 pixels, pads, copper
    // areas) under a candidate every 19 pixels: most windows hold a line
    // that spans them, so the line-width, gap and edge stages meet lines of
    // every width and direction. The camera's copper edges move in or out
    // one pixel in three, as thresholded photographs do, and one tile's
    // copper is gone; limits and width bounds vary from board to board.
    for (int i = 0; i < 6; ++i) {
        DefectBoard f = buildFieldBoard(static_cast<std::uint32_t>(11 + i));
        const int W = f.width, H = f.height;
        std::vector<std::uint8_t> edged = f.camera;
        for (int y = 1; y < H - 1; ++y)
            for (int x = 1; x < W - 1; ++x) {
                const std::size_t k = static_cast<std::size_t>(y) * W + x;
                const bool edge = f.camera[k - 1] != f.camera[k + 1] || f.camera[k - W] != f.camera[k + W];
                if (edge && (x * 7 + y * 13 + i) % 3 == 0) edged[k] = static_cast<std::uint8_t>(255 - f.camera[k]);
            }
        if (i % 2 == 1) f.camera.swap(edged);
        // The camera moved by up to two pixels: the candidates' camera
        // positions follow on every other one, the alignment finds the rest.
        const int sx = i % 5 - 2, sy = i % 3 - 1;
        std::vector<std::uint8_t> moved(f.camera.size(), 0);
        for (int y = std::max(sy, 0); y < H + std::min(sy, 0); ++y)
            for (int x = std::max(sx, 0); x < W + std::min(sx, 0); ++x)
                moved[static_cast<std::size_t>(y) * W + x] = f.camera[static_cast<std::size_t>(y - sy) * W + x - sx];
        f.camera.swap(moved);
        Canvas(f.camera.data(), W, W, H).rect(160 * (i % 4), 160 * (i / 4 + 1), 160 * (i % 4) + 159, 160 * (i / 4 + 1) + 159, 0);
        for (float& p : f.params) p *= 0.5f + 0.25f * static_cast<float>(i);
        if (i >= 3) f.tolerances.clear();
        for (const PlantedDefect& d : f.defects)
            f.candidates.push_back(FlawCandidate{float(d.refX), float(d.refY), float(d.camX), float(d.camY), 0.0f});
        for (int y = 50 + i; y < H - 50; y += 19)
            for (int x = 50 + 2 * i; x < W - 50; x += 19) {
                const int k = static_cast<int>(f.candidates.size()) % 2;
                f.candidates.push_back(FlawCandidate{float(x), float(y), float(x + k * sx), float(y + k * sy), 0.0f});
            }
        // And along the camera's edges, 47 to 61 pixels in.
        for (const int a : {47, 52, 59, 60, 61})
            for (const int along : {130, 333, 517})
                for (const auto& [x, y] : {std::pair{a, along}, {W - 1 - a, along}, {along, a}, {along, H - 1 - a}})
                    f.candidates.push_back(FlawCandidate{float(x), float(y), float(x), float(y), 0.0f});
        const InspectControl control{5 * i, 0, i % 2 == 0 ? 0 : 40, 3 + i % 4, 2 + i % 4};
        std::snprintf(name, sizeof name, "inspect field board %d", i);
        print(name, inspectRecords(f, control, false, i % 3 == 2));
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
    // labels in the reference and an ignored patch. The later cuts set the
    // grow, border, spacings and threshold at, below and above their clamps.
    const struct {
        std::uint32_t seed;
        int left, top, mode, radius;
        bool exhaustive, flaws;
        int grow = 3, border = 50, spacing = 10, emptySpacing = 50;
        float threshold = 0.85f;
    } cuts[] = {
        {21, 0, 0, 0, 0, false, true},   {22, 200, 200, 1, 8, true, true}, {23, 200, 0, 2, 0, false, false},
        {24, 0, 200, 2, 12, true, true}, {25, 37, 163, 1, 0, false, true},
        {26, 100, 100, 0, 0, false, true, 0, 49, 9, 49, 0.5f}, {27, 100, 100, 1, 0, false, true, 1, 51, 11, 51, 0.95f},
        {28, 150, 50, 2, 3, false, true, 10, 50, 10, 50, 0.85f}, {29, 50, 150, 3, 0, true, true, 11, 80, 20, 120, 0.7f},
        {30, 200, 100, 1, 5, false, true, 2, 60, 12, 60, 0.99f},
    };
    for (const auto& cut : cuts) {
        const Board b = syntheticBoard(600, 600, cut.seed);
        GuardedImage camera(400, 400), cutMask(400, 400);
        renderCamera(b, cut.left, cut.top, camera);
        cutMask.fill(0);
        if (cut.seed >= 26) Canvas(cutMask).rect(0, 0, 399, 40 * (cut.seed - 25), 255);  // a masked band
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
                                         cutMask.data(), 400, 400, 400, cut.grow, cut.border, cut.threshold,
                                         found.data() + 6 * 300, &agreement, cut.spacing, cut.emptySpacing, cut.radius, cut.flaws, found.data(), 6 * 300,
                                         found.data() + 6 * 300 + 3, cut.exhaustive, cut.mode);
        found[6 * 300 + 2] = n;
        std::memcpy(&found[6 * 300 + 53], &agreement, sizeof agreement);
        std::snprintf(name, sizeof name, "findSuspectedFlaws cut %d", cut.seed);
        print(name, found);
        // The caller's camera window, with the marks the search leaves in it.
        std::snprintf(name, sizeof name, "findSuspectedFlaws window %d", cut.seed);
        print(name, camera.pixels());
    }

    // The search on dense fine-line boards: a 520 x 520 camera window cut
    // a few pixels off the centre of each, its defects and, on every other
    // board, copper edges moved one pixel in three; every mode.
    for (int i = 0; i < 4; ++i) {
        const DefectBoard f = buildFieldBoard(static_cast<std::uint32_t>(31 + i));
        std::vector<std::uint8_t> reference = f.reference, ignored(reference.size(), 0);
        GuardedImage camera(520, 520), cutMask(520, 520);
        cutMask.fill(0);
        const int left = 57 + 3 * i, top = 63 - 2 * i;
        for (int y = 0; y < 520; ++y)
            for (int x = 0; x < 520; ++x) {
                const int bx = left + x, by = top + y;
                const std::uint8_t v = f.camera[static_cast<std::size_t>(by) * f.width + bx];
                const bool edge = v != f.camera[static_cast<std::size_t>(by) * f.width + bx + 1] ||
                                  v != f.camera[static_cast<std::size_t>(by + 1) * f.width + bx];
                camera.at(x, y) = i % 2 == 1 && edge && (x * 5 + y * 11) % 3 == 0 ? static_cast<std::uint8_t>(255 - v) : v;
            }
        std::vector<std::int32_t> found(6 * 300 + 54, 0);
        float agreement = 0.0f;
        const int n = findSuspectedFlaws(reference.data(), ignored.data(), f.width, f.width, f.height, camera.data(),
                                         cutMask.data(), 520, 520, 520, 3, 50, 0.85f, found.data() + 6 * 300,
                                         &agreement, 10, 50, 2 * i, false, found.data(), 6 * 300,
                                         found.data() + 6 * 300 + 3, i % 2 == 0, i);
        found[6 * 300 + 2] = n;
        std::memcpy(&found[6 * 300 + 53], &agreement, sizeof agreement);
        std::snprintf(name, sizeof name, "findSuspectedFlaws field %d", i);
        print(name, found);
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

    // Discs, rings and arcs of radii 4 to 46 in one image, partly cut by
    // its edges, overlapping and with specks, found with radius ranges and
    // vote thresholds from low (the full accumulator) to high (the bounded
    // search), and lists cut short.
    GuardedImage shapes(360, 280);
    shapes.fill(30);
    for (int i = 0; i < 14; ++i) {
        const double r = 4 + 3 * i, x = 20 + (i * 97) % 330, y = 15 + (i * 61) % 260;
        drawDisc(shapes.data(), 360, 360, 280, x, y, r, static_cast<std::uint8_t>(120 + 9 * i));
        if (i % 3 == 0) drawDisc(shapes.data(), 360, 360, 280, x + 1, y, r - 3, 30);
        if (i % 4 == 1) Canvas(shapes).rect(static_cast<int>(x), static_cast<int>(y) - 2, static_cast<int>(x + r), static_cast<int>(y) + 2, 30);
    }
    for (int i = 0; i < 300; ++i) shapes.at(i * 37 % 360, i * 53 % 280) ^= 0x5a;
    const int finds[][4] = {{40, 10, 60, 40}, {30, 12, 25, 5}, {20, 4, 90, 40}, {60, 30, 15, 2},
                            {14, 8, 10, 40}, {48, 2, 140, 40}, {46, 40, 30, 0}, {9, 3, 8, 40}};
    for (const auto& f : finds) {
        std::vector<CircleRecord> found(static_cast<std::size_t>(f[3]) + 1);
        found.resize(static_cast<std::size_t>(
            findCircles(shapes.data(), 360, 360, 280, f[0], f[1], f[2], found.data(), f[3])));
        std::snprintf(name, sizeof name, "findCircles %d..%d over %d", f[1], f[0], f[2]);
        print(name, found);
    }
    printStageDigests();
    return 0;
}
