// Sub-image extraction and vertical skew with random centres, angles and
// sizes.
#include "fuzz_input.h"
#include "pcbinspect/exports.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pcbinspect::fuzz::FuzzInput in(data, size);
    const int sw = in.range(1, 160), sh = in.range(1, 160), ss = sw + in.range(0, 8);
    const int dw = in.range(-1, 64), dh = in.range(-1, 64), ds = (dw > 0 ? dw : 1) + in.range(0, 4);
    std::vector<std::uint8_t> src = in.image(ss, sh, pcbinspect::fuzz::kBinary);
    std::vector<std::uint8_t> dst(static_cast<std::size_t>(ds) * (dh > 0 ? dh : 1), 0);
    const float cx = in.real(-50.0f, 210.0f), cy = in.real(-50.0f, 210.0f);
    const float angle = in.real(-720.0f, 720.0f);
    switch (in.byte() % 3) {
        case 0: getSubGray(src.data(), sw, ss, sh, dst.data(), dw, ds, dh, cx, cy, angle, in.flag()); break;
        case 1: getSubGrayNearest(src.data(), sw, ss, sh, dst.data(), dw, ds, dh, cx, cy, angle); break;
        default: {
            const int w = in.range(1, 96), h = in.range(1, 96), stride = 3 * w + in.range(0, 8);
            std::vector<std::uint8_t> dib = in.image(stride, h, pcbinspect::fuzz::kBinary);
            skewDIB(dib.data(), w, stride, h, in.range(-200, 200), in.flag());
            pcbinspect::fuzz::fold(dib);
        }
    }
    pcbinspect::fuzz::fold(dst);
    return 0;
}
