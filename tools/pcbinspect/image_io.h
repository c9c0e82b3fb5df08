// Reading and writing the images of an inspection: 8-bit gray PNG and JPEG
// in, gray or RGB PNG out.
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

// Writes a gray (1 channel) or RGB (3 channels) image as an 8-bit PNG.
// Throws InputError naming the file when it cannot be written.
void writePng(const std::string& path, const Image& image);

}  // namespace pcbinspect::tool
