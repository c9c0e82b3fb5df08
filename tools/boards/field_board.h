// Field-like synthetic boards: a 640 x 640 camera window of a dense
// fine-line board, as a production camera sees one, with a handful of the
// six photo-set defect kinds planted on its lines. The window is a grid of
// 4 x 4 tiles of 160 pixels; every tile is packed with parallel lines
// (horizontal or vertical), each 4 to 8 pixels wide and 4 to 8 from the
// next, drawn afresh, each ending at a place of its own; some tiles hold a
// row of pads or a small copper area between their lines. Labels and
// camera rendering follow the defect board (conductors 170, pads 160;
// copper 255 in the camera). Copper areas are drawn as label 255: a
// plain-copper area of label 100 among dense lines throws the search's
// placement off by a line pitch or more (an exact copy of such a window
// scores below 0.9), which is not what these boards are for.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "boards/random_board.h"

namespace pcbinspect::testing {

namespace field_detail {

// One tile's bundle of lines across v, each line [v0, v1] along the whole
// tile in u.
struct Bundle {
    std::vector<std::array<int, 2>> lines;
};

// Packs lines across the band [-band, band) of the tile, each of a width drawn
// from [w0, w1] and followed by a gap drawn from [g0, g1] (so that no two
// tiles, nor two places of one tile, look alike), leaving the band
// [skip0, skip1] clear with a gap on either side (none when skip0 > skip1).
template <class Draw>
Bundle pack(Draw& uniform, int band, int w0, int w1, int g0, int g1, int skip0 = 1,
            int skip1 = 0) {
    Bundle b;
    for (int v = -band;;) {
        const int w = uniform(w0, w1), g = uniform(g0, g1);
        if (v + w - 1 > band - 1) break;
        const int v1 = v + w - 1;
        if (skip0 <= skip1 && v1 >= skip0 - g && v <= skip1 + g) {
            v = std::max(v + w + g, skip1 + g + 1);
            continue;
        }
        b.lines.push_back({v, v1});
        v += w + g;
    }
    return b;
}

}  // namespace field_detail

// A field-like board: 640 x 640, 5 to 7 defects of the photo-set kinds in
// distinct tiles, every size and place drawn from a generator seeded with
// `seed`. No holes.
inline DefectBoard buildFieldBoard(std::uint32_t seed) {
    using random_detail::CellFrame;
    using field_detail::Bundle;
    using field_detail::pack;
    constexpr int kTiles = 4, kTile = 160;
    DefectBoard b;
    b.width = b.height = kTiles * kTile;
    const int W = b.width, H = b.height;
    b.reference.assign(static_cast<std::size_t>(W) * H, 0);
    std::vector<std::uint8_t> render(b.reference.size(), 0);
    const Canvas ref(b.reference.data(), W, W, H);
    const Canvas cam(render.data(), W, W, H);
    std::mt19937 rng(seed * 747796405u + 2891336453u);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };

    // Which tiles carry a defect, and of which kind.
    const int count = uniform(5, 7);
    std::vector<int> tiles(kTiles * kTiles);
    for (int i = 0; i < kTiles * kTiles; ++i) tiles[static_cast<std::size_t>(i)] = i;
    std::shuffle(tiles.begin(), tiles.end(), rng);
    std::vector<int> kindOf(kTiles * kTiles, -1);
    const int kinds = static_cast<int>(std::size(kPhotoSetKinds));
    const int first = uniform(0, kinds - 1);
    for (int i = 0; i < count; ++i)
        kindOf[static_cast<std::size_t>(tiles[static_cast<std::size_t>(i)])] = (first + i) % kinds;

