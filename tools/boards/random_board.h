// Random synthetic boards with many defects: one feature and one defect per
// 160 x 160 cell, the defect kinds dealt evenly over the cells in a random
// order, every size, place and orientation drawn from a seeded generator.
// The labels and the camera rendering follow the defect board (copper 255,
// hole interiors and background 0).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "boards/defect_board.h"

namespace pcbinspect::testing {

// Every kind a random board deals, with the family whose codes find it.
struct RandomKind {
    DefectKind kind;
    FlawFamily family;
};
inline constexpr RandomKind kRandomKinds[] = {
    {DefectKind::OpenLine, FlawFamily::Open},
    {DefectKind::ShortBetweenLines, FlawFamily::Short},
    {DefectKind::MouseBite, FlawFamily::Missing},
    {DefectKind::Spur, FlawFamily::Excess},
    {DefectKind::SpuriousCopper, FlawFamily::Excess},
    {DefectKind::MissingCopper, FlawFamily::Missing},
    {DefectKind::PinHole, FlawFamily::Void},
    {DefectKind::NarrowedLine, FlawFamily::Width},
    {DefectKind::WidenedLine, FlawFamily::Width},
    {DefectKind::ReducedSpacing, FlawFamily::Spacing},
    {DefectKind::PadTooLarge, FlawFamily::Pad},
    {DefectKind::PadTooSmall, FlawFamily::Pad},
    {DefectKind::HolePlugged, FlawFamily::Hole},
    {DefectKind::HoleTooLarge, FlawFamily::Hole},
};

// The six kinds that annotated photo sets of bare boards mark, in the order
// of the evaluation types 1 to 6 of the tool's default preset.
inline constexpr RandomKind kPhotoSetKinds[] = {
    {DefectKind::OpenLine, FlawFamily::Open},
    {DefectKind::ShortBetweenLines, FlawFamily::Short},
    {DefectKind::MouseBite, FlawFamily::Missing},
    {DefectKind::Spur, FlawFamily::Excess},
    {DefectKind::SpuriousCopper, FlawFamily::Excess},
    {DefectKind::PinHole, FlawFamily::Void},
};

namespace random_detail {

// Draws in the frame of one cell: u runs along the cell's feature, v across
// it, both from the cell centre; a vertical cell swaps the two axes.
struct CellFrame {
    int cx, cy;
    bool vertical;
    void rect(const Canvas& c, int u0, int v0, int u1, int v1, std::uint8_t value) const {
        if (vertical)
            c.rect(cx + v0, cy + u0, cx + v1, cy + u1, value);
        else
            c.rect(cx + u0, cy + v0, cx + u1, cy + v1, value);
    }
    void disc(const Canvas& c, double u, double v, double r, std::uint8_t value) const {
        if (vertical)
            c.disc(cx + v, cy + u, r, value);
        else
            c.disc(cx + u, cy + v, r, value);
    }
    int x(double u, double v) const { return static_cast<int>(std::lround(vertical ? cx + v : cx + u)); }
    int y(double u, double v) const { return static_cast<int>(std::lround(vertical ? cy + u : cy + v)); }
};

// A conductor along u over the whole cell, rows v0..v1 across.
inline void line(const Canvas& c, const CellFrame& f, int v0, int v1) {
    f.rect(c, -75, v0, 74, v1, 170);
}

}  // namespace random_detail

// A board of columns x rows cells; the reference as drawn, the camera with
// the defects, a hole list (a checked and a measured record per drilled
// hole) and the settings of setInspectionSettings.
inline DefectBoard buildRandomBoard(std::uint32_t seed, int columns = 8, int rows = 5,
                                    std::span<const RandomKind> dealt = kRandomKinds) {
    using random_detail::CellFrame;
    using random_detail::line;
    DefectBoard b;
    b.width = columns * DefectBoard::kCell;
    b.height = rows * DefectBoard::kCell;
    const int W = b.width, H = b.height;
    b.reference.assign(static_cast<std::size_t>(W) * H, 0);
    std::vector<std::uint8_t> render(b.reference.size(), 0);
    const Canvas ref(b.reference.data(), W, W, H);
    const Canvas cam(render.data(), W, W, H);
    std::mt19937 rng(seed);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    auto real = [&](double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); };

    // The kinds dealt evenly, in a random order.
    const int cells = columns * rows;
    const int kinds = static_cast<int>(dealt.size());
    std::vector<int> deal(static_cast<std::size_t>(cells));
    for (int i = 0; i < cells; ++i) deal[static_cast<std::size_t>(i)] = (i + static_cast<int>(seed)) % kinds;
    std::shuffle(deal.begin(), deal.end(), rng);

