// The export `inspect`: reference preparation, the candidate loop with its
// windows, alignment and verdict chain, flaw records with suppression, and
// the hole pass.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "boundary/argument_check.h"
#include "boundary/export_guard.h"
#include "boundary/gray_copy.h"
#include "boundary/numeric.h"
#include "boundary/parallel.h"
#include "cad/cad_correction.h"
#include "imaging/window_filters.h"
#include "inspect/classify_patch.h"
#include "imaging/radial_edges.h"
#include "inspect/window_routines.h"
#include "model/inspect_records.h"
#include "inspect/window_checks.h"
#include "imaging/line_edges.h"
#include "imaging/line_fit.h"
#include "imaging/match_score.h"
#include "imaging/morphology.h"
#include "imaging/nearest_pixel.h"
#include "inspect/recheck_stages.h"
#include "imaging/thickness_map.h"
#include "pcbinspect/exports.h"

namespace pcbinspect {
namespace {

constexpr int W = kWindowSide;  // 120
constexpr int kArea = W * W;
constexpr int W2 = kRecheckSide;  // 240
constexpr int kArea2 = W2 * W2;

// The arguments of one call, checked.
struct InspectCall {
    GrayView ref;
    ConstGrayView cam;
    int camShiftX, camShiftY;
    InspectParams params;
    FlawCandidate* candidates;
    int candidateCount;
    int suppressRadius;
    std::int32_t* flaws;
    int flawCapacity;
    const OffsetGrid* offsetGrid;
    bool checkLines;
    const float* toleranceTable;
    int toleranceCount;
    const std::int32_t* holeOrigin;
    const HoleRecord* holes;
    int holeCount;
    bool checkHoles;
    const std::int32_t* control;
};

// What one candidate came to: nothing, or a flaw record.
struct Verdict {
    int code = 0;
    float score = 0.0f;
    int dx = 0, dy = 0;
};

// All windows of a call, allocated once.
struct Workspace {
    std::vector<std::uint8_t> labels = std::vector<std::uint8_t>(kArea);  // raw reference window
    std::vector<std::uint8_t> r = std::vector<std::uint8_t>(kArea);
    std::vector<std::uint8_t> c = std::vector<std::uint8_t>(kArea);
    std::vector<std::uint8_t> rSmooth = std::vector<std::uint8_t>(kArea);
    std::vector<std::uint8_t> cSmooth = std::vector<std::uint8_t>(kArea);
    std::vector<std::uint8_t> rMask = std::vector<std::uint8_t>(kArea);
    std::vector<std::uint8_t> blob = std::vector<std::uint8_t>(kArea);
    std::vector<std::uint8_t> copies[5] = {
        std::vector<std::uint8_t>(kArea), std::vector<std::uint8_t>(kArea),
        std::vector<std::uint8_t>(kArea), std::vector<std::uint8_t>(kArea),
        std::vector<std::uint8_t>(kArea)};
    std::vector<std::uint8_t> gap[3] = {std::vector<std::uint8_t>(kArea),
                                        std::vector<std::uint8_t>(kArea),
                                        std::vector<std::uint8_t>(kArea)};
    std::vector<std::uint8_t> r228 = std::vector<std::uint8_t>(228 * 228);
    std::vector<std::uint8_t> c228 = std::vector<std::uint8_t>(228 * 228);
    std::vector<std::uint8_t> r401 = std::vector<std::uint8_t>(401 * 401);
    std::vector<std::uint8_t> r240 = std::vector<std::uint8_t>(kArea2);
    std::vector<std::uint8_t> c240 = std::vector<std::uint8_t>(kArea2);
    std::vector<std::uint8_t> big[4] = {
        std::vector<std::uint8_t>(kArea2), std::vector<std::uint8_t>(kArea2),
        std::vector<std::uint8_t>(kArea2), std::vector<std::uint8_t>(kArea2)};
    std::vector<std::uint8_t> stageScratch = std::vector<std::uint8_t>(kLineWidthScratch);
    std::vector<std::uint8_t> patchWork = std::vector<std::uint8_t>(4 * kArea);
    CheckScratch checks;
    WindowMatchPlan matchPlan;
    MorphologyScratch morph;
};

// Cuts the window of side n whose top-left corner lies at (left, top) of the
// image; pixels outside the image are 0, whatever an earlier cut left.
void cutWindow(ConstGrayView image, std::uint8_t* window, int n, int left, int top) {
    cutSubGrayAt(image.data, image.width, image.stride, image.height, window, n, n, n, left, top);
}

// Reference labels to copper: everything but background, line labels and
// hole interiors. A drilled hole is open on a good board, so its interior
// must be open in the binary reference too, or every intact hole would read
// as a void in the camera.
void binariseReference(std::uint8_t* w, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t v = w[i];
        w[i] = (v == kLabelBackground || v == kLabelLine || v == kLabelReferenceLine ||
                v == kLabelHoleInterior)
                   ? 0
                   : 255;
    }
}

void binariseCamera(std::uint8_t* w, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) w[i] = w[i] != 0 ? 255 : 0;
}

bool allZero(const std::uint8_t* w, std::size_t count) {
    return std::all_of(w, w + count, [](std::uint8_t v) { return v == 0; });
}

int roundPosition(float v) { return truncToInt(static_cast<double>(v) + 0.5); }

// Positions whose window arithmetic (corners, shifts, the 401 x 401 cut
// around a pad) stays far inside the int range.
constexpr int kReach = 1 << 30;
bool withinReach(int v) { return v >= -kReach && v <= kReach; }

class Inspection {
public:
    Inspection(const InspectCall& call) : k_(call), writer_(call.flaws, call.flawCapacity) {
        t_ = toleranceFromControl(call.control);
    }

    int run();

    // A candidate's verdict with the positions and region class its record
    // carries. Depends only on the candidate and the call's inputs, so
    // candidates may be examined in any order and on any thread.
    struct Outcome {
        std::optional<Verdict> verdict;
        int refX = 0, refY = 0, camX = 0, camY = 0, region = -1;
    };
    Outcome outcomeOf(const FlawCandidate& candidate) {
        std::optional<Verdict> v = examine(candidate);
        return Outcome{v, refX_, refY_, camX_, camY_, regionField_};
    }

private:
    std::optional<Verdict> examine(const FlawCandidate& candidate);
    class Lookahead;
    void candidateLoop(Lookahead* ahead, int worker);
    bool classTwoIsPad();
    void placeWindows();
    std::optional<Verdict> lineWidthBranch(bool* taken);
    std::optional<Verdict> gapVerdict();
    std::optional<Verdict> recheck240();
    bool lineNear(int radius) const;
    void holePass();

