// copyGray on random geometries, with guard checks on the destination.
#include <cstdlib>

#include "fuzz_input.h"
#include "pcbinspect/exports.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pcbinspect::fuzz::FuzzInput in(data, size);
    const int dw = in.range(-2, 200), dh = in.range(-2, 200), dpad = in.range(-3, 16);
    const int sw = in.range(-2, 200), sh = in.range(-2, 200), spad = in.range(-3, 16);
    const int ds = dw + dpad, ss = sw + spad;
    const std::size_t dbytes = static_cast<std::size_t>(ds > 0 ? ds : 1) * (dh > 0 ? dh : 1);
    const std::size_t sbytes = static_cast<std::size_t>(ss > 0 ? ss : 1) * (sh > 0 ? sh : 1);
    std::vector<std::uint8_t> dst(dbytes, 0xA5), src(sbytes, 0x5A);
    copyGray(in.flag() ? dst.data() : nullptr, dw, ds, dh, src.data(), sw, ss, sh);
    pcbinspect::fuzz::fold(dst);
    // Padding bytes of the destination are never written.
    if (dw > 0 && dh > 0 && ds >= dw)
        for (int y = 0; y < dh; ++y)
            for (int x = dw; x < ds; ++x)
                if (dst[static_cast<std::size_t>(y) * ds + x] != 0xA5) std::abort();
    return 0;
}
