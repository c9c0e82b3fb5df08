// Polygon and rotated-rectangle masks with random polygons and windows.
#include "fuzz_input.h"
#include "pcbinspect/exports.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pcbinspect::fuzz::FuzzInput in(data, size);
    const int w = in.range(1, 200), h = in.range(1, 200), stride = w + in.range(0, 8);
    std::vector<std::uint8_t> img = in.image(stride, h, pcbinspect::fuzz::kBinary);
    if (in.flag()) {
        std::vector<std::int32_t> points[2], counts[2];
        for (int set = 0; set < 2; ++set) {
            const int polygons = in.range(0, 4);
            for (int p = 0; p < polygons; ++p) {
                const int n = in.range(-2, 8);
                counts[set].push_back(n);
                for (int k = 0; k < (n > 0 ? n : 0); ++k) {
                    points[set].push_back(in.range(-300, 500));
                    points[set].push_back(in.range(-300, 500));
                }
            }
        }
        getMaskGray(nullptr, reinterpret_cast<const void*>(0x1), points[0].data(),
                    counts[0].data(), static_cast<int>(counts[0].size()), points[1].data(),
                    counts[1].data(), static_cast<int>(counts[1].size()), img.data(), w, stride, h,
                    in.real(-100.0f, 100.0f), in.real(-100.0f, 100.0f), in.real(-360.0f, 360.0f));
    } else {
        ZeroOutboundGray(img.data(), w, stride, h, in.range(-50, 250), in.range(-50, 250),
                         in.range(-10, 300), in.range(-10, 300), in.real(-360.0f, 360.0f),
                         in.range(-50, 250), in.range(-50, 250), in.range(-10, 300),
                         in.range(-10, 300));
    }
    pcbinspect::fuzz::fold(img);
    return 0;
}
