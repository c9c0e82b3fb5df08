// The table of flaw codes: a readable name and a family per code, shared by
// the JSON and CSV reports and the overlay's colours and legend.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace pcbinspect::tool {

enum class Family {
    MissingCopper,
    Open,
    Short,
    Spacing,
    ExcessCopper,
    Width,
    Void,
    Pad,
    Hole,
    Unknown,
};
inline constexpr int kFamilyCount = 10;

struct FlawCode {
    int code;
    Family family;
    std::string_view name;
};

// Every code that inspect can write, in ascending order.
std::span<const FlawCode> flawCodes();

// The entry of a code; codes outside the table get family Unknown and the
// name "unknown flaw".
FlawCode describeFlaw(int code);

// "missing copper", "open", ... as written in reports.
std::string_view familyName(Family family);

// True when `name` is the name of a family (not of Unknown).
bool isFamilyName(std::string_view name);

// The overlay colour of a family, red, green, blue.
struct Rgb {
    std::uint8_t r, g, b;
};
Rgb familyColour(Family family);

}  // namespace pcbinspect::tool
