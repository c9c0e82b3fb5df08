#include "preset.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "defects.h"
#include "flaw_codes.h"
#include "tool_error.h"

namespace pcbinspect::tool {
namespace {

using nlohmann::json;

enum class Kind { Real, Integer, Flag };

// One named setting: where it lives in a Preset, its range and its meaning.
struct Key {
    const char* section;
    const char* name;
    Kind kind;
    double lo, hi;
    double fallback;
    const char* unit;
    const char* about;
    float* (*real)(Preset&) = nullptr;
    std::int32_t* (*integer)(Preset&) = nullptr;
    bool* (*flag)(Preset&) = nullptr;
};

constexpr double kBig = 1.0e6;

#define PARAM(i, name, lo, hi, def, unit, about) \
    Key{"limits", name, Kind::Real, lo, hi, def, unit, about, [](Preset& p) { return &p.params[i]; }}
#define CONTROL(field, name, lo, hi, def, unit, about)                                    \
    Key{"control", name, Kind::Integer, lo, hi, def, unit, about, nullptr,                 \
        [](Preset& p) { return &p.control.field; }}
#define SEARCH_INT(field, name, lo, hi, def, unit, about)                                 \
    Key{"search", name, Kind::Integer, lo, hi, def, unit, about, nullptr,                  \
        [](Preset& p) { return &p.search.field; }}
#define SEARCH_FLAG(field, name, def, about)                                                \
    Key{"search", name, Kind::Flag, 0, 1, def, "true/false", about, nullptr, nullptr,      \
        [](Preset& p) { return &p.search.field; }}
#define CAND_INT(field, name, lo, hi, def, unit, about)                                    \
    Key{"candidates", name, Kind::Integer, lo, hi, def, unit, about, nullptr,              \
        [](Preset& p) { return &p.candidates.field; }}
#define DEFECT_INT(field, name, lo, hi, def, unit, about)                                  \
    Key{"defects", name, Kind::Integer, lo, hi, def, unit, about, nullptr,                 \
        [](Preset& p) { return &p.defects.field; }}
#define PHOTO_INT(field, name, lo, hi, def, unit, about)                                   \
    Key{"photo", name, Kind::Integer, lo, hi, def, unit, about, nullptr,                   \
        [](Preset& p) { return &p.photo.field; }}
#define CAND_FLAG(field, name, def, about)                                                  \
    Key{"candidates", name, Kind::Flag, 0, 1, def, "true/false", about, nullptr, nullptr,  \
        [](Preset& p) { return &p.candidates.field; }}

// Every key of a preset, section by section. The defaults are those of
// tools/presets/default.json.
const std::vector<Key>& keys() {
    static const std::vector<Key> table{
        // The suspected-flaw search.
        SEARCH_INT(ignoreGrowth, "ignore_growth_px", 1, 10, 3, "pixels",
                   "half-size of the square ignored around each label-152 pixel; also how far "
                   "a suspect's patch may shift to find its match"),
        SEARCH_INT(border, "border_px", 50, 10000, 50, "pixels",
                   "width of the camera border strip left out of the content count and the "
                   "edge scan"),
        Key{"search", "agreement_threshold", Kind::Real, 0.0, 1.0, 0.85, "ratio 0..1",
            "share of a 15 x 15 disc that must agree between camera and reference for an edge "
            "pixel to be fine",
            [](Preset& p) { return &p.search.agreementThreshold; }},
        SEARCH_INT(flawSpacing, "flaw_spacing_px", 10, 10000, 10, "pixels",
                   "least distance between two suspects that partly agree"),
        SEARCH_INT(emptyFlawSpacing, "empty_flaw_spacing_px", 50, 10000, 50, "pixels",
                   "least distance between two suspects with no agreement at all, and the reach "
                   "of merging similar suspects"),
        SEARCH_INT(lineExclusionRadius, "line_exclusion_radius_px", 0, 1000, 4, "pixels",
                   "a suspect within this distance of label 150 is dropped"),
        SEARCH_FLAG(referenceLineExcludes, "reference_line_excludes", 0,
                    "label 151 drops nearby suspects as label 150 does"),
        SEARCH_FLAG(exhaustiveCoarseSearch, "exhaustive_coarse_search", 0,
                    "place the camera image by trying every coarse position (slower) instead "
                    "of every second one with refinement"),
        SEARCH_FLAG(narrowVerticalSearch, "narrow_vertical_search", 1,
                    "vertical search margin of 10 pixels instead of 30"),
        SEARCH_INT(maxSuspects, "max_suspects", 1, 1000000, 4000, "count",
                   "most suspects listed before the edge scan stops"),
        Key{"search", "min_alignment_score", Kind::Real, 0.0, 1.0, 0.9, "score 0..1",
            "alignment score below which the camera image counts as not placed: no flaws are "
            "listed and the tool exits with status 3",
            [](Preset& p) { return &p.search.minAlignmentScore; }},
        // From suspects to records.
        CAND_INT(suppressRadius, "suppress_radius_px", 0, 10000, 10, "pixels",
                 "after a flaw is recorded, later candidates closer than this in the camera "
                 "image are dropped; 0 keeps them all"),
        CAND_FLAG(dropNearReferenceLines, "drop_near_reference_lines", 0,
                  "an empty or bridged window near label 151 is no flaw"),
        CAND_INT(maxFlaws, "max_flaws", 1, 1000000, 1000, "count", "most flaw records written"),
        CAND_FLAG(checkHoles, "check_holes", 1,
                  "check that every listed hole is open in the camera image"),
        // From records to defects.
        DEFECT_INT(boxMargin, "box_margin", 0, 1000, 8, "pixels",
                   "a defect's box is the tight box of its differences grown by this much on "
                   "every side (clipped to the camera image)"),
        // The photo front end.
        PHOTO_INT(minDefectPx, "min_defect_px", 1, 10000, 6, "pixels",
                  "photographs: copper islands and holes in copper smaller than this are taken "
                  "for noise and removed; 1 keeps every pixel"),
        // The 35 limits of the inspection, by entry.
        PARAM(0, "excess_ratio", 0, kBig, 0.3, "ratio",
              "excess copper beside a line, as a share of the line width, above which it is "
              "reported (code 210)"),
        PARAM(1, "missing_ratio", 0, kBig, 0.3, "ratio",
              "missing copper of a line as a share of its width (code 200)"),
        PARAM(2, "excess_extent", 0, kBig, 3.0, "pixels",
              "excess copper extent, share times width, above which it is reported (code "
              "211); also the score of an excess that runs into the window frame"),
        PARAM(3, "missing_extent", 0, kBig, 3.0, "pixels",
              "missing copper extent, share times width (code 201); also the score of a "
              "missing line feature"),
        PARAM(4, "line_hole_ratio", 0, kBig, 0.5, "ratio",
              "a hole in a line larger than this share of the line width is measured across "
              "the line, and reported when it reaches this share of it (code 3)"),
        PARAM(5, "widening_ratio", 0, kBig, 0.25, "ratio",
              "line widening as a share of the reference width (code 220), unless a width "
              "tolerance row applies"),
        PARAM(6, "narrowing_ratio", 0, kBig, 0.25, "ratio",
              "line narrowing as a share of the reference width (code 221), unless a width "
              "tolerance row applies"),
        PARAM(7, "spacing_ratio", 0, kBig, 0.25, "ratio",
              "reduction of the gap between conductors as a share of the reference gap (code "
              "23), unless a width tolerance row applies"),
        PARAM(8, "line_area_gap", 0, kBig, 3.0, "pixels",
              "edge disagreement in a line area (label 170) above which it is a gap (code 5); "
              "scores below 50 are reported as 50"),
        PARAM(9, "unused_9", 0, kBig, 0.0, "-", "entry 9 is not read by the inspection"),
        PARAM(10, "pad_bulge", 0, kBig, 3.0, "pixels",
              "outward deviation or excess copper at a round pad (label 180, code 8)"),
        PARAM(11, "pad_bite", 0, kBig, 3.0, "pixels",
              "inward deviation or missing copper at a round pad (code 9)"),
        PARAM(12, "pad_radius_change_px", 0, kBig, 3.0, "pixels",
              "change of a round pad's radius (code 7)"),
        PARAM(13, "pad_radius_change_ratio", 0, kBig, 0.15, "ratio",
              "change of a round pad's radius as a share of it (code 6)"),
        PARAM(14, "excess_copper", 0, kBig, 3.0, "pixels",
              "excess copper on plain copper (code 19)"),
        PARAM(15, "missing_copper", 0, kBig, 3.0, "pixels",
              "missing copper on plain copper (code 18); also its score as a missing feature"),
        PARAM(16, "pin_hole", 0, kBig, 3.0, "pixels",
              "enclosed hole in copper, largest side (code 4)"),
        PARAM(17, "hole_offset", 0, kBig, 3.0, "pixels",
              "distance of a drilled hole's centre from where it belongs (code 10)"),
        PARAM(18, "hole_missing_arc", 0, kBig, 36.0, "degrees",
              "arc of a hole outline that is not found (code 11)"),
        PARAM(19, "ring_excess", 0, kBig, 3.0, "pixels",
              "annular ring wider than the reference (code 14)"),
        PARAM(20, "ring_missing", 0, kBig, 3.0, "pixels",
              "annular ring narrower than the reference (code 15)"),
        PARAM(21, "ring_excess_second", 0, kBig, 3.0, "pixels",
              "the same for the second kind of ring (code 16)"),
        PARAM(22, "ring_missing_second", 0, kBig, 3.0, "pixels",
              "the same for the second kind of ring (code 17)"),
        PARAM(23, "line_gap", 0, kBig, 3.0, "pixels",
              "gap measured across a line above which it is an open (code 29); scores below 50 "
              "are reported as 50"),
        PARAM(24, "pad_excess", 0, kBig, 3.0, "pixels",
              "excess copper at a square pad (label 160, code 25)"),
        PARAM(25, "pad_missing", 0, kBig, 3.0, "pixels",
              "missing copper at a square pad (code 24); also its score as a missing feature"),
        PARAM(26, "pad_pin_hole", 0, kBig, 3.0, "pixels",
              "enclosed hole in a square pad, largest side (code 26)"),
        PARAM(27, "pad_line_width_change_px", 0, kBig, 3.0, "pixels",
              "half-width change of a line at a square pad (code 28)"),
        PARAM(28, "pad_line_width_change_ratio", 0, kBig, 0.25, "ratio",
              "the same as a share of the reference half-width (code 27)"),
        PARAM(29, "hole_growth_ratio", 0, kBig, 0.3, "ratio",
              "measured hole larger than listed, share of its radius (code 1401); with all "
              "four hole size limits at 0 the hole size check is off"),
        PARAM(30, "hole_shrink_ratio", 0, kBig, 0.3, "ratio",
              "measured hole smaller than listed, share of its radius (code 1402)"),
        PARAM(31, "hole_growth_px", 0, kBig, 2.0, "pixels",
              "measured hole radius larger than listed (code 1403)"),
        PARAM(32, "hole_shrink_px", 0, kBig, 2.0, "pixels",
              "measured hole radius smaller than listed (code 1404)"),
        PARAM(33, "isolated_excess", 0, kBig, 3.0, "pixels",
              "excess copper at a feature standing alone (code 190)"),
        PARAM(34, "isolated_missing", 0, kBig, 3.0, "pixels",
              "missing copper at a feature standing alone (code 180)"),
        // The control block.
        CONTROL(tolerancePercent, "corner_relaxation_percent", 0, 100, 10, "percent",
                "width limits are relaxed by this share where the reference line bends"),
        CONTROL(padAreaLimit, "isolation_distance_px", 0, 10000, 0, "pixels",
                "copper with nothing else within this distance counts as a feature standing "
                "alone (codes 180, 190); 0 switches it off"),
        CONTROL(lineWidthBound, "thin_line_px", 0, 10000, 3, "pixels",
                "a reference line at most this wide ..."),
        CONTROL(cameraWidthBound, "thin_line_camera_px", 0, 10000, 2, "pixels",
                "... is reported narrowed whenever the camera shows it at most this wide"),
    };
    return table;
}

#undef PARAM
#undef CONTROL
#undef SEARCH_INT
#undef SEARCH_FLAG
#undef CAND_INT
#undef CAND_FLAG
#undef DEFECT_INT
#undef PHOTO_INT

// The columns of a width tolerance row, field by field.
struct ToleranceField {
    const char* name;
    const char* about;
};
constexpr ToleranceField kToleranceFields[9] = {
    {"line_width_px", "the row applies to reference widths below this"},
    {"excess_ratio", "replaces limits.excess_ratio"},
    {"missing_ratio", "replaces limits.missing_ratio"},
    {"excess_extent", "replaces limits.excess_extent"},
    {"missing_extent", "replaces limits.missing_extent"},
    {"line_hole_ratio", "replaces limits.line_hole_ratio for the measure across the line"},
    {"widening_ratio", "replaces limits.widening_ratio"},
    {"narrowing_ratio", "replaces limits.narrowing_ratio"},
    {"spacing_ratio", "replaces limits.spacing_ratio"},
};

float& toleranceField(WidthTolerance& t, int i) {
    float* f[9] = {&t.key,          &t.excessLimit1,    &t.missingLimit1,
                   &t.excessLimit2, &t.missingLimit2,   &t.differenceLimit,
                   &t.widenLimit,   &t.narrowLimit,     &t.spacingLimit};
    return *f[i];
}

std::string typeName(const json& v) {
    if (v.is_boolean()) return "true/false";
    if (v.is_number_integer() || v.is_number_unsigned()) return "an integer";
    if (v.is_number()) return "a number";
    if (v.is_string()) return "a text";
    if (v.is_array()) return "a list";
    if (v.is_object()) return "an object";
    return "null";
}

std::string number(double v) {
    std::ostringstream s;
    s << v;
    return s.str();
}

double readNumber(const json& v, Kind kind, double lo, double hi, const std::string& where,
                  const std::string& source) {
    if (kind == Kind::Flag) {
        if (!v.is_boolean())
            throw InputError(source, where + " must be true or false, not " + typeName(v));
        return v.get<bool>() ? 1.0 : 0.0;
    }
    if (kind == Kind::Integer && !(v.is_number_integer() || v.is_number_unsigned()))
        throw InputError(source, where + " must be an integer, not " + typeName(v));
    if (!v.is_number()) throw InputError(source, where + " must be a number, not " + typeName(v));
    const double d = v.get<double>();
    if (!std::isfinite(d) || d < lo || d > hi)
        throw InputError(source, where + " is " + v.dump() + ", outside " + number(lo) + " to " +
                                     number(hi));
    return d;
}

void store(Preset& p, const Key& k, double v) {
    switch (k.kind) {
        case Kind::Real: *k.real(p) = static_cast<float>(v); break;
        case Kind::Integer: *k.integer(p) = static_cast<std::int32_t>(v); break;
        case Kind::Flag: *k.flag(p) = v != 0.0; break;
    }
}

double fetch(const Preset& p, const Key& k) {
    Preset& q = const_cast<Preset&>(p);
    switch (k.kind) {
        case Kind::Real: return *k.real(q);
        case Kind::Integer: return *k.integer(q);
        case Kind::Flag: return *k.flag(q) ? 1.0 : 0.0;
    }
    return 0.0;
}

const char* kSections[] = {"search", "candidates", "defects", "photo", "limits", "control"};

// A float as the double of its shortest decimal form, so that 0.85f is
// written as 0.85 rather than 0.8500000238418579.
double shortest(float f) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text - 1, f).ptr;
    *end = 0;
    return std::strtod(text, nullptr);
}

