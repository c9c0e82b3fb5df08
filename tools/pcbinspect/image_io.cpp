// PNG through libpng's reading and simplified writing interfaces, JPEG
// through libjpeg(-turbo). Both libraries report errors by long jumps; every
// jump lands in the function that set it up, which then throws after the
// library's own state has been released.
#include "image_io.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>

#include <jpeglib.h>
#include <opencv2/imgcodecs.hpp>
#include <png.h>

#include "tool_error.h"

namespace pcbinspect::tool {
namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Sizes above this are refused before any allocation: 32767 pixels a side
// keeps every product of the library's 32-bit size arithmetic in range.
constexpr std::uint32_t kMaxSide = 32767;

void checkSize(const std::string& path, std::uint32_t w, std::uint32_t h) {
    if (w < 1 || h < 1) throw InputError(path, "image has no pixels");
    if (w > kMaxSide || h > kMaxSide)
        throw InputError(path, "image of " + std::to_string(w) + " x " + std::to_string(h) +
                                   " pixels is larger than " + std::to_string(kMaxSide) +
                                   " a side");
}

// ---------------------------------------------------------------- PNG

struct PngErrorState {
    std::jmp_buf jump;
    char message[200] = {0};
};

void pngError(png_structp png, png_const_charp msg) {
    auto* state = static_cast<PngErrorState*>(png_get_error_ptr(png));
    std::snprintf(state->message, sizeof state->message, "%s", msg);
    std::longjmp(state->jump, 1);
}

void pngWarning(png_structp, png_const_charp) {}

std::string pngKind(int colorType, int bitDepth) {
    const char* kind = "gray";
    switch (colorType) {
        case PNG_COLOR_TYPE_GRAY_ALPHA: kind = "gray with alpha"; break;
        case PNG_COLOR_TYPE_PALETTE: kind = "palette"; break;
        case PNG_COLOR_TYPE_RGB: kind = "RGB colour"; break;
        case PNG_COLOR_TYPE_RGB_ALPHA: kind = "RGBA colour"; break;
        default: break;
    }
    return std::to_string(bitDepth) + "-bit " + kind;
}

// Gray from red, green and blue with the usual luma weights (0.299, 0.587,
// 0.114), rounded, in integers so that every platform gives the same bytes.
std::uint8_t luma(const std::uint8_t* rgb) {
    return static_cast<std::uint8_t>((299 * rgb[0] + 587 * rgb[1] + 114 * rgb[2] + 500) / 1000);
}

Image lumaOf(const Image& rgb) {
    Image gray(rgb.width, rgb.height, 1);
    for (std::size_t i = 0; i < gray.pixels.size(); ++i) gray.pixels[i] = luma(&rgb.pixels[3 * i]);
    return gray;
}

Image readPng(const std::string& path, std::FILE* file, bool* colour) {
    PngErrorState state;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, pngError, pngWarning);
    if (!png) throw InputError(path, "out of memory reading PNG");
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        throw InputError(path, "out of memory reading PNG");
    }
    // Everything that must survive the long jump lives outside this frame's
    // registers: the image is built in a heap object owned by a unique_ptr.
    auto image = std::make_unique<Image>();
    std::vector<png_bytep> rows;
    std::string problem;
    if (setjmp(state.jump)) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw InputError(path, std::string("damaged PNG: ") + state.message);
    }
    png_init_io(png, file);
