// Digests of what the inspection's stages make of windows cut from the
// synthetic boards: every verdict, measure and work window they hand back.
// The boards' inspections show only the code and score a candidate ends
// with; here each stage meets hundreds of window pairs (planted defects,
// clean copper, and the camera moved by a pixel so that every edge
// differs) under several limits and margins, so a change anywhere in a
// stage's arithmetic shows, not only where it turns a verdict.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "boards/defect_board.h"
#include "boards/field_board.h"
#include "boards/random_board.h"
#include "imaging/thickness_map.h"
#include "inspect/classify_patch.h"
#include "inspect/recheck_stages.h"
#include "inspect/window_checks.h"
#include "inspect/window_routines.h"

namespace pcbinspect::testing {
namespace {

// A running FNV-1a digest over everything a stage hands back.
struct Digest {
    std::uint64_t d = 1469598103934665603ull;
    void add(const void* bytes, std::size_t size) {
        const auto* p = static_cast<const std::uint8_t*>(bytes);
        for (std::size_t i = 0; i < size; ++i) d = (d ^ p[i]) * 1099511628211ull;
    }
    template <class T>
    void value(T v) { add(&v, sizeof v); }
    void window(const std::vector<std::uint8_t>& w) { add(w.data(), w.size()); }
};

constexpr int N = kWindowSide, N2 = 2 * kWindowSide;
using Window = std::vector<std::uint8_t>;

// The window pair around (x, y): reference labels, binary reference and
// camera (the camera read dx, dy pixels off), and both enlarged by pixel
// doubling.
struct Pair {
    Window labels = Window(N * N), r = Window(N * N), c = Window(N * N), r2 = Window(N2 * N2), c2 = Window(N2 * N2);
};

Pair cut(const DefectBoard& b, int x, int y, int dx, int dy) {
    Pair p;
    for (int v = 0; v < N; ++v)
        for (int u = 0; u < N; ++u) {
            const int rx = x - 60 + u, ry = y - 60 + v, cx = rx + dx, cy = ry + dy;
            const std::size_t k = static_cast<std::size_t>(v) * N + u;
            if (rx >= 0 && ry >= 0 && rx < b.width && ry < b.height) {
                const std::uint8_t l = b.reference[static_cast<std::size_t>(ry) * b.width + rx];
                p.labels[k] = l;
                p.r[k] = l == 0 || l == 150 || l == 151 || l == 154 ? 0 : 255;
            }
            if (cx >= 0 && cy >= 0 && cx < b.width && cy < b.height)
                p.c[k] = b.camera[static_cast<std::size_t>(cy) * b.width + cx] != 0 ? 255 : 0;
        }
    for (int v = 0; v < N2; ++v)
        for (int u = 0; u < N2; ++u) {
            p.r2[static_cast<std::size_t>(v) * N2 + u] = p.r[static_cast<std::size_t>(v / 2) * N + u / 2];
            p.c2[static_cast<std::size_t>(v) * N2 + u] = p.c[static_cast<std::size_t>(v / 2) * N + u / 2];
        }
    return p;
}

struct Stages {
    Digest patch, width, spacing, enclosed, edges, gap, gap240, checks;
};

void runStages(const DefectBoard& b, int i, int x, int y, const Pair& p, Stages& s) {
    // Limits from a quarter to twice the board's, margins on some windows.
    std::vector<float> scaled = b.params;
    for (float& v : scaled) v *= 0.25f * static_cast<float>(1 + i % 8);
    const InspectParams params = InspectParams::load(scaled.data(), 35);
    const float* table = i % 3 == 0 ? nullptr : reinterpret_cast<const float*>(b.tolerances.data());
    const int tableCount = table ? static_cast<int>(b.tolerances.size()) : 0;
    const int margins[] = {0, 0, 4, 12, 0, 25, 1};
    const int mx = margins[i % 7], my = margins[i % 5];
    // The region class the reference gives the point on two windows in
    // three, any class on the third.
    const ConstGrayView ref{b.reference.data(), b.width, b.width, b.height};
    const int regionClass = i % 3 == 2 ? i % 6 - 1 : std::max(std::min(regionClassAt(ref, x, y, false), 4), -1);
    CheckScratch scratch;

    {
        Window work(4 * N * N), r = p.r, c = p.c;
        const PatchVerdict v = ClassifyPatch(work.data(), r.data(), c.data(), p.r2.data(), p.c2.data(),
                                             regionClass, params, mx, my, i % 4 == 3);
        s.patch.value(v.code), s.patch.value(v.score), s.patch.value(v.hasOffset), s.patch.value(v.dx),
            s.patch.value(v.dy), s.patch.window(r), s.patch.window(c);
    }
    {
        Window scratchWidth(kLineWidthScratch), a = p.r2, bb = p.c2, pristineA = p.r2;
        const StageVerdict v = LineWidthStage(LineWidthInputs{
            scratchWidth.data(), &scratch.morphology(), p.labels.data(), pristineA.data(), p.c2.data(), a.data(),
            bb.data(), &params, 2 * mx, 2 * my, table, tableCount, 0.05f * static_cast<float>(i % 4), 2 + i % 5,
            1 + i % 4});
        s.width.value(v.code), s.width.value(v.score), s.width.value(v.hasOffset), s.width.value(v.dx),
            s.width.value(v.dy), s.width.window(a), s.width.window(bb), s.width.window(pristineA);
    }
    {
        Window r = p.r, c = p.c;
        float score = 0.0f;
        s.spacing.value(SpacingStage(r.data(), c.data(), params, &score, table, tableCount));
        s.spacing.value(score), s.spacing.window(r), s.spacing.window(c);
    }
    {
        Window d(N2 * N2), q = p.c2;
        float score = 0.0f;
        s.enclosed.value(EnclosedDifferenceCheck(d.data(), p.r2.data(), q.data(), params[4], &score, table, tableCount));
        s.enclosed.value(score), s.enclosed.window(q);
    }
    {
        // The driver's order: the nearest camera blob, its edges against the
        // reference, then the gap measurement on copies.
        Window blob = p.c, camCopy = p.c, refAfter = p.r, cb = p.c, cc = p.c;
        const NearestBlob nearest = keepNearestBlob(blob.data(), mx, my, regionClass, scratch);
        s.edges.value(nearest.code), s.edges.value(nearest.score), s.edges.value(nearest.spansWindow);
        ThicknessMap(GrayView{blob.data(), N, N, N});
        s.edges.window(blob);
        compareEdges(blob.data(), camCopy.data(), refAfter.data(), mx, my, scratch);
        s.edges.window(camCopy), s.edges.window(refAfter);
        int history[20];
        std::fill(history, history + 20, -1);
        const GapResult g = measureGap(p.r.data(), refAfter.data(), cb.data(), cc.data(), N, mx, my, history, scratch);
        s.gap.value(g.measure), s.gap.value(g.refEmpty), s.gap.value(g.noMatch), s.gap.add(history, sizeof history);
        s.gap.window(refAfter), s.gap.window(cb), s.gap.window(cc);
        Window r2 = p.r2, cb2 = p.c2, cc2 = p.c2;
        std::fill(history, history + 20, -1);
        const GapResult g2 = measureGap(p.r2.data(), r2.data(), cb2.data(), cc2.data(), N2, 2 * mx, 2 * my, history, scratch);
        s.gap240.value(g2.measure), s.gap240.value(g2.refEmpty), s.gap240.value(g2.noMatch);
        s.gap240.add(history, sizeof history), s.gap240.window(r2), s.gap240.window(cb2), s.gap240.window(cc2);
    }
    {
        int features = 0;
        s.checks.value(bridgeCount(p.c.data(), p.r.data(), scratch, &features)), s.checks.value(features);
        for (const Window* w : {&p.r, &p.c}) {
            float angle = 0.0f;
            s.checks.value(LineDirection(w->data(), 60 + i % 9 - 4, 60 - i % 7 + 3, &angle)), s.checks.value(angle);
        }
        float best = 999.0f;
        Circle circle{};
        s.checks.value(padTest(p.r.data(), p.c.data(), N, 90, 0.5f, &best, &circle, scratch));
        s.checks.value(best), s.checks.value(circle.x), s.checks.value(circle.y), s.checks.value(circle.radius);
        s.checks.value(padAreaTest(p.r.data(), 3 * (i % 8), scratch));
        Window cleaned = p.r;
        cleanReference(cleaned.data(), mx, my);
        s.checks.window(cleaned);
        s.checks.value(squareMaximum(p.c.data(), 60 + i % 11 - 5, 60));
        s.checks.value(regionClassAt(ref, x, y, i % 2 == 0)), s.checks.value(nearReferenceLine(ref, x, y, 2 + i % 12));
    }
}

void print(const char* board, const char* stage, const Digest& d) {
    std::printf("stage %-6s %-15s %016llx\n", board, stage, static_cast<unsigned long long>(d.d));
}

}  // namespace

// Field-like boards (dense lines of 4 to 8 pixels), random boards (pads,
// drilled pads, lines, copper areas with every defect kind) and the defect
// board with its candidates: windows on each planted defect and candidate
// and, on the first two, on a grid; the camera read in place or a pixel off
// in either direction.
void printStageDigests() {
    const char* names[] = {"field", "random", "defect"};
    Stages stages[3];
    // The three kinds of board on threads of their own, printed in order.
    const auto run = [&stages](int kind) {
        Stages& s = stages[kind];
        int i = 0;
        for (int seed = 0; seed < (kind == 2 ? 1 : 2); ++seed) {
            const DefectBoard b = kind == 0   ? buildFieldBoard(static_cast<std::uint32_t>(51 + seed))
                                  : kind == 1 ? buildRandomBoard(static_cast<std::uint32_t>(61 + seed), 4, 3)
                                              : buildDefectBoard();
            std::vector<std::array<int, 2>> centres;
            for (const FlawCandidate& f : b.candidates)
                centres.push_back({static_cast<int>(f.refX), static_cast<int>(f.refY)});
            for (const PlantedDefect& d : b.defects) centres.push_back({d.refX, d.refY});
            for (int y = 70; kind < 2 && y < b.height - 60; y += 47)
                for (int x = 70 + 13 * seed; x < b.width - 60; x += 59) centres.push_back({x, y});
            for (const auto& [x, y] : centres) {
                const int dx = i % 3 == 0 ? 0 : i % 5 - 2, dy = i % 3 == 0 ? 0 : i % 2 * 2 - 1;
                runStages(b, i, x, y, cut(b, x, y, dx, dy), s);
                ++i;
            }
        }
    };
    std::thread second(run, 1), third(run, 2);
    run(0);
    second.join(), third.join();
    for (int kind = 0; kind < 3; ++kind) {
        const Stages& s = stages[kind];
        const char* name = names[kind];
        print(name, "classifyPatch", s.patch), print(name, "lineWidth", s.width), print(name, "spacing", s.spacing);
        print(name, "enclosed", s.enclosed), print(name, "edges", s.edges), print(name, "gap", s.gap);
        print(name, "gap240", s.gap240), print(name, "checks", s.checks);
    }
}

}  // namespace pcbinspect::testing