    // Each cell draws its feature into the reference, then (after the camera
    // has been rendered from the whole reference) its defect into the camera.
    struct Change {
        std::size_t defect;
        CellFrame frame;
        int a, b2, c, d, e;  // kind-specific sizes
    };
    std::vector<Change> changes;
    for (int cell = 0; cell < cells; ++cell) {
        const RandomKind rk = dealt[static_cast<std::size_t>(deal[static_cast<std::size_t>(cell)])];
        const CellFrame f{(cell % columns) * DefectBoard::kCell + DefectBoard::kCell / 2,
                          (cell / columns) * DefectBoard::kCell + DefectBoard::kCell / 2,
                          uniform(0, 1) == 1};
        Change ch{b.defects.size(), f, 0, 0, 0, 0, 0};
        double du = 0.0, dv = 0.0, extent = 0.0;  // defect centre and reach, cell frame
        switch (rk.kind) {
            case DefectKind::OpenLine: {  // a break across a line
                const int w = uniform(6, 14), len = uniform(4, 10), u0 = uniform(-25, 25);
                line(ref, f, -w / 2, w - w / 2 - 1);
                ch.a = u0, ch.b2 = u0 + len - 1, ch.c = -w / 2, ch.d = w - w / 2 - 1;
                du = u0 + (len - 1) / 2.0, extent = std::hypot(len / 2.0, w / 2.0);
                break;
            }
            case DefectKind::ShortBetweenLines: {  // copper bridging two lines
                const int w = uniform(6, 10), gap = uniform(8, 16), bw = uniform(4, 10),
                          u0 = uniform(-25, 25);
                line(ref, f, -gap / 2 - w, -gap / 2 - 1);
                line(ref, f, gap - gap / 2, gap - gap / 2 + w - 1);
                ch.a = u0, ch.b2 = u0 + bw - 1, ch.c = -gap / 2, ch.d = gap - gap / 2 - 1;
                du = u0 + (bw - 1) / 2.0, extent = std::hypot(bw / 2.0, gap / 2.0);
                break;
            }
            case DefectKind::MouseBite:    // copper bitten out of a line's edge
            case DefectKind::Spur: {       // copper sticking out of a line's edge
                const bool bite = rk.kind == DefectKind::MouseBite;
                const int w = bite ? uniform(10, 16) : uniform(6, 12);
                const int depth = bite ? uniform(w / 3, w / 2) : uniform(5, 10);
                const int len = bite ? uniform(5, 10) : uniform(3, 6), u0 = uniform(-25, 25);
                const int top = -w / 2, bottom = w - w / 2 - 1;
                line(ref, f, top, bottom);
                const bool upper = uniform(0, 1) == 1;
                ch.a = u0, ch.b2 = u0 + len - 1;
                if (bite) {
                    ch.c = upper ? top : bottom - depth + 1, ch.d = upper ? top + depth - 1 : bottom;
                } else {
                    ch.c = upper ? top - depth : bottom + 1, ch.d = upper ? top - 1 : bottom + depth;
                }
                du = u0 + (len - 1) / 2.0, dv = (ch.c + ch.d) / 2.0;
                extent = std::hypot(len / 2.0, depth / 2.0);
                break;
            }
            case DefectKind::SpuriousCopper: {  // a speck of copper beside a line
                const int w = uniform(6, 12), r = uniform(3, 6);
                line(ref, f, -25 - w, -26);
                ch.a = uniform(-25, 25), ch.b2 = uniform(0, 20), ch.c = r;
                du = ch.a, dv = ch.b2, extent = r;
                break;
            }
            case DefectKind::MissingCopper:  // a bite out of a copper area's edge
            case DefectKind::PinHole: {      // a hole inside a copper area
                const int half = uniform(25, 35);
                f.rect(ref, -half, -half, half - 1, half - 1, 100);
                if (rk.kind == DefectKind::MissingCopper) {
                    const int s = uniform(8, 16), u0 = uniform(-half + 5, half - 5 - s);
                    ch.a = u0, ch.b2 = u0 + s - 1, ch.c = -half, ch.d = -half + s - 1;
                    du = u0 + (s - 1) / 2.0, dv = -half + (s - 1) / 2.0, extent = s * 0.71;
                } else {
                    const int r = uniform(2, 5), room = half - r - 6;
                    ch.a = uniform(-room, room), ch.b2 = uniform(-room, room), ch.c = r;
                    du = ch.a, dv = ch.b2, extent = r;
                }
                break;
            }
            case DefectKind::NarrowedLine:  // a stretch of line eaten from both sides
            case DefectKind::WidenedLine: { // a stretch of line grown on both sides
                const bool narrow = rk.kind == DefectKind::NarrowedLine;
                const int w = narrow ? uniform(10, 16) : uniform(6, 10);
                const int changed = narrow ? static_cast<int>(std::lround(w * real(0.4, 0.6)))
                                           : static_cast<int>(std::lround(w * real(1.6, 2.0)));
                const int len = uniform(30, 50), u0 = uniform(-20, 20) - len / 2;
                line(ref, f, -w / 2, w - w / 2 - 1);
                ch.a = u0, ch.b2 = u0 + len - 1, ch.c = -changed / 2, ch.d = changed - changed / 2 - 1;
                ch.e = w;
                du = u0 + (len - 1) / 2.0, extent = std::hypot(len / 2.0, std::max(w, changed) / 2.0);
                break;
            }
            case DefectKind::ReducedSpacing: {  // one line bulging toward its neighbour
                const int w = uniform(6, 10), gap = uniform(18, 26);
                const int bulge = static_cast<int>(std::lround(gap * real(0.4, 0.6)));
                const int len = uniform(25, 40), u0 = uniform(-15, 15) - len / 2;
                line(ref, f, -gap / 2 - w, -gap / 2 - 1);
                line(ref, f, gap - gap / 2, gap - gap / 2 + w - 1);
                ch.a = u0, ch.b2 = u0 + len - 1, ch.c = -gap / 2, ch.d = -gap / 2 + bulge - 1;
                du = u0 + (len - 1) / 2.0, dv = -gap / 2 + bulge / 2.0;
                extent = std::hypot(len / 2.0, bulge / 2.0);
                break;
            }
            case DefectKind::PadTooLarge:
            case DefectKind::PadTooSmall:
            case DefectKind::HolePlugged:
            case DefectKind::HoleTooLarge:
            default: {  // a drilled class-3 pad
                const int r = uniform(16, 24), h = uniform(5, 8);
                const int ox = uniform(-10, 10), oy = uniform(-10, 10);
                const CellFrame at{f.cx + ox, f.cy + oy, false};
                ref.disc(at.cx, at.cy, r, 180);
                ref.disc(at.cx, at.cy, h, 154);
                ch.frame = at;
                ch.a = r, ch.b2 = h;
                if (rk.kind == DefectKind::PadTooLarge) ch.c = r + uniform(5, 8);
                if (rk.kind == DefectKind::PadTooSmall) ch.c = r - uniform(5, 7);
                if (rk.kind == DefectKind::HoleTooLarge) ch.c = h + uniform(3, 5);
                extent = rk.kind == DefectKind::PadTooLarge ? ch.c
                         : rk.kind == DefectKind::PadTooSmall ? r
                         : rk.kind == DefectKind::HoleTooLarge ? ch.c
                                                               : h;
                b.holes.push_back(HoleRecord{1, at.cx, at.cy, h});
                b.holes.push_back(HoleRecord{12, at.cx, at.cy, h});
                break;
            }
        }
        const CellFrame& fr = ch.frame;
        b.defects.push_back(PlantedDefect{rk.kind, rk.family, fr.x(du, dv), fr.y(du, dv),
                                          fr.x(du, dv), fr.y(du, dv),
                                          static_cast<int>(std::ceil(extent))});
        changes.push_back(ch);
    }