// "evaluation": {"types": [{"type": 1, "name": "open", "families": [...]}]}
std::vector<EvaluationType> readEvaluation(const json& body, const std::string& source) {
    if (!body.is_object()) throw InputError(source, "\"evaluation\" must be an object");
    std::vector<EvaluationType> types;
    for (const auto& [name, value] : body.items()) {
        if (name != "types") throw InputError(source, "unknown key \"evaluation." + name + "\"");
        if (!value.is_array() || value.empty())
            throw InputError(source, "\"evaluation.types\" must be a list of types");
        for (std::size_t i = 0; i < value.size(); ++i) {
            const json& t = value[i];
            const std::string at = "evaluation.types[" + std::to_string(i) + "]";
            if (!t.is_object() || !t.contains("type") || !t.contains("name") ||
                !t.contains("families") || t.size() != 3 + (t.contains("defect") ? 1u : 0u))
                throw InputError(source, at + " must hold \"type\", \"name\", \"families\" "
                                              "and optionally \"defect\"");
            EvaluationType e;
            e.type = static_cast<int>(
                readNumber(t["type"], Kind::Integer, 0, kBig, "\"" + at + ".type\"", source));
            if (!t["name"].is_string()) throw InputError(source, at + ".name must be a text");
            e.name = t["name"].get<std::string>();
            if (!t["families"].is_array())
                throw InputError(source, at + ".families must be a list of family names");
            for (const json& f : t["families"]) {
                if (!f.is_string() || !isFamilyName(f.get<std::string>()))
                    throw InputError(source, at + ".families: " + f.dump() +
                                                 " is not a flaw family (see pcbinspect codes)");
                e.families.push_back(f.get<std::string>());
            }
            // The defect type: given, or the name written as a defect type
            // ("spurious copper" -> "spurious_copper") when it is one.
            if (t.contains("defect")) {
                if (!t["defect"].is_string() ||
                    !defectTypeFromName(t["defect"].get<std::string>()))
                    throw InputError(source, at + ".defect: " + t["defect"].dump() +
                                                 " is not a defect type (" + defectTypeList() +
                                                 ")");
                e.defect = t["defect"].get<std::string>();
            } else {
                std::string guess = e.name;
                for (char& ch : guess)
                    if (ch == ' ' || ch == '-') ch = '_';
                if (defectTypeFromName(guess)) e.defect = guess;
            }
            for (const EvaluationType& other : types)
                if (other.type == e.type)
                    throw InputError(source, at + ": type " + std::to_string(e.type) +
                                                 " is listed twice");
            types.push_back(e);
        }
    }
    return types;
}

}  // namespace

