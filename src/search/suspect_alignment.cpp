// Alignment of the camera window in the reference: a coarse search on the
// reduced maps, a fine search at full resolution and the 25 local cells.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <vector>

#include "boundary/gray_copy.h"
#include "boundary/numeric.h"
#include "boundary/parallel.h"
#include "imaging/match_score.h"
#include "search/search_ops.h"
#include "search/suspect_search.h"

namespace pcbinspect {
namespace {

constexpr float kKeyStep = 1.1920929e-07f;

struct Candidate {
    int dx = 0, dy = 0;
    double score = 0.0;
};

// Candidates ordered best first, keyed by 1 - score in single precision. An
// equal key is raised one step at a time until it is free, so an earlier
// candidate stays ahead of a later one of the same score. At most `limit`
// entries are kept.
class CandidateMap {
public:
    explicit CandidateMap(std::size_t limit) : limit_(limit) {}

    void insert(const Candidate& c) {
        float key = static_cast<float>(1.0 - c.score);
        while (entries_.count(key) != 0) {
            const float raised = key + kKeyStep;
            // Far from 0 one step no longer changes a float key: the next
            // representable key is taken instead.
            key = raised > key ? raised : std::nextafter(key, 2.0f * std::fabs(key) + 1.0f);
        }
        entries_.emplace(key, c);
        if (entries_.size() > limit_) entries_.erase(std::prev(entries_.end()));
    }
    bool empty() const { return entries_.empty(); }
    const Candidate& best() const { return entries_.begin()->second; }
    const std::map<float, Candidate>& entries() const { return entries_; }

private:
    std::size_t limit_;
    std::map<float, Candidate> entries_;
};

constexpr std::size_t kCoarseCandidates = 15;

}  // namespace

void coarseAlignment(SearchState& s) {
    s.offsetX = 0;
    s.offsetY = 0;
    if (s.cameraTotal <= 1000) return;
    const int W6 = s.W() / kReduction, H6 = s.H() / kReduction;
    const int w6 = s.w() / kReduction, h6 = s.h() / kReduction;
    const ConstGrayView ref = SearchState::cview(s.reducedRef, W6, H6);
    const ConstGrayView markers = SearchState::cview(s.markers, W6, H6);
    const ConstGrayView cam = SearchState::cview(s.reducedCamera, w6, h6);
    const GrayView mask = SearchState::view(s.reducedMask, w6, h6);
    const ConstGrayView cmask{mask.data, w6, w6, h6};
    const int X = (W6 - w6) / 2 - 3;
    const int Y = (H6 - h6) / 2 - s.settings.margin / kReduction - 1;
    const int step = s.settings.exhaustive ? 1 : 2;
    auto score = [&](int dx, int dy) {
        return blockAlignmentScore(ref, markers, cam, cmask, W6 / 2 + dx, H6 / 2 + dy);
    };

    // Offsets row by row (y outer, x inner): the scores of a row are taken
    // on the call's threads, then entered in that order.
    CandidateMap map(kCoarseCandidates);
    double highest = -1.0, lowest = 2.0;  // lowest score above 1e-5
    const int columns = X >= 0 ? 2 * X / step + 1 : 0;
    const int rows = Y >= 0 ? 2 * Y / step + 1 : 0;
    std::vector<double> scores(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows));
    parallelFor(rows, threadBudget(), [&](int, int row) {
        blockAlignmentScores(ref, markers, cam, cmask, W6 / 2 - X, H6 / 2 - Y + row * step, step,
                             columns, scores.data() + static_cast<std::size_t>(row) * columns);
    });
    for (int row = 0; row < rows; ++row) {
        for (int c = 0; c < columns; ++c) {
            const double v = scores[static_cast<std::size_t>(row) * columns + c];
            map.insert(Candidate{-X + c * step, -Y + row * step, v});
            if (v > highest) highest = v;
            if (v > 1e-5 && v < lowest) lowest = v;
        }
    }
    if (map.empty() || highest - lowest <= 1e-6) return;
    const Candidate first = map.best();
    if (std::abs(first.dx) == X && std::abs(first.dy) == Y) return;

