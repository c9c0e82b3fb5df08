// PNG through libpng's reading and simplified writing interfaces, JPEG
// through libjpeg(-turbo), TIFF through libtiff. libpng and libjpeg report
// errors by long jumps; every jump lands in the function that set it up,
// which then throws after the library's own state has been released.
#include "image_io.h"

#include <bit>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

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

// libpng's state for reading one file, with the long jump of its errors;
// released when it goes.
struct PngRead {
    PngErrorState state;
    png_structp png = nullptr;
    png_infop info = nullptr;
    explicit PngRead(const std::string& path) {
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, pngError, pngWarning);
        if (png) info = png_create_info_struct(png);
        if (!info) {
            png_destroy_read_struct(&png, nullptr, nullptr);
            throw InputError(path, "out of memory reading PNG");
        }
    }
    ~PngRead() { png_destroy_read_struct(&png, &info, nullptr); }
    PngRead(const PngRead&) = delete;
    PngRead& operator=(const PngRead&) = delete;
};

Image readPng(const std::string& path, std::FILE* file, bool* colour) {
    PngRead read(path);
    png_structp png = read.png;
    png_infop info = read.info;
    // Everything that must survive the long jump lives outside this frame's
    // registers: the image is built in a heap object owned by a unique_ptr.
    auto image = std::make_unique<Image>();
    std::vector<png_bytep> rows;
    std::string problem;
    if (setjmp(read.state.jump)) throw InputError(path, std::string("damaged PNG: ") + read.state.message);
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
    if (!problem.empty()) throw InputError(path, problem);
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

// A JPEG from `file` or, when it is null, from `bytes`; `colour` null: gray
// only. A colour JPEG is turned into gray unless `keepRgb`.
Image readJpeg(const std::string& path, std::FILE* file, bool* colour,
               const std::vector<std::uint8_t>* bytes = nullptr, bool keepRgb = false) {
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
    if (file) {
        jpeg_stdio_src(&info, file);
    } else {
        jpeg_mem_src(&info, bytes->data(), static_cast<unsigned long>(bytes->size()));
    }
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
    return gray || keepRgb ? std::move(*image) : lumaOf(*image);
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

PhotoImage photoOf(const Image& rgb, int channels) {
    PhotoImage p;
    p.width = rgb.width;
    p.height = rgb.height;
    p.channels = channels;
    p.samples.assign(rgb.pixels.begin(), rgb.pixels.end());
    return p;
}

// The first `keep` of the `in` samples of every pixel of one row of `bits`
// bits (16-bit samples in the machine's order), appended to `out`.
void appendRow(const std::uint8_t* row, int width, int in, int keep, int bits,
               std::vector<std::uint16_t>& out) {
    for (int x = 0; x < width; ++x)
        for (int c = 0; c < keep; ++c) {
            const std::size_t i = static_cast<std::size_t>(x) * in + c;
            if (bits == 16) {
                std::uint16_t v;
                std::memcpy(&v, row + 2 * i, 2);
                out.push_back(v);
            } else {
                out.push_back(row[i]);
            }
        }
}

// A PNG of any kind as a photograph: palettes and gray of fewer than 8 bits
// expanded to 8 bits, alpha dropped, 16-bit samples kept.
PhotoImage readPngPhoto(const std::string& path) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) throw InputError(path, std::string("cannot open: ") + std::strerror(errno));
    PngRead read(path);
    png_structp png = read.png;
    png_infop info = read.info;
    auto photo = std::make_unique<PhotoImage>();
    auto bytes = std::make_unique<std::vector<std::uint8_t>>();
    std::vector<png_bytep> rows;
    if (setjmp(read.state.jump)) throw InputError(path, std::string("damaged PNG: ") + read.state.message);
    png_init_io(png, file.get());
    png_read_info(png, info);
    const png_uint_32 w = png_get_image_width(png, info);
    const png_uint_32 h = png_get_image_height(png, info);
    checkSize(path, w, h);
    png_set_expand(png);
    png_set_strip_alpha(png);
    if (png_get_bit_depth(png, info) == 16 && std::endian::native == std::endian::little)
        png_set_swap(png);
    png_read_update_info(png, info);
    const int channels = png_get_channels(png, info);
    const int bits = png_get_bit_depth(png, info);
    const std::size_t rowBytes = png_get_rowbytes(png, info);
    bytes->resize(rowBytes * h);
    rows.resize(h);
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = bytes->data() + y * rowBytes;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    photo->width = static_cast<int>(w);
    photo->height = static_cast<int>(h);
    photo->channels = channels >= 3 ? 3 : 1;
    photo->bits = bits;
    photo->samples.reserve(static_cast<std::size_t>(w) * h * photo->channels);
    for (png_uint_32 y = 0; y < h; ++y)
        appendRow(rows[y], static_cast<int>(w), channels, photo->channels, bits, photo->samples);
    return std::move(*photo);
}

// libtiff's last message of this thread, for the error line.
thread_local std::string tiffMessage;

void tiffError(const char*, const char* format, va_list args) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    tiffMessage = text;
}

struct TiffCloser {
    void operator()(TIFF* t) const {
        if (t) TIFFClose(t);
    }
};

