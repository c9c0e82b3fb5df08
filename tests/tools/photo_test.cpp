// The photo front end: polarity, line widths under uneven light, the size
// rule, the colour channel, 16-bit files, images already binary, and the
// tool's --save-binary and synth --photo.
#include <gtest/gtest.h>

#include <png.h>
#include <tiffio.h>

#include <cmath>
#include <fstream>
#include <random>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "photo.h"
#include "pipeline.h"
#include "tool_error.h"
#include "tool_images.h"

namespace pcbinspect::tool {
namespace {

using namespace testing;

// A photograph of a copper map, made independently of the front end: the
// map blurred by a Gaussian of `blur` pixels, copper and substrate levels,
// a light ramp of `ramp` (share, left to right) and a vignette losing
// `vignette` at the corners, Gaussian noise of `noise` levels.
struct Look {
    double copper = 70, substrate = 180, blur = 1.2, ramp = 0.25, vignette = 0.2, noise = 8;
};

PhotoImage photograph(const Image& map, const Look& look, std::uint32_t seed) {
    const int w = map.width, h = map.height, r = static_cast<int>(std::ceil(3 * look.blur));
    std::vector<double> k(static_cast<std::size_t>(2 * r + 1));
    double sum = 0;
    for (int i = -r; i <= r; ++i) sum += k[static_cast<std::size_t>(i + r)] = std::exp(-i * i / (2 * look.blur * look.blur));
    for (double& v : k) v /= sum;
    std::vector<double> a(map.pixels.size()), b(map.pixels.size());
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = map.pixels[i] / 255.0;
    auto at = [&](int x, int y) { return static_cast<std::size_t>(std::clamp(y, 0, h - 1)) * w + std::clamp(x, 0, w - 1); };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double s = 0;
            for (int i = -r; i <= r; ++i) s += k[static_cast<std::size_t>(i + r)] * a[at(x + i, y)];
            b[at(x, y)] = s;
        }
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, look.noise);
    PhotoImage p;
    p.width = w;
    p.height = h;
    p.samples.resize(a.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double s = 0;
            for (int i = -r; i <= r; ++i) s += k[static_cast<std::size_t>(i + r)] * b[at(x, y + i)];
            const double u = 2.0 * x / (w - 1) - 1, v = 2.0 * y / (h - 1) - 1;
            const double light = (1 + look.ramp * u) * (1 - look.vignette * (u * u + v * v) / 2);
            const double level = (look.substrate + (look.copper - look.substrate) * s) * light;
            p.samples[static_cast<std::size_t>(y) * w + x] =
                static_cast<std::uint16_t>(std::clamp(std::lround(level + noise(rng)), 0L, 255L));
        }
    return p;
}

// Vertical and horizontal lines of widths 4 to 14 and a pad on a 480 x 360
// board; `widths` receives each vertical line's left column and width.
Image lineBoard(std::vector<std::pair<int, int>>* widths = nullptr) {
    Image map(480, 360, 1, 0);
    int x = 30;
    for (int w = 4; w <= 14; w += 2) {
        for (int y = 20; y < 340; ++y)
            for (int i = 0; i < w; ++i) map.at(x + i, y) = 255;
        if (widths) widths->push_back({x, w});
        x += w + 25;
    }
    for (int y = 60; y < 60 + 9; ++y)
        for (int xx = 300; xx < 460; ++xx) map.at(xx, y) = 255;
    for (int y = 200; y < 280; ++y)
        for (int xx = 320; xx < 420; ++xx) map.at(xx, y) = 255;
    return map;
}

Image inverted(const Image& map) {
    Image out = map;
    for (auto& v : out.pixels) v = static_cast<std::uint8_t>(255 - v);
    return out;
}

int differing(const Image& a, const Image& b) {
    int n = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i) n += a.pixels[i] != b.pixels[i];
    return n;
}

