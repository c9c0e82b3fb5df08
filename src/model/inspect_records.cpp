#include "model/inspect_records.h"

#include <cmath>
#include <cstring>

#include "boundary/numeric.h"

namespace pcbinspect {

InspectParams InspectParams::load(const float* params, int paramCount) {
    InspectParams p;
    if (params != nullptr) {
        const int n = paramCount < 0 ? 0 : (paramCount > kSize ? kSize : paramCount);
        for (int i = 0; i < n; ++i) p.value[static_cast<std::size_t>(i)] = params[i];
    }
    return p;
}

bool InspectParams::holeSizeCheckEnabled() const {
    // 2^-23, the single-precision machine epsilon.
    constexpr float kEpsilon = 1.1920929e-7f;
    for (int i = 29; i <= 32; ++i) {
        if (std::fabs((*this)[i]) > kEpsilon) return true;
    }
    return false;
}

float toleranceFromControl(const std::int32_t* control) {
    if (control == nullptr) return 0.0f;
    const float t = static_cast<float>(control[0]) / 100.0f;
    if (t < 0.0f) return 0.0f;
    if (t > 1.0f) return 1.0f;
    return t;
}

const WidthTolerance* findWidthTolerance(const float* table, int count, float width) {
    if (table == nullptr) return nullptr;
    const WidthTolerance* records = reinterpret_cast<const WidthTolerance*>(table);
    const WidthTolerance* found = nullptr;
    int best = kNoVerdict;
    for (int i = 0; i < count; ++i) {
        const float key = records[i].key;
        if (key > width && key < static_cast<float>(best)) {
            found = &records[i];
            best = truncToInt(key);
        }
    }
    return found;
}

bool FlawWriter::full() const {
    return (static_cast<std::int64_t>(written_) + 1) * 7 > capacity_;
}

bool FlawWriter::append(const FlawRecord& record) {
    if (full()) return false;
    std::memcpy(out_ + static_cast<std::ptrdiff_t>(written_) * 7, &record, sizeof record);
    ++written_;
    return true;
}

std::int32_t scoreField(float score) {
    // Scores are single precision and so is the scaling.
    return truncToInt(score * 100.0f);
}

}  // namespace pcbinspect