// A TIFF as a photograph: strips of 8- or 16-bit gray or RGB samples (alpha
// dropped) are read as they are; any other layout (tiles, planes, palettes,
// YCbCr, white as zero) through libtiff's conversion to 8-bit RGB.
PhotoImage readTiffPhoto(const std::string& path) {
    // libtiff's handlers are process-wide: set once, by the first reader.
    static const bool quiet = [] {
        TIFFSetErrorHandler(tiffError);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)quiet;
    tiffMessage.clear();
    std::unique_ptr<TIFF, TiffCloser> t(TIFFOpen(path.c_str(), "r"));
    if (!t) throw InputError(path, "damaged TIFF: " + tiffMessage);
    std::uint32_t w = 0, h = 0;
    std::uint16_t bits = 1, spp = 1, planar = PLANARCONFIG_CONTIG, photometric = 0;
    TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_PLANARCONFIG, &planar);
    if (!TIFFGetField(t.get(), TIFFTAG_PHOTOMETRIC, &photometric))
        throw InputError(path, "damaged TIFF: no photometric interpretation");
    checkSize(path, w, h);
    PhotoImage p;
    p.width = static_cast<int>(w);
    p.height = static_cast<int>(h);
    const bool gray = photometric == PHOTOMETRIC_MINISBLACK && (spp == 1 || spp == 2);
    const bool rgb = photometric == PHOTOMETRIC_RGB && (spp == 3 || spp == 4);
    if (!TIFFIsTiled(t.get()) && planar == PLANARCONFIG_CONTIG && (bits == 8 || bits == 16) &&
        (gray || rgb)) {
        p.channels = gray ? 1 : 3;
        p.bits = bits;
        std::vector<std::uint8_t> row(static_cast<std::size_t>(TIFFScanlineSize(t.get())));
        p.samples.reserve(static_cast<std::size_t>(w) * h * p.channels);
        for (std::uint32_t y = 0; y < h; ++y) {
            if (TIFFReadScanline(t.get(), row.data(), y, 0) < 0)
                throw InputError(path, "damaged TIFF: " + tiffMessage);
            appendRow(row.data(), p.width, spp, p.channels, bits, p.samples);
        }
        return p;
    }
    std::vector<std::uint32_t> raster(static_cast<std::size_t>(w) * h);
    if (!TIFFReadRGBAImageOriented(t.get(), w, h, raster.data(), ORIENTATION_TOPLEFT, 0))
        throw InputError(path, "cannot be decoded: " +
                                   (tiffMessage.empty() ? std::string("unknown layout")
                                                        : tiffMessage));
    // Gray layouts stay gray (libtiff gives them as equal red, green, blue).
    p.channels =
        photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE ? 1 : 3;
    p.samples.resize(raster.size() * p.channels);
    for (std::size_t i = 0; i < raster.size(); ++i) {
        const std::uint32_t v = raster[i];
        if (p.channels == 1) {
            p.samples[i] = static_cast<std::uint16_t>(TIFFGetR(v));
            continue;
        }
        p.samples[3 * i] = static_cast<std::uint16_t>(TIFFGetR(v));
        p.samples[3 * i + 1] = static_cast<std::uint16_t>(TIFFGetG(v));
        p.samples[3 * i + 2] = static_cast<std::uint16_t>(TIFFGetB(v));
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
        PhotoImage p = readTiffPhoto(path);
        if (grayOut) *grayOut = grayOfPhoto(p, colourOut);
        return p;
    }
    const bool jpeg = got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
    if (jpeg) {
        // Decoded once; a colour JPEG keeps its red, green and blue.
        File file(std::fopen(path.c_str(), "rb"));
        if (!file) throw InputError(path, std::string("cannot open: ") + std::strerror(errno));
        bool colour = false;
        Image image = readJpeg(path, file.get(), &colour, nullptr, true);
        if (colourOut) *colourOut = colour;
        PhotoImage p = photoOf(image, image.channels);
        if (grayOut) *grayOut = colour ? lumaOf(image) : std::move(image);
        return p;
    }
    // PNG: the tool's own reader checks the file and gives its messages; an
    // 8-bit gray file is taken from it as it is.
    bool colour = false;
    Image gray = readImage(path, &colour);
    if (colourOut) *colourOut = colour;
    const bool deep = got >= 26 && head[24] == 16;
    PhotoImage p = !colour && !deep ? photoOf(gray) : readPngPhoto(path);
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

Image decodeJpeg(const std::vector<std::uint8_t>& bytes, const std::string& name) {
    bool colour = false;
    return readJpeg(name, nullptr, &colour, &bytes);
}

std::vector<std::uint8_t> encodeJpeg(const Image& image, int quality) {
    jpeg_compress_struct info;
    JpegErrorState state;
    info.err = jpeg_std_error(&state.base);
    state.base.error_exit = jpegError;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(state.jump)) {
        jpeg_destroy_compress(&info);
        std::free(buffer);
        throw std::bad_alloc();
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(image.width);
    info.image_height = static_cast<JDIMENSION>(image.height);
    info.input_components = image.channels;
    info.in_color_space = image.channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<std::uint8_t*>(image.row(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::vector<std::uint8_t> out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

}  // namespace pcbinspect::tool