// Dark copper on a light board and bright copper on a dark one: the smaller
// class is taken for copper both ways, and so is a forced polarity.
TEST(PhotoFrontEnd, FindsThePolarityBothWays) {
    const Image map = lineBoard();
    for (const bool dark : {true, false}) {
        Look look;
        if (!dark) std::swap(look.copper, look.substrate);
        const PhotoImage p = photograph(map, look, 3);
        const PhotoResult r = binarisePhoto(p, PhotoOptions{});
        EXPECT_EQ(std::make_pair(r.copperDark, r.polarityFound), std::make_pair(dark, true));
        // Of 34 000 copper pixels, the edges may move by a pixel here and there.
        EXPECT_LT(differing(r.copper, map), 1500) << dark;
        PhotoOptions forced;
        forced.copper = dark ? CopperPolarity::Bright : CopperPolarity::Dark;
        const PhotoResult wrong = binarisePhoto(p, forced);
        EXPECT_EQ(std::make_pair(wrong.copperDark, wrong.polarityFound), std::make_pair(!dark, false));
        EXPECT_LT(differing(wrong.copper, inverted(map)), 1500) << dark;
    }
}

// Under a ramp of a quarter and a vignette of a fifth (about 70 gray levels
// of light across the board against a contrast of 110), every row of every
// line keeps its width within a pixel; a global threshold does not.
TEST(PhotoFrontEnd, LineWidthsHoldUnderUnevenLight) {
    std::vector<std::pair<int, int>> lines;
    const Image map = lineBoard(&lines);
    Look look;
    look.ramp = 0.35;
    look.vignette = 0.25;
    const PhotoImage p = photograph(map, look, 5);
    const Image copper = binarisePhoto(p, PhotoOptions{}).copper;
    Image global(p.width, p.height, 1);
    for (std::size_t i = 0; i < global.pixels.size(); ++i)
        global.pixels[i] = p.samples[i] <= 125 ? 255 : 0;  // midway under even light
    int worst = 0, worstGlobal = 0;
    for (const auto& [x0, w] : lines)
        for (int y = 30; y < 330; ++y) {
            int n = 0, g = 0;
            for (int x = x0 - 8; x < x0 + w + 8; ++x) n += copper.at(x, y) ? 1 : 0, g += global.at(x, y) ? 1 : 0;
            worst = std::max(worst, std::abs(n - w));
            worstGlobal = std::max(worstGlobal, std::abs(g - w));
        }
    EXPECT_LE(worst, 1);
    EXPECT_GE(worstGlobal, 3);
}