Preset defaultPreset() {
    Preset p;
    p.about = "pcbinspect default preset";
    for (const Key& k : keys()) store(p, k, k.fallback);
    // Thin lines get more room: limits by nominal width in pixels.
    //                key   exc1   miss1  exc2  miss2  hole  widen  narrow spacing
    p.tolerances = {
        WidthTolerance{10.0f, 0.35f, 0.35f, 3.0f, 3.0f, 0.5f, 0.30f, 0.30f, 0.30f},
        WidthTolerance{20.0f, 0.30f, 0.30f, 3.0f, 3.0f, 0.5f, 0.25f, 0.25f, 0.25f},
        WidthTolerance{99.0f, 0.25f, 0.25f, 4.0f, 4.0f, 0.5f, 0.20f, 0.20f, 0.20f},
    };
    // The six defect classes common to annotated bare-board photo sets.
    p.evaluationTypes = {
        {1, "open", {"missing copper", "open"}, "open"},
        {2, "short", {"short", "spacing"}, "short"},
        {3, "mousebite", {"missing copper", "open"}, "mousebite"},
        {4, "spur", {"excess copper"}, "spur"},
        {5, "spurious copper", {"excess copper"}, "spurious_copper"},
        {6, "pin-hole", {"void"}, "pin_hole"},
    };
    return p;
}

