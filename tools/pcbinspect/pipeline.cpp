#include "pipeline.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <string>

#include "frame_finder.h"
#include "photo.h"
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
    // One loop per polarity, each free of branches, so that they run
    // sixteen pixels at a time.
    const std::uint8_t* in = image.pixels.data();
    std::uint8_t* to = out.pixels.data();
    const std::size_t n = out.pixels.size();
    if (copperDark) {
        for (std::size_t i = 0; i < n; ++i) to[i] = in[i] <= threshold ? 255 : 0;
    } else {
        for (std::size_t i = 0; i < n; ++i) to[i] = in[i] >= cut ? 255 : 0;
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
    // Most images are binary: a pass without a branch settles those.
    std::uint8_t between = 0;
    for (std::uint8_t v : labels.pixels) between |= static_cast<std::uint8_t>(v != 0 && v != 255);
    if (!between) return false;
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

// The CAD label of drill-hole interiors, which the camera sees open.
constexpr std::uint8_t kHoleInteriorLabel = 154;
// How far from a suspect a deep difference must lie for the suspect to be
// examined.
constexpr int kSuspectReach = 8;

// A map of the golden image's geometry padded like the golden reference.
Image padded(const Image& map) {
    Image out(map.width + 2 * kGoldenMargin, map.height + 2 * kGoldenMargin, 1, 0);
    for (int y = 0; y < map.height; ++y)
        std::copy_n(map.row(y), map.width, out.row(y + kGoldenMargin) + kGoldenMargin);
    return out;
}

// Moves every reference position of a result by (dx, dy).
void shift(InspectionResult& r, int dx, int dy) {
    if (dx == 0 && dy == 0) return;
    if (r.placed || r.belowMinimum) {
        r.positionX += dx;
        r.positionY += dy;
    }
    for (SuspectRecord& s : r.suspectList) {
        s.refX += dx;
        s.refY += dy;
    }
    for (FlawRecord& f : r.flaws) {
        f.refX += dx;
        f.refY += dy;
    }
}

// What the search found in one reference window.
struct Placement {
    int found = 0;
    bool positioned = false;
    int x = 0, y = 0;
    float score = 0.0f;
    std::vector<SuspectRecord> suspects;
    OffsetGrid offsets{};
    double ms = 0.0;
};

Placement searchIn(const Image& labels, const Image& ignoreMap, const Image& camera,
                   const Image* cameraMask, const SearchSettings& s) {
    // The search rewrites the camera window, its mask and the ignore map:
    // it works on copies (an empty ignore map stands for none).
    Image window = camera;
    Image mask = cameraMask ? *cameraMask : zeros(camera);
    Image ignore = ignoreMap.pixels.empty() ? zeros(labels) : ignoreMap;
    Placement p;
    p.suspects.resize(static_cast<std::size_t>(s.maxSuspects));
    std::int32_t position[2] = {INT_MIN, INT_MIN};
    const auto start = std::chrono::steady_clock::now();
    p.found = findSuspectedFlaws(
        labels.pixels.data(), ignore.pixels.data(), labels.width, labels.stride(), labels.height,
        window.pixels.data(), mask.pixels.data(), camera.width, camera.stride(), camera.height,
        s.ignoreGrowth, s.border, s.agreementThreshold, position, &p.score, s.flawSpacing,
        s.emptyFlawSpacing, s.lineExclusionRadius, s.referenceLineExcludes,
        reinterpret_cast<std::int32_t*>(p.suspects.data()), s.maxSuspects * 6,
        &p.offsets.cells[0][0], s.exhaustiveCoarseSearch, s.narrowVerticalSearch ? 2 : 0);
    p.ms = millisecondsSince(start);
    p.suspects.resize(static_cast<std::size_t>(p.found > 0 ? p.found : 0));
    // The search writes the position only once it has placed the camera.
    p.positioned = position[0] != INT_MIN;
    p.x = position[0];
    p.y = position[1];
    return p;
}

// The library's inspection of `candidates` with the preset's limits: the
// camera image's corner at (x, y) of `reference` (which the library
// corrects in place, as it may reorder `candidates`), local corrections
// `offsets`; with `holePass`, the hole checks the preset asks for, over
// `holes`.
std::vector<FlawRecord> inspectCandidates(Image& reference, const Image& camera, int x, int y,
                                          std::vector<FlawCandidate>& candidates,
                                          const OffsetGrid& offsets,
                                          const std::vector<HoleRecord>& holes, bool holePass,
                                          const Preset& preset) {
    const CandidateSettings& c = preset.candidates;
    std::vector<FlawRecord> flaws(static_cast<std::size_t>(c.maxFlaws));
    const std::int32_t origin[2] = {0, 0};
    const int written = inspect(
        reference.pixels.data(), nullptr, reference.width, reference.stride(), reference.height,
        camera.pixels.data(), camera.width, camera.stride(), camera.height, x, y,
        preset.params.data(), static_cast<std::int32_t>(preset.params.size()), candidates.data(),
        static_cast<std::int32_t>(candidates.size()), c.suppressRadius, 0,
        reinterpret_cast<std::int32_t*>(flaws.data()), c.maxFlaws * 7, &offsets,
        c.dropNearReferenceLines, reinterpret_cast<const float*>(preset.tolerances.data()),
        static_cast<std::int32_t>(preset.tolerances.size()), origin, holes.data(),
        static_cast<std::int32_t>(holes.size()), holePass && c.checkHoles ? 1 : 0,
        reinterpret_cast<const std::int32_t*>(&preset.control));
    flaws.resize(static_cast<std::size_t>(written > 0 ? written : 0));
    return flaws;
}

// Runs the inspection of a placed camera image on the reference window
// `labels` (corrected in place by the library: a copy), holes in the
// window's coordinates.
void inspectPlaced(InspectionResult& result, const Placement& p, Image reference,
                   const Image& camera, const std::vector<HoleRecord>& holes,
                   const Preset& preset) {
    // Each suspect is a candidate: the same point in both images; the
    // agreement rides along unread.
    std::vector<FlawCandidate> candidates;
    candidates.reserve(p.suspects.size());
    for (const SuspectRecord& r : p.suspects)
        candidates.push_back(FlawCandidate{static_cast<float>(r.refX), static_cast<float>(r.refY),
                                           static_cast<float>(r.windowX),
                                           static_cast<float>(r.windowY),
                                           static_cast<float>(r.agreement) / 100.0f});
    // The search reads hole interiors as bare board, as the camera sees them
    // when they are right, so it does not point at a hole that is too large
    // or off centre by itself: every measured hole in the frame is examined
    // as a candidate too.
    for (const HoleRecord& h : holes)
        if (h.kind == kHoleMeasured) {
            const int cx = h.x - result.positionX, cy = h.y - result.positionY;
            if (cx >= 0 && cy >= 0 && cx < camera.width && cy < camera.height)
                candidates.push_back(FlawCandidate{static_cast<float>(h.x), static_cast<float>(h.y),
                                                   static_cast<float>(cx), static_cast<float>(cy),
                                                   0.0f});
        }
    const auto start = std::chrono::steady_clock::now();
    result.flaws = inspectCandidates(reference, camera, result.positionX, result.positionY,
                                     candidates, result.offsets, holes, true, preset);
    result.inspectMs = millisecondsSince(start);
}

// A camera's copper edges lie a pixel off the reference's here and there
// (light, blur and the threshold differ between two shots, and a CAD
// drawing is sharper than any shot); the search flags such places where they
// gather, hundreds a frame on dense fine lines, and the inspection, looking
// at a window that holds a real short or open a little way off, reports
// that one again at each of them. Suspects with nothing but one-pixel
// slivers within kSuspectReach pixels (`deep`: the deep differences of the
// camera window) are dropped.
void dropSuspectsOnEdgesOnly(Placement& p, const Image& deep) {
    const std::vector<bool> keep = suspectsOnDifferences(deep, p.suspects, kSuspectReach);
    std::size_t n = 0;
    for (std::size_t i = 0; i < p.suspects.size(); ++i)
        if (keep[i]) p.suspects[n++] = p.suspects[i];
    p.suspects.resize(n);
}

// The search examines no point within kSearchBorder pixels of the camera
// window's edges, and the inspection skips candidates that close to its
// camera image's edges (both need room around a point): a defect near the
// frame's edge would go unseen. The deep differences in that band are
// inspected on small windows of the frame around them, kBandPad pixels on
// every side, padded with the reference's own copper under them where they
// reach past the frame, which puts the points far enough inside; the
// reference window around one has kBandRoom pixels more on every side.
constexpr int kSearchBorder = 50;
constexpr int kBandPad = 64;
constexpr int kBandRoom = 64;

struct BandWindow {
    int x1, y1, x2, y2;  // frame pixels, inclusive; may reach past the frame
    std::vector<std::array<int, 2>> points;
};

// The flaw records of one band window (the placement `p` in the labels
// window `reference`), in the coordinates of `reference` and `camera`.
std::vector<FlawRecord> inspectBandWindow(const BandWindow& b, const Placement& p,
                                          const Image& reference, const Image& camera,
                                          const Preset& preset) {
    const int W = camera.width, H = camera.height, M = kBandRoom;
    // The frame's copper inside, the reference's copper past its edges.
    Image part(b.x2 - b.x1 + 1, b.y2 - b.y1 + 1, 1, 0);
    for (int y = 0; y < part.height; ++y) {
        std::uint8_t* row = part.row(y);
        const int cy = y + b.y1, ry = cy + p.y;
        for (int x = 0; x < part.width; ++x) {
            const int cx = x + b.x1, rx = cx + p.x;
            if (cx >= 0 && cy >= 0 && cx < W && cy < H)
                row[x] = camera.at(cx, cy) != 0 ? 255 : 0;
            else if (rx >= 0 && ry >= 0 && rx < reference.width && ry < reference.height)
                row[x] = isCopperLabel(reference.at(rx, ry)) ? 255 : 0;
        }
    }
    const int ox = p.x + b.x1 - M, oy = p.y + b.y1 - M;
    Image window = cutWindow(reference, ox, oy, part.width + 2 * M, part.height + 2 * M);
    std::vector<FlawCandidate> candidates;
    for (const auto& [cx, cy] : b.points)
        candidates.push_back(FlawCandidate{
            static_cast<float>(cx - b.x1 + M), static_cast<float>(cy - b.y1 + M),
            static_cast<float>(cx - b.x1), static_cast<float>(cy - b.y1), 0.0f});
    // Each cell of the window takes the local correction of the frame's
    // cell under its centre.
    OffsetGrid offsets{};
    for (int row = 0; row < 5; ++row)
        for (int col = 0; col < 5; ++col) {
            const int x = b.x1 + (2 * col + 1) * part.width / 10;
            const int y = b.y1 + (2 * row + 1) * part.height / 10;
            const int c = std::clamp(x / std::max(1, W / 5), 0, 4);
            const int r = std::clamp(y / std::max(1, H / 5), 0, 4);
            offsets.cells[row * 5 + col][0] = p.offsets.cells[r * 5 + c][0];
            offsets.cells[row * 5 + col][1] = p.offsets.cells[r * 5 + c][1];
        }
    std::vector<FlawRecord> out;
    for (FlawRecord f : inspectCandidates(window, part, M, M, candidates, offsets, {}, false,
                                              preset)) {
        f.camX += b.x1;
        f.camY += b.y1;
        if (f.camX < 0 || f.camY < 0 || f.camX >= W || f.camY >= H) continue;
        f.refX += ox;
        f.refY += oy;
        out.push_back(f);
    }
    return out;
}

// The flaw records of the edge band of a placed camera window (`reference`
// the labels window the placement `p` is in; `ignore` in its coordinates,
// may be empty; `mask` in the camera's, may be null), in the coordinates of
// `reference` and `camera`.
std::vector<FlawRecord> inspectEdgeBand(const Placement& p, const Image& reference,
                                        const Image& camera, const Image& deep,
                                        const Image* mask, const Image& ignore,
                                        const Preset& preset, double& ms) {
    std::vector<std::array<int, 2>> points = differencesInEdgeBand(deep, kSearchBorder);
    std::erase_if(points, [&](const std::array<int, 2>& q) {
        const int rx = q[0] + p.x, ry = q[1] + p.y;
        return (mask && mask->at(q[0], q[1]) != 0) ||
               (!ignore.pixels.empty() && rx >= 0 && ry >= 0 && rx < ignore.width &&
                ry < ignore.height && ignore.at(rx, ry) != 0);
    });
    if (points.empty()) return {};
    // A window a point, windows that meet merged.
    std::vector<BandWindow> windows;
    for (const auto& q : points)
        windows.push_back(BandWindow{q[0] - kBandPad, q[1] - kBandPad, q[0] + kBandPad,
                                     q[1] + kBandPad, {q}});
    for (bool merged = true; merged;) {
        merged = false;
        for (std::size_t i = 0; i < windows.size() && !merged; ++i)
            for (std::size_t j = i + 1; j < windows.size() && !merged; ++j) {
                BandWindow& a = windows[i];
                const BandWindow& w = windows[j];
                if (a.x1 > w.x2 || w.x1 > a.x2 || a.y1 > w.y2 || w.y1 > a.y2) continue;
                a.x1 = std::min(a.x1, w.x1), a.y1 = std::min(a.y1, w.y1);
                a.x2 = std::max(a.x2, w.x2), a.y2 = std::max(a.y2, w.y2);
                a.points.insert(a.points.end(), w.points.begin(), w.points.end());
                windows.erase(windows.begin() + static_cast<std::ptrdiff_t>(j));
                merged = true;
            }
    }
    const auto start = std::chrono::steady_clock::now();
    std::vector<FlawRecord> out;
    for (const BandWindow& b : windows) {
        const std::vector<FlawRecord> f = inspectBandWindow(b, p, reference, camera, preset);
        out.insert(out.end(), f.begin(), f.end());
    }
    ms += millisecondsSince(start);
    return out;
}

// Pixels where the frame's copper and the reference copper under it
// disagree, the frame's corner at (x, y) of `copper`.
long long mismatchAt(const Image& copper, int x, int y, const Image& camera) {
    long long n = 0;
    for (int row = 0; row < camera.height; ++row) {
        const int ry = y + row;
        const std::uint8_t* c = camera.row(row);
        for (int col = 0; col < camera.width; ++col) {
            const int rx = x + col;
            const bool ref = rx >= 0 && ry >= 0 && rx < copper.width && ry < copper.height &&
                             copper.at(rx, ry) != 0;
            n += ref != (c[col] != 0);
        }
    }
    return n;
}

// The search's fine alignment may settle a pixel off on a frame whose
// copper is as alike one pixel over (long straight edges): the neighbour
// whose copper agrees with the frame's in strictly more pixels is taken
// instead, and the suspects move with it. Returns the disagreeing pixels of
// the position kept. (x0, y0) is the search window's corner in `copper`.
long long settleOnCopper(Placement& p, const Image& copper, int x0, int y0,
                         const Image& camera) {
    long long best = mismatchAt(copper, x0 + p.x, y0 + p.y, camera);
    int bx = 0, by = 0;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
            if ((dx || dy) && best > 0) {
                const long long m = mismatchAt(copper, x0 + p.x + dx, y0 + p.y + dy, camera);
                if (m < best) best = m, bx = dx, by = dy;
            }
        }
    if (bx || by) {
        p.x += bx;
        p.y += by;
        for (SuspectRecord& s : p.suspects) {
            s.refX += bx;
            s.refY += by;
        }
    }
    return best;
}