// The size rule: an island or a hole of min_defect_px pixels stays, one
// pixel less goes; sensor noise leaves no specks while a 5 x 5 pin-hole and
// speck survive a hard photograph.
TEST(PhotoFrontEnd, KeepsDefectsOfTheSmallestSizeAndDropsNoise) {
    for (const int size : {2, 6, 12}) {
        Image map(60, 40, 1, 0);
        for (int y = 5; y < 35; ++y)
            for (int x = 30; x < 58; ++x) map.at(x, y) = 255;
        auto run = [&](int x, int y, int n, std::uint8_t v) {  // n pixels in a row
            for (int i = 0; i < n; ++i) map.at(x + i, y) = v;
        };
        run(2, 10, size, 255);      // island of the size: kept
        run(2, 20, size - 1, 255);  // one less: removed
        run(33, 10, size, 0);       // hole of the size: kept
        run(33, 20, size - 1, 0);   // one less: filled
        Image out = map;
        EXPECT_EQ(removeSmallRegions(out, size), std::make_pair(1, 1)) << size;
        for (int i = 0; i < size; ++i) {
            EXPECT_EQ(std::make_pair(out.at(2 + i, 10), out.at(33 + i, 10)),
                      std::make_pair(std::uint8_t{255}, std::uint8_t{0}));
            if (i < size - 1) {
                EXPECT_EQ(std::make_pair(out.at(2 + i, 20), out.at(33 + i, 20)),
                          std::make_pair(std::uint8_t{0}, std::uint8_t{255}));
            }
        }
    }
    // A hard photograph: noise of 12 against a contrast of 70.
    Image map = lineBoard();
    // Under a blur of 1.2 and the front end's own smoothing of 1, a 5 x 5
    // square keeps about 80 % of its contrast at its centre (3 x 3: 44 %).
    for (int y = 230; y < 235; ++y)
        for (int x = 360; x < 365; ++x) map.at(x, y) = 0;   // pin-hole in the pad
    for (int y = 150; y < 155; ++y)
        for (int x = 360; x < 365; ++x) map.at(x, y) = 255;  // speck on bare board
    Look look;
    look.copper = 85;
    look.substrate = 155;
    look.noise = 12;
    const PhotoResult r = binarisePhoto(photograph(map, look, 9), PhotoOptions{});
    EXPECT_EQ(std::make_pair(r.copper.at(362, 232), r.copper.at(362, 152)),
              std::make_pair(std::uint8_t{0}, std::uint8_t{255}));
    int stray = 0;  // copper off the map's copper, farther than 2 pixels from it
    for (int y = 2; y < map.height - 2; ++y)
        for (int x = 2; x < map.width - 2; ++x) {
            bool near = false;
            for (int dy = -2; dy <= 2; ++dy)
                for (int dx = -2; dx <= 2; ++dx) near = near || map.at(x + dx, y + dy) != map.at(x, y);
            stray += !near && r.copper.at(x, y) != map.at(x, y);
        }
    EXPECT_EQ(stray, 0);
    // Under a blur of 1.6 a plus of 13 pixels keeps too little contrast to
    // cross the midpoint; it still stands out of its class's level.
    Image faint = lineBoard();
    auto plus = [&](int cx, int cy, std::uint8_t v) {
        for (int d = -2; d <= 2; ++d) faint.at(cx + d, cy) = faint.at(cx, cy + d) = v;
        for (int d = -1; d <= 1; d += 2) faint.at(cx + d, cy - 1) = faint.at(cx + d, cy + 1) = v;
    };
    plus(370, 240, 0);    // pin-hole in the pad
    plus(370, 150, 255);  // speck on bare board
    look.blur = 1.6;
    look.noise = 8;
    const PhotoResult f = binarisePhoto(photograph(faint, look, 4), PhotoOptions{});
    EXPECT_EQ(std::make_pair(f.copper.at(370, 240), f.copper.at(370, 150)),
              std::make_pair(std::uint8_t{0}, std::uint8_t{255}));
    EXPECT_EQ(f.faintSpots, 2);
    // Without them, nothing of the noise is taken for a spot.
    const PhotoResult clean = binarisePhoto(photograph(lineBoard(), look, 4), PhotoOptions{});
    EXPECT_EQ(clean.faintSpots, 0);
}

// Copper brighter than the substrate in red and darker in green and blue,
// by amounts that cancel in luma (0.299 * 120 - 0.587 * 50 - 0.114 * 56 is
// about 0): the red channel is read, and luma, when forced, sees noise.
TEST(PhotoFrontEnd, ChoosesTheChannelWithTheBestContrast) {
    const Image map = lineBoard();
    Look red;
    red.copper = 200, red.substrate = 80, red.ramp = 0.1, red.vignette = 0.1, red.noise = 6;
    Look green = red, blue = red;
    green.copper = 100, green.substrate = 150;
    blue.copper = 94, blue.substrate = 150;
    const PhotoImage r = photograph(map, red, 1), g = photograph(map, green, 2),
                     b = photograph(map, blue, 3);
    PhotoImage rgb = r;
    rgb.channels = 3;
    rgb.samples.resize(r.samples.size() * 3);
    for (std::size_t i = 0; i < r.samples.size(); ++i) {
        rgb.samples[3 * i] = r.samples[i];
        rgb.samples[3 * i + 1] = g.samples[i];
        rgb.samples[3 * i + 2] = b.samples[i];
    }
    const PhotoResult chosen = binarisePhoto(rgb, PhotoOptions{});
    EXPECT_EQ(chosen.channel, kChannelRed);
    EXPECT_FALSE(chosen.copperDark);
    PhotoOptions luma;
    luma.channel = kChannelLuma;
    EXPECT_LT(differing(chosen.copper, map) * 10, differing(binarisePhoto(rgb, luma).copper, map));
}

// Photographs in every layout a camera writes: PNG and TIFF of 8 and 16
// bits, gray and colour, with alpha (dropped), palettes, tiles and white as
// zero, each read back to the samples written; colour JPEG keeps its three
// channels and gives their luma as its gray picture.
struct Layout {
    const char* name;
    bool tiff;
    int bits, spp, photometric;  // TIFF photometric or PNG colour type
    bool tiled = false;
    int channels = 1;  // channels read back
};

