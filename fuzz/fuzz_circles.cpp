// Circle finding on random images and radius ranges.
#include "fuzz_input.h"
#include "pcbinspect/exports.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pcbinspect::fuzz::FuzzInput in(data, size);
    const int w = in.range(1, 128), h = in.range(1, 128), stride = w + in.range(0, 8);
    std::vector<std::uint8_t> img = in.image(stride, h, pcbinspect::fuzz::kBinary);
    if ((in.byte() & 7) == 0) {
        test(img.data(), w, stride, h);
        return 0;
    }
    const int maxCount = in.range(-1, 16);
    std::vector<CircleRecord> out(static_cast<std::size_t>(maxCount > 0 ? maxCount : 0) + 1);
    const int n = findCircles(img.data(), w, stride, h, in.range(-5, 60), in.range(-5, 60),
                              in.range(-5, 400), out.data(), maxCount);
    pcbinspect::fuzz::fold(&n, sizeof n);
    pcbinspect::fuzz::fold(out.data(), static_cast<std::size_t>(n > 0 ? n : 0) * sizeof(CircleRecord));
    return 0;
}
