// Thinning of binary images to one-pixel lines, and the peeling of thin
// structures, on 8-bit images whose non-zero pixels are set.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace pcbinspect {

// What thinning may do with a pixel, by the pattern of its 8 neighbours.
enum ThinningVerdict : std::uint8_t {
    kThinRemovable = 0,  // the pixel may be removed
    kThinKeep = 1,       // the pixel must stay
    kThinLineEnd = 2,    // the pixel ends a line: exactly one neighbour
};

// 256 verdicts indexed by NeighbourCode.
extern const std::array<std::uint8_t, 256> ThinningTable;

// One bit per set 8-neighbour of (x, y), row by row from the top-left:
// bit 0 (-1,-1), 1 (0,-1), 2 (+1,-1), 3 (-1,0), 4 (+1,0), 5 (-1,+1),
// 6 (0,+1), 7 (+1,+1). Neighbours outside the image are not set.
int NeighbourCode(const std::uint8_t* image, int width, int stride, int height, int x, int y);

// Bit i set for each non-zero byte i of the four bytes from p.
inline unsigned NonZeroBytes(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    // The high bit of each byte: set when the byte is not zero.
    const std::uint32_t high = (((v & 0x7F7F7F7Fu) + 0x7F7F7F7Fu) | v) & 0x80808080u;
    // Bits 7, 15, 23 and 31 gathered to 21 .. 24 by one multiplication.
    return (((high >> 7) * 0x00204081u) >> 21) & 0xFu;
}

// NeighbourCode of the pixel at p, whose eight neighbours all lie inside an
// image with rows `stride` bytes apart. The four-byte reads stay within the
// image: the rows above and at p read one byte past their right neighbour,
// which the next row holds; the row below reads from one byte before its
// left neighbour.
inline int InnerNeighbourCode(const std::uint8_t* p, std::ptrdiff_t stride) {
    const std::ptrdiff_t s = stride;
    const unsigned above = NonZeroBytes(p - s - 1) & 7u;
    const unsigned middle = NonZeroBytes(p - 1);
    const unsigned below = (NonZeroBytes(p + s - 2) >> 1) & 7u;
    return static_cast<int>(above | (middle & 1u) << 3 | (middle & 4u) << 2 | below << 5);
}

// Removes thin structures from a mask of 0 and 255: around every inner pixel
// with fewer than four set 8-neighbours, peels a 40 x 40 window, pass after
// pass, of its pixels with fewer than four set neighbours until a pass
// removes nothing.
void ThinPeel(std::uint8_t* image, int width, int stride, int height);

// Thins the set pixels to one-pixel lines and returns how many pixels are
// left. Mode 0 also shortens line ends by one pixel per pass while thinning
// goes on; mode 1 keeps them. The outermost rows and columns are cleared.
int SkeletonThin(std::uint8_t* image, int width, int stride, int height, int mode);

}  // namespace pcbinspect