// Sample c of pixel i, of `bits` bits, as written.
std::uint16_t sampleOf(std::size_t i, int c, int bits) {
    static const std::uint16_t v[] = {0, 1, 128, 32767, 65535, 256, 257, 40000, 65534, 12345,
                                      999, 54321, 7, 30000, 65280, 4660};
    const std::uint16_t s = v[(i * 5 + static_cast<std::size_t>(c) * 3) % std::size(v)];
    return bits == 16 ? s : static_cast<std::uint16_t>(s >> 8);
}

void writeLayout(const fs::path& file, const Layout& l, int w, int h) {
    std::vector<std::uint8_t> bytes;  // rows of w * spp samples, machine order
    for (int i = 0; i < w * h; ++i)
        for (int c = 0; c < l.spp; ++c) {
            const std::uint16_t s = sampleOf(static_cast<std::size_t>(i), c, l.bits);
            if (l.bits == 16) {
                bytes.push_back(static_cast<std::uint8_t>(l.tiff ? s & 255 : s >> 8));
                bytes.push_back(static_cast<std::uint8_t>(l.tiff ? s >> 8 : s & 255));
            } else {
                bytes.push_back(static_cast<std::uint8_t>(s));
            }
        }
    const std::size_t rowBytes = static_cast<std::size_t>(w) * l.spp * (l.bits / 8);
    if (!l.tiff) {
        std::FILE* f = std::fopen(file.c_str(), "wb");
        png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        png_infop info = png_create_info_struct(png);
        png_init_io(png, f);
        png_set_IHDR(png, info, w, h, l.bits, l.photometric, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        std::vector<png_color> palette(256);
        for (int k = 0; k < 256; ++k)
            palette[k] = {static_cast<png_byte>(k), static_cast<png_byte>(255 - k),
                          static_cast<png_byte>(k / 2)};
        if (l.photometric == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette.data(), 256);
        png_write_info(png, info);
        for (int y = 0; y < h; ++y) png_write_row(png, bytes.data() + y * rowBytes);
        png_write_end(png, nullptr);
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return;
    }
    TIFF* t = TIFFOpen(file.c_str(), "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, l.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, l.spp);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, l.photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    if (l.spp == 4 || l.spp == 2) {
        const std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    std::vector<std::uint16_t> map(256);
    for (int k = 0; k < 256; ++k) map[k] = static_cast<std::uint16_t>(k * 257);
    std::vector<std::uint16_t> inverse(map.rbegin(), map.rend());
    if (l.photometric == PHOTOMETRIC_PALETTE)
        TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), inverse.data(), map.data());
    if (l.tiled) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
        std::vector<std::uint8_t> tile(16 * 16 * l.spp, 0);
        for (int y = 0; y < h; ++y) std::copy_n(bytes.data() + y * rowBytes, rowBytes, tile.data() + y * 16 * l.spp);
        TIFFWriteTile(t, tile.data(), 0, 0, 0, 0);
    } else {
        for (int y = 0; y < h; ++y) TIFFWriteScanline(t, bytes.data() + y * rowBytes, y, 0);
    }
    TIFFClose(t);
}