Preset presetFromJson(const json& root, const std::string& source) {
    if (!root.is_object()) throw InputError(source, "a preset must be a JSON object");
    Preset p = defaultPreset();
    for (const auto& [section, body] : root.items()) {
        if (section == "about") {
            if (!body.is_string()) throw InputError(source, "\"about\" must be a text");
            p.about = body.get<std::string>();
            continue;
        }
        if (section == "width_tolerances") {
            if (!body.is_array())
                throw InputError(source, "\"width_tolerances\" must be a list of rows");
            p.tolerances.clear();
            for (std::size_t r = 0; r < body.size(); ++r) {
                const json& row = body[r];
                const std::string at = "width_tolerances[" + std::to_string(r) + "]";
                if (!row.is_object()) throw InputError(source, at + " must be an object");
                WidthTolerance t{};
                bool seen[9] = {};
                for (const auto& [name, value] : row.items()) {
                    int f = 0;
                    while (f < 9 && name != kToleranceFields[f].name) ++f;
                    if (f == 9)
                        throw InputError(source, "unknown key \"" + at + "." + name + "\"");
                    toleranceField(t, f) = static_cast<float>(
                        readNumber(value, Kind::Real, 0.0, kBig, "\"" + at + "." + name + "\"",
                                   source));
                    seen[f] = true;
                }
                for (int f = 0; f < 9; ++f)
                    if (!seen[f])
                        throw InputError(source, at + " lacks \"" +
                                                     std::string(kToleranceFields[f].name) + "\"");
                p.tolerances.push_back(t);
            }
            continue;
        }
        if (section == "evaluation") {
            p.evaluationTypes = readEvaluation(body, source);
            continue;
        }
        bool known = false;
        for (const char* s : kSections) known = known || section == s;
        if (!known) throw InputError(source, "unknown key \"" + section + "\"");
        if (!body.is_object())
            throw InputError(source, "\"" + section + "\" must be an object, not " +
                                         typeName(body));
        for (const auto& [name, value] : body.items()) {
            const Key* key = nullptr;
            for (const Key& k : keys())
                if (section == k.section && name == k.name) key = &k;
            if (!key) throw InputError(source, "unknown key \"" + section + "." + name + "\"");
            store(p, *key,
                  readNumber(value, key->kind, key->lo, key->hi,
                             "\"" + section + "." + name + "\"", source));
        }
    }
    return p;
}