    // Each candidate moves to the best of its 3 x 3 neighbourhood (itself
    // included, the first of equal scores kept).
    if (!s.settings.exhaustive) {
        // The nine scores of every candidate on the call's threads, then
        // each candidate's best in the order of the map.
        std::vector<Candidate> listed;
        for (const auto& entry : map.entries()) listed.push_back(entry.second);
        std::vector<double> around(listed.size() * 9);
        // Neighbour n of a candidate, row by row from its upper left.
        auto neighbour = [](const Candidate& c, int n) {
            return Candidate{c.dx + n % 3 - 1, c.dy + n / 3 - 1, 0.0};
        };
        // A score depends on its offset alone: offsets of the grid above are
        // read back, and an offset that several neighbourhoods share is
        // scored once.
        auto onGrid = [&](int dx, int dy, std::size_t* at) {
            const int c = dx + X, r = dy + Y;
            if (c < 0 || r < 0 || c % step != 0 || r % step != 0 || c / step >= columns ||
                r / step >= rows)
                return false;
            *at = static_cast<std::size_t>(r / step) * columns + static_cast<std::size_t>(c / step);
            return true;
        };
        std::vector<Candidate> fresh;  // offsets to score, each once
        std::vector<std::size_t> source(around.size());  // into scores, or fresh + scores.size()
        for (std::size_t k = 0; k < around.size(); ++k) {
            const Candidate at = neighbour(listed[k / 9], static_cast<int>(k % 9));
            if (onGrid(at.dx, at.dy, &source[k])) continue;
            std::size_t f = 0;
            while (f < fresh.size() && (fresh[f].dx != at.dx || fresh[f].dy != at.dy)) ++f;
            if (f == fresh.size()) fresh.push_back(at);
            source[k] = scores.size() + f;
        }
        std::vector<double> freshScores(fresh.size());
        parallelFor(static_cast<int>(fresh.size()), threadBudget(), [&](int, int f) {
            const Candidate& at = fresh[static_cast<std::size_t>(f)];
            freshScores[static_cast<std::size_t>(f)] = score(at.dx, at.dy);
        });
        for (std::size_t k = 0; k < around.size(); ++k)
            around[k] = source[k] < scores.size() ? scores[source[k]]
                                                  : freshScores[source[k] - scores.size()];
        CandidateMap refined(kCoarseCandidates);
        for (std::size_t e = 0; e < listed.size(); ++e) {
            Candidate best{0, 0, -1.0};
            for (int n = 0; n < 9; ++n) {
                const double v = around[e * 9 + static_cast<std::size_t>(n)];
                if (v > best.score) {
                    best = neighbour(listed[e], n);
                    best.score = v;
                }
            }
            refined.insert(best);
        }
        map = refined;
    }

    // The winner; a close runner-up at least 4 blocks away is weighed again
    // with the blurred mask and wins only with a strictly higher weight.
    Candidate winner = map.best();
    const Candidate* runnerUp = nullptr;
    for (const auto& entry : map.entries()) {
        const Candidate& c = entry.second;
        if (std::abs(c.dx - winner.dx) >= 4 || std::abs(c.dy - winner.dy) >= 4) {
            runnerUp = &c;
            break;
        }
    }
    if (runnerUp != nullptr && 2.0 * (1.0 - winner.score) > 1.0 - runnerUp->score) {
        const double a = weightedAlignmentScore(ref, markers, cam, cmask, W6 / 2 + winner.dx,
                                                H6 / 2 + winner.dy);
        const double b = weightedAlignmentScore(ref, markers, cam, cmask, W6 / 2 + runnerUp->dx,
                                                H6 / 2 + runnerUp->dy);
        if (b > a) winner = *runnerUp;
    }

    // The reduced mask now marks the usable cells.
    invertWindow(mask, nullptr);
    if (map.best().score < 1.0 - static_cast<double>(kKeyStep)) {
        // Similarity walk: the window match score (correlation of the
        // reduced maps on every second row and column, usable cells only).
        // While it stays below 0.85 the offset moves to the best of its four
        // axis neighbours that improves it, within the coarse search range.
        MatchOptions options;
        options.step = 2;
        options.mask = mask.data;
        auto similarity = [&](int dx, int dy) {
            return WindowMatchScore(ref, cam, W6 / 2 + dx, H6 / 2 + dy, options);
        };
        float current = similarity(winner.dx, winner.dy);
        if (current < 0.85f) {
            constexpr int kMoves[4][2] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}};
            for (;;) {
                int bestMove = -1;
                float bestValue = current;
                for (int k = 0; k < 4; ++k) {
                    const int dx = winner.dx + kMoves[k][0], dy = winner.dy + kMoves[k][1];
                    if (std::abs(dx) > X || std::abs(dy) > Y) continue;
                    const float v = similarity(dx, dy);
                    if (v > bestValue) {
                        bestValue = v;
                        bestMove = k;
                    }
                }
                if (bestMove < 0) break;
                winner.dx += kMoves[bestMove][0];
                winner.dy += kMoves[bestMove][1];
                current = bestValue;
            }
        }
    }
    s.offsetX = winner.dx * kReduction;
    s.offsetY = winner.dy * kReduction;
}