TEST(PhotoFrontEnd, ReadsEveryPhotoLayout) {
    const fs::path dir = freshFolder("photo-layouts");
    const int w = 5, h = 2;
    const Layout layouts[] = {
        {"png gray 16", false, 16, 1, PNG_COLOR_TYPE_GRAY},
        {"png rgba 16", false, 16, 4, PNG_COLOR_TYPE_RGB_ALPHA, false, 3},
        {"png gray alpha 8", false, 8, 2, PNG_COLOR_TYPE_GRAY_ALPHA},
        {"png palette", false, 8, 1, PNG_COLOR_TYPE_PALETTE, false, 3},
        {"tiff gray 8", true, 8, 1, PHOTOMETRIC_MINISBLACK},
        {"tiff gray 16", true, 16, 1, PHOTOMETRIC_MINISBLACK},
        {"tiff gray alpha 16", true, 16, 2, PHOTOMETRIC_MINISBLACK},
        {"tiff rgb 8", true, 8, 3, PHOTOMETRIC_RGB, false, 3},
        {"tiff rgba 16", true, 16, 4, PHOTOMETRIC_RGB, false, 3},
        {"tiff tiled gray", true, 8, 1, PHOTOMETRIC_MINISBLACK, true},
        {"tiff white is zero", true, 8, 1, PHOTOMETRIC_MINISWHITE},
        {"tiff palette", true, 8, 1, PHOTOMETRIC_PALETTE, false, 3},
    };
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.name);
        const fs::path file = dir / (std::string(l.name) + (l.tiff ? ".tif" : ".png"));
        writeLayout(file, l, w, h);
        Image gray;
        bool colour = false;
        const PhotoImage p = readPhoto(file.string(), &gray, &colour);
        const bool converted = l.tiled || (l.tiff && l.photometric == PHOTOMETRIC_MINISWHITE) ||
                               (l.tiff && l.photometric == PHOTOMETRIC_PALETTE) ||
                               (!l.tiff && l.photometric == PNG_COLOR_TYPE_PALETTE);
        EXPECT_EQ(std::make_tuple(p.width, p.height, p.channels, p.bits, colour),
                  std::make_tuple(w, h, l.channels, converted ? 8 : l.bits, l.channels == 3));
        ASSERT_EQ(p.samples.size(), static_cast<std::size_t>(w * h * l.channels));
        for (int i = 0; i < w * h; ++i)
            for (int c = 0; c < l.channels; ++c) {
                // Palettes map index k to (k, 255 - k, k / 2) in PNG and
                // (k, 255 - k, k) in TIFF; white as zero reads inverted.
                const std::uint16_t s = sampleOf(static_cast<std::size_t>(i), converted && l.channels == 3 ? 0 : c, l.bits);
                std::uint16_t want = s;
                if (l.photometric == PHOTOMETRIC_MINISWHITE && l.tiff) want = static_cast<std::uint16_t>(255 - s);
                if (l.channels == 3 && converted)
                    want = c == 1 ? static_cast<std::uint16_t>(255 - s) : c == 2 && !l.tiff ? static_cast<std::uint16_t>(s / 2) : s;
                EXPECT_EQ(p.at(i % w, i / w, c), want) << "pixel " << i << " channel " << c;
            }
        // The gray picture of a 16-bit PNG keeps each sample's high byte.
        if (l.tiff || l.bits == 8) {
            EXPECT_EQ(gray.pixels, grayOfPhoto(p).pixels);
        } else if (l.channels == 1) {
            for (int i = 0; i < w * h; ++i) EXPECT_EQ(gray.pixels[i], p.samples[i] >> 8);
        }
    }
    // A colour JPEG: three channels, its gray picture their luma.
    Image rgb(16, 8, 3);
    for (std::size_t i = 0; i < rgb.pixels.size(); ++i) rgb.pixels[i] = static_cast<std::uint8_t>(i * 37 % 251);
    writeJpeg(dir / "colour.jpg", rgb);
    const std::string bytes = slurp(dir / "colour.jpg");
    const std::vector<std::uint8_t> jpeg(bytes.begin(), bytes.end());
    Image gray;
    bool colour = false;
    const PhotoImage p = readPhoto((dir / "colour.jpg").string(), &gray, &colour);
    EXPECT_EQ(std::make_tuple(p.width, p.height, p.channels, p.bits, colour), std::make_tuple(16, 8, 3, 8, true));
    EXPECT_EQ(gray.pixels, grayOfPhoto(p).pixels);
    EXPECT_EQ(gray.pixels, decodeJpeg(jpeg, "colour").pixels);
    // Missing, truncated and foreign files are refused with their name.
    const std::string tiffBytes = slurp(dir / "tiff gray 8.tif");
    std::ofstream((dir / "cut.tif").string(), std::ios::binary) << tiffBytes.substr(0, 12);
    for (const char* bad : {"none.tif", "cut.tif"})
        try {
            readPhoto((dir / bad).string());
            ADD_FAILURE() << bad << " was read";
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
        }
    EXPECT_THROW(decodeJpeg({0xFF, 0xD8, 0xFF, 0}, "cut"), InputError);
}