Preset loadPreset(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path, "cannot open preset");
    json root;
    try {
        root = json::parse(in);
    } catch (const json::exception& e) {
        // Malformed text, or a number beyond a double ("3e3213"). nlohmann's
        // text starts with "[json.exception.parse_error.101] ".
        std::string what = e.what();
        const auto cut = what.find("] ");
        if (cut != std::string::npos) what = what.substr(cut + 2);
        throw InputError(path, "malformed JSON: " + what);
    }
    return presetFromJson(root, path);
}

nlohmann::ordered_json presetToJson(const Preset& preset) {
    using ojson = nlohmann::ordered_json;
    ojson root = ojson::object();
    root["about"] = preset.about;
    for (const char* s : kSections) root[s] = ojson::object();
    for (const Key& k : keys()) {
        const double v = fetch(preset, k);
        ojson& slot = root[k.section][k.name];
        switch (k.kind) {
            case Kind::Real: slot = shortest(static_cast<float>(v)); break;
            case Kind::Integer: slot = static_cast<std::int32_t>(v); break;
            case Kind::Flag: slot = v != 0.0; break;
        }
    }
    ojson rows = ojson::array();
    for (WidthTolerance t : preset.tolerances) {
        ojson row = ojson::object();
        for (int f = 0; f < 9; ++f) row[kToleranceFields[f].name] = shortest(toleranceField(t, f));
        rows.push_back(row);
    }
    root["width_tolerances"] = rows;
    ojson types = ojson::array();
    for (const EvaluationType& e : preset.evaluationTypes)
        types.push_back(ojson{{"type", e.type}, {"name", e.name}, {"families", e.families},
                              {"defect", e.defect}});
    root["evaluation"] = ojson{{"types", types}};
    return root;
}