    struct Change {
        DefectKind kind;
        CellFrame frame;
        int u0, u1, v0, v1, r;
    };
    std::vector<Change> changes;
    // Every line of a bundle ends somewhere of its own near the tile's
    // edges, and one in three is broken in the middle, so that the lines'
    // ends pin down where a window lies; lines `keep` and `keep + 1` run the
    // whole tile unbroken (a defect is planted on them).
    auto lines = [&](const CellFrame& f, const Bundle& bundle, int keep = -2) {
        for (int i = 0; i < static_cast<int>(bundle.lines.size()); ++i) {
            const auto& l = bundle.lines[static_cast<std::size_t>(i)];
            if (i == keep || i == keep + 1) {
                f.rect(ref, -80, l[0], 79, l[1], 170);
                continue;
            }
            const int u0 = uniform(-80, -40), u1 = uniform(40, 79);
            if (uniform(0, 2) == 0) {
                const int b0 = uniform(-25, 10), b1 = b0 + uniform(8, 16);
                f.rect(ref, u0, l[0], b0 - 1, l[1], 170);
                f.rect(ref, b1 + 1, l[0], u1, l[1], 170);
            } else {
                f.rect(ref, u0, l[0], u1, l[1], 170);
            }
        }
    };
    for (int tile = 0; tile < kTiles * kTiles; ++tile) {
        const CellFrame f{(tile % kTiles) * kTile + kTile / 2, (tile / kTiles) * kTile + kTile / 2,
                          uniform(0, 1) == 1};
        const int k = kindOf[static_cast<std::size_t>(tile)];
        if (k < 0) {
            // A clean tile: a bundle, sometimes split by a row of pads or a
            // copper area.
            const int layout = uniform(0, 3);
            if (layout == 0) {
                lines(f, pack(uniform, 76, 4, 8, 4, 8, -14, 13));
                const int pitch = uniform(14, 20), pw = pitch - uniform(5, 7);
                for (int u = -76; u + pw - 1 <= 75; u += pitch) f.rect(ref, u, -12, u + pw - 1, 11, 160);
            } else if (layout == 1) {
                const int half = uniform(16, 24);
                lines(f, pack(uniform, 76, 4, 8, 4, 8, -half, half - 1));
                f.rect(ref, -half, -half, half - 1, half - 1, 255);
            } else {
                lines(f, pack(uniform, uniform(40, 76), 4, 8, 4, 8));
            }
            continue;
        }
        const RandomKind rk = kPhotoSetKinds[static_cast<std::size_t>(k)];
        Change ch{rk.kind, f, 0, 0, 0, 0, 0};
        double du = 0.0, dv = 0.0, extent = 0.0;
        if (rk.kind == DefectKind::PinHole) {  // a void inside a copper area
            const int half = uniform(18, 26);
            lines(f, pack(uniform, 76, 4, 8, 4, 8, -half, half - 1));
            f.rect(ref, -half, -half, half - 1, half - 1, 255);
            ch.r = uniform(2, 4);
            const int room = half - ch.r - 6;
            du = ch.u0 = uniform(-room, room);
            dv = ch.v0 = uniform(-room, room);
            extent = ch.r;
        } else if (rk.kind == DefectKind::SpuriousCopper) {  // a speck in a clear channel
            lines(f, pack(uniform, 76, 4, 8, 4, 8, -12, 11));
            ch.r = uniform(2, 4);
            du = ch.u0 = uniform(-40, 40);
            dv = ch.v0 = uniform(-3, 3);
            extent = ch.r;
        } else {
            // Bite and spur need a line wide enough to bite into and a gap
            // wide enough to grow into without touching the neighbour.
            const bool bite = rk.kind == DefectKind::MouseBite, spur = rk.kind == DefectKind::Spur;
            const Bundle bundle = pack(uniform, 76, bite ? 6 : 4, 8, spur ? 6 : 4, 8);
            const int n = static_cast<int>(bundle.lines.size());
            const int i = uniform(1, n - 3);
            lines(f, bundle, i);
            const auto& line = bundle.lines[static_cast<std::size_t>(i)];
            const auto& next = bundle.lines[static_cast<std::size_t>(i + 1)];
            const int u0 = uniform(-50, 40);
            switch (rk.kind) {
                case DefectKind::OpenLine: {
                    const int len = uniform(3, 8);
                    ch.u0 = u0, ch.u1 = u0 + len - 1, ch.v0 = line[0], ch.v1 = line[1];
                    break;
                }
                case DefectKind::ShortBetweenLines: {
                    const int len = uniform(3, 8);
                    ch.u0 = u0, ch.u1 = u0 + len - 1, ch.v0 = line[1] + 1, ch.v1 = next[0] - 1;
                    break;
                }
                case DefectKind::MouseBite: {
                    const int lw = line[1] - line[0] + 1;
                    const int len = uniform(4, 8), depth = uniform(lw / 3, lw / 2);
                    const bool upper = uniform(0, 1) == 1;
                    ch.u0 = u0, ch.u1 = u0 + len - 1;
                    ch.v0 = upper ? line[0] : line[1] - depth + 1;
                    ch.v1 = upper ? line[0] + depth - 1 : line[1];
                    break;
                }
                default: {  // spur, toward the next line, stopping two pixels short
                    const int lg = next[0] - line[1] - 1;
                    const int len = uniform(3, 6), depth = uniform(3, lg - 2);
                    ch.u0 = u0, ch.u1 = u0 + len - 1, ch.v0 = line[1] + 1, ch.v1 = line[1] + depth;
                    break;
                }
            }
            du = (ch.u0 + ch.u1) / 2.0, dv = (ch.v0 + ch.v1) / 2.0;
            extent = std::hypot((ch.u1 - ch.u0 + 1) / 2.0, (ch.v1 - ch.v0 + 1) / 2.0);
        }
        b.defects.push_back(PlantedDefect{rk.kind, rk.family, f.x(du, dv), f.y(du, dv),
                                          f.x(du, dv), f.y(du, dv),
                                          static_cast<int>(std::ceil(extent))});
        changes.push_back(ch);
    }

    for (std::size_t i = 0; i < render.size(); ++i)
        render[i] = board_detail::isCopperLabel(b.reference[i]) ? 255 : 0;
    for (const Change& ch : changes) {
        const CellFrame& f = ch.frame;
        switch (ch.kind) {
            case DefectKind::PinHole: f.disc(cam, ch.u0, ch.v0, ch.r, 0); break;
            case DefectKind::SpuriousCopper: f.disc(cam, ch.u0, ch.v0, ch.r, 255); break;
            case DefectKind::OpenLine:
            case DefectKind::MouseBite: f.rect(cam, ch.u0, ch.v0, ch.u1, ch.v1, 0); break;
            default: f.rect(cam, ch.u0, ch.v0, ch.u1, ch.v1, 255); break;
        }
    }
    b.camera = std::move(render);
    b.holeOrigin = {0, 0};
    setInspectionSettings(b);
    return b;
}

}  // namespace pcbinspect::testing
