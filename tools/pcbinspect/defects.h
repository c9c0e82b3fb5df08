// Defects: one box and one type per flaw on the board, built from the
// placed camera window, the reference copper in the camera's frame and the
// library's point records. A defect is one connected difference region (or
// the regions that together make one flaw, such as the pieces of a cut),
// typed by what it does to the conductors around it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image_io.h"
#include "pcbinspect/exports.h"

namespace pcbinspect::tool {

struct InspectionInput;
struct InspectionResult;
struct Preset;

// The numbers are those of the C interface (pcbtool_find_defects).
enum class DefectType : std::int32_t {
    Open = 0,
    Mousebite,
    Short,
    Spur,
    SpuriousCopper,
    PinHole,
    Width,
    Spacing,
    Pad,
    Hole,
    MissingFeature,
    ExtraFeature,
};
inline constexpr int kDefectTypeCount = 12;

// "open", "mousebite", ... as written in reports.
std::string_view defectTypeName(DefectType type);
std::optional<DefectType> defectTypeFromName(std::string_view name);
// Every name, comma-separated, for messages.
std::string defectTypeList();

struct Defect {
    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // box in camera pixels, corners inclusive
    DefectType type = DefectType::Mousebite;
    float confidence = 0.0f;             // 0 to 1
    std::vector<int> records;            // indices into the record list, ascending
};

// A binary image seen through a pointer: non-zero is copper.
struct BinaryView {
    const std::uint8_t* data = nullptr;
    int width = 0, stride = 0, height = 0;
    bool at(int x, int y) const { return data[static_cast<std::size_t>(y) * stride + x] != 0; }
};

struct DefectSettings {
    int boxMargin = 8;  // pixels added to the tight box of a defect's differences
    // How far the camera's edges may lie off the reference's (alignment and
    // binarisation jitter): differences no farther than this from the other
    // image's copper are slivers, not defects, and stretch no box.
    int jitter = 1;
    // A CAD reference: records of the width, spacing, pad and hole families
    // (and the isolated-feature codes) name the type where the topology says
    // nothing more specific.
    bool cadFamilies = true;
};

// The defects of one placed inspection. `camera` and `reference` are the
// camera's binary window and the reference copper in the camera's frame
// (same size); `records` the library's flaws in camera coordinates. Throws
// InputError when the two images differ in size.
std::vector<Defect> findDefects(const BinaryView& camera, const BinaryView& reference,
                                std::span<const FlawRecord> records,
                                const DefectSettings& settings);

// True for the labels the inspection reads as copper: everything but the
// background 0, the drawing lines 150 and 151, the ignore label 152 and the
// hole interiors 154.
bool isCopperLabel(std::uint8_t label);

// The reference copper seen through the camera window (0/255, the camera
// window's size): camera pixel (x, y) of offset-grid cell c (5 x 5 cells,
// the last row and column taking the remainder) shows reference pixel
// (x + positionX + dx[c], y + positionY + dy[c]), where a cell's correction
// is kept only when it leaves fewer pixels differing from the camera than
// none; `offsets` may be null. Pixels beyond the reference are background.
Image referenceCopperWindow(const BinaryView& labels, const BinaryView& camera, int positionX,
                            int positionY, const OffsetGrid* offsets);

// The differences deeper than one pixel between the camera's copper and the
// aligned reference copper (both of one size, non-zero copper): 255 where
// copper is missing with reference copper all round it, or where extra
// copper has no reference copper beside it; 0 elsewhere. A photograph's
// edges wander by a pixel between two shots: one-pixel slivers along edges
// are not deep.
Image deepDifferences(const BinaryView& camera, const BinaryView& reference);

// One point of each 8-connected piece of `deep` (non-zero), the pixel
// nearest the piece's centre of mass, where that point lies within `band`
// pixels of the image's left, top, right or bottom edge (the last row and
// column count one more).
std::vector<std::array<int, 2>> differencesInEdgeBand(const Image& deep, int band);

// Which of `suspects` (camera positions) lie within `reach` pixels (a
// square) of a deep difference of `deep` (deepDifferences of the camera
// window). A suspect with nothing but one-pixel slivers near it marks no
// defect.
std::vector<bool> suspectsOnDifferences(const Image& deep,
                                        std::span<const SuspectRecord> suspects, int reach);

// Fills result.defects (and result.defectsMs) of a placed inspection from
// its inputs, the camera's binary image and the preset's box margin.
// `referenceWindow`, when given, is the reference copper already read
// through the placed camera window (referenceCopperWindow).
void attachDefects(const InspectionInput& input, const Image& cameraBinary, const Preset& preset,
                   InspectionResult& result, const Image* referenceWindow = nullptr);

}  // namespace pcbinspect::tool
