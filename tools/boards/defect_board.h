// A synthetic board for end-to-end inspection: a CAD label reference, the
// camera image rendered from it with defects of known kind and place, the
// candidate points a suspected-flaw search would hand on, a hole list, and a
// parameter vector, control block and width-tolerance table that suit it.
//
// The board is a grid of 160 x 160 cells, one feature per cell, so that the
// 120 x 120 window around a cell's candidate sees that cell's feature only.
// The first twelve cells each carry one planted defect; the others hold clean
// features of every label the inspection reads (lines, pads of the three pad
// classes, drilled holes, drawing lines, a mark and a wide line network).
//
// Labels and how the camera shows them:
//   100        plain copper (region class 0)               -> copper
//   170        conductors (lines) of region class 2       -> copper
//   160, 180   pads of region classes 1 and 3             -> copper
//   154        drilled hole interiors inside pads         -> open (0)
//   150, 151   drawing lines (outlines, the reference
//              line that the line checks look for); they
//              are not conductors                          -> open (0)
//   255        a mark; also what the wide 170 network is
//              repainted to by the reference correction   -> copper
// Copper is 255 in the camera image, everything else 0. Conductors are drawn
// as 170 because that is the label the line-width stage reads as a line (its
// tile copper is any label but 0 and 170); 150 and 151 are binarised as
// background by the inspection, so drawing them as copper in the camera would
// be a difference on a clean board.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pcbinspect/exports.h"
#include "boards/images.h"

