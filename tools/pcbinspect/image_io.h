// Reading and writing the images of an inspection: 8-bit gray PNG and JPEG
// in (photographs also 16-bit PNG and TIFF, gray or colour), gray or RGB PNG
// out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pcbinspect::tool {

// An image held by the tool: `channels` bytes per pixel (1 gray, 3 RGB),
// rows packed without padding.
struct Image {
    int width = 0, height = 0, channels = 1;
    std::vector<std::uint8_t> pixels;

    Image() = default;
    Image(int w, int h, int c, std::uint8_t fill = 0)
        : width(w), height(h), channels(c),
          pixels(static_cast<std::size_t>(w) * h * c, fill) {}
    int stride() const { return width * channels; }
    std::uint8_t* row(int y) { return pixels.data() + static_cast<std::size_t>(y) * stride(); }
    const std::uint8_t* row(int y) const {
        return pixels.data() + static_cast<std::size_t>(y) * stride();
    }
    std::uint8_t& at(int x, int y) { return row(y)[x * channels]; }
    std::uint8_t at(int x, int y) const { return row(y)[x * channels]; }
};

// Reads an 8-bit single-channel image from a PNG or JPEG file (chosen by the
// file's first bytes, not its name). PNG must be 8-bit gray without alpha,
// JPEG must be gray; anything else, a missing file or a damaged one throws
// InputError naming the file.
Image readGray(const std::string& path);

// The same, but a colour PNG or JPEG (and any other PNG kind) is accepted and
// turned into gray with the luma weights 0.299, 0.587 and 0.114;
// `colour`, when given, tells whether that happened.
Image readGrayOrColour(const std::string& path, bool* colour = nullptr);

// A photograph as read, samples kept as they are: 8 or 16 bits (`bits`),
// 1 (gray) or 3 (red, green, blue) channels, rows packed.
struct PhotoImage {
    int width = 0, height = 0, channels = 1, bits = 8;
    std::vector<std::uint16_t> samples;
    std::uint16_t at(int x, int y, int c = 0) const {
        return samples[(static_cast<std::size_t>(y) * width + x) * channels + c];
    }
};

// Reads a photograph: PNG (8- or 16-bit, gray or colour, alpha dropped),
// TIFF (8- or 16-bit, gray or colour) or JPEG, chosen by the file's first
// bytes. A missing, empty or damaged file throws InputError naming it, with
// the messages of readGray for PNG and JPEG. `gray`, when given, receives
// the photo in 8-bit gray as readGrayOrColour gives it (for TIFF, as
// grayOfPhoto makes it), and `colour` whether it had colour.
PhotoImage readPhoto(const std::string& path, Image* gray = nullptr, bool* colour = nullptr);

// The photograph as 8-bit gray: luma as readGrayOrColour computes it, 16-bit
// samples rounded to 8 bits first. `colour`, when given, tells whether the
// photo had colour.
Image grayOfPhoto(const PhotoImage& photo, bool* colour = nullptr);

// JPEG bytes decoded to 8-bit gray (colour through the luma weights);
// damaged bytes throw InputError naming `name`.
Image decodeJpeg(const std::vector<std::uint8_t>& bytes, const std::string& name);

// A gray or RGB image as baseline JPEG bytes of `quality` (1 to 100).
std::vector<std::uint8_t> encodeJpeg(const Image& image, int quality);

// Writes a gray (1 channel) or RGB (3 channels) image as an 8-bit PNG.
// Throws InputError naming the file when it cannot be written.
void writePng(const std::string& path, const Image& image);

}  // namespace pcbinspect::tool