// The reference windows the search is run in, top-left corners in the
// (padded) reference, and how they were chosen.
struct Framing {
    std::string how;
    std::vector<std::array<int, 2>> corners;  // empty: the whole reference
    int width = 0, height = 0;
};

Framing chooseFraming(const InspectionInput& in, const Image& labels, const Image& copper,
                      const Image& camera, int pad, double& registrationMs) {
    Framing f;
    const int w = camera.width, h = camera.height;
    f.width = w + 2 * kFrameMargin;
    f.height = h + 2 * kFrameMargin;
    const bool wholeBoard = !in.golden && (labels.width - w > kWholeBoardSlack ||
                                           labels.height - h > kWholeBoardSlack);
    if (in.at || wholeBoard) {
        FrameRange range{0, 0, labels.width - w, labels.height - h};
        f.how = "found";
        if (in.at) {
            const int ax = (*in.at)[0] + pad, ay = (*in.at)[1] + pad;
            range = {ax - in.atRange, ay - in.atRange, ax + in.atRange, ay + in.atRange};
            f.how = "at";
        }
        const auto start = std::chrono::steady_clock::now();
        for (const FrameGuess& g :
             findFrame(copper, camera, range, in.at ? kFrameGuesses : 2 * kFrameGuesses))
            f.corners.push_back({g.x - kFrameMargin, g.y - kFrameMargin});
        registrationMs = millisecondsSince(start);
        return f;
    }
    if (!in.golden && (labels.width - w < 2 * kFrameMargin || labels.height - h < 2 * kFrameMargin)) {
        // A frame nearly as large as the reference (a scan of the whole
        // board): the reference, centred in background, leaves the search
        // room on every side.
        f.how = "padded";
        f.width = std::max(labels.width, f.width);
        f.height = std::max(labels.height, f.height);
        f.corners.push_back({-(f.width - labels.width) / 2, -(f.height - labels.height) / 2});
    }
    return f;
}

}  // namespace

