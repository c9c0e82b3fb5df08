// The tool's text readers on arbitrary text: the first byte picks the reader
// (evaluation list, truth file, preset, hole list, batch list), the rest is
// the file. Every reader must either read it or refuse it with an InputError.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

#include "commands.h"
#include "evaluate.h"
#include "preset.h"
#include "tool_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pcbinspect::tool;
    if (size < 1) return 0;
    const std::string path = "/tmp/pcbinspect-fuzz-text-" + std::to_string(getpid()) + ".txt";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }
    try {
        switch (data[0] % 5) {
            case 0: readEvaluationList(path); break;
            case 1: readTruth(path, defaultPreset(), 640, 480); break;
            case 2: loadPreset(path); break;
            case 3: readHolesCsv(path); break;
            default: readBatchList(path); break;
        }
    } catch (const InputError&) {
        // Refused with a message: what the reader should do with bad text.
    }
    std::remove(path.c_str());
    return 0;
}
