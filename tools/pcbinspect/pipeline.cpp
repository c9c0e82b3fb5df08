#include "pipeline.h"

#include <algorithm>
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

Image binaryImage(const Image& image, int threshold, bool copperDark) {
    Image out(image.width, image.height, 1);
    const int cut = threshold > 0 ? threshold : 1;
    for (std::size_t i = 0; i < out.pixels.size(); ++i) {
        const int v = image.pixels[i];
        out.pixels[i] = (copperDark ? v <= threshold : v >= cut) ? 255 : 0;
    }
    return out;
}

Image binaryCamera(const Image& camera, int threshold) {
    return binaryImage(camera, threshold, false);
}

Image goldenReference(const Image& golden, int threshold, bool copperDark) {
    const Image copper = binaryImage(golden, threshold, copperDark);
    Image out(golden.width + 2 * kGoldenMargin, golden.height + 2 * kGoldenMargin, 1, 0);
    for (int y = 0; y < golden.height; ++y) {
        const std::uint8_t* from = copper.row(y);
        std::uint8_t* to = out.row(y + kGoldenMargin) + kGoldenMargin;
        for (int x = 0; x < golden.width; ++x) to[x] = from[x] ? kGoldenCopperLabel : 0;
    }
    return out;
}

bool looksLikePhoto(const Image& labels) {
    bool seen[256] = {};
    int levels = 0;
    for (std::uint8_t v : labels.pixels)
        if (!seen[v]) {
            seen[v] = true;
            if (++levels > 16) return true;
        }
    return false;
}

namespace {

// A map of the golden image's geometry padded like the golden reference.
Image padded(const Image& map) {
    Image out(map.width + 2 * kGoldenMargin, map.height + 2 * kGoldenMargin, 1, 0);
    for (int y = 0; y < map.height; ++y)
        std::copy_n(map.row(y), map.width, out.row(y + kGoldenMargin) + kGoldenMargin);
    return out;
}

// Moves every reference position of a result by (-pad, -pad).
void unpad(InspectionResult& r, int pad) {
    if (pad == 0) return;
    if (r.placed || r.belowMinimum) {
        r.positionX -= pad;
        r.positionY -= pad;
    }
    for (SuspectRecord& s : r.suspectList) {
        s.refX -= pad;
        s.refY -= pad;
    }
    for (FlawRecord& f : r.flaws) {
        f.refX -= pad;
        f.refY -= pad;
    }
}

}  // namespace

InspectionResult runInspection(const InspectionInput& in, const Preset& preset) {
    validate(in);
    InspectionResult result;
    result.minAlignmentScore = preset.search.minAlignmentScore;
    const Image camera = binaryImage(in.camera, in.threshold, in.copperDark);
    // Golden mode: the reference is made from the golden image, with room
    // around it; positions go back to the golden image's at the end.
    Image golden;
    if (in.golden) golden = goldenReference(in.reference, in.threshold, in.copperDark);
    const Image& labels = in.golden ? golden : in.reference;
    const int pad = in.golden ? kGoldenMargin : 0;

    // The search rewrites the camera window, its mask and the ignore map:
    // it works on copies.
    Image window = camera;
    Image mask = in.cameraMask ? *in.cameraMask : zeros(camera);
    Image ignore = in.ignore ? (in.golden ? padded(*in.ignore) : *in.ignore) : zeros(labels);
    const SearchSettings& s = preset.search;
    std::vector<SuspectRecord> suspects(static_cast<std::size_t>(s.maxSuspects));
    std::int32_t position[2] = {INT_MIN, INT_MIN};
    float score = 0.0f;
    const auto searchStart = std::chrono::steady_clock::now();
    const int found = findSuspectedFlaws(
        labels.pixels.data(), ignore.pixels.data(), labels.width, labels.stride(),
        labels.height, window.pixels.data(), mask.pixels.data(),
        camera.width, camera.stride(), camera.height, s.ignoreGrowth, s.border,
        s.agreementThreshold, position, &score, s.flawSpacing, s.emptyFlawSpacing,
        s.lineExclusionRadius, s.referenceLineExcludes,
        reinterpret_cast<std::int32_t*>(suspects.data()), s.maxSuspects * 6,
        &result.offsets.cells[0][0], s.exhaustiveCoarseSearch, s.narrowVerticalSearch ? 2 : 0);
    result.searchMs = millisecondsSince(searchStart);
    result.suspects = found;
    result.suspectList.assign(suspects.begin(), suspects.begin() + (found > 0 ? found : 0));
    // The search writes the position only once it has placed the camera.
    if (position[0] == INT_MIN) {
        unpad(result, pad);
        return result;
    }
    result.positionX = position[0];
    result.positionY = position[1];
    result.alignmentScore = score;
    // A placement that plainly failed gives no flaw list.
    if (score < preset.search.minAlignmentScore) {
        result.belowMinimum = true;
        unpad(result, pad);
        return result;
    }
    result.placed = true;

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
    // inspect corrects the reference in place: it gets a copy too. Holes
    // are given in the unpadded reference.
    Image reference = labels;
    std::vector<HoleRecord> holes = in.holes;
    for (HoleRecord& h : holes) {
        h.x += pad;
        h.y += pad;
    }
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
        static_cast<std::int32_t>(preset.tolerances.size()), origin, holes.data(),
        static_cast<std::int32_t>(holes.size()), c.checkHoles ? 1 : 0,
        reinterpret_cast<const std::int32_t*>(&preset.control));
    result.inspectMs = millisecondsSince(inspectStart);
    flaws.resize(static_cast<std::size_t>(written > 0 ? written : 0));
    result.flaws = std::move(flaws);
    unpad(result, pad);
    return result;
}

}  // namespace pcbinspect::tool