    // The camera: the copper of the reference, then the defects.
    for (std::size_t i = 0; i < render.size(); ++i)
        render[i] = board_detail::isCopperLabel(b.reference[i]) ? 255 : 0;
    for (const Change& ch : changes) {
        const CellFrame& f = ch.frame;
        switch (b.defects[ch.defect].kind) {
            case DefectKind::OpenLine:
            case DefectKind::MouseBite:
            case DefectKind::MissingCopper:
                f.rect(cam, ch.a, ch.c, ch.b2, ch.d, 0);
                break;
            case DefectKind::ShortBetweenLines:
            case DefectKind::Spur:
            case DefectKind::ReducedSpacing:
                f.rect(cam, ch.a, ch.c, ch.b2, ch.d, 255);
                break;
            case DefectKind::SpuriousCopper: f.disc(cam, ch.a, ch.b2, ch.c, 255); break;
            case DefectKind::PinHole: f.disc(cam, ch.a, ch.b2, ch.c, 0); break;
            case DefectKind::NarrowedLine:
                f.rect(cam, ch.a, -ch.e / 2, ch.b2, ch.e - ch.e / 2 - 1, 0);
                f.rect(cam, ch.a, ch.c, ch.b2, ch.d, 255);
                break;
            case DefectKind::WidenedLine: f.rect(cam, ch.a, ch.c, ch.b2, ch.d, 255); break;
            case DefectKind::PadTooLarge:
            case DefectKind::PadTooSmall:
                f.disc(cam, 0, 0, ch.a, 0);
                f.disc(cam, 0, 0, ch.c, 255);
                f.disc(cam, 0, 0, ch.b2, 0);
                break;
            case DefectKind::HolePlugged: f.disc(cam, 0, 0, ch.b2, 255); break;
            case DefectKind::HoleTooLarge: f.disc(cam, 0, 0, ch.c, 0); break;
            default: break;
        }
    }
    b.camera = std::move(render);
    b.holeOrigin = {0, 0};
    setInspectionSettings(b);
    return b;
}

}  // namespace pcbinspect::testing
