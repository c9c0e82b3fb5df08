#include "imaging/thickness_map.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "imaging/thinning.h"

namespace pcbinspect {
namespace {

// A listed pixel by its offset from the image's first byte.
struct Entry {
    std::ptrdiff_t at;
    int flag;
};

constexpr int kListed = 1;
constexpr int kLineEnd = 2;
constexpr int kFixed = -2;

}  // namespace

void ThicknessMap(GrayView img) {
    const int w = img.width, h = img.height;
    if (w < 1 || h < 1) return;
    std::memset(img.row(0), 0, static_cast<std::size_t>(w));
    std::memset(img.row(h - 1), 0, static_cast<std::size_t>(w));
    // Rows without a set pixel stay empty throughout and are passed over.
    std::vector<std::uint8_t> rowSet(static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = img.row(y);
        row[0] = 0;
        row[w - 1] = 0;
        std::uint8_t any = 0;
        for (int x = 0; x < w; ++x) {
            const std::uint8_t v = std::min<std::uint8_t>(row[x], 1);
            row[x] = v;
            any |= v;
        }
        rowSet[static_cast<std::size_t>(y)] = any;
    }
    // With the outermost rows and columns cleared, every set pixel is an
    // inner one: its eight neighbours lie inside the image and are read
    // without bounds checks. Thinning only ever clears set pixels or changes
    // their value, so this holds throughout. An image without inner pixels
    // is now empty.
    if (w < 3 || h < 3) return;
    std::uint8_t* const base = img.data;
    const std::ptrdiff_t s = img.stride;
    auto verdict = [s](const std::uint8_t* p) { return ThinningTable[InnerNeighbourCode(p, s)]; };

    std::vector<Entry> current, next;
    constexpr int kPhase[4][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};
    for (const auto& phase : kPhase) {
        for (int y = phase[1]; y < h; y += 2) {
            if (!rowSet[static_cast<std::size_t>(y)]) continue;
            std::uint8_t* row = img.row(y);
            auto visit = [&](int x) {
                const std::uint8_t* p = row + x;
                if (*p == 0) return;
                if ((p[s] != 0) + (p[-1] != 0) + (p[1] != 0) + (p[-s] != 0) < 4)
                    current.push_back({p - base, kListed});
            };
            int x = phase[0];
#ifdef __SSE2__
            // Sixteen columns at a time from column 1 on (column 0 is
            // clear): boundary pixels of this phase's columns, in order.
            if (x == 0) x = 2;
            for (int c = 1; c + 17 <= w; c += 16) {
                auto clear = [&](const std::uint8_t* q) {
                    return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(q)),
                                          _mm_setzero_si128());
                };
                const std::uint8_t* p = row + c;
                const __m128i boundary = _mm_andnot_si128(
                    clear(p), _mm_or_si128(_mm_or_si128(clear(p + s), clear(p - 1)),
                                           _mm_or_si128(clear(p + 1), clear(p - s))));
                // Bit i is column c + i; this phase takes columns of its parity.
                unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(boundary)) &
                                ((c + phase[0]) % 2 == 0 ? 0x5555u : 0xAAAAu);
                for (; bits != 0; bits &= bits - 1)
                    current.push_back({p + __builtin_ctz(bits) - base, kListed});
                x = c + 16 + ((c + 16 + phase[0]) % 2);
            }
#endif
            for (; x < w; x += 2) visit(x);
        }
    }

    // Initial pass: boundary pixels that may go are cleared, the others are
    // fixed with pass value 2.
    bool changed = false;
    for (Entry& e : current) {
        std::uint8_t* p = base + e.at;
        if (verdict(p) != kThinKeep) {
            *p = 0;
            changed = true;
        } else {
            if (*p == 1) *p = 2;
            e.flag = kFixed;
        }
    }

    // The 4-neighbours below, left, right and above; the 8-neighbours in
    // NeighbourCode's bit order.
    const std::ptrdiff_t step4[4] = {s, -1, 1, -s};
    const std::ptrdiff_t step8[8] = {-s - 1, -s, -s + 1, -1, 1, s - 1, s, s + 1};
    int value = 3;
    while (changed) {
        changed = false;
        next.clear();
        const auto v = static_cast<std::uint8_t>(value);
        for (const Entry& e : current) {
            if (e.flag == kFixed) continue;
            for (const std::ptrdiff_t d : step4) {
                std::uint8_t* q = base + e.at + d;
                if (*q == 0) continue;
                const int t = verdict(q);
                if (t == kThinRemovable) {
                    next.push_back({q - base, kListed});
                    *q = 0;
                    changed = true;
                } else if (t == kThinLineEnd) {
                    next.push_back({q - base, kLineEnd});
                } else if (*q == 1) {
                    *q = v;
                }
            }
        }
        // Line ends: a lone pixel or a lone pair takes the pass value; an end
        // attached to more is pruned by one pixel. The end's last neighbour
        // in row order is its code's highest bit.
        for (const Entry& e : next) {
            if (e.flag != kLineEnd) continue;
            std::uint8_t* p = base + e.at;
            const unsigned code = static_cast<unsigned>(InnerNeighbourCode(p, s));
            if (code == 0) {
                *p = v;
                continue;
            }
            std::uint8_t* last = p + step8[std::bit_width(code) - 1];
            if (std::popcount(static_cast<unsigned>(InnerNeighbourCode(last, s))) < 2) {
                if (*p == 1) *p = v;
                if (*last == 1) *last = v;
            } else {
                *p = 0;
            }
        }
        current.swap(next);
        if (value < 255) ++value;
    }

    // Pass values start at 2; pixels never fixed (still 1) become background.
    for (int y = 1; y < h - 1; ++y) {
        if (!rowSet[static_cast<std::size_t>(y)]) continue;
        std::uint8_t* row = img.row(y);
        for (int x = 0; x < w; ++x) row[x] = static_cast<std::uint8_t>(row[x] - (row[x] != 0));
    }
}

}  // namespace pcbinspect