    GrayView windowView(std::vector<std::uint8_t>& w) { return GrayView{w.data(), W, W, W}; }

    const InspectCall& k_;
    FlawWriter writer_;
    Workspace ws_;
    float t_ = 0.0f;

    // The candidate in hand.
    int refX_ = 0, refY_ = 0, camX_ = 0, camY_ = 0;
    bool hasMark_ = false, camCentre_ = false, nearLine_ = false;
    int sx_ = 0, sy_ = 0, mx_ = 0, my_ = 0;
    int class_ = -1, regionField_ = -1;
};

// With more than one thread, one thread runs the candidate loop in the
// serial order (capacity, suppression and its reordering of the list) while
// the others examine the live candidates just ahead of it, each with a
// workspace of its own; the loop takes an outcome when it reaches its
// candidate, or examines the candidate itself when nobody has started it.
// The records are thus the same bytes whatever the thread count. Outcomes
// are kept by the candidate's place in the caller's list at the start, which
// `origin` gives for each list slot as suppression moves candidates.
class Inspection::Lookahead {
public:
    Lookahead(Inspection& owner, int count, int threads)
        : owner_(owner),
          threads_(threads),
          window_(kSlotsAhead * threads),
          live_(count),
          state_(static_cast<std::size_t>(count), kWaiting),
          outcomes_(static_cast<std::size_t>(count)),
          origin_(static_cast<std::size_t>(count)),
          workers_(static_cast<std::size_t>(threads)) {
        for (int i = 0; i < count; ++i) origin_[static_cast<std::size_t>(i)] = i;
    }

    // Runs the loop on one of the call's threads and the examinations ahead
    // of it on the others.
    void run() {
        parallelFor(threads_, threads_, [&](int worker, int index) {
            if (index > 0) {
                examineAhead(worker);
                return;
            }
            // Whatever way the loop leaves, the examiners stop with it.
            struct Finish {
                Lookahead& a;
                ~Finish() {
                    std::lock_guard<std::mutex> g(a.lock_);
                    a.finished_ = true;
                    a.work_.notify_all();
                }
            } finish{*this};
            owner_.candidateLoop(this, worker);
        });
    }

    // The outcome of the candidate in list slot `slot`, which the loop has
    // reached.
    const Outcome& outcome(int worker, int slot) {
        std::unique_lock<std::mutex> g(lock_);
        if (cursor_ != slot) {
            cursor_ = slot;
            work_.notify_all();
        }
        const std::size_t first = static_cast<std::size_t>(origin_[static_cast<std::size_t>(slot)]);
        while (state_[first] != kDone) {
            if (failure_) std::rethrow_exception(failure_);
            // The loop's own candidate first; while an examiner has it, the
            // loop's thread takes another one ahead instead of waiting.
            const int s = state_[first] == kWaiting ? slot : claimable();
            if (s >= 0) {
                examineSlot(g, worker, s);
            } else {
                ready_.wait(g);
            }
        }
        return outcomes_[first];
    }

    // The candidate of the last live slot replaces the one of slot `to`,
    // which suppression dropped.
    void dropInto(int to) {
        std::lock_guard<std::mutex> g(lock_);
        const std::size_t last = static_cast<std::size_t>(--live_);
        owner_.k_.candidates[to] = owner_.k_.candidates[last];
        origin_[static_cast<std::size_t>(to)] = origin_[last];
    }

private:
    enum : unsigned char { kWaiting, kClaimed, kDone };
    // Live slots beyond the loop's, per thread, that may be examined before
    // the loop reaches them: enough to keep every thread busy while one
    // candidate takes long, few enough that little work is spent on
    // candidates that suppression drops.
    static constexpr int kSlotsAhead = 3;

    // The first slot within reach that nobody has started, or -1 (lock held).
    int claimable() const {
        const int end = std::min(live_, cursor_ + window_);
        for (int s = cursor_; s < end; ++s)
            if (state_[static_cast<std::size_t>(origin_[static_cast<std::size_t>(s)])] == kWaiting)
                return s;
        return -1;
    }

    // Examines the candidate of slot `s` with the lock released.
    void examineSlot(std::unique_lock<std::mutex>& g, int worker, int s) {
        const std::size_t o = static_cast<std::size_t>(origin_[static_cast<std::size_t>(s)]);
        state_[o] = kClaimed;
        const FlawCandidate candidate = owner_.k_.candidates[s];
        g.unlock();
        Outcome result;
        try {
            result = examiner(worker).outcomeOf(candidate);
        } catch (...) {
            g.lock();
            if (!failure_) failure_ = std::current_exception();
            ready_.notify_all();
            throw;
        }
        g.lock();
        outcomes_[o] = result;
        state_[o] = kDone;
        ready_.notify_all();
    }

    void examineAhead(int worker) {
        std::unique_lock<std::mutex> g(lock_);
        while (!finished_ && !failure_) {
            const int s = claimable();
            if (s >= 0) {
                examineSlot(g, worker, s);
            } else {
                work_.wait(g);
            }
        }
    }

    // The caller's thread uses the owner's workspace; helpers get one each,
    // made on first use.
    Inspection& examiner(int worker) {
        if (worker == 0) return owner_;
        std::unique_ptr<Inspection>& helper = workers_[static_cast<std::size_t>(worker)];
        if (!helper) helper = std::make_unique<Inspection>(owner_.k_);
        return *helper;
    }

    Inspection& owner_;
    const int threads_, window_;
    std::mutex lock_;
    std::condition_variable work_;   // the loop moved on, or stopped
    std::condition_variable ready_;  // an examination ended
    int cursor_ = 0, live_;
    bool finished_ = false;
    std::exception_ptr failure_;
    std::vector<unsigned char> state_;  // by origin
    std::vector<Outcome> outcomes_;     // by origin
    std::vector<int> origin_;           // by slot
    std::vector<std::unique_ptr<Inspection>> workers_;
};

