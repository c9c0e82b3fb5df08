// The photo front end: a photograph of a bare board (gray or colour, 8 or 16
// bits a sample, any light) turned into the binary copper image that the
// inspection reads, so that golden and camera photographs taken under
// different light give the same edges.
//
// The light is taken as a smooth field over the board. Copper and substrate
// levels are estimated locally (from the inner pixels of each class, away
// from edges) and every pixel is compared with the midpoint of the two
// levels around it: with a symmetric blur an edge crosses that midpoint
// where the copper ends, whatever the light, so a line keeps its width. The
// image is smoothed just enough for the sensor noise it shows, and copper
// islands and holes smaller than the smallest defect asked for are removed.
#pragma once

#include <cstdint>
#include <string>

#include "image_io.h"

namespace pcbinspect::tool {

enum class CopperPolarity { Auto, Bright, Dark };

// The sample a photograph is read by: the luma of a colour photo (or the
// one sample of a gray one), or one of its red, green and blue samples.
inline constexpr int kChannelAuto = -1;
inline constexpr int kChannelLuma = 0;
inline constexpr int kChannelRed = 1;
inline constexpr int kChannelGreen = 2;
inline constexpr int kChannelBlue = 3;
const char* channelName(int channel);

// Copper islands and holes in copper below this many pixels are taken for
// noise (the preset's photo.min_defect_px).
inline constexpr int kDefaultMinDefectPx = 6;

struct PhotoOptions {
    CopperPolarity copper = CopperPolarity::Auto;
    int channel = kChannelAuto;
    int minDefectPx = kDefaultMinDefectPx;
};

struct PhotoResult {
    Image copper;             // 255 copper, 0 substrate
    bool copperDark = false;  // the polarity in force
    bool polarityFound = false;  // decided by the front end (CopperPolarity::Auto)
    double copperShare = 0.0;    // share of the pixels that are copper
    int channel = kChannelLuma;
    double copperLevel = 0.0, substrateLevel = 0.0;  // median local levels, 0..255
    double noise = 0.0;       // spread of the inner pixels around their local level
    double smoothing = 0.0;   // sigma of the Gaussian applied before the comparison
    int specksRemoved = 0, holesFilled = 0;
};

// Binarises a photograph. Auto polarity: the class covering less of the
// image is copper (a bare board shows more substrate than copper). Auto
// channel: of luma, red, green and blue, the one whose two classes stand
// farthest apart for their noise (a gray photo has only luma).
PhotoResult binarisePhoto(const PhotoImage& photo, const PhotoOptions& options);

// Removes copper islands and fills holes in copper of fewer than
// `minPixels` pixels (8-connected), in place, in a 255/0 image; returns the
// islands and the holes removed.
std::pair<int, int> removeSmallRegions(Image& binary, int minPixels);

// True when a gray image holds at most two gray levels: an image already
// binary, which keeps the global threshold rule.
bool isTwoLevel(const Image& gray);

// "dark copper (auto), channel green, ..." for the tool's notes.
std::string describePhotoResult(const PhotoResult& result);

}  // namespace pcbinspect::tool