void fineAlignment(SearchState& s) {
    const int W = s.W(), H = s.H(), w = s.w(), h = s.h();
    const QuadrantPlan& plan = *s.cameraPlan;
    const ConstGrayView ref = SearchState::cview(s.blurredRef, W, H);

    // Two passes around the current offset, the second moving only to a
    // strictly better position than the first found. Nothing scores below 0;
    // with no position above 0 the offset stays.
    double best = 0.0;
    auto pass = [&](int reach, int step) {
        int bestDx = 0, bestDy = 0;
        // Every position's quadrant sums on the call's threads, a row of
        // one quadrant a task, then the scores and the first strictly best
        // in row order.
        const int side = 2 * reach / step + 1;
        std::vector<QuadrantPlan::QuadrantSums> sums(static_cast<std::size_t>(side) * 4 * side);
        const auto sumsOf = [&](int row, int q) { return sums.data() + (static_cast<std::size_t>(row) * 4 + q) * side; };
        parallelFor(side * 4, threadBudget(), [&](int, int task) {
            const int row = task / 4, q = task % 4;
            plan.sumRow(ref, W / 2 + s.offsetX - reach, H / 2 + s.offsetY - reach + row * step, step, side, q,
                        sumsOf(row, q));
        });
        for (int dy = -reach; dy <= reach; dy += step) {
            const int row = (dy + reach) / step;
            for (int dx = -reach; dx <= reach; dx += step) {
                const int k = (dx + reach) / step;
                const QuadrantPlan::QuadrantSums four[4] = {sumsOf(row, 0)[k], sumsOf(row, 1)[k], sumsOf(row, 2)[k],
                                                            sumsOf(row, 3)[k]};
                const double v = plan.scoreOf(four);
                if (v > best) {
                    best = v;
                    bestDx = dx;
                    bestDy = dy;
                }
            }
        }
        s.offsetX += bestDx;
        s.offsetY += bestDy;
    };
    pass(12, 2);
    pass(3, 1);
    s.fineScore = best;

    // The window centre, kept 16 columns and m + 1 rows inside the reference.
    const int m = s.settings.margin;
    const double halfW = w / 2.0, halfH = h / 2.0;
    double cx = W / 2 + s.offsetX, cy = H / 2 + s.offsetY;
    if (cx - halfW <= 15) cx = std::trunc(halfW + 16);
    if (cx + halfW >= W - 16) cx = std::trunc(W - 17 - halfW);
    if (cy - halfH <= m) cy = std::trunc(m + 1 + halfH);
    if (cy + halfH >= H - m - 1) cy = std::trunc(H - m - 2 - halfH);
    s.centreX = truncToInt(cx);
    s.centreY = truncToInt(cy);
    s.cornerX = truncToInt(cx - halfW);
    s.cornerY = truncToInt(cy - halfH);
}

namespace {

// Who aligns each cell: a cell task, or work alongside that needs its band
// first. Each cell is claimed once; a band is ready when all its cells are
// done.
class CellClaims final : public CellBands {
public:
    explicit CellClaims(const std::function<void(int)>& align) : align_(align) {}

    // Aligns the cell unless somebody has claimed it.
    void run(int cell) {
        std::atomic<unsigned char>& state = state_[static_cast<std::size_t>(cell)];
        unsigned char waiting = kWaiting;
        if (!state.compare_exchange_strong(waiting, kRunning)) return;
        try {
            align_(cell);
        } catch (...) {
            finish(cell, kFailed);
            throw;
        }
        finish(cell, kDone);
    }

    bool ready(int band) override {
        for (int i = 0; i < kLocalCells; ++i) run(band * kLocalCells + i);
        // The cells claimed by other threads are being aligned now.
        std::unique_lock<std::mutex> g(lock_);
        for (int i = 0; i < kLocalCells; ++i) {
            const std::atomic<unsigned char>& state = state_[static_cast<std::size_t>(band * kLocalCells + i)];
            done_.wait(g, [&] { return state >= kDone; });
            if (state == kFailed) return false;
        }
        return true;
    }

private:
    enum : unsigned char { kWaiting, kRunning, kDone, kFailed };
    void finish(int cell, unsigned char to) {
        {
            const std::lock_guard<std::mutex> g(lock_);
            state_[static_cast<std::size_t>(cell)] = to;
        }
        done_.notify_all();
    }

    const std::function<void(int)>& align_;
    std::array<std::atomic<unsigned char>, kLocalCells * kLocalCells> state_{};
    std::mutex lock_;
    std::condition_variable done_;
};

}  // namespace

