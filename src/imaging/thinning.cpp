#include "imaging/thinning.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "boundary/vector_lanes.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace pcbinspect {

// clang-format off
const std::array<std::uint8_t, 256> ThinningTable = {
    1, 2, 2, 0, 2, 1, 0, 0, 2, 0, 0, 0, 1, 1, 0, 0,
    2, 1, 0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0,
    2, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 0,
    2, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0,
    0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0,
    0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    0, 1, 0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 1, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 0,
    0, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0,
    0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 0, 0,
    0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};
// clang-format on

namespace {

// The 8 neighbours in NeighbourCode's bit order.
constexpr int kNx[8] = {-1, 0, 1, -1, 1, -1, 0, 1};
constexpr int kNy[8] = {-1, -1, -1, 0, 0, 1, 1, 1};

// Set 8-neighbours of an inner pixel.
int setNeighbours(const std::uint8_t* p, std::ptrdiff_t stride) {
    return (p[-stride - 1] != 0) + (p[-stride] != 0) + (p[-stride + 1] != 0) + (p[-1] != 0) +
           (p[1] != 0) + (p[stride - 1] != 0) + (p[stride] != 0) + (p[stride + 1] != 0);
}

#ifdef __SSE2__
// Bit i: inner pixel p[i] is set with fewer than four set 8-neighbours, for
// the sixteen pixels from p. Each set neighbour adds -1 to its lane: the sum
// stays within -8 .. 0.
unsigned peelable16(const std::uint8_t* p, std::ptrdiff_t stride) {
    const __m128i zero = _mm_setzero_si128(), ones = _mm_set1_epi8(-1);
    auto set = [&](std::ptrdiff_t d) {
        return _mm_xor_si128(
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + d)), zero), ones);
    };
    __m128i sum = zero;
    for (const std::ptrdiff_t d : {-stride - 1, -stride, -stride + 1, std::ptrdiff_t{-1},
                                   std::ptrdiff_t{1}, stride - 1, stride, stride + 1})
        sum = _mm_add_epi8(sum, set(d));
    const __m128i few = _mm_cmpgt_epi8(sum, _mm_set1_epi8(-4));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(few, set(0))));
}
#endif

// One peeling pass over the inner pixels of a window: pixels with fewer than
// four set neighbours are marked 128 (still set for the rest of the pass),
// then the marks are cleared. Only this pass's marks can hold 128 (the image
// is otherwise 0 and 255), so clearing the marked pixels is the same as
// clearing every 128 of the window's rows. Returns how many were marked.
int peelPass(std::uint8_t* image, std::ptrdiff_t stride, int x0, int y0, int ww, int wh,
             std::vector<std::uint8_t*>& marks) {
    marks.clear();
    const int first = x0 + 1, last = x0 + ww - 2;
    for (int y = y0 + 1; y <= y0 + wh - 2; ++y) {
        std::uint8_t* row = image + y * stride;
        int x = first;
#ifdef __SSE2__
        // Sixteen at a time, the last group ending on the last column and
        // leaving out the columns already taken. A mark leaves its pixel set,
        // so it changes no other pixel's verdict in the pass.
        if (last - first + 1 >= 16) {
            auto markAll = [&](int from, unsigned bits) {
                for (; bits != 0; bits &= bits - 1) {
                    std::uint8_t* q = row + from + __builtin_ctz(bits);
                    *q = 128;
                    marks.push_back(q);
                }
            };
            for (; x + 16 <= last + 1; x += 16) markAll(x, peelable16(row + x, stride));
            if (x <= last) {
                const int from = last + 1 - 16;
                markAll(from, peelable16(row + from, stride) & (0xFFFFu << (x - from)));
            }
            continue;
        }
#endif
        for (; x <= last; ++x) {
            if (row[x] != 0 && setNeighbours(row + x, stride) < 4) {
                row[x] = 128;
                marks.push_back(row + x);
            }
        }
    }
    for (std::uint8_t* p : marks) *p = 0;
    return static_cast<int>(marks.size());
}

// The passes after the first over the same window. A set pixel can only
// come to have fewer than four set neighbours when a neighbour was cleared
// by the pass before (nothing is ever set), so only the neighbours of that
// pass's marks are looked at; they are marked by the same rule, against the
// state at the start of the pass, as a pass over the whole window would.
// `marks` holds the last pass's marks on entry and this pass's on return.
int peelAround(std::uint8_t* image, std::ptrdiff_t stride, int x0, int y0, int ww, int wh,
               std::vector<std::uint8_t*>& marks, std::vector<std::uint8_t*>& cleared) {
    cleared.swap(marks);
    marks.clear();
    for (std::uint8_t* c : cleared) {
        const std::ptrdiff_t at = c - image;
        const int cy = static_cast<int>(at / stride), cx = static_cast<int>(at % stride);
        for (int k = 0; k < 8; ++k) {
            const int x = cx + kNx[k], y = cy + kNy[k];
            if (x < x0 + 1 || x > x0 + ww - 2 || y < y0 + 1 || y > y0 + wh - 2) continue;
            std::uint8_t* q = image + y * stride + x;
            // 128: marked already in this pass.
            if (*q != 0 && *q != 128 && setNeighbours(q, stride) < 4) {
                *q = 128;
                marks.push_back(q);
            }
        }
    }
    for (std::uint8_t* q : marks) *q = 0;
    return static_cast<int>(marks.size());
}

struct ThinEntry {
    int x, y, flag;
};

constexpr int kFrozen = -2;   // must stay: never looked at again
constexpr int kEnd = -1;      // a line end kept for now
constexpr int kRemoved = 1;   // cleared (or, in mode 1, a kept end of the first list)

}  // namespace

