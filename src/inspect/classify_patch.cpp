#include "inspect/classify_patch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "boundary/numeric.h"
#include "imaging/circle_fit.h"
#include "imaging/window_filters.h"
#include "inspect/patch_measures.h"
#include "imaging/radial_edges.h"
#include "inspect/window_routines.h"
#include "inspect/window_checks.h"
#include "imaging/match_score.h"
#include "imaging/morphology.h"
#include "imaging/region_fill.h"
#include "imaging/thickness_map.h"

namespace pcbinspect {
namespace {

constexpr int N = kPatchSide;

// Codes of the patch classification.
enum PatchCode : int {
    kCodeEdgeRegion = 1,
    kCodeLineWidth = 3,
    kCodeVoid = 4,
    kCodeGapClass2 = 5,
    kCodePadRelative = 6,
    kCodePadAbsolute = 7,
    kCodeClass3Excess = 8,
    kCodeClass3Missing = 9,
    kCodeHoleOffset = 10,
    kCodeHoleArc = 11,
    kCodeClass0Missing = 18,
    kCodeClass0Excess = 19,
    kCodeLineClass2 = 20,
    kCodeClass1Missing = 24,
    kCodeClass1Excess = 25,
    kCodeClass1Void = 26,
    kCodeClass1Relative = 27,
    kCodeClass1Width = 28,
    kCodeGapOther = 29,
    kCodeClass4Missing = 180,
    kCodeClass4Excess = 190,
    kCodeFrame = 211,
};

// Distance from a point, taken at its truncated coordinates, to a centre.
float integerDistance(const PointF& p, float cx, float cy) {
    const float dx = static_cast<float>(truncToInt(p.x)) - cx;
    const float dy = static_cast<float>(truncToInt(p.y)) - cy;
    return std::sqrt(dx * dx + dy * dy);
}

float distance(float x0, float y0, float x1, float y1) {
    const float dx = x0 - x1, dy = y0 - y1;
    return std::sqrt(dx * dx + dy * dy);
}

bool isValid(const PointF& p) { return truncToInt(p.x) >= 0 && truncToInt(p.y) >= 0; }

// Rays i - 2 .. i + 2 (those that exist) are all usable.
bool neighbourhoodUsable(const bool* excluded, int i, int rays) {
    for (int k = std::max(i - 2, 0); k <= std::min(i + 2, rays - 1); ++k)
        if (excluded[k]) return false;
    return true;
}

class PatchClassifier {
public:
    PatchClassifier(std::uint8_t* work, std::uint8_t* r, std::uint8_t* c, const std::uint8_t* r240,
                    const std::uint8_t* c240, int cls, const InspectParams& params, int mx, int my,
                    bool nearLine)
        : w0_(work),
          w1_(work + kPatchArea),
          w2_(work + 2 * kPatchArea),
          w3_(work + 3 * kPatchArea),
          r_(r),
          c_(c),
          r240_(r240),
          c240_(c240),
          class_(cls),
          p_(params),
          mx_(mx),
          my_(my),
          nearLine_(nearLine),
          stack_(2 * kPatchArea) {}

    PatchVerdict run();

private:
    // Step results: a verdict ends the classification.
    using Outcome = std::optional<PatchVerdict>;

    PatchVerdict verdict(int code) const {
        PatchVerdict v;
        v.code = code;
        v.score = score_;
        v.hasOffset = hasOffset_;
        v.dx = dx_;
        v.dy = dy_;
        return v;
    }
    void setOffset(int x, int y) {
        hasOffset_ = true;
        dx_ = x - 60;
        dy_ = y - 60;
    }
    GrayView window(std::uint8_t* w) const { return GrayView{w, N, N, N}; }
    // The part of a window inside the margins.
    const std::uint8_t* validPart(const std::uint8_t* w) const { return w + my_ * N + mx_; }
    int validWidth() const { return N - 2 * mx_; }
    int validHeight() const { return N - 2 * my_; }
    bool measureValid(const std::uint8_t* w, const RayFan& fan, Circle* circle,
                      PointF* points) const {
        return MeasureCircle(validPart(w), validWidth(), N, validHeight(), fan, circle, points);
    }
    // Thickness map of a window with the line-direction correction.
    void widthMap(std::uint8_t* w) const {
        ThicknessMap(window(w));
        CorrectLineDirection(window(w));
    }
    bool frameCase() const {
        return (spansY_ && !spansX_ && (leftFlag_ || rightFlag_)) ||
               (spansX_ && !spansY_ && (topFlag_ || bottomFlag_));
    }

