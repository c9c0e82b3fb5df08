#include "overlay.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <set>
#include <string>

namespace pcbinspect::tool {
namespace {

// 3 x 5 glyphs, one byte per row, bit 2 the left column.
struct Glyph {
    char c;
    std::array<std::uint8_t, 5> rows;
};
constexpr Glyph kFont[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}},
    {'3', {7, 1, 7, 1, 7}}, {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}},
    {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 2, 2}}, {'8', {7, 5, 7, 5, 7}},
    {'9', {7, 5, 7, 1, 7}}, {'A', {2, 5, 7, 5, 5}}, {'B', {6, 5, 6, 5, 6}},
    {'C', {3, 4, 4, 4, 3}}, {'D', {6, 5, 5, 5, 6}}, {'E', {7, 4, 6, 4, 7}},
    {'F', {7, 4, 6, 4, 4}}, {'G', {3, 4, 5, 5, 3}}, {'H', {5, 5, 7, 5, 5}},
    {'I', {7, 2, 2, 2, 7}}, {'J', {1, 1, 1, 5, 2}}, {'K', {5, 5, 6, 5, 5}},
    {'L', {4, 4, 4, 4, 7}}, {'M', {5, 7, 7, 5, 5}}, {'N', {6, 5, 5, 5, 5}},
    {'O', {2, 5, 5, 5, 2}}, {'P', {6, 5, 6, 4, 4}}, {'Q', {2, 5, 5, 6, 3}},
    {'R', {6, 5, 6, 5, 5}}, {'S', {3, 4, 2, 1, 6}}, {'T', {7, 2, 2, 2, 2}},
    {'U', {5, 5, 5, 5, 7}}, {'V', {5, 5, 5, 5, 2}}, {'W', {5, 5, 7, 7, 5}},
    {'X', {5, 5, 2, 5, 5}}, {'Y', {5, 5, 2, 2, 2}}, {'Z', {7, 1, 2, 4, 7}},
    {'-', {0, 0, 7, 0, 0}}, {'.', {0, 0, 0, 0, 2}}, {' ', {0, 0, 0, 0, 0}},
};

const Glyph* glyph(char c) {
    const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const Glyph& g : kFont)
        if (g.c == u) return &g;
    return nullptr;
}

void put(Image& rgb, int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= rgb.width || y >= rgb.height) return;
    std::uint8_t* p = rgb.row(y) + 3 * x;
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
}

// Darkens a rectangle to a quarter of its brightness, so text reads on it.
void shade(Image& rgb, int x0, int y0, int x1, int y1) {
    for (int y = std::max(y0, 0); y <= std::min(y1, rgb.height - 1); ++y)
        for (int x = std::max(x0, 0); x <= std::min(x1, rgb.width - 1); ++x)
            for (int k = 0; k < 3; ++k) rgb.row(y)[3 * x + k] /= 4;
}

void box(Image& rgb, int cx, int cy, int half, int thick, Rgb c) {
    drawRectangle(rgb, cx - half, cy - half, cx + half, cy + half, thick, c);
}

int textWidth(std::string_view text, int scale) {
    return text.empty() ? 0 : static_cast<int>(text.size()) * 4 * scale - scale;
}

}  // namespace

void drawRectangle(Image& rgb, int x0, int y0, int x1, int y1, int thick, Rgb c) {
    for (int t = 0; t < thick; ++t) {
        for (int x = x0 + t; x <= x1 - t; ++x) {
            put(rgb, x, y0 + t, c);
            put(rgb, x, y1 - t, c);
        }
        for (int y = y0 + t; y <= y1 - t; ++y) {
            put(rgb, x0 + t, y, c);
            put(rgb, x1 - t, y, c);
        }
    }
}

int drawText(Image& rgb, int x, int y, std::string_view text, Rgb colour, int scale) {
    int pen = x;
    for (char ch : text) {
        if (const Glyph* g = glyph(ch)) {
            for (int r = 0; r < 5; ++r)
                for (int col = 0; col < 3; ++col)
                    if (g->rows[static_cast<std::size_t>(r)] & (4 >> col))
                        for (int dy = 0; dy < scale; ++dy)
                            for (int dx = 0; dx < scale; ++dx)
                                put(rgb, pen + col * scale + dx, y + r * scale + dy, colour);
        }
        pen += 4 * scale;
    }
    return textWidth(text, scale);
}

