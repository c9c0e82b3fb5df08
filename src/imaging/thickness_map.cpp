#include "imaging/thickness_map.h"

#include <cstring>
#include <vector>

#include "imaging/thinning.h"

namespace pcbinspect {
namespace {

struct Entry {
    int x, y, flag;
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
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = img.row(y);
        row[0] = 0;
        row[w - 1] = 0;
        for (int x = 0; x < w; ++x)
            if (row[x] > 1) row[x] = 1;
    }
    auto isSet = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < w && y < h && img.at(x, y) != 0;
    };
    auto verdict = [&](int x, int y) {
        return ThinningTable[NeighbourCode(img.data, w, img.stride, h, x, y)];
    };

    std::vector<Entry> current, next;
    constexpr int kPhase[4][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};
    for (const auto& phase : kPhase) {
        for (int y = phase[1]; y < h; y += 2)
            for (int x = phase[0]; x < w; x += 2) {
                if (img.at(x, y) == 0) continue;
                if (isSet(x, y + 1) + isSet(x - 1, y) + isSet(x + 1, y) + isSet(x, y - 1) < 4)
                    current.push_back({x, y, kListed});
            }
    }

    // Initial pass: boundary pixels that may go are cleared, the others are
    // fixed with pass value 2.
    bool changed = false;
    for (Entry& e : current) {
        if (verdict(e.x, e.y) != kThinKeep) {
            img.at(e.x, e.y) = 0;
            changed = true;
        } else {
            if (img.at(e.x, e.y) == 1) img.at(e.x, e.y) = 2;
            e.flag = kFixed;
        }
    }

    constexpr int kDx[4] = {0, -1, 1, 0};
    constexpr int kDy[4] = {1, 0, 0, -1};
    int value = 3;
    while (changed) {
        changed = false;
        next.clear();
        const auto v = static_cast<std::uint8_t>(value);
        for (const Entry& e : current) {
            if (e.flag == kFixed) continue;
            for (int k = 0; k < 4; ++k) {
                const int nx = e.x + kDx[k], ny = e.y + kDy[k];
                if (!isSet(nx, ny)) continue;
                const int t = verdict(nx, ny);
                if (t == kThinRemovable) {
                    next.push_back({nx, ny, kListed});
                    img.at(nx, ny) = 0;
                    changed = true;
                } else if (t == kThinLineEnd) {
                    next.push_back({nx, ny, kLineEnd});
                } else if (img.at(nx, ny) == 1) {
                    img.at(nx, ny) = v;
                }
            }
        }
        // Line ends: a lone pixel or a lone pair takes the pass value; an end
        // attached to more is pruned by one pixel.
        for (const Entry& e : next) {
            if (e.flag != kLineEnd) continue;
            int neighbours = 0, lastX = 0, lastY = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    if ((dx == 0 && dy == 0) || !isSet(e.x + dx, e.y + dy)) continue;
                    ++neighbours;
                    lastX = e.x + dx;
                    lastY = e.y + dy;
                }
            if (neighbours == 0) {
                img.at(e.x, e.y) = v;
                continue;
            }
            int theirs = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    if ((dx != 0 || dy != 0) && isSet(lastX + dx, lastY + dy)) ++theirs;
            if (theirs < 2) {
                if (img.at(e.x, e.y) == 1) img.at(e.x, e.y) = v;
                if (img.at(lastX, lastY) == 1) img.at(lastX, lastY) = v;
            } else {
                img.at(e.x, e.y) = 0;
            }
        }
        current.swap(next);
        if (value < 255) ++value;
    }

    // Pass values start at 2; pixels never fixed (still 1) become background.
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = img.row(y);
        for (int x = 0; x < w; ++x)
            if (row[x] != 0) --row[x];
    }
}

}  // namespace pcbinspect
