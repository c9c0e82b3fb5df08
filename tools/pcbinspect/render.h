// From CAD files to a reference: a Gerber copper layer and Excellon drill
// files, parsed by libgerbv, drawn without antialiasing into a label image
// of the inspection's CAD labels, with the list of drilled holes.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <vector>

#include "commands.h"
#include "image_io.h"
#include "pcbinspect/exports.h"

namespace pcbinspect::tool {

struct RenderOptions {
    std::string copper;               // the Gerber copper layer
    std::vector<std::string> drills;  // Excellon drill files
    double pixelMicrons = 25.4;       // pixel size (1000 dots per inch)
    int margin = 60;                  // background around the board's extent, pixels
    bool verbose = false;             // pass libgerbv's own messages on
    double maxPixels = 2147483648.0;  // the largest reference accepted (2^31 pixels)
    double parseSeconds = 60.0;       // a file libgerbv does not parse within this is refused
    bool mirror = false;              // columns reversed: a bottom layer as the camera sees it
};

struct RenderedBoard {
    Image labels;                  // CAD labels, 8-bit
    std::vector<HoleRecord> holes; // in reference pixels, kinds above
    double pixelMicrons = 0.0;
    double minX = 0, minY = 0, maxX = 0, maxY = 0;  // the copper's extent, inches
    int originX = 0, originY = 0;  // reference pixel of the Gerber point (minX, maxY)
    long long counts[256] = {};    // pixels per label
    int messages = 0;              // what libgerbv said while parsing
    bool mirrored = false;         // columns reversed (RenderOptions::mirror)
};

// Parses and draws. Label rules: traces 170, regions (pours) 255, flashed
// pads 160, round or obround flashed pads with a drill hole inside 180,
// drill hole interiors 154 where they lie in copper; clear polarity erases.
// Where objects overlap, pads win over regions and regions over traces, so
// a trace ending on a pad leaves the pad whole and a trace inside a pour is
// part of the pour. Throws InputError naming the file for input that cannot
// be rendered. Single-pixel slivers of the drawing (a bare pixel enclosed by
// copper on four sides, a copper pixel with none) are closed. With
// `mirror`, the labels and holes are mirrored left to right afterwards.
RenderedBoard renderBoard(const RenderOptions& options, std::ostream* messages);

// Writes reference.png, holes.csv, render.json and preview.png into `out`.
void writeRender(const RenderedBoard& board, const RenderOptions& options,
                 const std::filesystem::path& out);

}  // namespace pcbinspect::tool
