// Scores and image operations of the suspected-flaw search: the 15 x 15 patch
// tests, the similarity scores on block maps and blurred maps, the bilinear
// resize, the relabelling of contact pixels, the window inversion and the
// reduction of the camera mask.
//
// Images are views (pointer, width, stride, height). The search calls these
// on its own checked buffers; the routines trust the views they are given
// but never read outside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "boundary/image_view.h"

namespace pcbinspect {

inline constexpr int kPatchSide = 15;
inline constexpr int kPatchDiscCells = 201;

// The round 15 x 15 patch footprint: 1 inside, 0 outside, 201 cells. Rows 0
// and 14 hold columns 3..11, rows 1 and 13 columns 2..12, rows 2 and 12
// columns 1..13, rows 3..11 all 15 columns. Symmetric about both diagonals.
extern const std::uint8_t PatchDisc15[kPatchSide][kPatchSide];

// True when the 15 x 15 pixels with top-left corner (x, y) are all 0. False
// when y < 0 or y + 15 >= height (a patch touching the last row is not
// tested), and false as well when the patch would leave the columns
// (x < 0 or x + 15 > width).
bool isBlankPatch(ConstGrayView image, int x, int y);

// Share of the 201 disc cells on which the patch of A at (xA, yA) and the
// patch of B at (xB, yB) hold equal values: 1 for identical patches, 0 when
// no cell agrees. A patch that does not fit (rows as isBlankPatch tests
// them, columns outside the image) gives 1.0, "treated as agreeing".
float patchAgreement(ConstGrayView a, int xA, int yA, ConstGrayView b, int xB, int yB);

// How well template T (with mask U, both w x h) lies on map M at centre
// (cx, cy); marker map K has M's geometry. Every second row and column is
// visited; a cell whose mask is set counts only under marker 128. Marker 255
// lets each cell take the best of its 3 x 3 template neighbourhood (cells of
// the neighbourhood outside the template are not looked at); below 255 the
// difference is raised to the eighth power. 1 - sum / (w * h); 0 when the
// window does not lie inside M with a pixel to spare on the right and below.
double blockAlignmentScore(ConstGrayView map, ConstGrayView marker, ConstGrayView templ,
                           ConstGrayView templMask, int cx, int cy);

// blockAlignmentScore at the n centres (cx + k * step, cy) into out[k], the
// same values. Where the processor has AVX2, steps of 1 and 2 score eight
// centres side by side, each in its own order of additions.
void blockAlignmentScores(ConstGrayView map, ConstGrayView marker, ConstGrayView templ,
                          ConstGrayView templMask, int cx, int cy, int step, int n, double* out);

// blockAlignmentScore weighted by a blurred copy of the mask image V
// (box radius w / 10): each difference counts (255 - v) / 255 times, and
// cells with v above 254 count only under marker 128. Allocates the blurred
// copy once per call.
double weightedAlignmentScore(ConstGrayView map, ConstGrayView marker, ConstGrayView templ,
                              ConstGrayView maskImage, int cx, int cy);

// Cubic agreement of window B laid on A at centre (cx, cy), on every fifth
// row and column where `mask` (A's geometry, own stride) is 0:
// 1 - sum |A - B|^3 / n / 255^3 with n starting at 1. `tooFew` is set when
// fewer than 10 cells counted (n < 10), cleared otherwise; a window that
// does not fit gives 0 with `tooFew` cleared.
double cubicAgreement(ConstGrayView a, ConstGrayView mask, ConstGrayView b, int cx, int cy,
                      bool* tooFew);
// cubicAgreement at the centres (cx + k * step, cy) for k < count, at most
// 16, into out and tooFew.
void cubicAgreementRow(ConstGrayView a, ConstGrayView mask, ConstGrayView b, int cx, int cy,
                       int step, int count, double* out, bool* tooFew);

// Agreement of camera window B (mask D, B's size) with reference A at
// centre (cx, cy), per window quadrant on every fifth row and column where D
// is 0: quadrant scores 1 - sum |A - B|^3 / n / 255^3 are ranked, quadrants
// with fewer than 10 non-empty cells are moved to the back, and the ranks
// are weighted 0.6, 0.3, 0.07, 0.03. 0 when the window does not fit.
double quadrantAgreement(ConstGrayView a, ConstGrayView b, ConstGrayView d, int cx, int cy);

// quadrantAgreement of one camera window at many centres of references of
// one stride: the counted cells are listed once, by quadrant, and score()
// gives the same value as quadrantAgreement for every centre.
class QuadrantPlan {
public:
    QuadrantPlan(ConstGrayView b, ConstGrayView d, std::ptrdiff_t strideA);
    double score(ConstGrayView a, int cx, int cy) const;

    // One quadrant's part of score() at a centre: the sum of its counted
    // cells' cubes and how many of them hold content; `filled` is -1 where
    // the window does not fit. Integer sums, so the quadrants of one centre
    // may be summed apart, on any thread.
    struct QuadrantSums {
        long long total = 0;
        int filled = -1;
    };
    // The sums of quadrant q at the centres (cx + k * step, cy) for
    // k < count, into out.
    void sumRow(ConstGrayView a, int cx, int cy, int step, int count, int quadrant, QuadrantSums* out) const;
    // score() from the four quadrants' sums of one centre.
    double scoreOf(const QuadrantSums (&sums)[4]) const;

private:
    struct Cell {
        std::ptrdiff_t offset;  // from the window's corner in A
        int value;              // B there
    };
    std::vector<Cell> cells_[4];
    std::ptrdiff_t farthest_ = 0;  // the largest cell offset
    int w_, h_;
};

// Corner-aligned bilinear resize of src into dst in single precision, values
// truncated; nothing is done unless both images are at least 2 x 2.
void resizeGrayBilinear(GrayView dst, ConstGrayView src);

// Relabels the contacts between foreground 255 and background 1 on the
// interior pixels: first 255 next to a 1 becomes 168, then 1 next to a 168
// becomes 80. The outermost rows and columns are never changed.
void markEdgeContacts(GrayView image);

// Bitwise complement of every pixel, or only where `mask` (same stride) is
// non-zero when a mask is given.
void invertWindow(GrayView image, const std::uint8_t* mask);

// Reduces the camera mask B on 10 x 10 blocks. Content blocks (a set pixel
// of A) and mask blocks (at least 51 set pixels of B) are compared on the
// interior blocks: the mask blocks are eroded one round at a time (at most
// 30) until the content blocks left uncovered open onto blocks empty in both
// maps at least three times horizontally and three times vertically; then
// every pixel of B outside the remaining mask blocks is cleared. B is left
// as it was when that never happens, or when there are no mask blocks or
// at most 8 uncovered content blocks to judge by. A and B share width,
// stride and height.
void reduceMaskBlocks(ConstGrayView a, GrayView b);

}  // namespace pcbinspect