int Inspection::run() {
    // The reference is corrected in place before anything reads it.
    correctReferenceIn(k_.ref, threadBudget());
    const int count = std::max(k_.candidateCount, 0);
    const int threads = std::min(threadBudget(), count);
    if (threads > 1) {
        Lookahead(*this, count, threads).run();
    } else {
        candidateLoop(nullptr, 0);
    }
    holePass();
    return writer_.count();
}

void Inspection::candidateLoop(Lookahead* ahead, int worker) {
    int live = std::max(k_.candidateCount, 0);
    for (int i = 0; i < live; ++i) {
        if (writer_.full()) break;
        const Outcome o = ahead ? ahead->outcome(worker, i) : outcomeOf(k_.candidates[i]);
        const std::optional<Verdict>& v = o.verdict;
        if (!v || v->code <= 0 || v->code >= kNoVerdict) continue;
        FlawRecord rec{v->code,        scoreField(v->score), o.refX + v->dx, o.refY + v->dy,
                       o.camX + v->dx, o.camY + v->dy,       o.region};
        writer_.append(rec);
        // Later candidates near the recorded flaw are dropped: the last live
        // candidate takes each one's place and is examined in its turn.
        if (k_.suppressRadius > 0) {
            const long long limit =
                static_cast<long long>(k_.suppressRadius) * k_.suppressRadius;
            for (int j = i + 1; j < live;) {
                const long long ex = truncToInt(k_.candidates[j].camX - static_cast<float>(rec.camX));
                const long long ey = truncToInt(k_.candidates[j].camY - static_cast<float>(rec.camY));
                // Each square is at most 2^62 (a NaN or far position truncates
                // to INT_MIN), so their sum is taken without sign.
                const auto square = [](long long d) { return static_cast<unsigned long long>(d * d); };
                if (square(ex) + square(ey) < static_cast<unsigned long long>(limit)) {
                    if (ahead) {
                        ahead->dropInto(j);
                    } else {
                        k_.candidates[j] = k_.candidates[live - 1];
                    }
                    --live;
                } else {
                    ++j;
                }
            }
        }
    }
}

std::optional<Verdict> Inspection::examine(const FlawCandidate& cand) {
    refX_ = roundPosition(cand.refX);
    refY_ = roundPosition(cand.refY);
    camX_ = roundPosition(cand.camX);
    camY_ = roundPosition(cand.camY);
    const int cw = k_.cam.width, ch = k_.cam.height;
    if (camX_ < 47 || camY_ < 47 || camX_ > cw - 47 || camY_ > ch - 47) return std::nullopt;
    // A reference position beyond 2^30 (or NaN, rounded to INT_MIN) cannot
    // name a place in any reference, and the window corners and shifts taken
    // from it would overflow: such a candidate is skipped like one outside
    // the camera border.
    if (!withinReach(refX_) || !withinReach(refY_)) return std::nullopt;

    // Windows and binarisation.
    const ConstGrayView ref{k_.ref.data, k_.ref.width, k_.ref.stride, k_.ref.height};
    cutWindow(ref, ws_.labels.data(), W, refX_ - 60, refY_ - 60);
    std::memcpy(ws_.r.data(), ws_.labels.data(), kArea);
    hasMark_ = std::find(ws_.r.begin(), ws_.r.end(), kLabelMark) != ws_.r.end();
    binariseReference(ws_.r.data(), kArea);
    cutWindow(k_.cam, ws_.c.data(), W, camX_ - 60, camY_ - 60);
    binariseCamera(ws_.c.data(), kArea);
    camCentre_ = false;
    for (int y = 59; y <= 61; ++y)
        for (int x = 59; x <= 61; ++x) camCentre_ |= ws_.c[y * W + x] != 0;

    // Smoothed copies and the alignment search.
    ws_.rSmooth = ws_.r;
    ws_.cSmooth = ws_.c;
    boxSmooth(windowView(ws_.rSmooth), 1.0f);
    boxSmooth(windowView(ws_.cSmooth), 1.0f);
    ws_.rMask = ws_.rSmooth;
    boxBlurGray(ws_.rMask.data(), W, W, W, 10);
    if (camX_ < 60 || camY_ < 60 || camX_ > cw - 61 || camY_ > ch - 61) {
        const int ox = camX_ < 60 ? 60 - camX_ : (camX_ > cw - 61 ? camX_ - cw + 61 : 0);
        const int oy = camY_ < 60 ? 60 - camY_ : (camY_ > ch - 61 ? camY_ - ch + 61 : 0);
        ClearMargins(ws_.rMask.data(), W, ox, oy);
    }
    sx_ = sy_ = 0;
    if (!allZero(ws_.rSmooth.data(), kArea)) {
        MatchOptions o;
        o.step = 3;
        o.mask = ws_.rMask.data();
        o.outsideIsNeutral = true;
        o.differenceMode = true;
        const ConstGrayView image{ws_.cSmooth.data(), W, W, W};
        WindowMatchPlan& plan = ws_.matchPlan;
        plan.prepare(ConstGrayView{ws_.rSmooth.data(), W, W, W}, o);
        // The 13 x 13 shifts, scored a row of centres at a time; search
        // order i puts the centre at (72 - 2 (i / 13), 72 - 2 (i % 13)).
        constexpr int kShifts = 13 * 13;
        float scores[kShifts];
        for (int b = 0; b < 13; ++b) {
            float row[13];  // centres 48, 50, .., 72 of row 72 - 2b
            plan.scoresAlongRow(image, 48, 72 - 2 * b, 8, row);
            plan.scoresAlongRow(image, 64, 72 - 2 * b, 5, row + 8);
            for (int a = 0; a < 13; ++a) scores[a * 13 + b] = row[12 - a];
        }
        float best = 0.0f;
        for (int i = 0; i < kShifts; ++i)
            if (scores[i] > best) {
                best = scores[i];
                sx_ = 2 * (i / 13) - 12;
                sy_ = 2 * (i % 13) - 12;
            }
    }

    // Region class and the line check.
    class_ = regionClassAt(ref, refX_, refY_, true);
    if (class_ == 5) return std::nullopt;
    nearLine_ = false;
    if (k_.checkLines) {
        const int x = camCentre_ ? refX_ + sx_ : refX_, y = camCentre_ ? refY_ + sy_ : refY_;
        for (int yy = std::max(y - 10, 0); yy <= std::min(y + 10, ref.height - 1) && !nearLine_; ++yy)
            for (int xx = std::max(x - 10, 0); xx <= std::min(x + 10, ref.width - 1); ++xx)
                if (ref.row(yy)[xx] == kLabelReferenceLine) {
                    nearLine_ = true;
                    break;
                }
    }
    if (class_ == 2 && hasMark_ && classTwoIsPad()) class_ = 0;

    placeWindows();
    regionField_ = class_;

    // Hole size.
    if (k_.params.holeSizeCheckEnabled() && k_.holeOrigin && k_.holes && k_.holeCount > 0) {
        float score = 0.0f;
        const int code = holeSizeCheck(ConstGrayView{ws_.r.data(), W, W, W},
                                       ConstGrayView{ws_.c.data(), W, W, W}, k_.holeOrigin, refX_,
                                       refY_, k_.holes, k_.holeCount, k_.params, &score);
        if (code > 0) return Verdict{code, score, 0, 0};
    }

    // Window comparison: a camera blob bridging two reference features.
    if (bridgeCount(ws_.c.data(), ws_.r.data(), ws_.checks) == 2) {
        mx_ += 10;
        my_ += 10;
        ClearMargins(ws_.r.data(), W, mx_, my_);
        ClearMargins(ws_.c.data(), W, mx_, my_);
        if (bridgeCount(ws_.c.data(), ws_.r.data(), ws_.checks) == 2) {
            if (nearLine_) return std::nullopt;
            return Verdict{kBridge, 0.0f, 0, 0};
        }
    }

    // Presence.
    if (isEmptyWindow(ws_.c.data())) {
        if (nearLine_) return std::nullopt;
        return Verdict{kEmptyWindow, 0.0f, 0, 0};
    }
    ws_.blob = ws_.c;
    const NearestBlob nearest = keepNearestBlob(ws_.blob.data(), mx_, my_, class_, ws_.checks);
    if (nearest.code != 0) return Verdict{nearest.code, nearest.score, 0, 0};
    ThicknessMap(windowView(ws_.blob));

    // The verdict chain.
    if (class_ == 2 && nearest.spansWindow) {
        bool taken = false;
        std::optional<Verdict> v = lineWidthBranch(&taken);
        if (taken) return v;
    }
    CorrectLineDirection(windowView(ws_.blob));
    if (class_ == 2) {
        int cx, cy;
        if (NearestSetPixel(ws_.blob.data(), W, 60, 60, &cx, &cy) > 0.0f &&
            2 * squareMaximum(ws_.blob.data(), cx, cy) > 50)
            class_ = 0;
    }
    if (std::optional<Verdict> v = gapVerdict()) {
        if (v->code <= 0) return std::nullopt;  // ends without a record
        return v;
    }
    return recheck240();
}

