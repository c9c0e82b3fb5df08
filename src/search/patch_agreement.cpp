// The 15 x 15 patch tests of the flaw scan.
#include <cstddef>
#include <cstring>

#include "search/search_ops.h"

namespace pcbinspect {

const std::uint8_t PatchDisc15[kPatchSide][kPatchSide] = {
    {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0},
    {0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0},
    {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
    {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0},
    {0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0},
    {0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0},
};

namespace {

// Rows are refused one early (a patch touching the last row does not count
// as inside); columns are refused only where a read would leave the image,
// so every patch the row rule admits and that lies inside is tested as is.
bool patchFits(const ConstGrayView& image, int x, int y) {
    if (y < 0 || y + kPatchSide >= image.height) return false;
    return x >= 0 && x <= image.width - kPatchSide;
}

}  // namespace

bool isBlankPatch(ConstGrayView image, int x, int y) {
    if (!patchFits(image, x, y)) return false;
    for (int r = 0; r < kPatchSide; ++r) {
        const std::uint8_t* row = image.row(y + r) + x;
        for (int c = 0; c < kPatchSide; ++c)
            if (row[c] != 0) return false;
    }
    return true;
}

float patchAgreement(ConstGrayView a, int xA, int yA, ConstGrayView b, int xB, int yB) {
    if (!patchFits(a, xA, yA) || !patchFits(b, xB, yB)) return 1.0f;
    int same = 0;
    for (int r = 0; r < kPatchSide; ++r) {
        const std::uint8_t* rowA = a.row(yA + r) + xA;
        const std::uint8_t* rowB = b.row(yB + r) + xB;
        const std::uint8_t* disc = PatchDisc15[r];
        for (int c = 0; c < kPatchSide; ++c) same += disc[c] & (rowA[c] == rowB[c]);
    }
    return static_cast<float>(same) / static_cast<float>(kPatchDiscCells);
}

}  // namespace pcbinspect
