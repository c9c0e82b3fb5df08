// The inspection on random label references, camera images, candidates,
// holes, parameters and tolerance tables.
#include "fuzz_input.h"
#include "pcbinspect/exports.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    pcbinspect::fuzz::FuzzInput in(data, size);
    const int w = in.range(1, 260), h = in.range(1, 260);
    const int rs = w + in.range(0, 8), cs = w + in.range(0, 8);
    std::vector<float> params(35);
    for (float& p : params) p = in.real(-1.0f, 60.0f);
    std::int32_t control[5];
    for (std::int32_t& c : control) c = in.range(-20, 120);
    std::vector<FlawCandidate> candidates(static_cast<std::size_t>(in.range(0, 6)));
    for (FlawCandidate& c : candidates) {
        c.refX = in.real(-20.0f, 280.0f);
        c.refY = in.real(-20.0f, 280.0f);
        c.camX = in.flag() ? c.refX : in.real(-20.0f, 280.0f);
        c.camY = in.flag() ? c.refY : in.real(-20.0f, 280.0f);
        c.carried = 0.0f;
    }
    std::vector<HoleRecord> holes(static_cast<std::size_t>(in.range(0, 4)));
    for (HoleRecord& hole : holes)
        hole = HoleRecord{in.range(10, 13), in.range(-20, 280), in.range(-20, 280), in.range(-5, 90)};
    std::vector<float> tolerances(static_cast<std::size_t>(9 * in.range(0, 3)));
    for (float& t : tolerances) t = in.real(0.0f, 30.0f);
    OffsetGrid grid;
    for (auto& cell : grid.cells) {
        cell[0] = in.range(-8, 8);
        cell[1] = in.range(-8, 8);
    }
    const std::int32_t origin[2] = {in.range(-10, 10), in.range(-10, 10)};
    const int capacity = in.range(0, 80);
    const int suppress = in.range(-2, 40);
    const bool withGrid = in.flag(), checkLines = in.flag(), checkHoles = in.flag();
    const int shiftX = in.range(-5, 5), shiftY = in.range(-5, 5);
    std::vector<std::uint8_t> ref = in.image(rs, h, pcbinspect::fuzz::kLabels);
    std::vector<std::uint8_t> cam = in.image(cs, h, pcbinspect::fuzz::kBinary);
    std::vector<std::int32_t> flaws(static_cast<std::size_t>(capacity > 0 ? capacity : 1));
    const int n = inspect(ref.data(), nullptr, w, rs, h, cam.data(), w, cs, h, shiftX, shiftY, params.data(), 35,
            candidates.data(), static_cast<int>(candidates.size()), suppress, 0, flaws.data(),
            capacity, withGrid ? &grid : nullptr, checkLines, tolerances.data(),
            static_cast<int>(tolerances.size() / 9), origin, holes.data(),
            static_cast<int>(holes.size()), checkHoles ? 1 : 0, control);
    pcbinspect::fuzz::fold(&n, sizeof n);
    pcbinspect::fuzz::fold(flaws.data(), static_cast<std::size_t>(n) * 7 * sizeof(std::int32_t));
    pcbinspect::fuzz::fold(ref);
    return 0;
}