// The class-2 re-check of a window with a mark: whether the feature is in
// fact a round pad.
bool Inspection::classTwoIsPad() {
    float best = 999.0f;
    Circle circle;
    if (padTest(ws_.r.data(), ws_.c.data(), W, 90, 0.5f, &best, &circle, ws_.checks)) return true;
    if (!(best < 1.5f)) return false;
    const ConstGrayView ref{k_.ref.data, k_.ref.width, k_.ref.stride, k_.ref.height};
    cutWindow(ref, ws_.r228.data(), 228, refX_ - 114, refY_ - 114);
    cutWindow(k_.cam, ws_.c228.data(), 228, camX_ - 114, camY_ - 114);
    binariseReference(ws_.r228.data(), ws_.r228.size());
    binariseCamera(ws_.c228.data(), ws_.c228.size());
    float best228 = 999.0f;
    Circle c228;
    if (padTest(ws_.r228.data(), ws_.c228.data(), 228, 120, 0.5f, &best228, &c228, ws_.checks))
        return true;
    // Without a circle found there is nothing to profile.
    if (!(best228 < 999.0f)) return false;

    // The pad's edge in a 401 x 401 reference window centred on the circle:
    // a circle fitted to 50 rays cast outward, then the longest run of rays
    // that found the edge again around the fitted centre, and its profile.
    const int px = refX_ - 114 + truncToInt(c228.x), py = refY_ - 114 + truncToInt(c228.y);
    cutWindow(ref, ws_.r401.data(), 401, px - 200, py - 200);
    RayFan fan = rayFan(200, 200, std::min(truncToInt(1.5f * c228.radius), 200),
                        truncToInt(0.5f * c228.radius), true, 0, 30, 50, 3);
    PointF points[50];
    std::fill(points, points + 50, kAbsentPoint);
    Circle fitted;
    if (!MeasureCircle(ws_.r401.data(), 401, 401, 401, fan, &fitted, points) || !isFinite(fitted))
        return false;
    fan.cx = truncToInt(fitted.x);
    fan.cy = truncToInt(fitted.y);
    std::fill(points, points + 50, kAbsentPoint);
    RadialEdgePoints(ws_.r401.data(), 401, 401, 401, fan, points);
    int start = 0;
    const int n = runCount(points, 50, &start);
    if (n < 25) return false;
    const float factor = n >= 45 ? 1.5f : (n >= 35 ? 1.2f : 1.0f);
    return factor >= profileRatio(fitted, points + start, n);
}

// Applies the alignment shift, sets the margins, and cleans the reference.
void Inspection::placeWindows() {
    if (camCentre_)
        shiftWindow(windowView(ws_.r), static_cast<float>(-sx_), static_cast<float>(-sy_), 0);
    else
        shiftWindow(windowView(ws_.c), static_cast<float>(sx_), static_cast<float>(sy_), 0);
    const int cw = k_.cam.width, ch = k_.cam.height;
    mx_ = std::abs(sx_) + std::max(0, 60 - camX_) + std::max(0, camX_ + 60 - cw);
    my_ = std::abs(sy_) + std::max(0, 60 - camY_) + std::max(0, camY_ + 60 - ch);
    ClearMargins(ws_.r.data(), W, mx_, my_);
    ClearMargins(ws_.c.data(), W, mx_, my_);
    cleanReference(ws_.r.data(), mx_, my_);
    if (class_ == 0 && padAreaTest(ws_.r.data(), k_.control[2], ws_.checks)) class_ = 4;
}