// Images of two gray levels take the threshold rule, bytes as before; a
// photograph of the same board takes the front end.
TEST(PhotoFrontEnd, TwoLevelImagesKeepTheThresholdRule) {
    const fs::path dir = freshFolder("photo-two");
    Image map = lineBoard(), dim = map;
    for (auto& v : dim.pixels) v = v ? 200 : 60;
    writePng((dir / "a.png").string(), map);
    writePng((dir / "b.png").string(), dim);
    ReadOptions o;
    o.golden = o.copperAuto = true;
    PairPaths paths;
    paths.reference = (dir / "a.png").string();
    paths.camera = (dir / "b.png").string();
    const InspectionInput in = readPair(paths, o, nullptr);
    EXPECT_FALSE(in.referenceCopper || in.cameraCopper);
    EXPECT_EQ(binaryImage(in.camera, in.threshold, in.copperDark).pixels, map.pixels);
    EXPECT_TRUE(isTwoLevel(map));
    // A third level anywhere, first or last; one level is two-level too.
    for (const std::size_t at : {std::size_t{0}, map.pixels.size() / 2, map.pixels.size() - 1}) {
        Image third = map;
        third.pixels[at] = 7;
        EXPECT_FALSE(isTwoLevel(third)) << at;
    }
    EXPECT_TRUE(isTwoLevel(Image(9000, 1, 1, 5)));
}

// --save-binary writes both binary images; bad input writes nothing. The
// photographs of synth --photo hard are placed and their defects found.
// Pads in both directions on a 640 x 480 board, so that every tile fixes
// both coordinates; `m` (golden to camera, as CameraGeometry) gives the
// camera's view: camera pixel c shows golden m^-1(c), nearest pixel.
Image padBoard() {
    Image map(640, 480, 1, 0);
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> jitter(-6, 6);
    for (int y = 20; y < 440; y += 40)
        for (int x = 20; x < 600; x += 40) {
            const int x0 = x + jitter(rng), y0 = y + jitter(rng), w = 10 + jitter(rng), h = 16 + jitter(rng);
            for (int yy = y0; yy < y0 + h; ++yy)
                for (int xx = x0; xx < x0 + w; ++xx) map.at(xx, yy) = 255;
        }
    return map;
}

Image seenThrough(const Image& golden, const CameraGeometry& m) {
    // Coverage of each camera pixel from 4 x 4 samples, so that a fraction
    // of a pixel shows in the photograph made of it.
    Image out(golden.width, golden.height, 1, 0);
    const double det = m[0] * m[4] - m[1] * m[3];
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            int n = 0;
            for (int sy = 0; sy < 4; ++sy)
                for (int sx = 0; sx < 4; ++sx) {
                    const double u = x - 0.375 + sx * 0.25 - m[2], v = y - 0.375 + sy * 0.25 - m[5];
                    const long gx = std::lround((m[4] * u - m[1] * v) / det), gy = std::lround((-m[3] * u + m[0] * v) / det);
                    n += gx >= 0 && gy >= 0 && gx < golden.width && gy < golden.height && golden.at(int(gx), int(gy));
                }
            out.at(x, y) = static_cast<std::uint8_t>(n * 255 / 16);
        }
    return out;
}