#if defined(PNG_IGNORE_ADLER32)
    // Every chunk's CRC is still checked; the zlib stream's second checksum
    // of the same bytes is not computed again.
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
    png_read_info(png, info);
    const png_uint_32 w = png_get_image_width(png, info);
    const png_uint_32 h = png_get_image_height(png, info);
    const int depth = png_get_bit_depth(png, info);
    const int type = png_get_color_type(png, info);
    const bool plainGray = type == PNG_COLOR_TYPE_GRAY && depth == 8;
    if (!plainGray && colour == nullptr) {
        problem = "is " + pngKind(type, depth) + "; an 8-bit gray image is needed";
    } else if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide) {
        problem = "image of " + std::to_string(w) + " x " + std::to_string(h) +
                  " pixels is outside 1 to " + std::to_string(kMaxSide) + " a side";
    }
    if (!problem.empty()) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw InputError(path, problem);
    }
    // Any other kind of PNG becomes 8-bit gray or RGB without alpha.
    if (!plainGray) {
        png_set_strip_16(png);
        png_set_strip_alpha(png);
        png_set_palette_to_rgb(png);
        png_set_expand_gray_1_2_4_to_8(png);
        png_read_update_info(png, info);
    }
    const int channels = png_get_channels(png, info);
    *image = Image(static_cast<int>(w), static_cast<int>(h), channels);
    rows.resize(h);
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = image->row(static_cast<int>(y));
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    if (colour) *colour = channels == 3;
    return channels == 3 ? lumaOf(*image) : std::move(*image);
}

// ---------------------------------------------------------------- JPEG

struct JpegErrorState {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void jpegError(j_common_ptr info) {
    auto* state = reinterpret_cast<JpegErrorState*>(info->err);
    std::longjmp(state->jump, 1);
}

void jpegQuiet(j_common_ptr, int) {}

Image readJpeg(const std::string& path, std::FILE* file, bool* colour) {
    jpeg_decompress_struct info;
    JpegErrorState state;
    info.err = jpeg_std_error(&state.base);
    state.base.error_exit = jpegError;
    state.base.emit_message = jpegQuiet;
    auto image = std::make_unique<Image>();
    char message[JMSG_LENGTH_MAX] = {0};
    std::string problem;
    if (setjmp(state.jump)) {
        state.base.format_message(reinterpret_cast<j_common_ptr>(&info), message);
        jpeg_destroy_decompress(&info);
        throw InputError(path, std::string("damaged JPEG: ") + message);
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    const bool gray = info.num_components == 1 && info.jpeg_color_space == JCS_GRAYSCALE;
    if (!gray && (colour == nullptr || info.num_components != 3)) {
        problem = "is a " + std::to_string(info.num_components * 8) +
                  "-bit colour JPEG; an 8-bit gray image is needed";
    } else if (info.image_width < 1 || info.image_height < 1 || info.image_width > kMaxSide ||
               info.image_height > kMaxSide) {
        problem = "image of " + std::to_string(info.image_width) + " x " +
                  std::to_string(info.image_height) + " pixels is outside 1 to " +
                  std::to_string(kMaxSide) + " a side";
    }
    if (!problem.empty()) {
        jpeg_destroy_decompress(&info);
        throw InputError(path, problem);
    }
    info.out_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&info);
    *image = Image(static_cast<int>(info.output_width), static_cast<int>(info.output_height),
                   gray ? 1 : 3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image->row(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    if (colour) *colour = !gray;
    return gray ? std::move(*image) : lumaOf(*image);
}

// Reads a PNG or JPEG, chosen by its first bytes; `colour` null: 8-bit gray
// only, else any kind, converted to gray.
Image readImage(const std::string& path, bool* colour) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) throw InputError(path, std::string("cannot open: ") + std::strerror(errno));
    unsigned char magic[8] = {0};
    const std::size_t got = std::fread(magic, 1, sizeof magic, file.get());
    std::rewind(file.get());
    if (got == 8 && png_sig_cmp(magic, 0, 8) == 0) return readPng(path, file.get(), colour);
    if (got >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF)
        return readJpeg(path, file.get(), colour);
    if (got == 0) throw InputError(path, "file is empty");
    throw InputError(path, "is neither a PNG nor a JPEG image");
}

}  // namespace

Image readGray(const std::string& path) { return readImage(path, nullptr); }

Image readGrayOrColour(const std::string& path, bool* colour) {
    bool converted = false;
    Image image = readImage(path, &converted);
    if (colour) *colour = converted;
    return image;
}

// ---------------------------------------------------------------- photographs