bool Inspection::lineNear(int radius) const {
    const ConstGrayView ref{k_.ref.data, k_.ref.width, k_.ref.stride, k_.ref.height};
    const int x = camCentre_ ? refX_ + sx_ : refX_, y = camCentre_ ? refY_ + sy_ : refY_;
    return nearReferenceLine(ref, x, y, radius);
}

// Width of a binary line across the point (x, y) of a 120 x 120 window: two
// rakes of rays across the line (direction `angle` + 90), one finding the
// edge where the line starts, one where it ends; the width is the distance
// between the two fitted edges at the middle of the first. 0 when either
// edge is missing.
float lineWidthAt(const std::uint8_t* window, int x, int y, float angle) {
    Rake rake;
    rake.cx = x;
    rake.cy = y;
    rake.halfLength = 40;
    rake.halfWidth = 5;
    rake.angle = angle + 90.0f;
    rake.rays = 5;
    rake.window = 2;
    rake.threshold = 60;
    PointF points[5];
    float ax0, ay0, ax1, ay1, bx0, by0, bx1, by1;
    rake.polarity = 1;
    if (!MeasureLine(window, W, W, W, rake, 1, &ax0, &ay0, &ax1, &ay1, points)) return 0.0f;
    rake.polarity = -1;
    if (!MeasureLine(window, W, W, W, rake, 1, &bx0, &by0, &bx1, &by1, points)) return 0.0f;
    const PointF middle{(ax0 + ax1) / 2.0f, (ay0 + ay1) / 2.0f};
    const float d = PointLineDistance(PointF{bx0, by0}, PointF{bx1, by1}, middle);
    return d == FLT_MAX ? 0.0f : d;
}

// Line-width branch of a class-2 line that spans the window.
std::optional<Verdict> Inspection::lineWidthBranch(bool* taken) {
    int lo = 99999, hi = 0;
    for (int y = 30; y <= 89; ++y)
        for (int x = 30; x <= 89; ++x) {
            const int v = ws_.blob[y * W + x];
            if (v == 0) continue;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    if (!(hi >= lo && hi - lo <= std::max(lo / 10, 1))) return std::nullopt;

    int px, py, qx, qy;
    NearestSetPixel(ws_.blob.data(), W, 60, 60, &px, &py);
    std::vector<std::uint8_t>& refWidths = ws_.copies[0];
    refWidths = ws_.r;
    ThicknessMap(windowView(refWidths));
    NearestSetPixel(refWidths.data(), W, px, py, &qx, &qy);
    const float f = IsNotStraight(refWidths.data(), W, qx, qy) ? 1.0f + t_ : 1.0f;
    px = std::clamp(px, 3, 116);
    py = std::clamp(py, 3, 116);
    auto set = [&](int x, int y) { return ws_.blob[y * W + x] != 0; };
    auto column = [&](int x) { return set(x, py - 1) || set(x, py) || set(x, py + 1); };
    auto row = [&](int y) { return set(px - 1, y) || set(px, y) || set(px + 1, y); };
    // The camera skeleton runs left-right or up-down through p, or the
    // reference skeleton's fitted direction at q decides.
    float angle;
    if (column(px - 3) && column(px + 3)) {
        angle = 0.0f;
    } else if (row(py - 3) && row(py + 3)) {
        angle = 90.0f;
    } else if (!(qx >= 0 && LineDirection(refWidths.data(), qx, qy, &angle))) {
        return std::nullopt;
    }
    *taken = true;

    // Widths across the line; the spacing measures are not taken here (the
    // spacing stage of the re-check measures gaps between conductors).
    const float a = qx >= 0 ? lineWidthAt(ws_.r.data(), qx, qy, angle) : 0.0f;
    const float b = lineWidthAt(ws_.c.data(), px, py, angle);
    if (!(a > 0.0f && b > 0.0f)) return Verdict{0, 0.0f, 0, 0};
    float widen = k_.params[5], narrow = k_.params[6];
    if (const WidthTolerance* rec = findWidthTolerance(k_.toleranceTable, k_.toleranceCount, a)) {
        widen = rec->widenLimit;
        narrow = rec->narrowLimit;
    }
    const float r = std::fabs(a - b) / a;
    const int bound = k_.control[3], cameraBound = k_.control[4];
    if (a > b) {
        if (a <= static_cast<float>(bound) && b <= static_cast<float>(cameraBound))
            return Verdict{kLineNarrowed, r, 0, 0};
        if (a > static_cast<float>(bound) && r > f * narrow) return Verdict{kLineNarrowed, r, 0, 0};
    } else if (r > f * widen) {
        return Verdict{kLineWidened, r, 0, 0};
    }
    return Verdict{0, 0.0f, 0, 0};
}

// Edge comparison and gap measurement; a verdict, or code 0 to end the
// candidate without a record, or nothing to go on.
std::optional<Verdict> Inspection::gapVerdict() {
    std::vector<std::uint8_t>& refBefore = ws_.copies[0];
    std::vector<std::uint8_t>& refAfter = ws_.copies[1];
    std::vector<std::uint8_t>& camBinary = ws_.copies[2];
    std::vector<std::uint8_t>& camPlain = ws_.copies[3];
    std::vector<std::uint8_t>& camCopy = ws_.copies[4];

    refBefore = ws_.r;
    camCopy = ws_.c;
    compareEdges(ws_.blob.data(), camCopy.data(), ws_.r.data(), mx_, my_, ws_.checks);
    refAfter = ws_.r;
    camBinary = ws_.c;  // the camera window is binary already
    camPlain = ws_.c;
    int history[20];
    std::fill(history, history + 20, -1);
    // The gap measurement changes its camera windows: it runs on copies, so a
    // repetition starts from the same windows.
    std::vector<std::uint8_t>& rPre = ws_.gap[0];
    std::vector<std::uint8_t>& rPost = ws_.gap[1];
    std::vector<std::uint8_t>& cb = ws_.gap[2];
    rPre = refBefore;
    rPost = refAfter;
    cb = camBinary;
    ws_.blob = camPlain;
    GapResult g = measureGap(rPre.data(), rPost.data(), cb.data(), ws_.blob.data(), W, mx_, my_,
                             history, ws_.checks);
    if (g.measure == 0 && g.refEmpty) {
        const int mx = mx_ + 10, my = my_ + 10;
        rPre = refBefore;
        rPost = refAfter;
        cb = camBinary;
        ws_.blob = camPlain;
        for (std::uint8_t* w : {rPre.data(), rPost.data(), cb.data(), ws_.blob.data()})
            ClearMargins(w, W, mx, my);
        std::fill(history, history + 20, -1);
        g = measureGap(rPre.data(), rPost.data(), cb.data(), ws_.blob.data(), W, mx, my, history,
                       ws_.checks);
        if (g.measure == 0 && g.refEmpty) return Verdict{kBridge, 0.0f, 0, 0};
    }
    const int g0 = g.measure;
    const InspectParams& p = k_.params;
    if (g0 > 0) {
        if (static_cast<float>(g0) > p[23]) {
            if (lineNear(10)) return Verdict{0, 0.0f, 0, 0};
            return Verdict{kGapNarrow, static_cast<float>(g0), 0, 0};
        }
        return std::nullopt;
    }
    const ConstGrayView ref{k_.ref.data, k_.ref.width, k_.ref.stride, k_.ref.height};
    if (g0 == kMissingFeature) {
        // The missing feature of the full region class; each code reports
        // the missing limit of its class as score.
        switch (regionClassAt(ref, refX_, refY_, false)) {
            case 1: return Verdict{kMissingClass1, p[25], 0, 0};
            case 2: return Verdict{kMissingClass2, p[3], 0, 0};
            case 3: return Verdict{kMissingClass3, p[11], 0, 0};
            default: return Verdict{kMissingClass0, p[15], 0, 0};
        }
    }
    if (g0 >= kNoVerdict) {
        if (regionClassAt(ref, refX_, refY_, false) == 2)
            return Verdict{kGapOpen, p[8] < 50.0f ? 50.0f : p[8], 0, 0};
        if (lineNear(10)) return Verdict{0, 0.0f, 0, 0};
        return Verdict{kGapNarrow, p[23] < 50.0f ? 50.0f : p[23], 0, 0};
    }
    return std::nullopt;
}

// The 240 x 240 re-check: enlarged windows, fine alignment, the patch
// classification and the stages it calls for.
std::optional<Verdict> Inspection::recheck240() {
    std::uint8_t* r240 = ws_.r240.data();
    std::uint8_t* c240 = ws_.c240.data();
    // The reference enlarged by pixel doubling: each odd row repeats the
    // even row above it.
    for (int y = 0; y < W2; ++y) {
        std::uint8_t* row = r240 + y * W2;
        if (y % 2 == 1) {
            std::memcpy(row, row - W2, W2);
            continue;
        }
        const std::uint8_t* source = ws_.r.data() + (y / 2) * W;
        int x = 0;
#ifdef __SSE2__
        for (; x + 32 <= W2; x += 32) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + x / 2));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), _mm_unpacklo_epi8(v, v));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x + 16), _mm_unpackhi_epi8(v, v));
        }