// The camera's turn, scale and shift are measured to within a pixel
// over the whole image; a camera that is not moved is left as it is; the
// photo resampled with the estimate binarises to the golden map, and flaw
// positions and boxes go back into the camera's pixels.
TEST(PhotoFrontEnd, CameraGeometryMeasuredAndUndone) {
    struct Case { double turnDegrees, scale, dx, dy; };
    const Image golden = padBoard();
    for (const Case c : {Case{0, 1, 0, 0}, Case{0.3, 1.002, 3.4, -5.2}, Case{-0.8, 0.995, -11.6, 7.3},
                         Case{0.0, 1.0, 0.2, -0.2}, Case{0.5, 1.0, 0, 0}}) {
        SCOPED_TRACE(c.turnDegrees);
        const double t = c.turnDegrees * M_PI / 180, cx = 319.5, cy = 239.5;
        const double a = c.scale * std::cos(t), b = c.scale * std::sin(t);
        const CameraGeometry m{a, -b, cx - a * cx + b * cy + c.dx, b, a, cy - b * cx - a * cy + c.dy};
        const PhotoImage photo = photograph(seenThrough(golden, m), Look{}, 5);
        const PhotoResult plain = binarisePhoto(photo, PhotoOptions{});
        const Image goldenCopper = binarisePhoto(photograph(golden, Look{}, 6), PhotoOptions{}).copper;
        const std::optional<GeometryEstimate> e = estimateCameraGeometry(goldenCopper, plain.copper);
        ASSERT_TRUE(e.has_value());
        double worst = 0, reach = 0;
        for (double x : {0.0, 639.0})
            for (double y : {0.0, 479.0}) {
                const double u = m[0] * x + m[1] * y + m[2], v = m[3] * x + m[4] * y + m[5];
                const double eu = e->map[0] * x + e->map[1] * y + e->map[2];
                const double ev = e->map[3] * x + e->map[4] * y + e->map[5];
                worst = std::max(worst, std::hypot(eu - u, ev - v));
                reach = std::max(reach, std::hypot(u - x, v - y));
            }
        EXPECT_LT(worst, 0.75);  // at the corners, extrapolated from the tiles
        // Left alone exactly when the truth moves no pixel by half a pixel.
        EXPECT_EQ(e->reach >= kResampleFrom, reach >= 1.0) << e->reach;
        if (reach < kResampleFrom) continue;
        Image outside;
        const PhotoResult back = binarisePhoto(resamplePhoto(photo, e->map, &outside), PhotoOptions{});
        int copper = 0, wrong = 0;
        for (std::size_t i = 0; i < golden.pixels.size(); ++i)
            if (!outside.pixels[i]) copper += golden.pixels[i] != 0, wrong += golden.pixels[i] != back.copper.pixels[i];
        EXPECT_LT(wrong, copper / 18) << wrong << " of " << copper;
        EXPECT_GT(differing(plain.copper, golden), 3 * wrong);
        InspectionResult r;
        r.flaws.push_back(FlawRecord{2, 0, 0, 0, 300, 200, 0});
        r.defects.push_back(Defect{290, 190, 310, 210});
        mapCameraPositions(r, e->map);
        const double u = m[0] * 300 + m[1] * 200 + m[2], v = m[3] * 300 + m[4] * 200 + m[5];
        EXPECT_LE(std::abs(r.flaws[0].camX - u), 1.0);
        EXPECT_LE(std::abs(r.flaws[0].camY - v), 1.0);
        EXPECT_LE(r.defects[0].x1, u - 10 + 0.5);
        EXPECT_GE(r.defects[0].x2, u + 10 - 0.5);
        EXPECT_LE(r.defects[0].y2 - r.defects[0].y1, 20 + 2 + 20 * std::abs(b) + 1);
    }
}

TEST(PhotoFrontEnd, SaveBinaryAndSynthPhotosEndToEnd) {
    const fs::path dir = freshFolder("photo-run");
    ASSERT_EQ(tool(dir, "synth --count 2 --seed 3 --photo hard --out " + q(dir / "b")).status, 0);
    const fs::path golden = dir / "b" / "board-001-golden.jpg", photo = dir / "b" / "board-001-photo.jpg";
    const ToolOutput t = tool(dir, "inspect " + q(golden) + " " + q(photo) + " --golden --save-binary " +
                                       q(dir / "bin") + " --out " + q(dir / "out"));
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_NE(t.err.find("golden: dark copper (auto"), std::string::npos) << t.err;
    for (const char* name : {"golden-binary.png", "camera-binary.png"}) {
        const Image b = readGray((dir / "bin" / name).string());
        EXPECT_TRUE(isTwoLevel(b)) << name;
    }
    const ToolOutput bad = tool(dir, "inspect " + q(golden) + " " + q(dir / "none.jpg") +
                                         " --golden --save-binary " + q(dir / "bin2") + " --out " +
                                         q(dir / "out2"));
    EXPECT_EQ(bad.status, 2);
    EXPECT_FALSE(fs::exists(dir / "bin2") || fs::exists(dir / "out2"));
    const ToolOutput e = tool(dir, "evaluate " + q(dir / "b" / "list-golden.txt") + " --golden --out " +
                                       q(dir / "eval"));
    ASSERT_EQ(e.status, 0) << e.err;
    const auto s = nlohmann::json::parse(slurp(dir / "eval" / "summary.json"));
    EXPECT_EQ(s["not_placed"].get<int>(), 0);
    EXPECT_GE(s["recall"].get<double>(), 0.9);
}

}  // namespace
}  // namespace pcbinspect::tool
