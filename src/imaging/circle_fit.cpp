#include "imaging/circle_fit.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include "boundary/numeric.h"

namespace pcbinspect {
namespace {

constexpr float kEpsilon = 1.1920929e-7f;       // FLT_EPSILON
constexpr float kLowestValid = -2147483648.0f;  // below this a coordinate marks "no point"

float distance(float x, float y, float cx, float cy) {
    const float dx = x - cx, dy = y - cy;
    return std::sqrt(dx * dx + dy * dy);
}

float squaredDistance(const PointF& a, const PointF& b) {
    const float dx = a.x - b.x, dy = a.y - b.y;
    return dx * dx + dy * dy;
}

// Enters `key` into an ordered map, moving it up by `step` while it collides
// with an existing key, at most `tries` times; a key that still collides
// takes over that entry.
template <class Step>
float insertDistinct(std::map<float, int>& map, float key, int index, int tries, Step step) {
    for (int t = 0; t < tries && map.count(key) != 0; ++t) key = step(key);
    map[key] = index;
    return key;
}

}  // namespace

bool Circumcentre(float x1, float y1, float x2, float y2, float x3, float y3, float* cx,
                  float* cy) {
    const float a = ((x1 * x1 - x2 * x2) + (y1 * y1 - y2 * y2)) / 2.0f;
    const float b = ((x1 * x1 - x3 * x3) + (y1 * y1 - y3 * y3)) / 2.0f;
    const float det = (x1 - x3) * (y1 - y2) - (y1 - y3) * (x1 - x2);
    if (std::fabs(det) < kEpsilon) return false;
    *cx = ((y1 - y2) * b - (y1 - y3) * a) / det;
    *cy = ((x1 - x3) * a - (x1 - x2) * b) / det;
    return true;
}

void FitCircle(PointF* points, int count, float* cx, float* cy, float* radius) {
    if (count < 3) {
        *cx = 0.0f;
        *cy = 0.0f;
        *radius = 0.0f;
        return;
    }
    float sumX = 0.0f, sumY = 0.0f;
    for (int i = 0; i < count; ++i) {
        sumX += points[i].x;
        sumY += points[i].y;
    }
    const float meanX = sumX / static_cast<float>(count);
    const float meanY = sumY / static_cast<float>(count);
    for (int i = 0; i < count; ++i) {
        points[i].x -= meanX;
        points[i].y -= meanY;
    }
    // Each product is formed in single precision, the sums in double.
    double sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0, sxxx = 0, syyy = 0, sxyy = 0, sxxy = 0;
    for (int i = 0; i < count; ++i) {
        const float x = points[i].x, y = points[i].y;
        sx += x;
        sy += y;
        sxx += x * x;
        syy += y * y;
        sxy += x * y;
        sxxx += x * x * x;
        syyy += y * y * y;
        sxyy += x * y * y;
        sxxy += x * x * y;
    }
    const double n = count;
    const double cm = n * sxx - sx * sx;
    const double dm = n * sxy - sx * sy;
    const double em = n * (sxxx + sxyy) - (sxx + syy) * sx;
    const double gm = n * syy - sy * sy;
    const double hm = n * (syyy + sxxy) - (sxx + syy) * sy;
    const double a = (hm * dm - gm * em) / (cm * gm - dm * dm);
    const double b = (hm * cm - em * dm) / (dm * dm - gm * cm);
    const double c = -(a * sx + b * sy + sxx + syy) / n;
    *cx = static_cast<float>(meanX - a / 2);
    *cy = static_cast<float>(meanY - b / 2);
    *radius = static_cast<float>(std::sqrt(a * a + b * b - 4 * c) / 2);
    for (int i = 0; i < count; ++i) {
        points[i].x += meanX;
        points[i].y += meanY;
    }
}

float CircleFitResidual(const PointF* points, int count, int maxRemovals) {
    std::vector<PointF> work;
    work.reserve(static_cast<std::size_t>(std::max(count, 0)));
    for (int i = 0; i < count; ++i) {
        if (points[i].x >= kLowestValid && points[i].y >= kLowestValid) work.push_back(points[i]);
    }
    int m = static_cast<int>(work.size());
    if (m < count / 3 || m < 5) return FLT_MAX;

    float cx, cy, r;
    FitCircle(work.data(), m, &cx, &cy, &r);
    if (m > 5) {
        const int rounds = std::min(m - 5, maxRemovals);
        for (int round = 0; round < rounds; ++round) {
            int worst = 0;
            float worstDeviation = -1.0f;
            for (int i = 0; i < m; ++i) {
                const float d = std::fabs(distance(work[i].x, work[i].y, cx, cy) - r);
                if (d > worstDeviation) {
                    worstDeviation = d;
                    worst = i;
                }
            }
            if (worstDeviation <= 3.0f) break;
            work.erase(work.begin() + worst);
            --m;
            FitCircle(work.data(), m, &cx, &cy, &r);
        }
    }
    float sum = 0.0f;
    for (int i = 0; i < m; ++i) sum += std::fabs(distance(work[i].x, work[i].y, cx, cy) - r);
    return sum / static_cast<float>(std::max(m, 1));
}

void RejectCircleOutliers(PointF* points, int* count, int maxRemove) {
    const int n = *count;
    if (n < 5) return;
    const int k = std::min(n / 2, maxRemove);
    if (k < 1) return;

    // Candidate centres: one per pair (i, j) of points at least 5 pixels
    // apart, from the first third point l > j far enough from both whose
    // circumcentre exists and lies within 30000 pixels of the origin. The
    // search is bounded by the number of triples that pass the distances.
    constexpr int kMaxEvaluations = 10000;
    std::vector<PointF> centres;
    int evaluations = 0;
    for (int i = 0; i < n && evaluations < kMaxEvaluations; ++i) {
        for (int j = i + 1; j < n && evaluations < kMaxEvaluations; ++j) {
            if (squaredDistance(points[i], points[j]) < 25.0f) continue;
            for (int l = j + 1; l < n; ++l) {
                if (squaredDistance(points[l], points[i]) < 25.0f ||
                    squaredDistance(points[l], points[j]) < 25.0f)
                    continue;
                ++evaluations;
                float cx, cy;
                const bool found = Circumcentre(points[i].x, points[i].y, points[j].x, points[j].y,
                                                points[l].x, points[l].y, &cx, &cy) &&
                                   cx * cx + cy * cy < 9e8f;
                if (found) centres.push_back(PointF{cx, cy});
                if (found || evaluations >= kMaxEvaluations) break;
            }
        }
    }

    if (!centres.empty()) {
        // Vote on a 30 x 30 grid over the box of the centres, narrowing the
        // box to the winning cell, for at most three rounds.
        float left = centres[0].x, right = centres[0].x, top = centres[0].y,
              bottom = centres[0].y;
        for (const PointF& c : centres) {
            left = std::min(left, c.x);
            right = std::max(right, c.x);
            top = std::min(top, c.y);
            bottom = std::max(bottom, c.y);
        }
        constexpr int kCells = 30;
        for (int round = 0; round < 3; ++round) {
            const float wx = (right - left) / kCells;
            const float wy = (bottom - top) / kCells;
            int votes[kCells * kCells] = {};
            int counted = 0;
            for (const PointF& c : centres) {
                const int col = truncToInt((c.x - left) / wx);
                const int row = truncToInt((c.y - top) / wy);
                if (col < 0 || col >= kCells || row < 0 || row >= kCells) continue;
                ++votes[row * kCells + col];
                ++counted;
            }
            if (counted < 10) break;
            const int most = *std::max_element(votes, votes + kCells * kCells);
            std::uint16_t grid[kCells * kCells];
            for (int i = 0; i < kCells * kCells; ++i)
                grid[i] = static_cast<std::uint16_t>(
                    static_cast<float>(votes[i]) / static_cast<float>(most) * 65535.0);
            SmoothGray16(grid, kCells, kCells * 2, kCells, 2.0);
            int best = 0;
            for (int i = 1; i < kCells * kCells; ++i)
                if (grid[i] > grid[best]) best = i;
            const int col = best % kCells, row = best / kCells;
            left += static_cast<float>(col) * wx;
            right = left + wx;
            top += static_cast<float>(row) * wy;
            bottom = top + wy;
            if (wx < 3.0f && wy < 3.0f) break;
        }

        // Order the points by their distance to the centre estimate (equal
        // distances nudged apart), take the median radius, and mark the k
        // points farthest from it.
        std::map<float, int> byRadius;
        const double nudge = 0.1 / n;
        for (int i = 0; i < n; ++i) {
            insertDistinct(byRadius, distance(points[i].x, points[i].y, left, top), i, n - 1,
                           [nudge](float d) { return static_cast<float>(d + nudge); });
        }
        auto median = byRadius.begin();
        std::advance(median, std::min<std::size_t>(static_cast<std::size_t>(n / 2),
                                                   byRadius.size() - 1));
        const float medianRadius = median->first;
        std::map<float, int> byDeviation;
        for (const auto& [d, index] : byRadius) {
            insertDistinct(byDeviation, 65535.0f - std::fabs(d - medianRadius), index, 9,
                           [](float key) { return key + 0.1f; });
        }
        int marked = 0;
        for (auto it = byDeviation.begin(); it != byDeviation.end() && marked < k; ++it, ++marked)
            points[it->second] = PointF{-1.0f, -1.0f};
    }

    // Compaction: a point with a negative coordinate is replaced by the last
    // point, which is examined in its turn.
    int m = n;
    for (int i = 0; i < m;) {
        if (points[i].x < 0.0f || points[i].y < 0.0f) {
            points[i] = points[m - 1];
            --m;
        } else {
            ++i;
        }
    }
    *count = m;
}

void SmoothGray16(std::uint16_t* image, int width, int strideBytes, int height, double sigma) {
    const double s = std::min(sigma, 40.0);
    const int taps = static_cast<int>(std::ceil(3 * s) * 2 + 1);
    if (taps == 1 || width < 1 || height < 1 || !(s > 0)) return;
    const int half = taps / 2;
    std::vector<double> weight(static_cast<std::size_t>(taps));
    double total = 0;
    for (int t = -half; t <= half; ++t) {
        weight[t + half] = std::exp(-static_cast<double>(t) * t / (2 * s * s));
        total += weight[t + half];
    }
    double normalisedSum = 0;
    for (double& w : weight) {
        w /= total;
        normalisedSum += w;
    }

    auto row = [&](int y) {
        return reinterpret_cast<std::uint16_t*>(reinterpret_cast<std::uint8_t*>(image) +
                                                static_cast<std::ptrdiff_t>(y) * strideBytes);
    };
    // Each output's sum runs over its taps in order; the vertical pass forms
    // a whole row of sums side by side.
    std::vector<std::uint16_t> temp(static_cast<std::size_t>(width) * height);
    std::vector<double> sums(static_cast<std::size_t>(width));
    for (int y = 0; y < height; ++y) {
        const std::uint16_t* in = row(y);
        std::uint16_t* out = temp.data() + static_cast<std::ptrdiff_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            double sum = 0;
            if (x >= half && x + half < width) {
                const std::uint16_t* p = in + x - half;
                for (int t = 0; t < taps; ++t) sum += weight[t] * p[t];
            } else {
                for (int t = -half; t <= half; ++t) {
                    const int xx = std::clamp(x + t, 0, width - 1);
                    sum += weight[t + half] * in[xx];
                }
            }
            out[x] = static_cast<std::uint16_t>(sum / normalisedSum);
        }
    }
    for (int y = 0; y < height; ++y) {
        std::fill(sums.begin(), sums.end(), 0.0);
        for (int t = -half; t <= half; ++t) {
            const std::uint16_t* in =
                temp.data() + static_cast<std::ptrdiff_t>(std::clamp(y + t, 0, height - 1)) * width;
            const double w = weight[t + half];
            for (int x = 0; x < width; ++x) sums[x] += w * in[x];
        }
        std::uint16_t* out = row(y);
        for (int x = 0; x < width; ++x) out[x] = static_cast<std::uint16_t>(sums[x] / normalisedSum);
    }
}

int CountValidPoints(const PointF* points, int count) {
    int valid = 0;
    for (int i = 0; i < count; ++i) {
        if (truncToInt(points[i].x) >= 0 && truncToInt(points[i].y) >= 0) ++valid;
    }
    return valid;
}

bool isFinite(const Circle& c) {
    return std::isfinite(c.x) && std::isfinite(c.y) && std::isfinite(c.radius);
}

}  // namespace pcbinspect