void localAlignment(SearchState& s, const std::function<void(CellBands&)>& alongside) {
    std::memset(s.cellOffsets, 0, sizeof s.cellOffsets);
    const int W = s.W(), H = s.H(), w = s.w(), h = s.h();
    const int m = s.settings.margin;
    const int cw = w / kLocalCells, ch = h / kLocalCells;
    const ConstGrayView cam = SearchState::cview(s.blurredCamera, w, h);
    const ConstGrayView ref = SearchState::cview(s.blurredRef, W, H);
    const ConstGrayView ignore{s.ignore.data, W, s.ignore.stride, H};
    // The cells are independent: each reads the shared images and writes
    // only its own offset, so they run on the call's threads.
    const std::function<void(int)> align = [&](int cell) {
        const int j = cell / kLocalCells, i = cell % kLocalCells;
        // Camera block around the cell, clipped to the window.
        const long long bx0 = std::max(0LL, static_cast<long long>(i) * cw - 15);
        const long long by0 = std::max(0LL, static_cast<long long>(j) * ch - m);
        const long long bx1 = std::min<long long>(w, static_cast<long long>(i) * cw - 15 + cw + 30);
        const long long by1 = std::min<long long>(h, static_cast<long long>(j) * ch - m + ch + 2LL * m);
        if (bx1 <= bx0 || by1 <= by0) return;
        const int bw = static_cast<int>(bx1 - bx0), bh = static_cast<int>(by1 - by0);
        long long set = 0;
        for (long long y = by0; y < by1; ++y) {
            const std::uint8_t* row = cam.row(static_cast<int>(y)) + bx0;
            for (int x = 0; x < bw; ++x) set += row[x] != 0;
        }
        if (set <= 99) return;
        const ConstGrayView block{cam.row(static_cast<int>(by0)) + bx0, bw, w, bh};

        // Reference area 30 columns wider and 2m rows taller, at the same
        // place relative to the window corner, clipped to R.
        const long long ax0 = std::max(0LL, s.cornerX + bx0 - 15);
        const long long ay0 = std::max(0LL, s.cornerY + by0 - m);
        const long long ax1 = std::min<long long>(W, s.cornerX + bx0 - 15 + bw + 30);
        const long long ay1 = std::min<long long>(H, s.cornerY + by0 - m + bh + 2LL * m);
        if (ax1 <= ax0 || ay1 <= ay0) return;
        const int aw = static_cast<int>(ax1 - ax0), ah = static_cast<int>(ay1 - ay0);
        const ConstGrayView area{ref.row(static_cast<int>(ay0)) + ax0, aw, W, ah};
        const ConstGrayView areaMask{ignore.row(static_cast<int>(ay0)) + ax0, aw,
                                     ignore.stride, ah};

        double highest = -1.0, lowest = 2.0;
        auto pass = [&](int x0, int x1, int y0, int y1, int step, int& bestDx, int& bestDy) {
            double best = -1.0;
            // A row of offsets at a time: at most 31 / 3 + 1 = 11 of them.
            const int count = (x1 - x0) / step + 1;
            double values[16];
            bool few[16];
            for (int dy = y0; dy <= y1; dy += step) {
                cubicAgreementRow(area, areaMask, block, aw / 2 + x0, ah / 2 + dy, step, count, values, few);
                for (int k = 0; k < count; ++k) {
                    const int dx = x0 + k * step;
                    if (few[k]) continue;
                    const double v = values[k];
                    if (v > best) {
                        best = v;
                        bestDx = dx;
                        bestDy = dy;
                    }
                    if (v > highest) highest = v;
                    if (v > 1e-5 && v < lowest) lowest = v;
                }
            }
        };
        int dx1 = 0, dy1 = 0;
        pass(-15, 15, -m, m, 3, dx1, dy1);
        int dx2 = dx1, dy2 = dy1;
        pass(dx1 - 2, dx1 + 2, dy1 - 2, dy1 + 2, 1, dx2, dy2);
        // The second pass reports the absolute position; the cell offset
        // is the first pass's best plus the second's step from it.
        if (highest > 0.9 && highest - lowest > 1e-6) {
            s.cellOffsets[j * kLocalCells + i][0] = dx2;
            s.cellOffsets[j * kLocalCells + i][1] = dy2;
        }
    };
    CellClaims claims(align);
    // Task 0 is the work alongside, first because it is the longest and
    // because it takes the bands it waits for itself when no other thread
    // has begun them; with buffers that share bytes it waits until the
    // cells are done.
    const bool together = alongside && s.buffersApart;
    parallelFor(kLocalCells * kLocalCells + 1, threadBudget(), [&](int, int task) {
        if (task == 0) {
            if (together) alongside(claims);
            return;
        }
        claims.run(task - 1);
    });
    if (alongside && !together) alongside(claims);
}

}  // namespace pcbinspect
