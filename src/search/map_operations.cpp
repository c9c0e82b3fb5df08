// Image operations of the suspected-flaw search on block maps and masks.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "search/search_ops.h"

namespace pcbinspect {

void resizeGrayBilinear(GrayView dst, ConstGrayView src) {
    const int dw = dst.width, dh = dst.height, sw = src.width, sh = src.height;
    if (dw < 2 || dh < 2 || sw < 2 || sh < 2) return;
    // Column positions do not change from row to row: computed once.
    std::vector<int> ix(dw), ix1(dw);
    std::vector<float> fx(dw);
    for (int x = 0; x < dw; ++x) {
        const float sx = static_cast<float>(x) / static_cast<float>(dw - 1) *
                         static_cast<float>(sw - 1);
        ix[x] = static_cast<int>(sx);  // 0 <= sx <= sw - 1
        fx[x] = sx - static_cast<float>(ix[x]);
        ix1[x] = std::min(ix[x] + 1, sw - 1);
    }
    for (int y = 0; y < dh; ++y) {
        const float sy = static_cast<float>(y) / static_cast<float>(dh - 1) *
                         static_cast<float>(sh - 1);
        const int iy = static_cast<int>(sy);
        const float fy = sy - static_cast<float>(iy);
        const std::uint8_t* row0 = src.row(iy);
        const std::uint8_t* row1 = src.row(std::min(iy + 1, sh - 1));
        std::uint8_t* out = dst.row(y);
        for (int x = 0; x < dw; ++x) {
            const float f = fx[x];
            const float v = static_cast<float>(row0[ix[x]]) * (1.0f - f) * (1.0f - fy) +
                            static_cast<float>(row0[ix1[x]]) * f * (1.0f - fy) +
                            static_cast<float>(row1[ix[x]]) * (1.0f - f) * fy +
                            static_cast<float>(row1[ix1[x]]) * f * fy;
            // Weights sum to one: v lies in 0 .. 255 (up to rounding).
            out[x] = static_cast<std::uint8_t>(std::min(static_cast<int>(v), 255));
        }
    }
}

void markEdgeContacts(GrayView image) {
    const int w = image.width, h = image.height;
    // Foreground touching background: 255 -> 168. In place; the test looks
    // only for 1, which this pass never writes.
    for (int y = 1; y < h - 1; ++y) {
        std::uint8_t* up = image.row(y - 1);
        std::uint8_t* row = image.row(y);
        std::uint8_t* down = image.row(y + 1);
        for (int x = 1; x < w - 1; ++x) {
            if (row[x] != 255) continue;
            if (up[x] == 1 || down[x] == 1 || row[x - 1] == 1 || row[x + 1] == 1) row[x] = 168;
        }
    }
    // Background touching those: 1 -> 80.
    for (int y = 1; y < h - 1; ++y) {
        std::uint8_t* up = image.row(y - 1);
        std::uint8_t* row = image.row(y);
        std::uint8_t* down = image.row(y + 1);
        for (int x = 1; x < w - 1; ++x) {
            if (row[x] != 1) continue;
            if (up[x] == 168 || down[x] == 168 || row[x - 1] == 168 || row[x + 1] == 168)
                row[x] = 80;
        }
    }
}

void invertWindow(GrayView image, const std::uint8_t* mask) {
    for (int y = 0; y < image.height; ++y) {
        std::uint8_t* row = image.row(y);
        const std::uint8_t* maskRow =
            mask == nullptr ? nullptr : mask + static_cast<std::ptrdiff_t>(y) * image.stride;
        for (int x = 0; x < image.width; ++x)
            if (maskRow == nullptr || maskRow[x] != 0) row[x] = static_cast<std::uint8_t>(~row[x]);
    }
}

namespace {

constexpr int kMaskBlock = 10;

// The block maps of reduceMaskBlocks, bw x bh bytes each.
struct BlockPair {
    int bw = 0, bh = 0;
    std::vector<std::uint8_t> a, b;
    std::uint8_t& atA(int x, int y) { return a[static_cast<std::size_t>(y) * bw + x]; }
    std::uint8_t& atB(int x, int y) { return b[static_cast<std::size_t>(y) * bw + x]; }
    bool emptyBoth(int x, int y) { return atA(x, y) == 0 && atB(x, y) == 0; }
};

// Counts the open sides of the content blocks that the mask map leaves
// uncovered; both counts are 999 when there is too little to judge.
void analyseBlocks(BlockPair& m, int& horizontal, int& vertical) {
    horizontal = 0;
    vertical = 0;
    int na = 0, nb = 0;
    for (int y = 1; y < m.bh - 1; ++y) {
        for (int x = 1; x < m.bw - 1; ++x) {
            if (m.atB(x, y) != 0) {
                ++nb;
                continue;
            }
            if (m.atA(x, y) == 0) continue;
            ++na;
            if (m.atA(x - 1, y) != 0 && m.atA(x + 1, y) != 0 && m.atA(x, y - 1) != 0 &&
                m.atA(x, y + 1) != 0)
                continue;
            if ((m.emptyBoth(x + 1, y - 1) && m.emptyBoth(x + 1, y) && m.emptyBoth(x + 1, y + 1)) ||
                (m.emptyBoth(x - 1, y - 1) && m.emptyBoth(x - 1, y) && m.emptyBoth(x - 1, y + 1)))
                ++horizontal;
            if ((m.emptyBoth(x - 1, y + 1) && m.emptyBoth(x, y + 1) && m.emptyBoth(x + 1, y + 1)) ||
                (m.emptyBoth(x - 1, y - 1) && m.emptyBoth(x, y - 1) && m.emptyBoth(x + 1, y - 1)))
                ++vertical;
        }
    }
    if (na <= 8 || nb == 0) {
        horizontal = 999;
        vertical = 999;
    }
}

// One erosion of the mask map, away from its two outer block rings.
void erodeMaskMap(BlockPair& m, std::vector<std::uint8_t>& marks) {
    std::fill(marks.begin(), marks.end(), 0);
    for (int y = 2; y < m.bh - 2; ++y)
        for (int x = 2; x < m.bw - 2; ++x)
            if (m.atB(x, y) == 255 && (m.atB(x - 1, y) == 0 || m.atB(x + 1, y) == 0 ||
                                       m.atB(x, y - 1) == 0 || m.atB(x, y + 1) == 0))
                marks[static_cast<std::size_t>(y) * m.bw + x] = 1;
    for (std::size_t i = 0; i < marks.size(); ++i)
        if (marks[i] != 0) m.b[i] = 0;
}

}  // namespace

void reduceMaskBlocks(ConstGrayView a, GrayView b) {
    BlockPair m;
    m.bw = a.width / kMaskBlock;
    m.bh = a.height / kMaskBlock;
    // With fewer than three block rows or columns there is no interior block
    // and the analysis always finds too little.
    if (m.bw < 3 || m.bh < 3) return;
    const std::size_t blocks = static_cast<std::size_t>(m.bw) * m.bh;
    m.a.assign(blocks, 0);
    m.b.assign(blocks, 0);
    // Set pixels per column over the ten rows of a block row (at most 10),
    // added over the columns of each block.
    const std::size_t columns = static_cast<std::size_t>(m.bw) * kMaskBlock;
    std::vector<std::uint8_t> columnA(columns), columnB(columns);
    for (int by = 0; by < m.bh; ++by) {
        std::fill(columnA.begin(), columnA.end(), 0);
        std::fill(columnB.begin(), columnB.end(), 0);
        for (int y = by * kMaskBlock; y < (by + 1) * kMaskBlock; ++y) {
            const std::uint8_t* rowA = a.row(y);
            const std::uint8_t* rowB = b.row(y);
            for (std::size_t x = 0; x < columns; ++x) {
                columnA[x] = static_cast<std::uint8_t>(columnA[x] + (rowA[x] != 0));
                columnB[x] = static_cast<std::uint8_t>(columnB[x] + (rowB[x] != 0));
            }
        }
        for (int bx = 0; bx < m.bw; ++bx) {
            int countA = 0, countB = 0;
            for (int k = 0; k < kMaskBlock; ++k) {
                countA += columnA[static_cast<std::size_t>(bx) * kMaskBlock + k];
                countB += columnB[static_cast<std::size_t>(bx) * kMaskBlock + k];
            }
            m.atA(bx, by) = countA > 0 ? 255 : 0;
            m.atB(bx, by) = countB >= 51 ? 255 : 0;
        }
    }
    std::vector<std::uint8_t> marks(blocks);
    bool settled = false;
    for (int round = 0; round < 30; ++round) {
        int horizontal = 0, vertical = 0;
        analyseBlocks(m, horizontal, vertical);
        if (horizontal == 999 && vertical == 999) return;
        erodeMaskMap(m, marks);
        if (horizontal >= 3 && vertical >= 3) {
            settled = true;
            break;
        }
    }
    if (!settled) return;
    // Pixels of cleared blocks are cleared; the last block row and column
    // reach to the image's edge.
    for (int y = 0; y < b.height; ++y) {
        const int by = std::min(y / kMaskBlock, m.bh - 1);
        std::uint8_t* row = b.row(y);
        for (int bx = 0; bx < m.bw; ++bx) {
            if (m.atB(bx, by) != 0) continue;
            const int x0 = bx * kMaskBlock, x1 = bx == m.bw - 1 ? b.width : x0 + kMaskBlock;
            std::fill(row + x0, row + x1, std::uint8_t{0});
        }
    }
}

}  // namespace pcbinspect