    Outcome edgeRegion();
    Outcome padCircleCheck();
    Outcome differenceVoidsRidge();
    PatchVerdict lineVerdict();
    Outcome annularRing();
    Outcome compareAnnulus(float holeX, float holeY, float holeRadius, float refX, float refY,
                           float refRadius, int firstCode, int secondCode, float p, float q2);
    Outcome excessMissing240();
    Outcome widthChange();
    PatchVerdict fallback();

    std::uint8_t *w0_, *w1_, *w2_, *w3_;
    std::uint8_t *r_, *c_;
    const std::uint8_t *r240_, *c240_;
    int class_;
    const InspectParams& p_;
    int mx_, my_;
    bool nearLine_;
    std::vector<std::int16_t> stack_;

    float score_ = 0.0f;
    bool hasOffset_ = false;
    int dx_ = 0, dy_ = 0;
    int pending_ = 0;

    // The reference thickness map's extremes.
    int maxValue_ = 0, maxX_ = 0, maxY_ = 0, minValue_ = 99999;
    // Margin flags: the difference reaches a margin line the reference does not.
    bool topFlag_ = false, bottomFlag_ = false, leftFlag_ = false, rightFlag_ = false;
    // The reference ridge.
    float lineWidth_ = 0.0f;
    bool ridgeEndsInBox_ = false;
    int ridgeX_ = 60, ridgeY_ = 60;
    bool spansX_ = false, spansY_ = false;
    float recordedWidth_ = 0.0f;
};

PatchVerdict PatchClassifier::run() {
    if (Outcome o = edgeRegion()) return *o;

    // The reference's width map, its largest value (first in row order) and
    // its smallest non-zero value.
    std::memcpy(w0_, c_, kPatchArea);
    std::memcpy(w1_, r_, kPatchArea);
    std::memcpy(w2_, r_, kPatchArea);
    widthMap(w1_);
    for (int i = 0; i < kPatchArea; ++i) {
        const int v = w1_[i];
        if (v > maxValue_) {
            maxValue_ = v;
            maxX_ = i % N;
            maxY_ = i / N;
        }
        if (v != 0 && v < minValue_) minValue_ = v;
    }

    if (class_ == 3 && maxValue_ > minValue_ + 3) {
        if (Outcome o = padCircleCheck()) return *o;
    }
    if (Outcome o = differenceVoidsRidge()) return *o;

    if (class_ == 2) return lineVerdict();
    if (class_ == 3) {
        if (Outcome o = annularRing()) return *o;
    }
    if (Outcome o = excessMissing240()) return *o;
    if (class_ == 1) {
        if (Outcome o = widthChange()) return *o;
    }
    return fallback();
}

// A camera region near the centre that the reference does not explain.
PatchClassifier::Outcome PatchClassifier::edgeRegion() {
    std::memcpy(w0_, c_, kPatchArea);
    std::memcpy(w1_, r_, kPatchArea);
    const EdgeRegionResult first =
        EdgeRegionCheck(stack_.data(), w0_, w1_, mx_, my_, class_ == 2);
    if (first.measure > 0.0f) {
        if (class_ != 2 && first.measure > p_[23]) {
            pending_ = kCodeGapOther;
            score_ = first.measure;
        } else if (class_ == 2 && first.measure > p_[8]) {
            pending_ = kCodeGapClass2;
            score_ = first.measure;
        }
    }
    if (first.persist) {
        // Does it persist once the margins are 10 pixels wider?
        mx_ += 10;
        my_ += 10;
        ClearMargins(r_, N, mx_, my_);
        ClearMargins(c_, N, mx_, my_);
        std::memcpy(w0_, c_, kPatchArea);
        std::memcpy(w1_, r_, kPatchArea);
        const EdgeRegionResult again =
            EdgeRegionCheck(stack_.data(), w0_, w1_, mx_, my_, class_ == 2);
        if (again.persist) {
            if (nearLine_) return verdict(kNoVerdict);
            setOffset(again.x, again.y);
            return verdict(kCodeEdgeRegion);
        }
    }
    if (pending_ != 0) return verdict(pending_);
    return std::nullopt;
}

// Class-3 pads: compares the camera pad's circle and outline with the
// reference pad's.
PatchClassifier::Outcome PatchClassifier::padCircleCheck() {
    PointF points[50];
    Circle ref;
    const RayFan refFan = rayFan(maxX_, maxY_, truncToInt(1.5 * maxValue_), 1, true, -1, 30,
                                  20, 3);
    if (!MeasureCircle(w2_, N, N, N, refFan, &ref, points)) return std::nullopt;
    const int valid = CountValidPoints(points, 20);
    if (valid < 16 || !(CircleFitResidual(points, 20, static_cast<int>(0.25 * valid)) < 1.0f))
        return std::nullopt;
    const float rR = ref.radius;
    const int refCx = truncToInt(ref.x), refCy = truncToInt(ref.y);

    // The camera pad with its holes filled: background reached from the
    // window's frame stays background, everything else becomes copper.
    for (int i = 0; i < kPatchArea; ++i) w3_[i] = w0_[i] != 0 ? 255 : 0;
    for (int i = 0; i < N; ++i) {
        const int frame[4][2] = {{i, 0}, {i, N - 1}, {0, i}, {N - 1, i}};
        for (const auto& f : frame)
            if (w3_[f[1] * N + f[0]] == 0)
                RegionFill(stack_.data(), w3_, N, N, N, f[0], f[1], 128, nullptr);
    }
    for (int i = 0; i < kPatchArea; ++i) w3_[i] = w3_[i] == 128 ? 0 : 255;
    Circle cam;
    float rC = 0.0f;
    // Without a camera circle the reference centre stands in for its centre.
    int camCx = refCx, camCy = refCy;
    if (MeasureCircle(w3_, N, N, N,
                      rayFan(refCx, refCy, truncToInt(1.5 * rR), 1, true, -1, 30, 20, 3),
                      &cam, points)) {
        rC = cam.radius;
        camCx = truncToInt(cam.x);
        camCy = truncToInt(cam.y);
    }

    const float d = rC - rR;
    if (std::fabs(d) / rR > p_[13]) {
        score_ = std::fabs(d) / rR;
        return verdict(kCodePadRelative);
    }
    if (std::fabs(d) > p_[12]) {
        score_ = d;
        return verdict(kCodePadAbsolute);
    }

    // Rays where the reference outline is not round do not judge the camera.
    bool excluded[50] = {};
    PointF outline[50];
    std::fill(outline, outline + 50, kAbsentPoint);
    Circle refOutline;
    const bool outlineMeasured =
        measureValid(r_, rayFan(refCx - mx_, refCy - my_, truncToInt(1.2 * rR), 1, true, -1,
                                 30, 50, 1),
                     &refOutline, outline);
    const int outlineValid = CountValidPoints(outline, 50);
    if (outlineMeasured &&
        CircleFitResidual(outline, 50, static_cast<int>(0.25 * outlineValid)) < 1.0f) {
        for (int i = 0; i < 50; ++i)
            excluded[i] = std::fabs(integerDistance(outline[i], refOutline.x, refOutline.y) -
                                    refOutline.radius) > 2.0f;
    }

    // The camera outline, measured outward (P) and inward (Q); the circle is
    // the inward run's when it fitted one.
    PointF outwardPoints[50], inwardPoints[50];
    std::fill(outwardPoints, outwardPoints + 50, kAbsentPoint);
    std::fill(inwardPoints, inwardPoints + 50, kAbsentPoint);
    Circle camOutline;
    const int outer = truncToInt(1.2 * std::max(rR, rC));
    measureValid(w0_, rayFan(camCx - mx_, camCy - my_, outer, 1, true, -1, 200, 50, 3),
                 &camOutline, outwardPoints);
    measureValid(w0_, rayFan(camCx - mx_, camCy - my_, outer, 1, false, 1, 200, 50, 3),
                 &camOutline, inwardPoints);
    const float rho = camOutline.radius;

    float outwardDeviation = 0.0f, inwardDeviation = 0.0f;
    for (int i = 0; i < 50; ++i) {
        if (!neighbourhoodUsable(excluded, i, 50) || !isValid(outwardPoints[i])) continue;
        const float t = integerDistance(outwardPoints[i], camOutline.x, camOutline.y);
        if (t > rho) {
            outwardDeviation = std::max(outwardDeviation, t - rho);
        } else if (rho - t > inwardDeviation &&
                   std::fabs(integerDistance(inwardPoints[i], camOutline.x, camOutline.y) - t) <
                       2.0f) {
            inwardDeviation = rho - t;
        }
    }
    if (outwardDeviation >= p_[10]) {
        score_ = outwardDeviation;
        return verdict(kCodeClass3Excess);
    }
    if (inwardDeviation >= p_[11]) {
        score_ = inwardDeviation;
        return verdict(kCodeClass3Missing);
    }
    return verdict(0);
}

PatchClassifier::Outcome PatchClassifier::differenceVoidsRidge() {
    DifferenceMap(w0_, r_, w2_);
    KeepCentralRegion(stack_.data(), w2_);
    auto rowHas = [](const std::uint8_t* w, int y) {
        return std::find(w + y * N, w + y * N + N, 255) != w + y * N + N;
    };
    auto columnHas = [](const std::uint8_t* w, int x) {
        for (int y = 0; y < N; ++y)
            if (w[y * N + x] == 255) return true;
        return false;
    };
    topFlag_ = rowHas(w2_, my_) && !rowHas(r_, my_);
    bottomFlag_ = rowHas(w2_, 119 - my_) && !rowHas(r_, 119 - my_);
    leftFlag_ = columnHas(w2_, mx_) && !columnHas(r_, mx_);
    rightFlag_ = columnHas(w2_, 119 - mx_) && !columnHas(r_, 119 - mx_);

    const VoidResult voids = VoidCheck(stack_.data(), w2_, r_, w0_);

    const RidgeResult ridge = RidgePeak(w1_, 60, 60, class_ == 1);
    lineWidth_ = static_cast<float>(2 * ridge.value);
    if (class_ == 2) ridgeEndsInBox_ = EndsInBox(w1_, ridge.x, ridge.y);
    ridgeX_ = std::clamp(ridge.x, 3, 116);
    ridgeY_ = std::clamp(ridge.y, 3, 116);
    auto setAt = [&](int x, int y) { return w1_[y * N + x] != 0; };
    auto columnTriple = [&](int x) {
        return setAt(x, ridgeY_ - 1) || setAt(x, ridgeY_) || setAt(x, ridgeY_ + 1);
    };
    auto rowTriple = [&](int y) {
        return setAt(ridgeX_ - 1, y) || setAt(ridgeX_, y) || setAt(ridgeX_ + 1, y);
    };
    spansX_ = columnTriple(ridgeX_ - 3) && columnTriple(ridgeX_ + 3);
    spansY_ = rowTriple(ridgeY_ - 3) && rowTriple(ridgeY_ + 3);

    if (voids.found) {
        if (class_ == 2) {
            const float w = lineWidth_ + 0.01f;
            if (static_cast<float>(voids.width + 1) / w > p_[4] ||
                static_cast<float>(voids.height + 1) / w > p_[4])
                recordedWidth_ = w;
        } else {
            const float s = static_cast<float>(std::max(voids.width, voids.height));
            if (class_ == 1 && s >= p_[26]) {
                pending_ = kCodeClass1Void;
                score_ = s;
            } else if (class_ != 1 && s >= p_[16]) {
                pending_ = kCodeVoid;
                score_ = s;
            }
        }
        if (voids.onlyVoids) return fallback();
    }
    if (pending_ != 0) return verdict(pending_);
    return std::nullopt;
}

// Class 2: a line; its width in the camera decides.
PatchVerdict PatchClassifier::lineVerdict() {
    widthMap(w0_);
    if (ridgeEndsInBox_) {
        const RidgeResult r = RidgePeak(w0_, 60, 60, false);
        if (EndsInBox(w0_, r.x, r.y)) return fallback();
    }
    const RidgeResult camera = RidgePeak(w0_, ridgeX_, ridgeY_, false);
    float w2 = lineWidth_;
    if (camera.distance > 5.0f) w2 = static_cast<float>(2 * RidgePeak(w1_, camera.x, camera.y, false).value);
    if (frameCase()) {
        score_ = p_[2];
        return verdict(kCodeFrame);
    }
    if (recordedWidth_ > 0.001f) {
        score_ = recordedWidth_;
        return verdict(kCodeLineWidth);
    }
    score_ = w2 + 0.01f;
    return verdict(kCodeLineClass2);
}

// Class 3: the annular ring of a drilled pad.
PatchClassifier::Outcome PatchClassifier::annularRing() {
    std::memcpy(w2_, r_, kPatchArea);
    const RingResult ring = RingCheck(stack_.data(), w1_, w2_);
    if (!ring.ok) return std::nullopt;  // on to the excess and missing check
    const int hx = ring.x - mx_, hy = ring.y - my_;

    // The hole in the camera.
    PointF hole[50];
    std::fill(hole, hole + 50, kAbsentPoint);
    Circle camHole;
    const bool holeMeasured =
        measureValid(w0_, rayFan(hx, hy, 60, 1, true, 1, 30, 50, 1), &camHole, hole);
    const int n = CountValidPoints(hole, 50);
    const float e = CircleFitResidual(hole, 50, 0);
    float holeOut = 0.0f, holeIn = 0.0f;
    for (int i = 0; i < 50; ++i) {
        if (!isValid(hole[i])) continue;
        const float t = integerDistance(hole[i], camHole.x, camHole.y);
        holeOut = std::max(holeOut, t - camHole.radius);
        holeIn = std::max(holeIn, camHole.radius - t);
    }
    // The arc where the hole's edge is missing, 7.2 degrees per ray; a lone
    // ray with an edge between two without counts as without.
    bool has[50];
    for (int i = 0; i < 50; ++i) has[i] = isValid(hole[i]);
    float arc = 0.0f;
    for (int i = 0; i < 50; ++i) {
        const int before = (i + 49) % 50, after = (i + 1) % 50;
        if (!has[before] && !has[after]) has[i] = false;
        if (!has[before]) arc += 7.2f;
    }

    // The hole in the reference; without one the ring centre stands in.
    PointF refHolePoints[20];
    Circle refHole{static_cast<float>(hx), static_cast<float>(hy), 0.0f};
    measureValid(r_, rayFan(hx, hy, 60, 1, true, 1, 30, 20, 1), &refHole, refHolePoints);

    // The reference pad's outline; rays where it bulges do not judge.
    PointF outline[50];
    std::fill(outline, outline + 50, kAbsentPoint);
    Circle refOutline;
    const bool outlineMeasured =
        measureValid(r_, rayFan(hx, hy, 60, 1, true, -1, 30, 50, 1), &refOutline, outline);
    const int outlineCount = CountValidPoints(outline, 50);
    const bool outlineOK =
        outlineMeasured && outlineCount > 25 &&
        CircleFitResidual(outline, 50, static_cast<int>(0.25 * outlineCount)) < 1.0f;
    bool excluded[50] = {};
    float ringOut = 0.0f, ringIn = 0.0f;
    if (outlineOK) {
        for (int i = 0; i < 50; ++i)
            excluded[i] = distance(outline[i].x, outline[i].y, refOutline.x, refOutline.y) >
                          refOutline.radius + 1.0f;
        PointF pad[50];
        std::fill(pad, pad + 50, kAbsentPoint);
        Circle camPad;
        if (measureValid(w0_,
                         rayFan(truncToInt(camHole.x), truncToInt(camHole.y), 60,
                                 truncToInt(camHole.radius + 1.0f), true, -1, 30, 50, 1),
                         &camPad, pad)) {
            for (int i = 0; i < 50; ++i) {
                if (!isValid(pad[i])) continue;
                const float t = distance(pad[i].x, pad[i].y, camPad.x, camPad.y);
                if (t <= camPad.radius)
                    ringIn = std::max(ringIn, camPad.radius - t);
                else if (neighbourhoodUsable(excluded, i, 50))
                    ringOut = std::max(ringOut, t - camPad.radius);
            }
        }
    }

    if (!holeMeasured || n < 10 || e >= 0.2f * camHole.radius) {
        score_ = 999.0f;
        return verdict(kCodeHoleArc);
    }
    if (arc >= p_[18]) {
        score_ = arc;
        return verdict(kCodeHoleArc);
    }
    const float offset = distance(camHole.x, camHole.y, refHole.x, refHole.y);
    if (offset >= p_[17]) {
        score_ = offset;
        return verdict(kCodeHoleOffset);
    }

    const bool type2 = ring.type == 2;
    const float p = type2 ? p_[19] : p_[21], q2 = type2 ? p_[20] : p_[22];
    const int firstCode = type2 ? 14 : 16, secondCode = type2 ? 15 : 17;
    if (holeIn > p) {
        pending_ = firstCode;
        score_ = holeIn;
    } else if (ringOut > p) {
        pending_ = firstCode;
        score_ = ringOut;
    }
    if (holeOut > q2) {
        score_ = holeOut;
        return verdict(secondCode);
    }
    if (ringIn > q2) {
        score_ = ringIn;
        return verdict(secondCode);
    }
    if (pending_ != 0) return verdict(pending_);
    if (outlineOK) return std::nullopt;  // on to the excess and missing check

    const float holeX = camHole.x + static_cast<float>(mx_);
    const float holeY = camHole.y + static_cast<float>(my_);
    if (distance(holeX, holeY, 60.0f, 60.0f) <= camHole.radius + 3.0f) return fallback();
    return compareAnnulus(holeX, holeY, camHole.radius, refHole.x + static_cast<float>(mx_),
                          refHole.y + static_cast<float>(my_), refHole.radius, firstCode,
                          secondCode, p, q2);
}

// Compares the camera's annulus with the reference's once both holes are
// filled and both pads have the same area.
PatchClassifier::Outcome PatchClassifier::compareAnnulus(float holeX, float holeY,
                                                         float holeRadius, float refX, float refY,
                                                         float refRadius, int firstCode,
                                                         int secondCode, float p, float q2) {
    // Fills the hole around (x, y) with 255 inside the square about it, kept
    // within the margins; returns (border pixels, copper pixels).
    auto fillHole = [&](std::uint8_t* w, float x, float y, float radius) {
        int left = truncToInt(x - radius - 5.0f), top = truncToInt(y - radius - 5.0f);
        const int side = truncToInt(2.0f * (radius + 5.0f));
        int right = left + side, bottom = top + side;  // exclusive
        left = std::max(left, mx_);
        top = std::max(top, my_);
        right = std::min(right, N - mx_);
        bottom = std::min(bottom, N - my_);
        const int sx = truncToInt(x), sy = truncToInt(y);
        if (sx >= left && sx < right && sy >= top && sy < bottom)
            RegionFill(stack_.data(), w + top * N + left, right - left, N, bottom - top, sx - left,
                       sy - top, 255, nullptr);
        const int copper = static_cast<int>(std::count(w, w + kPatchArea, 255));
        return std::pair<int, int>{CountBorderPixels(w), copper};
    };
    const auto [bc, ac] = fillHole(w0_, holeX, holeY, holeRadius);
    std::memcpy(w1_, r_, kPatchArea);
    const auto [br, ar] = fillHole(w1_, refX, refY, refRadius);

    MorphologyScratch scratch;
    if (br > 0 && ar - br >= ac)
        ErodeSteps(scratch, window(w1_), (ar - ac) / br);
    else if (bc >= 1 && ac - bc >= ar)
        ErodeSteps(scratch, window(w0_), (ac - ar) / bc);

    FillEnclosed(stack_.data(), w2_, w1_, w0_);
    boxSmooth(window(w0_), 2.0f);
    boxSmooth(window(w1_), 2.0f);

    // The best shift of the camera's centre part on the reference's.
    MatchOptions o;
    o.step = 3;
    o.outsideIsNeutral = true;
    o.differenceMode = true;
    const ConstGrayView refCentre{w1_ + 30 * N + 30, 60, N, 60};
    const ConstGrayView camCentre{w0_ + 30 * N + 30, 60, N, 60};
    int a = 0, b = 0;
    float best = 0.0f;
    constexpr int kShifts[6] = {-5, -3, -1, 1, 3, 5};
    for (int sa : kShifts)
        for (int sb : kShifts) {
            const float s = MatchScore(refCentre, camCentre, static_cast<float>(30 + sa),
                                       static_cast<float>(30 + sb), o);
            if (s > best) {
                best = s;
                a = sa;
                b = sb;
            }
        }

    std::memset(w2_, 0, kPatchArea);
    std::memset(w3_, 0, kPatchArea);
    for (int y = 30; y <= 89; ++y)
        for (int x = 30; x <= 89; ++x) {
            const int i = y * N + x;
            markDifference(w0_[(y - b) * N + (x - a)], w1_ + i, N, w2_ + i, w3_ + i);
        }
    for (int i = 30; i <= 89; ++i) {
        for (const int at : {30 * N + i, 89 * N + i, i * N + 30, i * N + 89})
            if (w1_[at] != 0) w3_[at] = 255;
    }
    ErodeQuad(w2_);
    DilateQuad(w2_);

    ExcessMissingResult m = ExcessMissing(w2_, w3_, N, mx_, my_);
    if (m.excess.value > 0.1f) m.excess.value += 1.0f;
    if (m.missing.value > 0.1f) m.missing.value += 1.0f;
    if (m.excess.value > p) {
        setOffset(m.excess.x, m.excess.y);
        score_ = m.excess.value;
        pending_ = firstCode;
    }
    if (m.missing.value > q2) {
        setOffset(m.missing.x, m.missing.y);
        score_ = m.missing.value;
        return verdict(secondCode);
    }
    return fallback();
}

// Excess and missing copper on the central part of the 240 x 240 windows.
PatchClassifier::Outcome PatchClassifier::excessMissing240() {
    for (int y = 0; y < N; ++y) {
        std::memcpy(w0_ + y * N, c240_ + (y + 60) * 240 + 60, N);
        std::memcpy(w1_ + y * N, r240_ + (y + 60) * 240 + 60, N);
    }
    FillEnclosed(stack_.data(), w2_, w1_, w0_);
    std::memset(w2_, 0, kPatchArea);
    std::memset(w3_, 0, kPatchArea);
    for (int y = 1; y <= 118; ++y)
        for (int x = 1; x <= 118; ++x) {
            const int i = y * N + x;
            markDifference(w0_[i], w1_ + i, N, w2_ + i, w3_ + i);
        }
    for (int i = 0; i < N; ++i)
        for (const int at : {i, (N - 1) * N + i, i * N, i * N + N - 1})
            if (w1_[at] != 0) w3_[at] = 255;
    ErodeOnce(window(w2_));

    ExcessMissingResult m = ExcessMissing(w2_, w3_, N, mx_, my_);
    for (DifferenceMeasure* d : {&m.excess, &m.missing}) {
        if (d->value > 0.1f) d->value += 1.0f;
        d->value /= 2.0f;
    }
    const float e = m.excess.value, mi = m.missing.value;
    if (!(e > 0.5f) && !(mi > 0.5f)) return std::nullopt;

    // Offsets are in the 120 x 120 scale of the driver's windows.
    auto decide = [&](int code, const DifferenceMeasure& d) {
        hasOffset_ = true;
        dx_ = (d.x - 60) / 2;
        dy_ = (d.y - 60) / 2;
        score_ = d.value;
        return verdict(code);
    };
    const bool frame = frameCase();
    // Copper without a pad class (0), the class set by the pad-area test (4)
    // and no class found (-1) share the plain copper codes.
    if (class_ != 1 && class_ != 3) {
        const bool four = class_ == 4;
        const int excessCode = four ? kCodeClass4Excess : kCodeClass0Excess;
        if (frame) {
            score_ = e;
            return verdict(excessCode);
        }
        if (e >= (four ? p_[33] : p_[14])) return decide(excessCode, m.excess);
        if (mi >= (four ? p_[34] : p_[15]))
            return decide(four ? kCodeClass4Missing : kCodeClass0Missing, m.missing);
        return fallback();
    }
    if (class_ == 3) {
        if (frame) {
            score_ = p_[10];
            return verdict(kCodeClass3Excess);
        }
        if (e >= p_[10]) return decide(kCodeClass3Excess, m.excess);
        if (mi >= p_[11]) return decide(kCodeClass3Missing, m.missing);
        return fallback();
    }
    // Class 1.
    if (frame) {
        score_ = p_[24];
        return verdict(kCodeClass1Excess);
    }
    if (e >= p_[24]) return decide(kCodeClass1Excess, m.excess);
    if (mi >= p_[25]) return decide(kCodeClass1Missing, m.missing);
    return std::nullopt;
}

// Class 1: the camera line's width against the reference's.
PatchClassifier::Outcome PatchClassifier::widthChange() {
    std::memcpy(w0_, c_, kPatchArea);
    FillEnclosed(stack_.data(), w2_, r_, w0_);
    widthMap(w0_);
    const RidgeResult camera = RidgePeak(w0_, ridgeX_, ridgeY_, true);
    const float wc = static_cast<float>(2 * camera.value);
    float wr = lineWidth_;
    if (camera.distance > 5.0f) {
        std::memcpy(w1_, r_, kPatchArea);
        widthMap(w1_);
        wr = static_cast<float>(2 * RidgePeak(w1_, camera.x, camera.y, true).value);
    }
    const float s = std::fabs(wc - wr) / 2.0f;
    const float f = s / (wr / 2.0f);
    if (s >= p_[27]) {
        score_ = s;
        return verdict(kCodeClass1Width);
    }
    if (f >= p_[28]) {
        score_ = f;
        return verdict(kCodeClass1Relative);
    }
    return std::nullopt;
}

PatchVerdict PatchClassifier::fallback() {
    if (pending_ != 0) return verdict(pending_);
    if (recordedWidth_ > 0.001f) {
        score_ = recordedWidth_;
        return verdict(kCodeLineWidth);
    }
    return verdict(0);
}

}  // namespace

PatchVerdict ClassifyPatch(std::uint8_t* work, std::uint8_t* r, std::uint8_t* c,
                           const std::uint8_t* r240, const std::uint8_t* c240, int regionClass,
                           const InspectParams& params, int mx, int my, bool nearLine) {
    PatchClassifier classifier(work, r, c, r240, c240, regionClass, params, mx, my, nearLine);
    return classifier.run();
}

}  // namespace pcbinspect