Image searchReference(const Image& labels) {
    Image out = labels;
    for (std::uint8_t& v : out.pixels)
        if (v == kHoleInteriorLabel) v = 0;
    return out;
}

Image referenceCopper(const Image& labels) {
    Image out(labels.width, labels.height, 1, 0);
    for (std::size_t i = 0; i < labels.pixels.size(); ++i)
        out.pixels[i] = isCopperLabel(labels.pixels[i]) ? 255 : 0;
    return out;
}

Image cutWindow(const Image& image, int x, int y, int width, int height) {
    Image out(width, height, image.channels, 0);
    const int x0 = std::max(x, 0), x1 = std::min(x + width, image.width);
    if (x1 <= x0) return out;
    for (int row = std::max(y, 0); row < std::min(y + height, image.height); ++row)
        std::copy_n(image.row(row) + x0 * image.channels, (x1 - x0) * image.channels,
                    out.row(row - y) + (x0 - x) * image.channels);
    return out;
}

InspectionResult runInspection(const InspectionInput& in, const Preset& preset) {
    validate(in);
    InspectionResult result;
    result.minAlignmentScore = preset.search.minAlignmentScore;
    // Copper already found by the photo front end is taken as it is.
    const Image camera = in.cameraCopper ? *in.cameraCopper
                                         : binaryImage(in.camera, in.threshold, in.copperDark);
    // Golden mode: the reference is made from the golden image, with room
    // around it; positions go back to the golden image's at the end.
    Image golden;
    if (in.golden)
        golden = in.referenceCopper ? goldenReference(*in.referenceCopper, 1, false)
                                    : goldenReference(in.reference, in.threshold, in.copperDark);
    const Image& labels = in.golden ? golden : in.reference;
    const int pad = in.golden ? kGoldenMargin : 0;
    // No ignore map: an empty image, which the search turns into zeros of
    // the window it searches.
    const Image ignore = in.ignore ? (in.golden ? padded(*in.ignore) : *in.ignore) : Image();
    // The search's reference differs from the labels only where there are
    // hole interiors.
    const bool holeInteriors =
        !in.golden && std::find(labels.pixels.begin(), labels.pixels.end(), kHoleInteriorLabel) !=
                          labels.pixels.end();
    const Image searchLabels = holeInteriors ? searchReference(labels) : Image();
    const Image& forSearch = holeInteriors ? searchLabels : labels;
    const Image* mask = in.cameraMask ? &*in.cameraMask : nullptr;

    // The reference's copper, for registering the frame and comparing the
    // places tried; a reference searched whole does not need it.
    const bool framed = in.at || in.golden ||
                        labels.width - camera.width > kWholeBoardSlack ||
                        labels.height - camera.height > kWholeBoardSlack ||
                        labels.width - camera.width < 2 * kFrameMargin ||
                        labels.height - camera.height < 2 * kFrameMargin;
    const Image copper = in.golden || !framed ? Image() : referenceCopper(labels);
    const Image& referenceCopperMap = in.golden ? labels : copper;
    const Framing framing =
        chooseFraming(in, labels, referenceCopperMap, camera, pad, result.registrationMs);
    result.framing = framing.how;
    Placement best;
    int originX = 0, originY = 0;
    if (framing.corners.empty() && framing.how.empty()) {
        best = searchIn(forSearch, ignore, camera, mask, preset.search);
    } else {
        // Each place is tried in its window. Among the placements that
        // reach the minimum score, the one whose copper disagrees with the
        // frame's in the fewest pixels wins (a repeated layout scores alike
        // in several places), then the higher score, then the earlier place.
        const Image& copper = referenceCopperMap;
        double searchMs = 0.0;
        long long bestMismatch = -1;
        struct Tried {
            int x, y;
            long long mismatch;
        };
        std::vector<Tried> tried;
        bool any = false;
        for (const auto& [x, y] : framing.corners) {
            Placement p = searchIn(cutWindow(forSearch, x, y, framing.width, framing.height),
                                   ignore.pixels.empty()
                                       ? Image()
                                       : cutWindow(ignore, x, y, framing.width, framing.height),
                                   camera, mask, preset.search);
            searchMs += p.ms;
            long long mismatch = -1;
            if (p.positioned && p.score >= preset.search.minAlignmentScore)
                mismatch = settleOnCopper(p, copper, x, y, camera);
            if (mismatch >= 0) tried.push_back({x + p.x, y + p.y, mismatch});
            const bool better =
                p.positioned &&
                (!best.positioned ||
                 (mismatch >= 0 &&
                  (bestMismatch < 0 || mismatch < bestMismatch ||
                   (mismatch == bestMismatch && p.score > best.score))) ||
                 (mismatch < 0 && bestMismatch < 0 && p.score > best.score));
            if (!any || better) {
                best = std::move(p);
                bestMismatch = mismatch;
                originX = x;
                originY = y;
                any = true;
            }
            if (bestMismatch == 0) break;
        }
        // Another place as good as the chosen one, up to the rounding of a
        // repeated layout, means the frame's copper repeats on the board.
        for (const Tried& t : tried)
            if ((std::abs(t.x - originX - best.x) > 8 || std::abs(t.y - originY - best.y) > 8) &&
                t.mismatch <= bestMismatch + std::max(10LL, bestMismatch / 100)) {
                result.alsoFitsAt = std::array<int, 2>{t.x - pad, t.y - pad};
                break;
            }
        best.ms = searchMs;
    }
    result.windowX = originX - pad;
    result.windowY = originY - pad;
    result.searchMs = best.ms;
    result.suspects = best.found;
    result.suspectList = best.suspects;
    result.offsets = best.offsets;
    if (!best.positioned) {
        shift(result, originX - pad, originY - pad);
        return result;
    }
    result.positionX = best.x;
    result.positionY = best.y;
    result.alignmentScore = best.score;
    // A placement that plainly failed gives no flaw list.
    if (best.score < preset.search.minAlignmentScore) {
        result.belowMinimum = true;
        shift(result, originX - pad, originY - pad);
        return result;
    }
    result.placed = true;
    // inspect works on the same window; holes are given in the unpadded
    // reference and move into the window's coordinates.
    const bool windowed = !framing.corners.empty();
    std::vector<HoleRecord> holes;
    for (HoleRecord h : in.holes) {
        h.x += pad - originX;
        h.y += pad - originY;
        if (!windowed || (h.x >= 0 && h.y >= 0 && h.x < framing.width && h.y < framing.height))
            holes.push_back(h);
    }
    Image reference =
        windowed ? cutWindow(labels, originX, originY, framing.width, framing.height) : labels;
    // The reference copper seen through the placed camera window, and where
    // the two differ by more than a pixel.
    const BinaryView cameraView{camera.pixels.data(), camera.width, camera.stride(),
                                camera.height};
    const Image copperWindow = referenceCopperWindow(
        BinaryView{reference.pixels.data(), reference.width, reference.stride(), reference.height},
        cameraView, best.x, best.y, &best.offsets);
    const Image deep = deepDifferences(
        cameraView, BinaryView{copperWindow.pixels.data(), copperWindow.width,
                               copperWindow.stride(), copperWindow.height});
    dropSuspectsOnEdgesOnly(best, deep);
    double bandMs = 0.0;
    std::vector<FlawRecord> band = inspectEdgeBand(
        best, reference, camera, deep, mask,
        windowed && !ignore.pixels.empty()
            ? cutWindow(ignore, originX, originY, framing.width, framing.height)
            : ignore,
        preset, bandMs);
    inspectPlaced(result, best, std::move(reference), camera, holes, preset);
    result.inspectMs += bandMs;
    result.flaws.insert(result.flaws.end(), band.begin(), band.end());
    shift(result, originX - pad, originY - pad);
    attachDefects(in, camera, preset, result, &copperWindow);
    if (in.cameraGeometry) mapCameraPositions(result, *in.cameraGeometry);
    return result;
}

}  // namespace pcbinspect::tool
