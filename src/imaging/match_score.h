// How well a template agrees with an image when laid on it at a centre and
// an angle.
#pragma once

#include <cstdint>
#include <vector>

#include "boundary/image_view.h"

namespace pcbinspect {

struct MatchOptions {
    int step = 1;                         // use template pixels on multiples of the step
    const std::uint8_t* mask = nullptr;   // laid out like the template; counts where set
    float angle = 0.0f;                   // degrees
    bool outsideIsNeutral = false;        // samples off the image neither help nor hurt
    bool differenceMode = false;          // powered mean-square difference, else correlation
};

// Template pixel (u, v) falls on image position (column, row) =
// (a cos - b sin + cx, a sin + b cos + cy) with a = u - Tw/2, b = v - Th/2,
// sampled bilinearly where the truncated position lies in 0..size-2.
// Correlation mode: |sum pt| / (sqrt(sum t^2) sqrt(sum p^2)) of the mean-free
// values; difference mode: (1 - sum d^2 / (k + 1) / 255^2)^5. 1.0 when no
// sample lies on the image.
float MatchScore(ConstGrayView image, ConstGrayView templ, float cx, float cy,
                 const MatchOptions& options);

// MatchScore at n centres into out[i], the same values. Unrotated
// difference-mode scores at whole-pixel centres read whole pixels (the
// bilinear weights are exactly 1 and 0), so those are built from the
// template's samples listed once, the centres side by side; anything else
// is scored one centre at a time.
void MatchScores(ConstGrayView image, ConstGrayView templ, const float* cx, const float* cy,
                 int n, const MatchOptions& options, float* out);

// The integer-placement form used by the alignment search: the template's
// top-left corner lies at (cx - Tw/2, cy - Th/2), whole pixels are read, and
// both means (over the inside samples) stay unrounded.
float WindowMatchScore(ConstGrayView image, ConstGrayView templ, int cx, int cy,
                       const MatchOptions& options);

// WindowMatchScore of one template, difference mode with neutral outside
// samples, at many centres: the counted template samples (step and mask
// applied) are listed once, and score() gives the same value as
// WindowMatchScore for every centre.
class WindowMatchPlan {
public:
    // Lists the samples of a template; the list's memory is kept for the
    // next template.
    void prepare(ConstGrayView templ, const MatchOptions& options);
    float score(ConstGrayView image, int cx, int cy) const;
    // score() at n positions (cx[i], cy[i]) into out[i], the same values.
    // Positions are taken four at a time and their sums of squares built side
    // by side, each in its own sample order, which hides the latency of each
    // one's chain of additions.
    void scores(ConstGrayView image, const int* cx, const int* cy, int n, float* out) const;
    // score() at up to eight positions along a row, (cx + 2k, cy) for
    // k < n <= 8, into out[k]: the same values. Where the processor has
    // AVX2, one load of sixteen image bytes gives all eight positions' pixels
    // of a sample.
    void scoresAlongRow(ConstGrayView image, int cx, int cy, int n, float* out) const;

private:
    struct Sample {
        int u, v, value;
    };
    struct SampleRow {
        int v;
        int first, end;  // its samples, by ascending u
    };
    void scoreFour(ConstGrayView image, const int* cx, const int* cy, float* out) const;
    void addShared(const std::uint8_t* p0, const std::uint8_t* p1, const std::uint8_t* p2,
                   const std::uint8_t* p3, int lo, int hi, const float* meanImage,
                   const float* meanTempl, double* sdd) const;
    void rowOfEight(ConstGrayView image, int cx, int cy, int n, float* out) const;

    std::vector<Sample> samples_;  // in row order
    std::vector<long long> valueSums_;  // sum of the values of samples_[0 .. i - 1]
    std::vector<SampleRow> rows_;
    int halfWidth_ = 0, halfHeight_ = 0;
};

}  // namespace pcbinspect
