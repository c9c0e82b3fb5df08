#include "flaw_codes.h"

#include <algorithm>
#include <array>

namespace pcbinspect::tool {
namespace {

using enum Family;

// Codes from the inspection's checks. Region classes: 0 plain copper, 1 to 3
// the pad labels 160, 170 and 180, 4 copper standing alone (pad area).
constexpr std::array kCodes{
    FlawCode{1, Open, "copper interrupted (or camera window empty)"},
    FlawCode{2, Short, "short between conductors"},
    FlawCode{3, Void, "hole across a line"},
    FlawCode{4, Void, "pin-hole in copper"},
    FlawCode{5, Open, "line gap (line area)"},
    FlawCode{6, Pad, "pad radius changed (relative)"},
    FlawCode{7, Pad, "pad radius changed (pixels)"},
    FlawCode{8, Pad, "pad edge bulges out"},
    FlawCode{9, Pad, "pad edge bites in or pad missing"},
    FlawCode{10, Hole, "hole off centre in its pad"},
    FlawCode{11, Hole, "hole outline broken"},
    FlawCode{12, Hole, "hole not open"},
    FlawCode{14, Pad, "annular ring too thick"},
    FlawCode{15, Pad, "annular ring too thin"},
    FlawCode{16, Pad, "annular ring too thick (second kind)"},
    FlawCode{17, Pad, "annular ring too thin (second kind)"},
    FlawCode{18, MissingCopper, "missing copper"},
    FlawCode{19, ExcessCopper, "excess copper"},
    FlawCode{20, Width, "line width out of shape"},
    FlawCode{23, Spacing, "spacing reduced"},
    FlawCode{24, MissingCopper, "missing copper on pad"},
    FlawCode{25, ExcessCopper, "excess copper on pad"},
    FlawCode{26, Void, "pin-hole in pad"},
    FlawCode{27, Width, "pad line width changed (relative)"},
    FlawCode{28, Width, "pad line width changed (pixels)"},
    FlawCode{29, ExcessCopper, "stray copper off the reference"},
    FlawCode{180, MissingCopper, "missing copper (isolated feature)"},
    FlawCode{190, ExcessCopper, "excess copper (isolated feature)"},
    FlawCode{200, MissingCopper, "missing copper (relative)"},
    FlawCode{201, MissingCopper, "missing copper (extent)"},
    FlawCode{210, ExcessCopper, "excess copper (relative)"},
    FlawCode{211, ExcessCopper, "excess copper (extent)"},
    FlawCode{220, Width, "line widened"},
    FlawCode{221, Width, "line narrowed"},
    FlawCode{1401, Hole, "hole too large (relative)"},
    FlawCode{1402, Hole, "hole too small (relative)"},
    FlawCode{1403, Hole, "hole too large (pixels)"},
    FlawCode{1404, Hole, "hole too small (pixels)"},
};

static_assert(std::is_sorted(kCodes.begin(), kCodes.end(),
                             [](const FlawCode& a, const FlawCode& b) { return a.code < b.code; }));

}  // namespace

std::span<const FlawCode> flawCodes() { return kCodes; }

FlawCode describeFlaw(int code) {
    const auto it = std::lower_bound(kCodes.begin(), kCodes.end(), code,
                                     [](const FlawCode& e, int c) { return e.code < c; });
    if (it != kCodes.end() && it->code == code) return *it;
    return FlawCode{code, Unknown, "unknown flaw"};
}

std::string_view familyName(Family family) {
    switch (family) {
        case MissingCopper: return "missing copper";
        case Open: return "open";
        case Short: return "short";
        case Spacing: return "spacing";
        case ExcessCopper: return "excess copper";
        case Width: return "width";
        case Void: return "void";
        case Pad: return "pad";
        case Hole: return "hole";
        case Unknown: break;
    }
    return "unknown";
}

Rgb familyColour(Family family) {
    switch (family) {
        case MissingCopper: return {255, 40, 40};   // red
        case Open: return {255, 140, 0};            // orange
        case Short: return {255, 0, 255};           // magenta
        case Spacing: return {255, 230, 0};         // yellow
        case ExcessCopper: return {0, 200, 255};    // sky blue
        case Width: return {60, 220, 60};           // green
        case Void: return {150, 90, 255};           // violet
        case Pad: return {0, 120, 255};             // blue
        case Hole: return {255, 255, 255};          // white
        case Unknown: break;
    }
    return {128, 128, 128};
}

bool isFamilyName(std::string_view name) {
    for (int f = 0; f < kFamilyCount; ++f)
        if (static_cast<Family>(f) != Family::Unknown && familyName(static_cast<Family>(f)) == name)
            return true;
    return false;
}

}  // namespace pcbinspect::tool
