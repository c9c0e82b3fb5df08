#include "pipeline.h"

#include <chrono>
#include <climits>
#include <string>

#include "tool_error.h"

namespace pcbinspect::tool {
namespace {

std::string size(const Image& i) {
    return std::to_string(i.width) + " x " + std::to_string(i.height);
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

Image zeros(const Image& like) { return Image(like.width, like.height, 1, 0); }

}  // namespace

void validate(const InspectionInput& in) {
    if (in.threshold < 0 || in.threshold > 255)
        throw InputError("--threshold", "value " + std::to_string(in.threshold) +
                                            " is outside 0 to 255");
    if (in.reference.width < in.camera.width || in.reference.height < in.camera.height)
        throw InputError(in.referencePath, "reference of " + size(in.reference) +
                                               " pixels is smaller than the camera image (" +
                                               size(in.camera) + ")");
    if (in.ignore && (in.ignore->width != in.reference.width ||
                      in.ignore->height != in.reference.height))
        throw InputError(in.ignorePath, "ignore map of " + size(*in.ignore) +
                                            " pixels differs from the reference (" +
                                            size(in.reference) + ")");
    if (in.cameraMask && (in.cameraMask->width != in.camera.width ||
                          in.cameraMask->height != in.camera.height))
        throw InputError(in.maskPath, "camera mask of " + size(*in.cameraMask) +
                                          " pixels differs from the camera image (" +
                                          size(in.camera) + ")");
}

Image binaryCamera(const Image& camera, int threshold) {
    Image out(camera.width, camera.height, 1);
    const int cut = threshold > 0 ? threshold : 1;
    for (std::size_t i = 0; i < out.pixels.size(); ++i)
        out.pixels[i] = camera.pixels[i] >= cut ? 255 : 0;
    return out;
}

InspectionResult runInspection(const InspectionInput& in, const Preset& preset) {
    validate(in);
    InspectionResult result;
    const Image camera = binaryCamera(in.camera, in.threshold);

    // The search rewrites the camera window, its mask and the ignore map:
    // it works on copies.
    Image window = camera;
    Image mask = in.cameraMask ? *in.cameraMask : zeros(camera);
    Image ignore = in.ignore ? *in.ignore : zeros(in.reference);
    const SearchSettings& s = preset.search;
    std::vector<SuspectRecord> suspects(static_cast<std::size_t>(s.maxSuspects));
    std::int32_t position[2] = {INT_MIN, INT_MIN};
    float score = 0.0f;
    const auto searchStart = std::chrono::steady_clock::now();
    const int found = findSuspectedFlaws(
        in.reference.pixels.data(), ignore.pixels.data(), in.reference.width,
        in.reference.stride(), in.reference.height, window.pixels.data(), mask.pixels.data(),
        camera.width, camera.stride(), camera.height, s.ignoreGrowth, s.border,
        s.agreementThreshold, position, &score, s.flawSpacing, s.emptyFlawSpacing,
        s.lineExclusionRadius, s.referenceLineExcludes,
        reinterpret_cast<std::int32_t*>(suspects.data()), s.maxSuspects * 6,
        &result.offsets.cells[0][0], s.exhaustiveCoarseSearch, s.narrowVerticalSearch ? 2 : 0);
    result.searchMs = millisecondsSince(searchStart);
    result.suspects = found;
    result.suspectList.assign(suspects.begin(), suspects.begin() + (found > 0 ? found : 0));
    // The search writes the position only once it has placed the camera.
    if (position[0] == INT_MIN) return result;
    result.placed = true;
    result.positionX = position[0];
    result.positionY = position[1];
    result.alignmentScore = score;

    // Each suspect is a candidate: the same point in both images; the
    // agreement rides along unread.
    std::vector<FlawCandidate> candidates;
    candidates.reserve(static_cast<std::size_t>(found));
    for (int i = 0; i < found; ++i) {
        const SuspectRecord& r = suspects[static_cast<std::size_t>(i)];
        candidates.push_back(FlawCandidate{static_cast<float>(r.refX), static_cast<float>(r.refY),
                                           static_cast<float>(r.windowX),
                                           static_cast<float>(r.windowY),
                                           static_cast<float>(r.agreement) / 100.0f});
    }
    // inspect corrects the reference in place: it gets a copy too.
    Image reference = in.reference;
    const CandidateSettings& c = preset.candidates;
    std::vector<FlawRecord> flaws(static_cast<std::size_t>(c.maxFlaws));
    const std::int32_t origin[2] = {0, 0};
    const auto inspectStart = std::chrono::steady_clock::now();
    const int written = inspect(
        reference.pixels.data(), nullptr, reference.width, reference.stride(), reference.height,
        camera.pixels.data(), camera.width, camera.stride(), camera.height, result.positionX,
        result.positionY, preset.params.data(), static_cast<std::int32_t>(preset.params.size()),
        candidates.data(), static_cast<std::int32_t>(candidates.size()), c.suppressRadius, 0,
        reinterpret_cast<std::int32_t*>(flaws.data()), c.maxFlaws * 7, &result.offsets,
        c.dropNearReferenceLines, reinterpret_cast<const float*>(preset.tolerances.data()),
        static_cast<std::int32_t>(preset.tolerances.size()), origin, in.holes.data(),
        static_cast<std::int32_t>(in.holes.size()), c.checkHoles ? 1 : 0,
        reinterpret_cast<const std::int32_t*>(&preset.control));
    result.inspectMs = millisecondsSince(inspectStart);
    flaws.resize(static_cast<std::size_t>(written > 0 ? written : 0));
    result.flaws = std::move(flaws);
    return result;
}

}  // namespace pcbinspect::tool