std::string describePresetKeys() {
    std::ostringstream out;
    out << "| Key | Unit | Range | Default | Meaning |\n|---|---|---|---|---|\n";
    for (const Key& k : keys()) {
        out << "| `" << k.section << '.' << k.name << "` | " << k.unit << " | ";
        if (k.kind == Kind::Flag)
            out << "true, false | " << (k.fallback != 0.0 ? "true" : "false");
        else
            out << number(k.lo) << " to " << number(k.hi) << " | " << number(k.fallback);
        out << " | " << k.about << " |\n";
    }
    for (const ToleranceField& f : kToleranceFields)
        out << "| `width_tolerances[].`" << f.name << " | " << (f.name[0] == 'l' ? "pixels" : "ratio")
            << " | 0 to " << number(kBig) << " | - | " << f.about << " |\n";
    out << "| `evaluation.types[]` | type, name, families | - | 1 open, 2 short, 3 mousebite, 4 "
           "spur, 5 spurious copper, 6 pin-hole | the defect types of `evaluate`'s truth files: "
           "their number, name, the flaw families that count as finding them and the defect type "
           "that matches their boxes (`evaluate --match box`; one of " +
               defectTypeList() + "; default: the name with blanks and hyphens as '_') |\n";
    return out.str();
}

}  // namespace pcbinspect::tool