#endif
        for (; x < W2; ++x) row[x] = source[x / 2];
    }
    ClearMargins(r240, W2, 2 * mx_, 2 * my_);

    // The camera again, enlarged bilinearly corner onto corner, then
    // thresholded at half its smallest non-zero value.
    std::vector<std::uint8_t>& raw = ws_.copies[4];
    cutWindow(k_.cam, raw.data(), W, camX_ - 60, camY_ - 60);
    std::uint8_t smallest = 255;
    std::size_t i = 0;
#ifdef __SSE2__
    // Zeros count as 255: each byte or-ed with its zero test.
    __m128i lanes = _mm_set1_epi8(-1);
    for (; i + 16 <= raw.size(); i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(raw.data() + i));
        lanes = _mm_min_epu8(lanes, _mm_or_si128(v, _mm_cmpeq_epi8(v, _mm_setzero_si128())));
    }
    alignas(16) std::uint8_t lane[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lane), lanes);
    for (const std::uint8_t v : lane) smallest = std::min(smallest, v);
#endif
    for (; i < raw.size(); ++i) smallest = std::min<std::uint8_t>(smallest, raw[i] == 0 ? 255 : raw[i]);
    const float scale = 119.0f / 239.0f;
    // The column of every enlarged pixel and its weight, the same on every row.
    int columns[W2];
    float weights[W2];
    for (int x = 0; x < W2; ++x) {
        const float fx = static_cast<float>(x) * scale;
        columns[x] = std::min(static_cast<int>(fx), W - 2);
        weights[x] = fx - static_cast<float>(columns[x]);
    }
    // Rows that share their source row pair share each column's four source
    // pixels times their column weights, gathered once per pair; each row
    // then mixes them in a loop of independent lanes. The weights lie in
    // [0, 1], so the value stays within 0 .. 255 and the plain conversion
    // truncates it. A source row's weighted pixels are the same whether it
    // is the lower row of one pair or the upper row of the next, so when the
    // pair moves down by one row its lower half becomes the upper half.
    float left[2][W2], right[2][W2];
    int lower = 0;  // which of the two holds the pair's lower row
    const auto weigh = [&](int sourceRow, float* l, float* r) {
        const std::uint8_t* row = raw.data() + sourceRow * W;
        for (int x = 0; x < W2; ++x) {
            const std::uint8_t* p = row + columns[x];
            const float wx = weights[x];
            l[x] = static_cast<float>(p[0]) * (1 - wx);
            r[x] = static_cast<float>(p[1]) * wx;
        }
    };
    int gathered = -2;
    for (int y = 0; y < W2; ++y) {
        const float fy = static_cast<float>(y) * scale;
        const int y0 = std::min(static_cast<int>(fy), W - 2);
        const float wy = fy - static_cast<float>(y0);
        if (y0 != gathered) {
            if (y0 == gathered + 1) {
                lower ^= 1;
            } else {
                weigh(y0, left[lower ^ 1], right[lower ^ 1]);
            }
            weigh(y0 + 1, left[lower], right[lower]);
            gathered = y0;
        }
        const float* topLeft = left[lower ^ 1];
        const float* topRight = right[lower ^ 1];
        const float* bottomLeft = left[lower];
        const float* bottomRight = right[lower];
        std::uint8_t* out = c240 + y * W2;
        for (int x = 0; x < W2; ++x) {
            const float v = topLeft[x] * (1 - wy) + topRight[x] * (1 - wy) +
                            bottomLeft[x] * wy + bottomRight[x] * wy;
            out[x] = static_cast<std::uint8_t>(std::clamp(static_cast<int>(v), 0, 255));
        }
    }
    if (!camCentre_)
        shiftWindow(GrayView{c240, W2, W2, W2}, static_cast<float>(2 * sx_),
                    static_cast<float>(2 * sy_), 0);
    ClearMargins(c240, W2, 2 * mx_, 2 * my_);
    const int half = smallest / 2;
    for (int i = 0; i < kArea2; ++i) c240[i] = c240[i] > half ? 255 : 0;

    // Diagonal closing: a diagonal step of the outline becomes 4-connected.
    // A pixel can only be set where it is clear and the row above or below
    // steps there, so groups of sixteen without such a place are passed over.
    for (int y = 1; y <= W2 - 2; ++y) {
        std::uint8_t* row = c240 + y * W2;
        auto close = [&](int x) {
            std::uint8_t* q = row + x;
            if (q[0] == 0 || q[1] != 0) return;
            if ((q[-W2] == 0 && q[-W2 + 1] != 0) || (q[W2] == 0 && q[W2 + 1] != 0)) q[1] = 255;
        };
        int x = 1;
#ifdef __SSE2__
        const __m128i zero = _mm_setzero_si128();
        auto load = [](const std::uint8_t* p) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        };
        // A step: clear at x, set at x + 1.
        auto step = [&](const std::uint8_t* p) {
            return _mm_andnot_si128(_mm_cmpeq_epi8(load(p + 1), zero), _mm_cmpeq_epi8(load(p), zero));
        };
        for (; x + 16 <= W2 - 1; x += 16) {
            const __m128i open = _mm_cmpeq_epi8(load(row + x + 1), zero);
            const __m128i steps = _mm_or_si128(step(row - W2 + x), step(row + W2 + x));
            if (_mm_movemask_epi8(_mm_and_si128(open, steps)) == 0) continue;
            for (int i = x; i < x + 16; ++i) close(i);
        }
