// The two reference corrections on random label images.
#include "fuzz_input.h"
#include "pcbinspect/exports.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pcbinspect::fuzz::FuzzInput in(data, size);
    const int w = in.range(1, 256), h = in.range(1, 256), stride = w + in.range(0, 8);
    std::vector<std::uint8_t> ref = in.image(stride, h, pcbinspect::fuzz::kLabels);
    if (in.flag()) correctInvalidLines(ref.data(), w, stride, h);
    correctCAD(ref.data(), w, stride, h);
    pcbinspect::fuzz::fold(ref);
    return 0;
}
