// Similarity scores of the alignment: block maps (coarse), blurred full
// resolution maps (fine and local).
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "imaging/window_filters.h"
#include "search/search_ops.h"

namespace pcbinspect {
namespace {

// Top-left corner of a w x h window centred at (cx, cy) on an image, or false
// when the window does not lie inside with a pixel to spare on the right and
// below (the scores treat touching the last row or column as outside).
bool placeWindow(int imageWidth, int imageHeight, int w, int h, int cx, int cy, int& x0,
                 int& y0) {
    const long long left = static_cast<long long>(cx) - w / 2;
    const long long top = static_cast<long long>(cy) - h / 2;
    if (left < 0 || top < 0 || left + w >= imageWidth || top + h >= imageHeight) return false;
    x0 = static_cast<int>(left);
    y0 = static_cast<int>(top);
    return true;
}

// Smallest |m - T| over the 3 x 3 template neighbourhood of (i, j), starting
// from d; neighbours outside the template are not looked at.
int nearestTemplateDifference(const ConstGrayView& t, int i, int j, int m, int d) {
    const int j0 = std::max(j - 1, 0), j1 = std::min(j + 1, t.height - 1);
    const int i0 = std::max(i - 1, 0), i1 = std::min(i + 1, t.width - 1);
    for (int y = j0; y <= j1; ++y) {
        const std::uint8_t* row = t.row(y);
        for (int x = i0; x <= i1; ++x) d = std::min(d, std::abs(m - static_cast<int>(row[x])));
    }
    return d;
}

// d / 320 in single precision, widened; raised to the eighth power by three
// squarings when asked.
double differenceTerm(int d, bool eighthPower) {
    double e = static_cast<double>(static_cast<float>(d) / 320.0f);
    if (eighthPower) {
        e = e * e;
        e = e * e;
        e = e * e;
    }
    return e;
}

}  // namespace

double blockAlignmentScore(ConstGrayView map, ConstGrayView marker, ConstGrayView templ,
                           ConstGrayView templMask, int cx, int cy) {
    const int w = templ.width, h = templ.height;
    int x0 = 0, y0 = 0;
    if (!placeWindow(map.width, map.height, w, h, cx, cy, x0, y0)) return 0.0;
    double sum = 0.0;
    for (int j = 0; j < h; j += 2) {
        const std::uint8_t* rowU = templMask.row(j);
        const std::uint8_t* rowT = templ.row(j);
        const std::uint8_t* rowK = marker.row(y0 + j) + x0;
        const std::uint8_t* rowM = map.row(y0 + j) + x0;
        for (int i = 0; i < w; i += 2) {
            const int k = rowK[i];
            if (rowU[i] != 0 && k != 128) continue;
            const int m = rowM[i];
            int d = std::abs(m - static_cast<int>(rowT[i]));
            if (k == 255) d = nearestTemplateDifference(templ, i, j, m, d);
            if (d > 0) sum += differenceTerm(d, k < 255);
        }
    }
    return 1.0 - sum / (static_cast<double>(w) * h);
}

double weightedAlignmentScore(ConstGrayView map, ConstGrayView marker, ConstGrayView templ,
                              ConstGrayView maskImage, int cx, int cy) {
    const int w = templ.width, h = templ.height;
    int x0 = 0, y0 = 0;
    if (!placeWindow(map.width, map.height, w, h, cx, cy, x0, y0)) return 0.0;
    // The blurred weights, w x h with stride w.
    std::vector<std::uint8_t> weights(static_cast<std::size_t>(w) * h);
    for (int j = 0; j < h; ++j)
        std::copy_n(maskImage.row(j), w, weights.data() + static_cast<std::size_t>(j) * w);
    boxBlurGray(weights.data(), w, w, h, w / 10);
    double sum = 0.0;
    for (int j = 0; j < h; j += 2) {
        const std::uint8_t* rowV = weights.data() + static_cast<std::size_t>(j) * w;
        const std::uint8_t* rowT = templ.row(j);
        const std::uint8_t* rowK = marker.row(y0 + j) + x0;
        const std::uint8_t* rowM = map.row(y0 + j) + x0;
        for (int i = 0; i < w; i += 2) {
            const int v = rowV[i], k = rowK[i];
            if (v > 254 && k != 128) continue;
            const int m = rowM[i];
            int d = std::abs(m - static_cast<int>(rowT[i]));
            if (k == 255) d = nearestTemplateDifference(templ, i, j, m, d);
            // The weight is formed in double precision.
            if (d > 0) sum += (255.0 - v) / 255.0 * differenceTerm(d, k != 255);
        }
    }
    return 1.0 - sum / (static_cast<double>(w) * h);
}

double cubicAgreement(ConstGrayView a, ConstGrayView mask, ConstGrayView b, int cx, int cy,
                      bool* tooFew) {
    *tooFew = false;
    const int w = b.width, h = b.height;
    int x0 = 0, y0 = 0;
    if (!placeWindow(a.width, a.height, w, h, cx, cy, x0, y0)) return 0.0;
    double sum = 0.0;
    int n = 1;
    for (int j = 0; j < h; j += 5) {
        const std::uint8_t* rowA = a.row(y0 + j) + x0;
        const std::uint8_t* rowMask = mask.row(y0 + j) + x0;
        const std::uint8_t* rowB = b.row(j);
        for (int i = 0; i < w; i += 5) {
            if (rowMask[i] != 0) continue;
            const int d = static_cast<int>(rowA[i]) - static_cast<int>(rowB[i]);
            sum += std::abs(d * d * d);
            ++n;
        }
    }
    *tooFew = n < 10;
    return 1.0 - sum / n / 16581375.0;
}

namespace {

// The four quadrant scores ranked, those with fewer than 10 non-empty cells
// moved to the back, and the ranks weighted 0.6, 0.3, 0.07, 0.03.
double rankedQuadrants(const double* sum, const int* n, const int* content) {
    // Ranked slots: quadrant index and score; -1 marks a slot without one.
    struct Slot {
        int quadrant = -1;
        double score = 0.0;
    } slots[4];
    int filled = 0;
    for (int q = 0; q < 4; ++q) {
        const double score = 1.0 - sum[q] / n[q] / 16581375.0;
        if (!(score > 0.0)) continue;
        // Insert behind every slot of an equal or higher score.
        int at = filled;
        while (at > 0 && slots[at - 1].score < score) {
            slots[at] = slots[at - 1];
            --at;
        }
        slots[at] = Slot{q, score};
        ++filled;
    }
    // Quadrants with too little content go to the back, one walk from the
    // front; the slot that moves up into a vacated place is not looked at
    // again.
    for (int s = 0; s < 4; ++s) {
        const int q = slots[s].quadrant;
        if (q < 0 || content[q] >= 10) continue;
        const Slot moved = slots[s];
        for (int t = s; t < 3; ++t) slots[t] = slots[t + 1];
        slots[3] = moved;
    }
    return 0.6 * slots[0].score + 0.3 * slots[1].score + 0.07 * slots[2].score +
           0.03 * slots[3].score;
}

}  // namespace

QuadrantPlan::QuadrantPlan(ConstGrayView b, ConstGrayView d, std::ptrdiff_t strideA)
    : w_(b.width), h_(b.height) {
    const int qw = w_ / 2 + 1, qh = h_ / 2 + 1;
    for (int j = 0; j < h_; j += 5) {
        const std::uint8_t* rowB = b.row(j);
        const std::uint8_t* rowD = d.row(j);
        const int qRow = 2 * (j / qh);
        for (int i = 0; i < w_; i += 5) {
            if (rowD[i] != 0) continue;
            const int q = i / qw + qRow;
            cells_[q].push_back(Cell{static_cast<std::ptrdiff_t>(j) * strideA + i, rowB[i]});
        }
    }
}

double QuadrantPlan::score(ConstGrayView a, int cx, int cy) const {
    int x0 = 0, y0 = 0;
    if (!placeWindow(a.width, a.height, w_, h_, cx, cy, x0, y0)) return 0.0;
    const std::uint8_t* corner = a.row(y0) + x0;
    // |A - B|^3 is at most 255^3 < 2^24 and a window holds far fewer than
    // 2^29 cells: the sums are exact in 64-bit integers, as in doubles.
    double sum[4];
    int n[4], content[4];
    for (int q = 0; q < 4; ++q) {
        long long total = 0;
        int filled = 0;
        for (const Cell& c : cells_[q]) {
            const int va = corner[c.offset], vb = c.value;
            const int diff = va - vb;
            total += std::abs(diff * diff * diff);
            filled += (va | vb) != 0 ? 1 : 0;
        }
        sum[q] = static_cast<double>(total);
        n[q] = 1 + static_cast<int>(cells_[q].size());
        content[q] = filled;
    }
    return rankedQuadrants(sum, n, content);
}

double quadrantAgreement(ConstGrayView a, ConstGrayView b, ConstGrayView d, int cx, int cy) {
    return QuadrantPlan(b, d, a.stride).score(a, cx, cy);
}

}  // namespace pcbinspect