#endif
        for (; x <= W2 - 2; ++x) close(x);
    }

    // The gap measurement on the enlarged windows keeps in C240 only the
    // camera regions under the reference.
    {
        std::vector<std::uint8_t>& rPre = ws_.big[0];
        std::vector<std::uint8_t>& cb = ws_.big[1];
        rPre = ws_.r240;
        cb = ws_.c240;
        int history[20];
        std::fill(history, history + 20, -1);
        measureGap(rPre.data(), r240, cb.data(), c240, W2, 2 * mx_, 2 * my_, history, ws_.checks);
    }

    // Fine alignment by a pixel.
    {
        std::vector<std::uint8_t>& rs = ws_.big[0];
        std::vector<std::uint8_t>& cs = ws_.big[1];
        rs = ws_.r240;
        cs = ws_.c240;
        boxBlurGray(rs.data(), W2, W2, W2, 10);
        boxBlurGray(cs.data(), W2, W2, W2, 10);
        MatchOptions o;
        o.step = 5;
        o.mask = rs.data();
        o.outsideIsNeutral = true;
        o.differenceMode = true;
        float best = 0.0f;
        int bu = 0, bv = 0;
        WindowMatchPlan& plan = ws_.matchPlan;
        plan.prepare(ConstGrayView{rs.data(), W2, W2, W2}, o);
        int cxs[9], cys[9];
        float scores[9];
        for (int i = 0; i < 9; ++i) {
            cxs[i] = 120 + 1 - i / 3;
            cys[i] = 120 + 1 - i % 3;
        }
        plan.scores(ConstGrayView{cs.data(), W2, W2, W2}, cxs, cys, 9, scores);
        for (int i = 0; i < 9; ++i)
            if (scores[i] > best) {
                best = scores[i];
                bu = i / 3 - 1;
                bv = i % 3 - 1;
            }
        if (bu != 0 || bv != 0) {
            if (camCentre_)
                shiftWindow(GrayView{r240, W2, W2, W2}, static_cast<float>(-bu),
                            static_cast<float>(-bv), 0);
            else
                shiftWindow(GrayView{c240, W2, W2, W2}, static_cast<float>(bu),
                            static_cast<float>(bv), 0);
            ClearMargins(r240, W2, 2 * mx_ + std::abs(bu), 2 * my_ + std::abs(bv));
            ClearMargins(c240, W2, 2 * mx_ + std::abs(bu), 2 * my_ + std::abs(bv));
        }
    }

    // The stages get their own copies of the enlarged windows.
    std::vector<std::uint8_t>& pristineA = ws_.big[0];
    std::vector<std::uint8_t>& pristineB = ws_.big[1];
    std::vector<std::uint8_t>& maskA = ws_.big[2];
    std::vector<std::uint8_t>& maskB = ws_.big[3];
    pristineA = ws_.r240;
    pristineB = ws_.c240;

    const PatchVerdict patch = ClassifyPatch(ws_.patchWork.data(), ws_.r.data(), ws_.c.data(),
                                             r240, c240, class_, k_.params, mx_, my_, nearLine_);
    const int code = patch.code;
    if (code <= 0 || code >= kNoVerdict) return std::nullopt;
    if (code == 29) {
        if (lineNear(100)) return std::nullopt;
        return Verdict{29, patch.score, patch.dx, patch.dy};
    }
    if (code == 3) {
        // A recorded line width: confirmed when an enclosed difference
        // reaches far enough across the line (limit: the void ratio limit).
        maskB = pristineB;
        float score = 0.0f;
        if (EnclosedDifferenceCheck(ws_.stageScratch.data(), pristineA.data(), maskB.data(),
                                    k_.params[4], &score, k_.toleranceTable, k_.toleranceCount))
            return Verdict{3, score, 0, 0};
    }
    if (code == 3 || code == 20) {
        maskA = pristineA;
        maskB = pristineB;
        LineWidthInputs in{ws_.stageScratch.data(), &ws_.morph, ws_.labels.data(), pristineA.data(),
                           pristineB.data(),        maskA.data(),      maskB.data(),
                           &k_.params,              2 * mx_,           2 * my_,
                           k_.toleranceTable,       k_.toleranceCount, t_,
                           k_.control[3],           k_.control[4]};
        const StageVerdict lw = LineWidthStage(in);
        if (lw.code > 0 && lw.code < kNoVerdict) return Verdict{lw.code, lw.score, lw.dx, lw.dy};
        std::vector<std::uint8_t>& r = ws_.copies[0];
        std::vector<std::uint8_t>& c = ws_.copies[1];
        r = ws_.r;
        c = ws_.c;
        float score = 0.0f;
        if (SpacingStage(r.data(), c.data(), k_.params, &score, k_.toleranceTable,
                         k_.toleranceCount) == kSpacing)
            return Verdict{kSpacing, score, 0, 0};
        return std::nullopt;
    }
    return Verdict{code, patch.score, patch.dx, patch.dy};
}