int NeighbourCode(const std::uint8_t* image, int width, int stride, int height, int x, int y) {
    if (x >= 1 && y >= 1 && x < width - 1 && y < height - 1)
        return InnerNeighbourCode(image + static_cast<std::ptrdiff_t>(y) * stride + x, stride);
    int code = 0;
    for (int k = 0; k < 8; ++k) {
        const int nx = x + kNx[k], ny = y + kNy[k];
        if (nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
        if (image[static_cast<std::ptrdiff_t>(ny) * stride + nx] != 0) code |= 1 << k;
    }
    return code;
}

void ThinPeel(std::uint8_t* image, int width, int stride, int height) {
    const std::ptrdiff_t s = stride;
    std::vector<std::uint8_t*> marks, cleared;
    marks.reserve(40 * 40);
    cleared.reserve(40 * 40);
    for (int y = 1; y <= height - 2; ++y) {
        for (int x = 1; x <= width - 2; ++x) {
            std::uint8_t* p = image + y * s + x;
#ifdef __SSE2__
            // Sixteen pixels at a time: a group none of which can start a
            // peel is passed over. Peeling changes the image, so a group
            // that holds a start is taken pixel by pixel.
            if ((x - 1) % 16 == 0 && x + 16 <= width - 1 && peelable16(p, s) == 0) {
                x += 15;
                continue;
            }
#endif
            if (*p == 0 || setNeighbours(p, s) >= 4) continue;
            const int x0 = std::max(0, x - 20), y0 = std::max(0, y - 20);
            const int ww = x0 + 40 < width ? 40 : width - x0 - 1;
            const int wh = y0 + 40 < height ? 40 : height - y0 - 1;
            if (peelPass(image, s, x0, y0, ww, wh, marks) == 0) continue;
            while (peelAround(image, s, x0, y0, ww, wh, marks, cleared) > 0) {
            }
        }
    }
}

int SkeletonThin(std::uint8_t* image, int width, int stride, int height, int mode) {
    if (width < 1 || height < 1) return 0;
    const std::ptrdiff_t s = stride;
    auto at = [&](int x, int y) -> std::uint8_t& { return image[y * s + x]; };
    std::memset(image, 0, static_cast<std::size_t>(width));
    std::memset(image + (height - 1) * s, 0, static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y) {
        at(0, y) = 0;
        at(width - 1, y) = 0;
    }
    auto isSet = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < width && y < height && at(x, y) != 0;
    };
    auto verdict = [&](int x, int y) {
        return ThinningTable[NeighbourCode(image, width, stride, height, x, y)];
    };

    // Boundary pixels (fewer than four set 4-neighbours), visited in the
    // four interleaved phases of the 2 x 2 grid.
    std::vector<ThinEntry> current, next;
    constexpr int kPhase[4][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};
    const auto visit = [&](int x, int y) {
        const int neighbours = isSet(x, y + 1) + isSet(x - 1, y) + isSet(x + 1, y) + isSet(x, y - 1);
        if (neighbours < 4) current.push_back(ThinEntry{x, y, kRemoved});
    };
    for (const auto& phase : kPhase) {
        for (int y = phase[1]; y < height; y += 2) {
            const std::uint8_t* row = image + y * s;
            int x = phase[0];
#ifdef __SSE2__
            // Sixteen pixels at a time: the set ones of the phase's columns,
            // in column order.
            const unsigned columns = phase[0] == 0 ? 0x5555u : 0xAAAAu;
            for (int base = 0; base + 16 <= width; base += 16, x = base + phase[0])
                for (unsigned set = (bytesEqual16(row + base, 0) ^ 0xFFFFu) & columns; set != 0; set &= set - 1)
                    visit(base + __builtin_ctz(set), y);
#endif
            for (; x < width; x += 2)
                if (row[x] != 0) visit(x, y);
        }
    }

    bool changed = false;
    for (ThinEntry& e : current) {
        const int t = verdict(e.x, e.y);
        if (t == kThinKeep) {
            e.flag = kFrozen;
        } else if (t == kThinRemovable || mode == 0) {
            at(e.x, e.y) = 0;
            changed = true;
        }
    }

    constexpr int kDx[4] = {0, -1, 1, 0};
    constexpr int kDy[4] = {1, 0, 0, -1};
    while (changed) {
        changed = false;
        next.clear();
        for (const ThinEntry& e : current) {
            if (e.flag == kFrozen) continue;
            for (int k = 0; k < 4; ++k) {
                const int nx = e.x + kDx[k], ny = e.y + kDy[k];
                if (!isSet(nx, ny)) continue;
                const int t = verdict(nx, ny);
                if (t == kThinKeep) continue;
                if (t == kThinRemovable) {
                    at(nx, ny) = 0;
                    next.push_back(ThinEntry{nx, ny, kRemoved});
                    changed = true;
                } else {
                    next.push_back(ThinEntry{nx, ny, kEnd});
                }
            }
        }
        for (ThinEntry& e : next) {
            if (e.flag != kEnd) continue;
            if (mode != 0) {
                e.flag = kFrozen;
                continue;
            }
            // Shorten the line end by one pixel when its neighbour lies in
            // the inner part of the image.
            bool attached = false;
            for (int k = 0; k < 8 && !attached; ++k) {
                const int nx = e.x + kNx[k], ny = e.y + kNy[k];
                attached = nx >= 1 && ny >= 1 && nx <= width - 2 && ny <= height - 2 &&
                           at(nx, ny) != 0;
            }
            if (attached) {
                at(e.x, e.y) = 0;
                e.flag = kFrozen;
            }
        }
        std::swap(current, next);
    }

    int left = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) left += at(x, y) != 0;
    return left;
}

}  // namespace pcbinspect