namespace pcbinspect::testing {

// What was planted.
enum class DefectKind {
    OpenLine,
    ShortBetweenLines,
    MissingCopper,
    ExtraCopper,
    PinHole,
    NarrowedLine,
    WidenedLine,
    ReducedSpacing,
    PadTooLarge,
    PadTooSmall,
    HolePlugged,
    HoleTooLarge,
    MouseBite,
    Spur,
    SpuriousCopper,
};

// The flaw codes that count as finding a defect of a kind.
enum class FlawFamily { Open, Short, Missing, Excess, Void, Width, Spacing, Pad, Hole };

inline const char* defectName(DefectKind k) {
    switch (k) {
        case DefectKind::OpenLine: return "open line";
        case DefectKind::ShortBetweenLines: return "short between lines";
        case DefectKind::MissingCopper: return "missing copper";
        case DefectKind::ExtraCopper: return "extra copper";
        case DefectKind::PinHole: return "pin-hole";
        case DefectKind::NarrowedLine: return "narrowed line";
        case DefectKind::WidenedLine: return "widened line";
        case DefectKind::ReducedSpacing: return "reduced spacing";
        case DefectKind::PadTooLarge: return "pad too large";
        case DefectKind::PadTooSmall: return "pad too small";
        case DefectKind::HolePlugged: return "hole plugged";
        case DefectKind::HoleTooLarge: return "hole too large";
        case DefectKind::MouseBite: return "mousebite";
        case DefectKind::Spur: return "spur";
        case DefectKind::SpuriousCopper: return "spurious copper";
    }
    return "?";
}

// Codes of each family, as the driver, the patch classification and the
// re-check stages report them. Code 1 is an interruption (the edge region of
// the patch classification that persists when the margins grow, or a camera
// window left empty); 29 measures camera copper with no reference copper
// under it.
inline std::vector<int> familyCodes(FlawFamily f) {
    switch (f) {
        case FlawFamily::Open: return {1, 5};
        case FlawFamily::Short: return {2};
        case FlawFamily::Missing: return {9, 18, 24, 180, 200, 201};
        case FlawFamily::Excess: return {8, 19, 25, 29, 190, 210, 211};
        case FlawFamily::Void: return {4, 26};  // enclosed void in copper
        case FlawFamily::Width: return {3, 27, 28, 220, 221};
        case FlawFamily::Spacing: return {23};
        case FlawFamily::Pad: return {6, 7, 8, 9};
        case FlawFamily::Hole: return {10, 11, 12, 14, 15, 16, 17, 1401, 1402, 1403, 1404};
    }
    return {};
}

inline bool codeInFamily(int code, FlawFamily f) {
    const std::vector<int> codes = familyCodes(f);
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

struct PlantedDefect {
    DefectKind kind;
    FlawFamily family;
    int refX, refY;  // centre of the changed area, in the reference
    int camX, camY;  // the same place in the camera image
    int extent;      // distance from the centre to the farthest changed pixel
};

struct BoardOptions {
    bool defects = true;  // false: the clean variant, same reference
    // Camera x = reference x - camShiftX (the sense of inspect's camShift).
    int camShiftX = 0, camShiftY = 0;
    // Origin of the reference in hole-list coordinates.
    int holeOriginX = 1000, holeOriginY = 2000;
};

struct DefectBoard {
    static constexpr int kCell = 160;
    static constexpr int kColumns = 8, kRows = 5;
    static constexpr int kWidth = kCell * kColumns;  // 1280
    static constexpr int kHeight = kCell * kRows;    // 800

    int width = kWidth, height = kHeight;  // both images, stride = width
    std::vector<std::uint8_t> reference;   // CAD labels, as drawn (uncorrected)
    std::vector<std::uint8_t> camera;      // 0 / 255
    int camShiftX = 0, camShiftY = 0;

    std::vector<PlantedDefect> defects;    // empty on the clean variant
    // Candidate points: one per planted defect (in the order of `defects`,
    // on the changed area or its edge, where a search for differences puts it),
    // then the clean points. On the clean variant the same list is built, so
    // the defect points then lie on intact features.
    std::vector<FlawCandidate> candidates;
    int defectCandidateCount = 0;

    std::array<std::int32_t, 2> holeOrigin{};
    std::vector<HoleRecord> holes;

    std::vector<float> params;  // all 35 entries
    InspectControl control{};
    std::vector<WidthTolerance> tolerances;

    std::vector<FlawCandidate> defectCandidates() const {
        return {candidates.begin(), candidates.begin() + defectCandidateCount};
    }
    std::vector<FlawCandidate> cleanCandidates() const {
        return {candidates.begin() + defectCandidateCount, candidates.end()};
    }
};

namespace board_detail {

// Centre of cell (column, row).
inline int cellX(int column) { return column * DefectBoard::kCell + DefectBoard::kCell / 2; }
inline int cellY(int row) { return row * DefectBoard::kCell + DefectBoard::kCell / 2; }

// Horizontal conductor of label 170 across a cell: rows y0..y1, long enough
// that it crosses every 120 x 120 window centred in the cell.
inline void hLine(const Canvas& c, int cx, int y0, int y1, std::uint8_t v = 170) {
    c.rect(cx - 75, y0, cx + 74, y1, v);
}

// A round pad of label `pad` and radius r with a drilled hole of radius h.
inline void drilledPad(const Canvas& c, int cx, int cy, double r, double h, std::uint8_t pad) {
    c.disc(cx, cy, r, pad);
    c.disc(cx, cy, h, 154);
}

// Copper where the label is a copper label; drawing lines, the excluded
// label and hole interiors stay open.
inline bool isCopperLabel(std::uint8_t v) {
    return v != 0 && v != 150 && v != 151 && v != 152 && v != 154;
}

}  // namespace board_detail

// The parameter vector, control block and width tolerances that suit the
// synthetic boards. Lengths in pixels, ratios as fractions.
inline void setInspectionSettings(DefectBoard& b) {
    b.params.assign(35, 0.0f);
    float* p = b.params.data();
    p[0] = 0.30f;   // excess copper on a line: excess / (2 x local width) limit (code 210)
    p[1] = 0.30f;   // missing copper on a line: same ratio (code 200)
    p[2] = 3.0f;    // excess on a line in pixels (code 211); score of the frame case
    p[3] = 3.0f;    // missing on a line in pixels (code 201); score of code 201 from the driver
    p[4] = 0.5f;    // void across a line, as a share of the line width (code 3)
    p[5] = 0.25f;   // widening limit, relative (code 220) when no tolerance record applies
    p[6] = 0.25f;   // narrowing limit, relative (code 221) likewise
    p[7] = 0.25f;   // spacing reduction limit, relative (code 23) likewise
    p[8] = 3.0f;    // edge-region (break) measure on class-2 lines (code 5)
    p[10] = 3.0f;   // class-3 pad: outward deviation / excess (code 8)
    p[11] = 3.0f;   // class-3 pad: inward deviation / missing (code 9)
    p[12] = 3.0f;   // class-3 pad: radius difference in pixels (code 7)
    p[13] = 0.15f;  // class-3 pad: relative radius difference (code 6)
    p[14] = 3.0f;   // class-0 copper: excess (code 19)
    p[15] = 3.0f;   // class-0 copper: missing (code 18)
    p[16] = 3.0f;   // enclosed void size (code 4)
    p[17] = 3.0f;   // class-3 pad: hole centre offset (code 10)
    p[18] = 36.0f;  // class-3 pad: missing hole arc, 7.2 per ray (code 11)
    p[19] = 3.0f;   // ring type 2: excess / missing (codes 14, 15)
    p[20] = 3.0f;
    p[21] = 3.0f;   // ring type 1: excess / missing (codes 16, 17)
    p[22] = 3.0f;
    p[23] = 3.0f;   // gap and edge-region measure outside class 2 (code 29)
    p[24] = 3.0f;   // class-1 pad: excess (code 25)
    p[25] = 3.0f;   // class-1 pad: missing (code 24)
    p[26] = 3.0f;   // class-1 pad: void size (code 26)
    p[27] = 3.0f;   // class-1 pad: width change in pixels (code 28)
    p[28] = 0.25f;  // class-1 pad: relative width change (code 27)
    p[29] = 0.30f;  // hole-size check: relative enlargement (code 1401)
    p[30] = 0.30f;  // relative shrink (code 1402)
    p[31] = 2.0f;   // absolute enlargement in pixels (code 1403)
    p[32] = 2.0f;   // absolute shrink in pixels (code 1404)
    p[33] = 3.0f;   // class 4 (a lone pad of class 0): excess (code 190)
    p[34] = 3.0f;   // class 4: missing (code 180)

    // Tolerance t = 10 %; the pad-area test is off (limit 0, so class 0
    // stays class 0); lines at most 3 pixels wide are narrowed whenever the
    // camera shows them at most 2 pixels wide.
    b.control = InspectControl{10, 0, 0, 3, 2};

    // Width tolerances by nominal width: thin lines get more room.
    //           key   exc1   miss1  exc2  miss2  diff  widen narrow spacing
    b.tolerances = {
        WidthTolerance{10.0f, 0.35f, 0.35f, 3.0f, 3.0f, 0.5f, 0.30f, 0.30f, 0.30f},
        WidthTolerance{20.0f, 0.30f, 0.30f, 3.0f, 3.0f, 0.5f, 0.25f, 0.25f, 0.25f},
        WidthTolerance{99.0f, 0.25f, 0.25f, 4.0f, 4.0f, 0.5f, 0.20f, 0.20f, 0.20f},
    };
}

// Builds the board. Deterministic: no randomness at all.
inline DefectBoard buildDefectBoard(const BoardOptions& opt = {}) {
    using namespace board_detail;
    DefectBoard b;
    b.camShiftX = opt.camShiftX;
    b.camShiftY = opt.camShiftY;
    const int W = b.width, H = b.height;
    b.reference.assign(static_cast<std::size_t>(W) * H, 0);
    std::vector<std::uint8_t> render(static_cast<std::size_t>(W) * H, 0);
    const Canvas ref(b.reference.data(), W, W, H);
    const Canvas cam(render.data(), W, W, H);

    // Each feature is drawn in the reference; the camera image starts as the
    // rendering of the whole reference and the defects are then painted into
    // it (copper 255, open 0).
    // Where each defect's candidate lies, and the centre and extent of the
    // area its camera change covers.
    struct Planned {
        DefectKind kind;
        FlawFamily family;
        int x, y;                 // candidate
        int centreX, centreY, extent;
    };
    std::vector<Planned> planned;
    std::vector<std::array<int, 2>> cleanPoints;
    std::vector<std::array<int, 2>> defectPoints;

    // ---- Reference: defect cells (row 0 and the first half of row 1). ----
    int x = cellX(0), y = cellY(0);
    hLine(ref, x, y - 4, y + 3);  // open line: 8 wide
    planned.push_back({DefectKind::OpenLine, FlawFamily::Open, x, y, x, y, 5});

    x = cellX(1);  // short: two 8-wide lines, 13 apart
    hLine(ref, x, y - 14, y - 7);
    hLine(ref, x, y + 7, y + 14);
    planned.push_back({DefectKind::ShortBetweenLines, FlawFamily::Short, x, y, x, y, 8});

    x = cellX(2);  // missing copper: a 60 x 60 copper area, bite out of its top edge
    ref.rect(x - 30, y - 30, x + 29, y + 29, 100);
    planned.push_back({DefectKind::MissingCopper, FlawFamily::Missing, x, y - 23, x, y - 23, 11});

    x = cellX(3);  // extra copper: a tab beyond the right edge of a copper area
    ref.rect(x - 30, y - 30, x + 29, y + 29, 100);
    planned.push_back({DefectKind::ExtraCopper, FlawFamily::Excess, x + 37, y, x + 37, y, 11});

    x = cellX(4);  // pin-hole in the middle of a copper area
    ref.rect(x - 30, y - 30, x + 29, y + 29, 100);
    planned.push_back({DefectKind::PinHole, FlawFamily::Void, x, y, x, y, 4});

    x = cellX(5);  // narrowed line: 12 wide, 6 wide over 40 pixels
    hLine(ref, x, y - 6, y + 5);
    planned.push_back({DefectKind::NarrowedLine, FlawFamily::Width, x, y, x, y, 21});

    x = cellX(6);  // widened line: 8 wide, 16 wide over 40 pixels
    hLine(ref, x, y - 4, y + 3);
    planned.push_back({DefectKind::WidenedLine, FlawFamily::Width, x, y, x, y, 21});

    x = cellX(7);  // reduced spacing: two 8-wide lines 20 apart, the upper one bulging down
    hLine(ref, x, y - 17, y - 10);
    hLine(ref, x, y + 10, y + 17);
    planned.push_back({DefectKind::ReducedSpacing, FlawFamily::Spacing, x, y - 5, x, y - 5, 16});

    y = cellY(1);
    x = cellX(0);  // pad too large: round class-3 pad of radius 20, drilled 6
    drilledPad(ref, x, y, 20, 6, 180);
    planned.push_back({DefectKind::PadTooLarge, FlawFamily::Pad, x + 23, y, x, y, 26});

    x = cellX(1);  // pad too small
    drilledPad(ref, x, y, 20, 6, 180);
    planned.push_back({DefectKind::PadTooSmall, FlawFamily::Pad, x + 17, y, x, y, 20});

    x = cellX(2);  // hole plugged: the camera shows the pad without its hole
    drilledPad(ref, x, y, 20, 6, 180);
    planned.push_back({DefectKind::HolePlugged, FlawFamily::Hole, x, y, x, y, 6});

    x = cellX(3);  // hole too large: drilled 10 instead of 6
    drilledPad(ref, x, y, 20, 6, 180);
    planned.push_back({DefectKind::HoleTooLarge, FlawFamily::Hole, x, y, x, y, 10});

    // ---- Reference: clean cells. ----
    x = cellX(4);  // clean drilled class-3 pad
    drilledPad(ref, x, y, 20, 6, 180);
    cleanPoints.push_back({x + 20, y});
    x = cellX(5);  // clean square class-1 pad with a hole
    ref.rect(x - 22, y - 22, x + 21, y + 21, 160);
    ref.disc(x, y, 6, 154);
    cleanPoints.push_back({x + 21, y});
    x = cellX(6);  // clean line
    hLine(ref, x, y - 4, y + 3);
    cleanPoints.push_back({x, y + 3});
    x = cellX(7);  // clean pair of lines
    hLine(ref, x, y - 14, y - 7);
    hLine(ref, x, y + 7, y + 14);
    cleanPoints.push_back({x, y});

    y = cellY(2);
    x = cellX(0);  // clean copper area: a point on its edge
    ref.rect(x - 30, y - 30, x + 29, y + 29, 100);
    cleanPoints.push_back({x + 29, y});
    x = cellX(1);  // a vertical line
    ref.rect(x - 4, y - 75, x + 3, y + 74, 170);
    cleanPoints.push_back({x, y});
    x = cellX(2);  // drawing lines of 150 and 151 beside a line of copper
    ref.rect(x - 75, y - 20, x + 74, y - 19, 150);
    hLine(ref, x, y - 4, y + 3);
    ref.rect(x - 75, y + 20, x + 74, y + 21, 151);
    cleanPoints.push_back({x, y});
    x = cellX(3);  // a mark beside a line
    ref.rect(x - 10, y - 30, x + 9, y - 21, 255);
    hLine(ref, x, y - 4, y + 3);
    cleanPoints.push_back({x, y - 4});
    x = cellX(4);  // a line with a right-angle bend at the cell centre
    ref.rect(x - 75, y - 4, x + 3, y + 3, 170);
    ref.rect(x - 4, y - 4, x + 3, y + 74, 170);
    cleanPoints.push_back({x, y});
    x = cellX(5);  // a class-1 pad joined by a line (the line is absorbed into the pad box)
    ref.rect(x - 20, y - 20, x + 19, y + 19, 160);
    ref.rect(x + 20, y - 3, x + 74, y + 2, 170);
    cleanPoints.push_back({x + 40, y});
    x = cellX(6);  // a class-3 pad reached by a line
    drilledPad(ref, x, y, 18, 5, 180);
    ref.rect(x + 18, y - 3, x + 74, y + 2, 170);
    cleanPoints.push_back({x, y + 18});
    x = cellX(7);  // a diagonal line, 8 wide
    for (int k = -70; k <= 70; ++k) ref.rect(x + k - 4, y + k - 4, x + k + 3, y + k + 3, 170);
    cleanPoints.push_back({x, y});

    // A wide network of 170 (a cross of 20-wide arms, ends 260 apart) over
    // cells 0..1 of rows 3..4: the reference correction repaints it as a mark.
    {
        const int nx = DefectBoard::kCell, ny = 4 * DefectBoard::kCell;
        ref.rect(nx - 130, ny - 10, nx + 129, ny + 9, 170);
        ref.rect(nx - 10, ny - 130, nx + 9, ny + 129, 170);
        cleanPoints.push_back({nx + 9, ny - 60});
        cleanPoints.push_back({nx - 60, ny + 9});
    }
    // Rows 3 and 4, columns 2..7: lines and pads in a row, a copper area with
    // a line leaving it.
    y = cellY(3);
    x = cellX(2);
    hLine(ref, x, y - 2, y + 2);  // a 5-wide line
    cleanPoints.push_back({x, y});
    x = cellX(3);
    hLine(ref, x, y - 8, y + 7);  // a 16-wide line
    cleanPoints.push_back({x, y - 8});
    x = cellX(4);
    drilledPad(ref, x, y, 25, 8, 180);
    cleanPoints.push_back({x - 25, y});
    x = cellX(5);
    ref.rect(x - 30, y - 30, x + 9, y + 29, 100);
    ref.rect(x + 10, y - 4, x + 74, y + 3, 170);
    cleanPoints.push_back({x + 9, y + 20});
    y = cellY(4);
    for (int column = 2; column < 8; ++column) {  // clean twins of the defect lines
        x = cellX(column);
        if (column % 2 == 0) {
            hLine(ref, x, y - 6, y + 5);
            cleanPoints.push_back({x, y - 6});
        } else {
            hLine(ref, x, y - 17, y - 10);
            hLine(ref, x, y + 10, y + 17);
            cleanPoints.push_back({x, y - 10});
        }
    }

    // ---- The camera rendering. ----
    for (std::size_t i = 0; i < render.size(); ++i)
        render[i] = isCopperLabel(b.reference[i]) ? 255 : 0;

    if (opt.defects) {
        y = cellY(0);
        x = cellX(0);
        cam.rect(x - 3, y - 4, x + 3, y + 3, 0);  // a 7-pixel break
        x = cellX(1);
        cam.rect(x - 4, y - 6, x + 4, y + 6, 255);  // a 9-wide bridge
        x = cellX(2);
        cam.rect(x - 8, y - 30, x + 7, y - 15, 0);  // a 16 x 16 bite
        x = cellX(3);
        cam.rect(x + 30, y - 8, x + 45, y + 7, 255);  // a 16 x 16 tab
        x = cellX(4);
        cam.rect(x - 3, y - 3, x + 2, y + 2, 0);  // a 6 x 6 hole
        x = cellX(5);
        cam.rect(x - 20, y - 6, x + 19, y - 4, 0);  // 12 -> 6 wide
        cam.rect(x - 20, y + 3, x + 19, y + 5, 0);
        x = cellX(6);
        cam.rect(x - 20, y - 8, x + 19, y + 7, 255);  // 8 -> 16 wide
        x = cellX(7);
        cam.rect(x - 15, y - 9, x + 14, y - 1, 255);  // gap 20 -> 11 over 30 pixels
        y = cellY(1);
        x = cellX(0);
        cam.disc(x, y, 26, 255);  // radius 20 -> 26
        cam.disc(x, y, 6, 0);
        x = cellX(1);
        cam.disc(x, y, 20, 0);  // radius 20 -> 14
        cam.disc(x, y, 14, 255);
        cam.disc(x, y, 6, 0);
        x = cellX(2);
        cam.disc(x, y, 6, 255);  // plugged
        x = cellX(3);
        cam.disc(x, y, 10, 0);  // radius 6 -> 10
    }

    // The camera sees the board displaced: camera (x, y) = rendering
    // (x + shiftX, y + shiftY); what lies outside the rendering is open.
    b.camera.assign(render.size(), 0);
    for (int cy = 0; cy < H; ++cy)
        for (int cx = 0; cx < W; ++cx) {
            const int sx = cx + opt.camShiftX, sy = cy + opt.camShiftY;
            if (sx >= 0 && sx < W && sy >= 0 && sy < H)
                b.camera[static_cast<std::size_t>(cy) * W + cx] =
                    render[static_cast<std::size_t>(sy) * W + sx];
        }

    // ---- Candidates: the defect places, then the clean points. ----
    auto candidateAt = [&](int rx, int ry) {
        return FlawCandidate{static_cast<float>(rx), static_cast<float>(ry),
                             static_cast<float>(rx - opt.camShiftX),
                             static_cast<float>(ry - opt.camShiftY), 0.0f};
    };
    for (const Planned& p : planned) {
        if (opt.defects)
            b.defects.push_back(PlantedDefect{p.kind, p.family, p.centreX, p.centreY,
                                              p.centreX - opt.camShiftX,
                                              p.centreY - opt.camShiftY, p.extent});
        b.candidates.push_back(candidateAt(p.x, p.y));
    }
    b.defectCandidateCount = static_cast<int>(b.candidates.size());
    for (const auto& p : cleanPoints) b.candidates.push_back(candidateAt(p[0], p[1]));

    // ---- Hole list, in hole-list coordinates. ----
    // Kind 1 holes are checked for being open by the hole pass; the kind-12
    // hole of the enlarged-hole cell is the one whose size is measured.
    b.holeOrigin = {opt.holeOriginX, opt.holeOriginY};
    auto hole = [&](int kind, int rx, int ry, int r) {
        b.holes.push_back(HoleRecord{kind, rx + opt.holeOriginX, ry + opt.holeOriginY, r});
    };
    for (int column = 0; column <= 4; ++column)
        if (column != 3) hole(1, cellX(column), cellY(1), 6);
    hole(12, cellX(3), cellY(1), 6);
    hole(1, cellX(5), cellY(1), 6);
    hole(1, cellX(6), cellY(2), 5);
    hole(1, cellX(4), cellY(3), 8);

    setInspectionSettings(b);
    return b;
}

// The result of one inspect call on a board.
struct BoardInspection {
    int count = 0;
    std::vector<FlawRecord> records;
    std::vector<std::uint8_t> correctedReference;
};

// Runs inspect on a copy of the board's reference (inspect corrects it in
// place) with the given candidates.
inline BoardInspection inspectBoard(const DefectBoard& b, std::vector<FlawCandidate> candidates,
                                    int suppressRadius = 0, bool checkHoles = true,
                                    int capacityRecords = 256) {
    BoardInspection out;
    out.correctedReference = b.reference;
    std::vector<std::int32_t> flaws(static_cast<std::size_t>(capacityRecords) * 7, 0);
    out.count = inspect(out.correctedReference.data(), nullptr, b.width, b.width, b.height,
                        b.camera.data(), b.width, b.width, b.height, b.camShiftX, b.camShiftY,
                        b.params.data(), static_cast<int>(b.params.size()), candidates.data(),
                        static_cast<int>(candidates.size()), suppressRadius, 0, flaws.data(),
                        capacityRecords * 7, nullptr, false,
                        reinterpret_cast<const float*>(b.tolerances.data()),
                        static_cast<int>(b.tolerances.size()), b.holeOrigin.data(),
                        b.holes.data(), static_cast<int>(b.holes.size()), checkHoles ? 1 : 0,
                        reinterpret_cast<const std::int32_t*>(&b.control));
    for (int i = 0; i < out.count && i < capacityRecords; ++i) {
        FlawRecord r;
        std::memcpy(&r, flaws.data() + 7 * i, sizeof r);
        out.records.push_back(r);
    }
    return out;
}

}  // namespace pcbinspect::testing
