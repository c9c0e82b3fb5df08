// pcbinspect render on arbitrary Gerber text and an Excellon file cut from
// the same bytes: the tool either draws them or refuses them with an
// InputError. Images are capped at 2^22 pixels.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

#include "render.h"
#include "tool_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pcbinspect::tool;
    if (size < 3) return 0;
    // The first two bytes give the length of the Gerber part; the drill
    // part is the rest.
    const std::size_t length = static_cast<std::size_t>(data[0]) | static_cast<std::size_t>(data[1]) << 8;
    const std::size_t cut = 2 + std::min(length, size - 2);
    const std::string id = std::to_string(getpid());
    const std::string gerber = "/tmp/pcbinspect-fuzz-" + id + ".gbr";
    const std::string drill = "/tmp/pcbinspect-fuzz-" + id + ".drl";
    std::ofstream(gerber, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data + 2), static_cast<std::streamsize>(cut - 2));
    std::ofstream(drill, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data + cut), static_cast<std::streamsize>(size - cut));
    RenderOptions o;
    o.copper = gerber;
    if (size - cut > 0) o.drills = {drill};
    o.pixelMicrons = 254.0;  // 100 dots an inch
    o.margin = 2;
    o.maxPixels = 4194304.0;
    o.parseSeconds = 10.0;  // well inside libFuzzer's hang limit
    try {
        renderBoard(o, nullptr);
    } catch (const InputError&) {
    }
    std::remove(gerber.c_str());
    std::remove(drill.c_str());
    return 0;
}
