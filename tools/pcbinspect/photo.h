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
// A pin-hole or speck blurred below the midpoint is still found where it
// stands out from its class's local level well above the noise.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "image_io.h"

namespace pcbinspect::tool {

struct InspectionResult;

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
    int faintSpots = 0;  // pin-holes and specks found below the midpoint's reach
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

// The camera's geometry relative to the golden board: an affine map taking
// a golden pixel position (x, y) to the camera's, x' = m[0] x + m[1] y +
// m[2], y' = m[3] x + m[4] y + m[5].
using CameraGeometry = std::array<double, 6>;

struct GeometryEstimate {
    CameraGeometry map{1, 0, 0, 0, 1, 0};
    int tiles = 0;          // tiles whose shift was measured and kept
    double residual = 0.0;  // largest distance of a kept tile from the fit, pixels
    double reach = 0.0;     // largest displacement of the map over the image, pixels
};

// Measures the camera's geometry from the two copper images (255 copper):
// a global shift by phase correlation, then the sub-pixel shift of each
// tile of a grid (along x where the tile has edges across x, along y
// likewise: a tile of horizontal lines fixes y only), and each camera
// coordinate fitted as an affine function of the golden position by least
// squares, dropping measures that stray more than a pixel from the fit.
// Nothing when fewer than four tiles could be measured on an axis.
std::optional<GeometryEstimate> estimateCameraGeometry(const Image& goldenCopper,
                                                       const Image& cameraCopper);

// Below this largest displacement (pixels) the camera photo is left as it
// is: the search's placement and local offsets take a shift that small.
inline constexpr double kResampleFrom = 0.5;

// "shift 3.2, 2.1 px, turn 0.12 degrees, scale 1.0015, 21 tiles, ..."
std::string describeGeometry(const GeometryEstimate& e);

// A photograph resampled (bilinear) onto the golden board's geometry:
// pixel (x, y) of the result is the camera photo at map(x, y). `outside`
// (when given) receives 255 where that position falls off the photo.
PhotoImage resamplePhoto(const PhotoImage& photo, const CameraGeometry& map, Image* outside);

// An image in the camera's own geometry resampled onto the golden board's
// (nearest pixel; positions off the image read 0): masks.
Image resampleMask(const Image& mask, const CameraGeometry& map);

// The camera positions of a result inspected on a resampled camera photo
// taken back into the photo's own pixels: the flaws' camera positions and
// the defects' boxes (the box of the mapped corners).
void mapCameraPositions(InspectionResult& result, const CameraGeometry& map);

// "dark copper (auto), channel green, ..." for the tool's notes.
std::string describePhotoResult(const PhotoResult& result);

}  // namespace pcbinspect::tool
