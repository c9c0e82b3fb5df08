// Sets the flaw records of an inspection against the defects planted on a
// synthetic board: which defects were found, in which family, and which
// records lie on no defect.
#pragma once

#include <cmath>
#include <vector>

#include "boards/defect_board.h"

namespace pcbinspect::testing {

struct DefectMatch {
    bool found = false;     // some record lies on the defect
    bool inFamily = false;  // one of those records has a code of the defect's family
    int code = 0;           // that record's code (else the first record's on it)
};

struct BoardScore {
    std::vector<DefectMatch> defects;  // in the order of the planted defects
    std::vector<bool> recordOnDefect;  // in the order of the records
    int falseCalls = 0;                // records on no defect
};

// A record lies on a defect when its camera position is within the defect's
// extent plus `slack` pixels of the defect's centre.
inline bool recordOnDefect(const FlawRecord& r, const PlantedDefect& d, double slack) {
    return std::hypot(r.camX - d.camX, r.camY - d.camY) <= d.extent + slack;
}

inline BoardScore scoreRecords(const std::vector<PlantedDefect>& defects,
                               const std::vector<FlawRecord>& records, double slack) {
    BoardScore s;
    s.defects.resize(defects.size());
    s.recordOnDefect.assign(records.size(), false);
    for (std::size_t i = 0; i < defects.size(); ++i) {
        DefectMatch& m = s.defects[i];
        for (std::size_t j = 0; j < records.size(); ++j) {
            if (!recordOnDefect(records[j], defects[i], slack)) continue;
            s.recordOnDefect[j] = true;
            const bool family = codeInFamily(records[j].code, defects[i].family);
            if (!m.found || (family && !m.inFamily)) m.code = records[j].code;
            m.found = true;
            m.inFamily = m.inFamily || family;
        }
    }
    for (bool on : s.recordOnDefect) s.falseCalls += on ? 0 : 1;
    return s;
}

}  // namespace pcbinspect::testing