namespace {

PhotoImage photoOf(const Image& gray) {
    PhotoImage p;
    p.width = gray.width;
    p.height = gray.height;
    p.samples.assign(gray.pixels.begin(), gray.pixels.end());
    return p;
}

// What OpenCV decoded, as red, green and blue (or gray) samples; alpha is
// dropped.
PhotoImage photoOf(const std::string& path, const cv::Mat& m) {
    if (m.empty()) throw InputError(path, "cannot be decoded");
    if (m.depth() != CV_8U && m.depth() != CV_16U)
        throw InputError(path, "holds samples of another kind than 8 or 16 bits");
    checkSize(path, static_cast<std::uint32_t>(m.cols), static_cast<std::uint32_t>(m.rows));
    PhotoImage p;
    p.width = m.cols;
    p.height = m.rows;
    p.bits = m.depth() == CV_16U ? 16 : 8;
    const int in = m.channels();
    p.channels = in >= 3 ? 3 : 1;
    p.samples.resize(static_cast<std::size_t>(p.width) * p.height * p.channels);
    std::size_t k = 0;
    for (int y = 0; y < m.rows; ++y)
        for (int x = 0; x < m.cols; ++x)
            for (int c = 0; c < p.channels; ++c) {
                // OpenCV keeps blue first.
                const int from = p.channels == 3 ? 2 - c : 0;
                p.samples[k++] = p.bits == 16 ? m.ptr<std::uint16_t>(y)[x * in + from]
                                              : m.ptr<std::uint8_t>(y)[x * in + from];
            }
    return p;
}

}  // namespace

PhotoImage readPhoto(const std::string& path, Image* grayOut, bool* colourOut) {
    unsigned char head[32] = {0};
    std::size_t got = 0;
    {
        File file(std::fopen(path.c_str(), "rb"));
        if (!file) throw InputError(path, std::string("cannot open: ") + std::strerror(errno));
        got = std::fread(head, 1, sizeof head, file.get());
    }
    const bool tiff = got >= 4 && ((head[0] == 'I' && head[1] == 'I' && head[2] == 42 &&
                                    head[3] == 0) ||
                                   (head[0] == 'M' && head[1] == 'M' && head[2] == 0 &&
                                    head[3] == 42));
    if (tiff) {
        PhotoImage p = photoOf(path, cv::imread(path, cv::IMREAD_UNCHANGED));
        if (grayOut) *grayOut = grayOfPhoto(p, colourOut);
        return p;
    }
    // PNG and JPEG: the tool's own readers check the file and give their
    // messages; an 8-bit gray file is taken from them as it is.
    bool colour = false;
    Image gray = readImage(path, &colour);
    if (colourOut) *colourOut = colour;
    const bool png = got >= 26 && png_sig_cmp(head, 0, 8) == 0;
    const bool deep = png && head[24] == 16;
    PhotoImage p = !colour && !deep ? photoOf(gray)
                                    : photoOf(path, cv::imread(path, cv::IMREAD_UNCHANGED));
    if (grayOut) *grayOut = std::move(gray);
    return p;
}

Image grayOfPhoto(const PhotoImage& photo, bool* colour) {
    if (colour) *colour = photo.channels == 3;
    Image eight(photo.width, photo.height, photo.channels);
    for (std::size_t i = 0; i < eight.pixels.size(); ++i) {
        const unsigned v = photo.samples[i];
        eight.pixels[i] =
            static_cast<std::uint8_t>(photo.bits == 16 ? (v * 255u + 32767u) / 65535u : v);
    }
    return photo.channels == 3 ? lumaOf(eight) : eight;
}

void writePng(const std::string& path, const Image& image) {
    checkSize(path, static_cast<std::uint32_t>(image.width),
              static_cast<std::uint32_t>(image.height));
    png_image out;
    std::memset(&out, 0, sizeof out);
    out.version = PNG_IMAGE_VERSION;
    out.width = static_cast<png_uint_32>(image.width);
    out.height = static_cast<png_uint_32>(image.height);
    out.format = image.channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    if (!png_image_write_to_file(&out, path.c_str(), 0, image.pixels.data(), image.stride(),
                                 nullptr)) {
        const std::string why = out.message;
        png_image_free(&out);
        std::remove(path.c_str());
        throw InputError(path, "cannot write PNG: " + why);
    }
}

}  // namespace pcbinspect::tool