namespace {

// The camera image in RGB, dimmed so that the marks stand out.
Image dimmed(const Image& camera) {
    Image rgb(camera.width, camera.height, 3);
    for (int y = 0; y < camera.height; ++y)
        for (int x = 0; x < camera.width; ++x) {
            const auto v = static_cast<std::uint8_t>(24 + camera.at(x, y) * 140 / 255);
            std::uint8_t* p = rgb.row(y) + 3 * x;
            p[0] = p[1] = p[2] = v;
        }
    return rgb;
}

// A defect type as the bitmap font draws it.
std::string label(DefectType type) {
    std::string text(defectTypeName(type));
    for (char& c : text)
        if (c == '_') c = ' ';
    return text;
}

}  // namespace

namespace {

// One line of the legend at the top left, at row y: a swatch of the colour
// and the text, on a shaded strip.
void legendLine(Image& rgb, int y, const std::string& text, Rgb c, int scale) {
    const int w = 6 * scale + textWidth(text, scale);
    shade(rgb, 2 * scale, y - scale, 6 * scale + w, y + 6 * scale);
    for (int dy = 0; dy < 5 * scale; ++dy)
        for (int dx = 0; dx < 4 * scale; ++dx) put(rgb, 4 * scale + dx, y + dy, c);
    drawText(rgb, 10 * scale, y, text, c, scale);
}

}  // namespace

Rgb defectColour(DefectType type) {
    // The colour of the flaw family each type belongs to.
    switch (type) {
        case DefectType::Open: return familyColour(Family::Open);
        case DefectType::Mousebite:
        case DefectType::MissingFeature: return familyColour(Family::MissingCopper);
        case DefectType::Short: return familyColour(Family::Short);
        case DefectType::Spur:
        case DefectType::SpuriousCopper:
        case DefectType::ExtraFeature: return familyColour(Family::ExcessCopper);
        case DefectType::PinHole: return familyColour(Family::Void);
        case DefectType::Width: return familyColour(Family::Width);
        case DefectType::Spacing: return familyColour(Family::Spacing);
        case DefectType::Pad: return familyColour(Family::Pad);
        case DefectType::Hole: return familyColour(Family::Hole);
    }
    return familyColour(Family::Unknown);
}

Image drawDefectOverlay(const Image& camera, const std::vector<Defect>& defects) {
    Image rgb = dimmed(camera);
    const int scale = std::min(camera.width, camera.height) >= 400 ? 2 : 1;
    std::set<DefectType> present;
    for (const Defect& d : defects) {
        present.insert(d.type);
        const Rgb c = defectColour(d.type);
        drawRectangle(rgb, d.x1, d.y1, d.x2, d.y2, scale, c);
        const std::string text = label(d.type);
        const int lx = d.x1, ly = d.y1 - 5 * scale - 2;
        shade(rgb, lx - 1, ly - 1, lx + textWidth(text, scale), ly + 5 * scale);
        drawText(rgb, lx, ly, text, c, scale);
    }
    // Legend, top left: one line per type found.
    int y = 4 * scale;
    for (DefectType t : present) {
        legendLine(rgb, y, label(t), defectColour(t), scale);
        y += 7 * scale;
    }
    return rgb;
}

Image drawOverlay(const Image& camera, const std::vector<FlawRecord>& flaws) {
    Image rgb = dimmed(camera);
    const int scale = std::min(camera.width, camera.height) >= 400 ? 2 : 1;
    const int half = 6 + 4 * scale;
    std::map<Family, std::set<int>> present;
    for (const FlawRecord& f : flaws) {
        const FlawCode d = describeFlaw(f.code);
        present[d.family].insert(f.code);
        const Rgb c = familyColour(d.family);
        box(rgb, f.camX, f.camY, half, scale + 1, c);
        const std::string label = std::to_string(f.code);
        const int lx = f.camX + half + 2, ly = f.camY - half - 5 * scale - 2;
        shade(rgb, lx - 1, ly - 1, lx + textWidth(label, scale), ly + 5 * scale);
        drawText(rgb, lx, ly, label, c, scale);
    }
    // Legend, top left: one line per family found, with its codes.
    const int line = 7 * scale;
    int y = 4 * scale;
    for (const auto& [family, codes] : present) {
        std::string text(familyName(family));
        for (int code : codes) text += " " + std::to_string(code);
        legendLine(rgb, y, text, familyColour(family), scale);
        y += line;
    }
    return rgb;
}

}  // namespace pcbinspect::tool
