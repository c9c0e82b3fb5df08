// Second-stage classification of one candidate on its 120 x 120 windows.
#pragma once

#include <cstdint>

#include "model/inspect_records.h"

namespace pcbinspect {

// What ClassifyPatch decided: a flaw code (0 none, 99999 no verdict), its
// score, and the flaw's offset from the window centre where the code has one.
struct PatchVerdict {
    int code = 0;
    float score = 0.0f;
    bool hasOffset = false;
    int dx = 0, dy = 0;
};

// Classifies the candidate at the centre (60, 60) of the binary 120 x 120
// windows R (reference) and C (camera) of region class c (0..4), using the
// 240 x 240 windows R240 and C240 for excess and missing copper. `work` holds
// four 120 x 120 scratch windows. R and C are cleared at wider margins when
// an edge region persists. mx, my are the invalid margins of both windows.
PatchVerdict ClassifyPatch(std::uint8_t* work, std::uint8_t* r, std::uint8_t* c,
                           const std::uint8_t* r240, const std::uint8_t* c240, int regionClass,
                           const InspectParams& params, int mx, int my, bool nearLine);

}  // namespace pcbinspect
