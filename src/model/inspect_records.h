// The parameter vector, control block, tolerance table and flaw records of
// an inspection, as the inspection driver and its stages read them.
#pragma once

#include <array>
#include <cstdint>

#include "pcbinspect/exports.h"

namespace pcbinspect {

// Flaw codes that the inspection driver writes itself. The stages add their
// own codes (widened and narrowed lines, excess and missing copper, ...).
enum FlawCode : int {
    kEmptyWindow = 1,        // camera window empty after alignment
    kBridge = 2,             // a camera blob bridges two reference features
    kMissingClass3 = 9,      // missing feature, region class 3
    kMissingClass0 = 18,     // missing feature, class 0 and any class without its own code
    kMissingClass1 = 24,     // missing feature, region class 1
    kMissingClass2 = 201,    // missing feature, region class 2
    kGapOpen = 5,            // verdicts of the gap check
    kGapNarrow = 29,
    kSpacing = 23,           // reduced spacing
    kLineWidened = 220,
    kLineNarrowed = 221,
    kHoleNotOpen = 12,       // hole pass
    kHoleLargerRelative = 1401,
    kHoleSmallerRelative = 1402,
    kHoleLargerAbsolute = 1403,
    kHoleSmallerAbsolute = 1404,
};

// Codes at or above this mean "no verdict": nothing is recorded.
inline constexpr int kNoVerdict = 99999;
// The result of a stage that found a feature missing.
inline constexpr int kMissingFeature = -99999;

// CAD labels of the reference image.
enum CadLabel : std::uint8_t {
    kLabelBackground = 0,
    kLabelLine = 150,
    kLabelReferenceLine = 151,
    kLabelExcluded = 152,
    kLabelHoleInterior = 154,
    kLabelClass1 = 160,
    kLabelClass2 = 170,
    kLabelClass3 = 180,
    kLabelMark = 255,
};

// The 35-entry parameter vector. Entries at and beyond the caller's count are
// zero: the vector has no defaults of its own.
struct InspectParams {
    static constexpr int kSize = 35;
    std::array<float, kSize> value{};

    static InspectParams load(const float* params, int paramCount);
    float operator[](int i) const { return value[static_cast<std::size_t>(i)]; }

    // The hole-size check runs only when one of its four limits is set.
    bool holeSizeCheckEnabled() const;
};

// The inspection tolerance t = control[0] / 100, clamped to [0, 1].
float toleranceFromControl(const std::int32_t* control);

// Looks up the width-tolerance record for a measured width: the record with
// the smallest key above `width`. The running best is held as the truncated
// integer of its key (starting at 99999), and a later record replaces it only
// when its key lies above `width` and below that integer, so of two keys with
// the same integer part the first listed wins. Returns null when no key lies
// above the width.
const WidthTolerance* findWidthTolerance(const float* table, int count, float width);

// Writes flaw records of 7 ints into the caller's array while they fit: a
// record is written only when (records written + 1) * 7 <= capacity.
class FlawWriter {
public:
    FlawWriter(std::int32_t* out, int capacityInts) : out_(out), capacity_(capacityInts) {}

    bool full() const;
    // Appends the record; false (and nothing written) when it does not fit.
    bool append(const FlawRecord& record);
    int count() const { return written_; }

private:
    std::int32_t* out_;
    int capacity_;
    int written_ = 0;
};

// trunc(score * 100), the score field of a flaw record.
std::int32_t scoreField(float score);

}  // namespace pcbinspect
