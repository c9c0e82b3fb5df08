// The suspected-flaw search on random references and camera windows.
#include "fuzz_input.h"
#include "pcbinspect/exports.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pcbinspect::fuzz::FuzzInput in(data, size);
    const int W = in.range(1, 320), H = in.range(1, 320), S = W + in.range(0, 8);
    const int w = in.range(1, 240), h = in.range(1, 240), s = w + in.range(0, 8);
    const int grow = in.range(-2, 30), border = in.range(-5, 80);
    const float threshold = in.real(0.0f, 1.0f);
    const int spacing = in.range(-5, 60), emptySpacing = in.range(-5, 120);
    const int exclusion = in.range(-5, 40);
    const bool code151 = in.flag(), exhaustive = in.flag(), withOffsets = in.flag();
    const int mode = in.range(0, 3);
    const int capacity = in.range(0, 120);
    std::vector<std::uint8_t> ref = in.image(S, H, pcbinspect::fuzz::kLabels);
    std::vector<std::uint8_t> ignore = in.image(S, H, pcbinspect::fuzz::kBinary);
    std::vector<std::uint8_t> cam = in.image(s, h, pcbinspect::fuzz::kBinary);
    std::vector<std::uint8_t> mask(static_cast<std::size_t>(s) * h, 0);
    std::int32_t position[2];
    float score;
    std::vector<std::int32_t> records(static_cast<std::size_t>(capacity > 0 ? capacity : 1));
    std::int32_t offsets[50];
    const int n = findSuspectedFlaws(ref.data(), ignore.data(), W, S, H, cam.data(), mask.data(), w, s, h, grow,
                       border, threshold, position, &score, spacing, emptySpacing, exclusion,
                       code151, records.data(), capacity, withOffsets ? offsets : nullptr,
                       exhaustive, mode);
    pcbinspect::fuzz::fold(&n, sizeof n);
    pcbinspect::fuzz::fold(records.data(), static_cast<std::size_t>(n) * 6 * sizeof(std::int32_t));
    if (n > 0) {
        pcbinspect::fuzz::fold(position, sizeof position);
        pcbinspect::fuzz::fold(&score, sizeof score);
    }
    pcbinspect::fuzz::fold(ignore);
    pcbinspect::fuzz::fold(cam);
    return 0;
}