// Holes of the reference that are not open in the camera.
void Inspection::holePass() {
    if (!k_.checkHoles || k_.holeCount <= 0 || !k_.holes || !k_.holeOrigin) return;
    const int cellW = k_.cam.width / 5, cellH = k_.cam.height / 5;
    const ConstGrayView ref{k_.ref.data, k_.ref.width, k_.ref.stride, k_.ref.height};
    std::vector<std::uint8_t>& rw = ws_.copies[0];
    std::vector<std::uint8_t>& cw = ws_.copies[1];
    for (int i = 0; i < k_.holeCount; ++i) {
        const HoleRecord& h = k_.holes[i];
        if (h.kind == 11 || h.kind == 12 || h.radius < 0) continue;
        const long long rx = static_cast<long long>(h.x) - h.radius - k_.holeOrigin[0];
        const long long ry = static_cast<long long>(h.y) - h.radius - k_.holeOrigin[1];
        if (rx < 0 || rx > k_.ref.width || ry < 0 || ry > k_.ref.height) continue;
        const int s = static_cast<int>(std::min<long long>(2LL * h.radius + 1, W));
        long long cx = rx - k_.camShiftX, cy = ry - k_.camShiftY;
        if (k_.offsetGrid) {
            // The cell of the uncorrected corner, kept inside the grid.
            const int col = cellW > 0 ? static_cast<int>(std::clamp<long long>(cx / cellW, 0, 4)) : 0;
            const int row = cellH > 0 ? static_cast<int>(std::clamp<long long>(cy / cellH, 0, 4)) : 0;
            cx -= k_.offsetGrid->cells[row * 5 + col][0];
            cy -= k_.offsetGrid->cells[row * 5 + col][1];
        }
        if (cx < 0 || cx + s >= k_.cam.width || cy < 0 || cy + s >= k_.cam.height) continue;
        cutWindow(ref, rw.data(), s, static_cast<int>(rx), static_cast<int>(ry));
        cutWindow(k_.cam, cw.data(), s, static_cast<int>(cx), static_cast<int>(cy));
        int n = 0, closed = 0;
        for (int j = 0; j < s * s; ++j) {
            if (rw[j] != kLabelHoleInterior) continue;
            ++n;
            if (cw[j] == 0) ++closed;
        }
        if (closed < n / 4) {
            const FlawRecord rec{kHoleNotOpen,
                                 0,
                                 static_cast<int>(rx + h.radius),
                                 static_cast<int>(ry + h.radius),
                                 static_cast<int>(cx + h.radius),
                                 static_cast<int>(cy + h.radius),
                                 0};
            writer_.append(rec);
        }
    }
}

}  // namespace
}  // namespace pcbinspect

extern "C" PCBINSPECT_API std::int32_t inspect(
    std::uint8_t* ref, const void* /*reserved1*/, std::int32_t refWidth, std::int32_t refStride,
    std::int32_t refHeight, const std::uint8_t* cam, std::int32_t camWidth, std::int32_t camStride,
    std::int32_t camHeight, std::int32_t camShiftX, std::int32_t camShiftY, const float* params,
    std::int32_t paramCount, FlawCandidate* candidates, std::int32_t candidateCount,
    std::int32_t suppressRadius, std::int64_t /*reserved2*/, std::int32_t* flaws,
    std::int32_t flawCapacity, const OffsetGrid* offsetGrid, bool checkLines,
    const float* toleranceTable, std::int32_t toleranceCount, const std::int32_t* holeOrigin,
    const HoleRecord* holes, std::int32_t holeCount, std::int32_t checkHoles,
    const std::int32_t* control) {
    using namespace pcbinspect;
    return guardedExport("inspect", 0, [&]() -> std::int32_t {
        ArgumentCheck check("inspect");
        check.image("reference", ref, refWidth, refStride, refHeight)
            .image("camera", cam, camWidth, camStride, camHeight)
            .notNull("flaws", flaws)
            .notNull("control", control);
        if (check.ok() && paramCount > 0) check.notNull("params", params);
        if (check.ok() && candidateCount > 0) check.notNull("candidates", candidates);
        if (check.ok() && toleranceCount > 0) check.notNull("toleranceTable", toleranceTable);
        if (!check.ok()) return 0;
        const InspectCall call{GrayView{ref, refWidth, refStride, refHeight},
                               ConstGrayView{cam, camWidth, camStride, camHeight},
                               camShiftX,
                               camShiftY,
                               InspectParams::load(params, paramCount),
                               candidates,
                               candidateCount,
                               suppressRadius,
                               flaws,
                               flawCapacity,
                               offsetGrid,
                               checkLines,
                               toleranceTable,
                               std::max(toleranceCount, 0),
                               holeOrigin,
                               holes,
                               holeCount,
                               checkHoles != 0,
                               control};
        Inspection inspection(call);
        return inspection.run();
    });
}
