// Image files for the tool's tests: synthetic boards as PNG and JPEG, and
// files of the wrong kind; running the built tool.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include <jpeglib.h>
#include <png.h>

#include "image_io.h"
#include "support/board_builder.h"

namespace pcbinspect::tool::testing {

namespace fs = std::filesystem;

// A fresh empty folder in the temporary area, named by the test and the
// process, so that test runs of two builds at once keep apart.
// The folders go when the process ends.
inline fs::path freshFolder(const std::string& name) {
    struct Made {
        std::vector<fs::path> dirs;
        ~Made() {
            std::error_code ignored;
            for (const fs::path& d : dirs) fs::remove_all(d, ignored);
        }
    };
    static Made made;
    const fs::path dir = fs::temp_directory_path() /
                         ("pcbinspect-tool-test-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    made.dirs.push_back(dir);
    return dir;
}

// Writes `pixels` (w x h, `format` a PNG_FORMAT_ value, 2 bytes a sample for
// the linear formats) as a PNG.
inline void writeRawPng(const fs::path& path, int w, int h, png_uint_32 format,
                        const void* pixels) {
    png_image out{};
    out.version = PNG_IMAGE_VERSION;
    out.width = static_cast<png_uint_32>(w);
    out.height = static_cast<png_uint_32>(h);
    out.format = format;
    png_image_write_to_file(&out, path.c_str(), 0, pixels, 0, nullptr);
}

// A gray or colour baseline JPEG of quality 95.
inline void writeJpeg(const fs::path& path, const Image& image) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    jpeg_compress_struct info;
    jpeg_error_mgr err;
    info.err = jpeg_std_error(&err);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, f);
    info.image_width = static_cast<JDIMENSION>(image.width);
    info.image_height = static_cast<JDIMENSION>(image.height);
    info.input_components = image.channels;
    info.in_color_space = image.channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 95, TRUE);
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<std::uint8_t*>(image.row(static_cast<int>(info.next_scanline)));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(f);
}

// A board reference and the camera's view of its window at (left, top).
struct BoardPair {
    Image reference, camera;
};

inline BoardPair boardPair(int refSide, int camSide, int left, int top, std::uint32_t seed) {
    using pcbinspect::testing::GuardedImage;
    const auto board = pcbinspect::testing::syntheticBoard(refSide, refSide, seed);
    BoardPair p{Image(refSide, refSide, 1), Image(camSide, camSide, 1)};
    p.reference.pixels = board.labels;
    GuardedImage cam(camSide, camSide);
    pcbinspect::testing::renderCamera(board, left, top, cam);
    p.camera.pixels = cam.pixels();
    return p;
}

// The outcome of running the built tool.
struct ToolOutput {
    int status = -1;
    std::string out, err;
};

inline std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// Runs the tool with the given arguments (already quoted where needed).
inline ToolOutput tool(const fs::path& dir, const std::string& args) {
    const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
    const std::string cmd = std::string("'") + PCBINSPECT_TOOL + "' " + args + " >'" +
                            out.string() + "' 2>'" + err.string() + "'";
    const int raw = std::system(cmd.c_str());
    ToolOutput r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    fs::remove(out);
    fs::remove(err);
    return r;
}

inline std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

// Files in a folder, hidden ones included.
inline std::vector<std::string> filesIn(const fs::path& dir) {
    std::vector<std::string> names;
    if (!fs::exists(dir)) return names;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        names.push_back(e.path().lexically_relative(dir).string());
    return names;
}

}  // namespace pcbinspect::tool::testing
