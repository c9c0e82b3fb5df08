// The overlay picture: the camera image in gray with every flaw boxed in its
// family's colour and labelled with its code, and a legend of the families
// found.
#pragma once

#include <string_view>
#include <vector>

#include "defects.h"
#include "flaw_codes.h"
#include "image_io.h"
#include "pcbinspect/exports.h"

namespace pcbinspect::tool {

// An RGB image of the camera image's size.
Image drawOverlay(const Image& camera, const std::vector<FlawRecord>& flaws);

// An RGB image of the camera image's size with every defect's box outlined
// in its type's colour and labelled with its type, and a legend of the types
// found.
Image drawDefectOverlay(const Image& camera, const std::vector<Defect>& defects);

// The overlay colour of a defect type.
Rgb defectColour(DefectType type);

// Outlines the rectangle of corners (x0, y0) and (x1, y1), `thick` pixels
// inward; clipped to the image.
void drawRectangle(Image& rgb, int x0, int y0, int x1, int y1, int thick, Rgb colour);

// Draws text (digits, capital letters, blank, '-', '.') with a 3 x 5 bitmap
// font scaled by `scale`, top-left corner at (x, y); clipped to the image.
// Lower-case letters are drawn as capitals. Returns the width drawn.
int drawText(Image& rgb, int x, int y, std::string_view text, Rgb colour, int scale);

}  // namespace pcbinspect::tool
