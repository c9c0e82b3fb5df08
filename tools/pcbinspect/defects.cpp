#include "defects.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <map>
#include <numeric>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "flaw_codes.h"
#include "pipeline.h"
#include "preset.h"
#include "tool_error.h"

namespace pcbinspect::tool {
namespace {

constexpr std::array<std::string_view, kDefectTypeCount> kTypeNames{
    "open",  "mousebite", "short", "spur", "spurious_copper", "pin_hole",
    "width", "spacing",   "pad",   "hole", "missing_feature", "extra_feature"};

// A record belongs to the difference region nearest to it within this many
// pixels: the search puts its suspects on a changed area or on its edge.
constexpr int kRecordReach = 6;
// Context around a difference region in which its conductors are examined.
constexpr int kContext = 8;
// Regions of one flaw (the pieces of a cut, a bridge interrupted by a
// third conductor) lie at most this many pixels apart.
constexpr int kGroupGap = 12;
// A camera piece of a conductor smaller than this is a crumb, not a part.
constexpr int kMinPiece = 4;
// A record on no difference joins a flagged region whose box (with the
// margin) lies this close, else the nearest region this close.
constexpr int kOrphanReach = 24;
constexpr int kFarReach = 16;
// A changed width or spacing is at least this long and three times as long
// as it is deep.
constexpr int kRunLength = 20;
// Half size of the box given to a record that lies on no difference: that
// of the typical 15 x 15 difference.
constexpr int kRecordHalfBox = 7;

enum class Polarity { Missing, Excess };

struct Rect {
    int x1, y1, x2, y2;  // inclusive
    Rect grown(int by, int w, int h) const {
        return Rect{std::max(0, x1 - by), std::max(0, y1 - by), std::min(w - 1, x2 + by),
                    std::min(h - 1, y2 + by)};
    }
    Rect united(const Rect& o) const {
        return Rect{std::min(x1, o.x1), std::min(y1, o.y1), std::max(x2, o.x2), std::max(y2, o.y2)};
    }
    int gapTo(const Rect& o) const {
        const int dx = std::max({0, o.x1 - x2 - 1, x1 - o.x2 - 1});
        const int dy = std::max({0, o.y1 - y2 - 1, y1 - o.y2 - 1});
        return std::max(dx, dy);
    }
    cv::Rect cv() const { return cv::Rect(x1, y1, x2 - x1 + 1, y2 - y1 + 1); }
};

struct Region {
    Polarity polarity;
    int label;       // in the label map of its polarity
    Rect box;
    int area;
    std::vector<int> records;
    std::vector<int> conductors;  // global reference components it touches
    DefectType topology = DefectType::Mousebite;
    bool topological = false;     // an open or a short: the conductors changed
    int group = -1;
};

// The planes of every window at once, stacked top to bottom with rows of
// background between them, so that each OpenCV pass runs once per call
// rather than once per window. Labels are unique across the windows.
struct Atlas {
    cv::Mat cam, ref, missing, excess;  // 0/1
    cv::Mat core[2];                     // differences beyond the jitter, 0/1
    cv::Mat labels[2], stats[2], refParts, refStats, centroids;
    std::vector<int> top;  // first row of each window
};

// The distinct non-zero values of `labels` under the set pixels of `mask`
// (both of one size), in ascending order.
std::vector<int> labelsUnder(const cv::Mat& labels, const cv::Mat& mask) {
    std::vector<int> out;
    for (int y = 0; y < mask.rows; ++y) {
        const std::uint8_t* m = mask.ptr<std::uint8_t>(y);
        const int* l = labels.ptr<int>(y);
        for (int x = 0; x < mask.cols; ++x)
            if (m[x] && l[x] > 0) out.push_back(l[x]);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// Connected pieces of `mask` (8-connected) of at least kMinPiece pixels.
int pieces(const cv::Mat& mask) {
    cv::Mat labels, stats, centroids;
    const int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    int count = 0;
    for (int i = 1; i < n; ++i) count += stats.at<int>(i, cv::CC_STAT_AREA) >= kMinPiece ? 1 : 0;
    return count;
}

// What one difference region does to the conductors around it.
struct Context {
    const cv::Mat& cam;       // 0/1
    const cv::Mat& ref;       // 0/1
    const cv::Mat& refParts;  // global reference components (int)
    const cv::Mat& refStats;  // in atlas rows: a window's rows start at `top`
    int top;
    const cv::Mat& regionLabels;  // of the region's polarity
    int width, height;
};

void classify(Region& r, const Context& c) {
    const Rect crop = r.box.grown(kContext, c.width, c.height);
    const cv::Rect roi = crop.cv();
    const cv::Mat cam = c.cam(roi), ref = c.ref(roi), parts = c.refParts(roi);
    const cv::Mat self = c.regionLabels(roi) == r.label;  // 255 on the region
    if (r.polarity == Polarity::Missing) {
        r.conductors = labelsUnder(parts, self);
        // Open: a conductor of the region falls into more camera pieces
        // inside the crop than the reference shows there.
        bool whole = true, gone = false;
        for (int k : r.conductors) {
            const cv::Mat conductor = parts == k;
            const int before = pieces(conductor);
            const int after = pieces(conductor & (cam > 0));
            if (after > before) whole = false;
            const int* s = c.refStats.ptr<int>(k);
            const int top = s[cv::CC_STAT_TOP] - c.top;
            const bool inside = s[cv::CC_STAT_LEFT] >= crop.x1 && top >= crop.y1 &&
                                s[cv::CC_STAT_LEFT] + s[cv::CC_STAT_WIDTH] - 1 <= crop.x2 &&
                                top + s[cv::CC_STAT_HEIGHT] - 1 <= crop.y2;
            if (after == 0 && inside) gone = true;
        }
        if (!whole) {
            r.topology = DefectType::Open;
            r.topological = true;
            return;
        }
        if (gone) {
            r.topology = DefectType::MissingFeature;
            return;
        }
        // Pin-hole: no pixel of the region has reference background among
        // its four neighbours, and it does not reach the image's edge.
        cv::Mat grown;
        cv::dilate(self, grown, cv::getStructuringElement(cv::MORPH_CROSS, cv::Size(3, 3)));
        const bool atEdge = r.box.x1 == 0 || r.box.y1 == 0 || r.box.x2 == c.width - 1 ||
                            r.box.y2 == c.height - 1;
        const bool enclosed = !atEdge && cv::countNonZero(grown & (ref == 0)) == 0;
        r.topology = enclosed ? DefectType::PinHole : DefectType::Mousebite;
        return;
    }
    // Excess: the camera piece holding the region, and the reference
    // conductors it overlaps (joined in the camera through the excess).
    cv::Mat camParts;
    cv::connectedComponents(cam, camParts, 8, CV_32S);
    const std::vector<int> holding = labelsUnder(camParts, self);
    cv::Mat piece = cv::Mat::zeros(cam.size(), CV_8U);
    for (int h : holding) piece |= camParts == h;
    r.conductors = labelsUnder(parts, piece & (ref > 0));
    if (r.conductors.size() >= 2) {
        r.topology = DefectType::Short;
        r.topological = true;
    } else {
        r.topology = r.conductors.empty() ? DefectType::SpuriousCopper : DefectType::Spur;
    }
}

bool shareConductor(const Region& a, const Region& b) {
    for (int k : a.conductors)
        if (std::find(b.conductors.begin(), b.conductors.end(), k) != b.conductors.end())
            return true;
    return false;
}

// The type the records' codes give: by the family most of them share (the
// isolated-feature codes 180 and 190 first), or nothing.
std::optional<DefectType> recordType(std::span<const FlawRecord> records,
                                     const std::vector<int>& indices, bool cad) {
    if (indices.empty()) return std::nullopt;
    std::map<DefectType, int> votes;
    for (int i : indices) {
        const int code = records[static_cast<std::size_t>(i)].code;
        std::optional<DefectType> t;
        if (code == 180) t = DefectType::MissingFeature;
        else if (code == 190) t = DefectType::ExtraFeature;
        else {
            switch (describeFlaw(code).family) {
                case Family::Open: t = DefectType::Open; break;
                case Family::Short: t = DefectType::Short; break;
                case Family::MissingCopper: t = DefectType::Mousebite; break;
                case Family::ExcessCopper: t = DefectType::Spur; break;
                case Family::Void: t = DefectType::PinHole; break;
                case Family::Width: t = cad ? DefectType::Width : DefectType::Mousebite; break;
                case Family::Spacing: t = cad ? DefectType::Spacing : DefectType::Spur; break;
                case Family::Pad: t = cad ? DefectType::Pad : DefectType::Mousebite; break;
                case Family::Hole: t = cad ? DefectType::Hole : DefectType::PinHole; break;
                case Family::Unknown: break;
            }
        }
        if (t) ++votes[*t];
    }
    std::optional<DefectType> best;
    int most = 0;
    for (const auto& [t, n] : votes)
        if (n > most) {
            best = t;
            most = n;
        }
    return best;
}

bool cadFamilyType(DefectType t) {
    return t == DefectType::Width || t == DefectType::Spacing || t == DefectType::Pad ||
           t == DefectType::Hole || t == DefectType::MissingFeature ||
           t == DefectType::ExtraFeature;
}

}  // namespace

std::string_view defectTypeName(DefectType type) {
    const auto i = static_cast<std::size_t>(type);
    return i < kTypeNames.size() ? kTypeNames[i] : std::string_view("unknown");
}

std::optional<DefectType> defectTypeFromName(std::string_view name) {
    for (std::size_t i = 0; i < kTypeNames.size(); ++i)
        if (kTypeNames[i] == name) return static_cast<DefectType>(i);
    return std::nullopt;
}

std::string defectTypeList() {
    std::string out;
    for (std::string_view n : kTypeNames) {
        if (!out.empty()) out += ", ";
        out += n;
    }
    return out;
}

bool isCopperLabel(std::uint8_t v) {
    return v != 0 && v != 150 && v != 151 && v != 152 && v != 154;
}

Image referenceCopperWindow(const BinaryView& labels, const BinaryView& camera, int positionX,
                            int positionY, const OffsetGrid* offsets) {
    const int W = camera.width, H = camera.height;
    Image out(W, H, 1, 0);
    const int cellW = W / 5, cellH = H / 5;
    // Copies the cell [x0, x1) x [y0, y1) shifted by (dx, dy) and returns
    // how many of its pixels differ from the camera. Pixels whose reference
    // place lies off the labels are bare board; the columns that lie on
    // them are found once per cell, not tested per pixel.
    auto copyCell = [&](int x0, int x1, int y0, int y1, int dx, int dy) {
        long long differ = 0;
        const int shiftX = positionX + dx;
        const int in0 = std::clamp(-shiftX, x0, x1), in1 = std::clamp(labels.width - shiftX, in0, x1);
        for (int y = y0; y < y1; ++y) {
            std::uint8_t* row = out.row(y);
            const std::uint8_t* cam = camera.data + static_cast<std::size_t>(y) * camera.stride;
            const int ry = y + positionY + dy;
            const bool rowInside = ry >= 0 && ry < labels.height;
            const int a = rowInside ? in0 : x1, b = rowInside ? in1 : x1;
            for (int x = x0; x < a; ++x) {
                row[x] = 0;
                differ += cam[x] != 0;
            }
            if (a < b) {
                // Column a of the window lies on column a + shiftX >= 0 of the labels.
                const std::uint8_t* lab =
                    labels.data + static_cast<std::size_t>(ry) * labels.stride + (a + shiftX);
                // isCopperLabel as comparisons without a branch, so that
                // the loop runs sixteen pixels at a time.
                int d = 0;
                for (int x = a; x < b; ++x) {
                    const std::uint8_t v = lab[x - a];
                    const std::uint8_t copper = (v != 0) & (v != 150) & (v != 151) & (v != 152) &
                                                (v != 154);
                    row[x] = static_cast<std::uint8_t>(-copper);
                    d += copper ^ (cam[x] != 0);
                }
                differ += d;
            }
            for (int x = b; x < x1; ++x) {
                row[x] = 0;
                differ += cam[x] != 0;
            }
        }
        return differ;
    };
    for (int row = 0; row < 5; ++row)
        for (int col = 0; col < 5; ++col) {
            // The last row and column of cells take the remainder.
            const int x0 = col * cellW, x1 = col == 4 ? W : x0 + cellW;
            const int y0 = row * cellH, y1 = row == 4 ? H : y0 + cellH;
            const int dx = offsets ? offsets->cells[row * 5 + col][0] : 0;
            const int dy = offsets ? offsets->cells[row * 5 + col][1] : 0;
            const long long plain = copyCell(x0, x1, y0, y1, 0, 0);
            // A cell's local correction is kept where it brings the copper
            // closer together: on a board that needs none, the search's
            // corrections of a pixel would outline every edge of the cell.
            if ((dx != 0 || dy != 0) && copyCell(x0, x1, y0, y1, dx, dy) >= plain)
                copyCell(x0, x1, y0, y1, 0, 0);
        }
    return out;
}

namespace {

// The defects of the records `mine` inside `win`, a window of the camera
// image; records farther than this from the window's edge belong to it.
constexpr int kWindow = 32;

// The atlas of `windows`: the two images as 0/1 planes, their differences
// and the cores of those, labelled.
void buildAtlas(Atlas& a, const BinaryView& camera, const BinaryView& reference,
                const std::vector<Rect>& windows, int jitter) {
    // Rows between windows: enough that the jitter's dilation of one
    // window's copper stays out of the next, and at least one.
    const int gap = std::max(1, jitter);
    int width = 1, height = 0;
    a.top.clear();
    for (const Rect& w : windows) {
        a.top.push_back(height);
        width = std::max(width, w.x2 - w.x1 + 1);
        height += w.y2 - w.y1 + 1 + gap;
    }
    height = std::max(height, 1);
    for (cv::Mat* m : {&a.cam, &a.ref, &a.missing, &a.excess}) {
        m->create(height, width, CV_8U);
        m->setTo(0);
    }
    for (std::size_t k = 0; k < windows.size(); ++k) {
        const Rect& win = windows[k];
        for (int y = win.y1; y <= win.y2; ++y) {
            const int row = a.top[k] + y - win.y1;
            const std::uint8_t* c = camera.data + static_cast<std::size_t>(y) * camera.stride + win.x1;
            const std::uint8_t* r = reference.data + static_cast<std::size_t>(y) * reference.stride + win.x1;
            std::uint8_t* pc = a.cam.ptr<std::uint8_t>(row);
            std::uint8_t* pr = a.ref.ptr<std::uint8_t>(row);
            std::uint8_t* pm = a.missing.ptr<std::uint8_t>(row);
            std::uint8_t* pe = a.excess.ptr<std::uint8_t>(row);
            for (int x = 0; x <= win.x2 - win.x1; ++x) {
                const std::uint8_t cv = c[x] != 0, rv = r[x] != 0;
                pc[x] = cv;
                pr[x] = rv;
                pm[x] = rv & (cv ^ 1);
                pe[x] = cv & (rv ^ 1);
            }
        }
    }
    // The core of a difference: its pixels farther than the alignment
    // jitter from the other image's copper. A sliver along an edge, where
    // the photograph's copper lies a pixel off the reference's, has none; a
    // real nick or bump is deeper than that.
    if (jitter == 0) {
        a.core[0] = a.missing;
        a.core[1] = a.excess;
    } else {
        const cv::Mat square =
            cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * jitter + 1, 2 * jitter + 1));
        cv::Mat nearCam, nearRef;
        cv::dilate(a.cam, nearCam, square);
        cv::dilate(a.ref, nearRef, square);
        cv::subtract(a.missing, nearCam, a.core[0]);  // saturates at 0
        cv::subtract(a.excess, nearRef, a.core[1]);
        // A hole with copper all round it in the reference is no sliver,
        // however narrow: the whole hole is core (a blurred pin-hole of a
        // few pixels in a photograph has no pixel a jitter from copper).
        cv::Mat inner, holes, stats, centroids;
        cv::erode(a.ref, inner, square);
        const int n = cv::connectedComponentsWithStats(a.missing, holes, stats, centroids, 4, CV_32S);
        std::vector<int> enclosed(static_cast<std::size_t>(n), 0);
        for (int y = 0; y < holes.rows; ++y) {
            const int* h = holes.ptr<int>(y);
            const std::uint8_t* in = inner.ptr<std::uint8_t>(y);
            for (int x = 0; x < holes.cols; ++x)
                if (h[x] > 0 && in[x]) ++enclosed[static_cast<std::size_t>(h[x])];
        }
        for (int l = 1; l < n; ++l)
            enclosed[static_cast<std::size_t>(l)] =
                enclosed[static_cast<std::size_t>(l)] == stats.at<int>(l, cv::CC_STAT_AREA);
        for (int y = 0; y < holes.rows; ++y) {
            const int* h = holes.ptr<int>(y);
            std::uint8_t* c = a.core[0].ptr<std::uint8_t>(y);
            for (int x = 0; x < holes.cols; ++x)
                if (h[x] > 0 && enclosed[static_cast<std::size_t>(h[x])]) c[x] = 1;
        }
    }
    // Regions of each polarity are the 4-connected pieces of the core, so
    // that a diagonal seam of copper (8-connected) keeps the regions on its
    // two sides apart as it keeps the conductor whole.
    cv::connectedComponentsWithStats(a.core[0], a.labels[0], a.stats[0], a.centroids, 4, CV_32S);
    cv::connectedComponentsWithStats(a.core[1], a.labels[1], a.stats[1], a.centroids, 4, CV_32S);
    cv::connectedComponentsWithStats(a.ref, a.refParts, a.refStats, a.centroids, 8, CV_32S);
}

struct WindowResult {
    std::vector<Defect> defects;
    std::vector<int> orphans;   // records on no difference
    std::optional<Rect> grow;   // the window must reach this far to hold its regions
};

WindowResult defectsInWindow(const Atlas& atlas, std::size_t index, const Rect& win,
                             int imageW, int imageH, std::span<const FlawRecord> records,
                             const std::vector<int>& mine, const DefectSettings& settings) {
    WindowResult out;
    const int W = win.x2 - win.x1 + 1, H = win.y2 - win.y1 + 1;
    const int top = atlas.top[index];
    const cv::Rect roi(0, top, W, H);
    const cv::Mat cam = atlas.cam(roi), ref = atlas.ref(roi);
    const cv::Mat labels[2] = {atlas.labels[0](roi), atlas.labels[1](roi)};
    const cv::Mat(&stats)[2] = atlas.stats;
    const cv::Mat diff[2] = {atlas.missing(roi), atlas.excess(roi)};
    const cv::Mat refParts = atlas.refParts(roi);
    const cv::Mat& refStats = atlas.refStats;
    const int jitter = std::max(0, settings.jitter);

    // A region is its core and the differing pixels within the jitter of
    // it: its box is theirs, so that slivers along the edges around it do
    // not stretch it.
    auto regionBox = [&](int p, int label, int& area) {
        const int* s = stats[p].ptr<int>(label);
        const Rect coreBox{s[cv::CC_STAT_LEFT], s[cv::CC_STAT_TOP] - top,
                           s[cv::CC_STAT_LEFT] + s[cv::CC_STAT_WIDTH] - 1,
                           s[cv::CC_STAT_TOP] - top + s[cv::CC_STAT_HEIGHT] - 1};
        if (jitter == 0) {
            area = s[cv::CC_STAT_AREA];
            return coreBox;
        }
        const Rect near = coreBox.grown(jitter, W, H);
        Rect box = coreBox;
        area = 0;
        for (int y = near.y1; y <= near.y2; ++y) {
            const std::uint8_t* d = diff[p].ptr<std::uint8_t>(y);
            for (int x = near.x1; x <= near.x2; ++x) {
                if (!d[x]) continue;
                bool reached = false;
                for (int v = std::max(0, y - jitter); v <= std::min(H - 1, y + jitter) && !reached; ++v) {
                    const int* l = labels[p].ptr<int>(v);
                    for (int u = std::max(0, x - jitter); u <= std::min(W - 1, x + jitter); ++u)
                        if (l[u] == label) {
                            reached = true;
                            break;
                        }
                }
                if (!reached) continue;
                ++area;
                box = box.united(Rect{x, y, x, y});
            }
        }
        return box;
    };

    // Every record to the nearest region within reach (missing before
    // excess at equal distance, then the first in scan order).
    std::map<std::pair<int, int>, int> regionOf;  // (polarity, label) -> index
    std::vector<Region> regions;
    auto region = [&](int p, int label) -> Region& {
        const auto key = std::make_pair(p, label);
        auto it = regionOf.find(key);
        if (it == regionOf.end()) {
            int area = 0;
            const Rect box = regionBox(p, label, area);
            Region r{p == 0 ? Polarity::Missing : Polarity::Excess, label, box, area, {}, {}};
            it = regionOf.emplace(key, static_cast<int>(regions.size())).first;
            regions.push_back(r);
        }
        return regions[static_cast<std::size_t>(it->second)];
    };
    // The nearest set pixel of `maps` (label maps or 0/1 planes of the two
    // polarities) to a record within `reach`: its polarity and value, or
    // polarity -1.
    auto nearest = [&](const FlawRecord& f, int reach, const cv::Mat* maps, bool isLabel) {
        const int fx = f.camX - win.x1, fy = f.camY - win.y1;
        int bestD = reach * reach + 1, bestP = -1, bestL = 0;
        for (int p = 0; p < 2; ++p)
            for (int y = std::max(0, fy - reach); y <= std::min(H - 1, fy + reach); ++y)
                for (int x = std::max(0, fx - reach); x <= std::min(W - 1, fx + reach); ++x) {
                    const int v = isLabel ? maps[p].ptr<int>(y)[x] : maps[p].ptr<std::uint8_t>(y)[x];
                    if (v == 0) continue;
                    const int d = (x - fx) * (x - fx) + (y - fy) * (y - fy);
                    if (d < bestD) {
                        bestD = d;
                        bestP = p;
                        bestL = v;
                    }
                }
        return std::make_pair(bestP, bestL);
    };
    std::vector<int> loose;
    for (int i : mine) {
        const auto [p, l] = nearest(records[static_cast<std::size_t>(i)], kRecordReach, labels, true);
        if (p < 0) loose.push_back(i);
        else region(p, l).records.push_back(i);
    }
    // A record a little farther from any region belongs to a region
    // already flagged whose box (with the margin) lies within
    // kOrphanReach, else to the nearest region within kFarReach (the
    // search's suspects may sit that far out around a small hole). One on
    // nothing but jitter slivers flags no defect.
    const std::size_t flagged = regions.size();
    for (int i : loose) {
        const FlawRecord& f = records[static_cast<std::size_t>(i)];
        const int fx = f.camX - win.x1, fy = f.camY - win.y1;
        int closest = kOrphanReach + 1;
        std::size_t home = flagged;
        for (std::size_t k = 0; k < flagged; ++k) {
            const Rect b = regions[k].box.grown(settings.boxMargin, W, H);
            const int gap = std::max({b.x1 - fx, fx - b.x2, b.y1 - fy, fy - b.y2, 0});
            if (gap < closest) {
                closest = gap;
                home = k;
            }
        }
        if (home < flagged) {
            regions[home].records.push_back(i);
            continue;
        }
        const auto [p, l] = nearest(f, kFarReach, labels, true);
        if (p >= 0) region(p, l).records.push_back(i);
        else if (jitter == 0 || nearest(f, kRecordReach, diff, false).first < 0)
            out.orphans.push_back(i);
    }
    const std::size_t seeded = regions.size();
    const Context ctx[2] = {{cam, ref, refParts, refStats, top, labels[0], W, H},
                            {cam, ref, refParts, refStats, top, labels[1], W, H}};
    for (Region& r : regions) classify(r, ctx[r.polarity == Polarity::Missing ? 0 : 1]);
    // Regions without a record of their own join a flaw only as a piece of
    // an open or a short nearby: fetch those within reach of one.
    for (std::size_t s = 0; s < seeded; ++s) {
        if (!regions[s].topological) continue;
        const int p = regions[s].polarity == Polarity::Missing ? 0 : 1;
        const Rect near = regions[s].box.grown(kGroupGap, W, H);
        std::vector<int> found;
        for (int y = near.y1; y <= near.y2; ++y) {
            const int* row = labels[p].ptr<int>(y);
            for (int x = near.x1; x <= near.x2; ++x)
                if (row[x] != 0 && !regionOf.count({p, row[x]})) found.push_back(row[x]);
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        for (int label : found) {
            Region& r = region(p, label);
            classify(r, ctx[p]);
        }
    }
    // A region whose surroundings the window cuts off needs a larger
    // window: the conductors around it, and the pieces of its flaw, must be
    // seen whole.
    const int need = kGroupGap + kContext;
    for (const Region& r : regions) {
        const Rect g{r.box.x1 - need + win.x1, r.box.y1 - need + win.y1, r.box.x2 + need + win.x1,
                     r.box.y2 + need + win.y1};
        const bool cut = (g.x1 < win.x1 && win.x1 > 0) || (g.y1 < win.y1 && win.y1 > 0) ||
                         (g.x2 > win.x2 && win.x2 < imageW - 1) ||
                         (g.y2 > win.y2 && win.y2 < imageH - 1);
        if (cut) out.grow = out.grow ? out.grow->united(g) : g;
    }
    // Groups: regions of one polarity that share a conductor and lie within
    // kGroupGap of each other, when one of them changes the conductors (the
    // pieces of a cut, a bridge and the specks around it).
    std::vector<int> parent(regions.size());
    std::iota(parent.begin(), parent.end(), 0);
    auto find = [&](int i) {
        while (parent[static_cast<std::size_t>(i)] != i) i = parent[static_cast<std::size_t>(i)] = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(i)])];
        return i;
    };
    for (std::size_t a = 0; a < regions.size(); ++a)
        for (std::size_t b = a + 1; b < regions.size(); ++b) {
            const Region &ra = regions[a], &rb = regions[b];
            if (ra.polarity != rb.polarity || !(ra.topological || rb.topological)) continue;
            if (ra.box.gapTo(rb.box) > kGroupGap || !shareConductor(ra, rb)) continue;
            parent[static_cast<std::size_t>(find(static_cast<int>(b)))] = find(static_cast<int>(a));
        }
    std::map<int, std::vector<int>> groups;
    for (std::size_t i = 0; i < regions.size(); ++i)
        groups[find(static_cast<int>(i))].push_back(static_cast<int>(i));
    for (const auto& [root, members] : groups) {
        Rect box = regions[static_cast<std::size_t>(members[0])].box;
        int area = 0;
        bool topological = false;
        std::vector<int> recs;
        DefectType topology = regions[static_cast<std::size_t>(members[0])].topology;
        for (int m : members) {
            const Region& r = regions[static_cast<std::size_t>(m)];
            box = box.united(r.box);
            area += r.area;
            recs.insert(recs.end(), r.records.begin(), r.records.end());
            if (r.topological && !topological) topology = r.topology;
            topological = topological || r.topological;
        }
        if (recs.empty()) continue;  // a difference the library did not flag
        std::sort(recs.begin(), recs.end());
        DefectType type = topology;
        if (!topological && type != DefectType::MissingFeature) {
            const std::optional<DefectType> hint = recordType(records, recs, settings.cadFamilies);
            // A changed width or spacing runs along the conductor; a short
            // notch or bump reported by the width checks stays a mousebite
            // or a spur.
            const int w = box.x2 - box.x1 + 1, h = box.y2 - box.y1 + 1;
            const bool elongated = std::max(w, h) >= kRunLength && std::max(w, h) >= 3 * std::min(w, h);
            const bool alongConductor = hint && (*hint == DefectType::Width || *hint == DefectType::Spacing);
            if (settings.cadFamilies && hint && cadFamilyType(*hint) &&
                (!alongConductor || elongated))
                type = *hint;
        }
        const Rect grown = Rect{box.x1 + win.x1, box.y1 + win.y1, box.x2 + win.x1, box.y2 + win.y1}
                               .grown(settings.boxMargin, imageW, imageH);
        const double sArea = std::min(1.0, area / 25.0);
        const double sRecords = 1.0 - std::pow(0.5, static_cast<double>(recs.size()));
        const double conf = 0.25 + 0.35 * sArea + 0.3 * sRecords + (topological ? 0.1 : 0.0);
        out.defects.push_back(Defect{grown.x1, grown.y1, grown.x2, grown.y2, type,
                                     static_cast<float>(std::min(1.0, conf)), recs});
    }
    return out;
}

// Merges windows that overlap or touch until none do.
void mergeWindows(std::vector<Rect>& windows) {
    for (bool merged = true; merged;) {
        merged = false;
        for (std::size_t a = 0; a < windows.size() && !merged; ++a)
            for (std::size_t b = a + 1; b < windows.size(); ++b)
                if (windows[a].gapTo(windows[b]) == 0) {
                    windows[a] = windows[a].united(windows[b]);
                    windows.erase(windows.begin() + static_cast<std::ptrdiff_t>(b));
                    merged = true;
                    break;
                }
    }
    std::sort(windows.begin(), windows.end(),
              [](const Rect& a, const Rect& b) { return std::tie(a.y1, a.x1) < std::tie(b.y1, b.x1); });
}

}  // namespace

std::vector<Defect> findDefects(const BinaryView& camera, const BinaryView& reference,
                                std::span<const FlawRecord> records,
                                const DefectSettings& settings) {
    if (camera.width != reference.width || camera.height != reference.height)
        throw InputError("reference window", "size " + std::to_string(reference.width) + " x " +
                                                 std::to_string(reference.height) +
                                                 " differs from the camera window's " +
                                                 std::to_string(camera.width) + " x " +
                                                 std::to_string(camera.height));
    const int W = camera.width, H = camera.height;
    std::vector<Defect> defects;
    if (W <= 0 || H <= 0) return defects;
    // Only the surroundings of the records are examined: a window of
    // kWindow pixels around each, windows that meet merged, and a window
    // grown (and merged again) where a region reaches beyond it.
    auto clipped = [&](const Rect& r) {
        return Rect{std::max(0, r.x1), std::max(0, r.y1), std::min(W - 1, r.x2), std::min(H - 1, r.y2)};
    };
    std::vector<Rect> windows;
    std::vector<int> placed, outside;  // records inside the image, and beyond it
    for (std::size_t i = 0; i < records.size(); ++i) {
        const FlawRecord& f = records[i];
        if (f.camX < 0 || f.camY < 0 || f.camX >= W || f.camY >= H) {
            outside.push_back(static_cast<int>(i));
            continue;
        }
        placed.push_back(static_cast<int>(i));
        windows.push_back(clipped(Rect{f.camX, f.camY, f.camX, f.camY}.grown(kWindow, W + kWindow, H + kWindow)));
    }
    std::vector<int> orphans;
    thread_local Atlas atlas;
    for (bool done = false; !done;) {
        mergeWindows(windows);
        buildAtlas(atlas, camera, reference, windows, std::max(0, settings.jitter));
        defects.clear();
        orphans.clear();
        done = true;
        for (std::size_t k = 0; k < windows.size(); ++k) {
            Rect& win = windows[k];
            std::vector<int> mine;
            for (int i : placed) {
                const FlawRecord& f = records[static_cast<std::size_t>(i)];
                if (f.camX >= win.x1 && f.camX <= win.x2 && f.camY >= win.y1 && f.camY <= win.y2)
                    mine.push_back(i);
            }
            WindowResult r = defectsInWindow(atlas, k, win, W, H, records, mine, settings);
            if (r.grow) {
                const Rect wider = clipped(win.united(*r.grow));
                // A window as large as the image cannot grow: keep what it found.
                if (!(wider.x1 == win.x1 && wider.y1 == win.y1 && wider.x2 == win.x2 &&
                      wider.y2 == win.y2)) {
                    win = wider;
                    done = false;
                    break;
                }
            }
            defects.insert(defects.end(), r.defects.begin(), r.defects.end());
            orphans.insert(orphans.end(), r.orphans.begin(), r.orphans.end());
        }
    }
    orphans.insert(orphans.end(), outside.begin(), outside.end());
    std::sort(orphans.begin(), orphans.end());
    // Records on no difference: one defect for the records near each other.
    std::vector<Defect> alone;
    for (int i : orphans) {
        const FlawRecord& f = records[static_cast<std::size_t>(i)];
        Defect* home = nullptr;
        for (Defect& d : alone)
                if (std::abs(f.camX - (d.x1 + d.x2) / 2) <= 2 * settings.boxMargin &&
                    std::abs(f.camY - (d.y1 + d.y2) / 2) <= 2 * settings.boxMargin) {
                    home = &d;
                    break;
                }
        if (home) {
            home->records.insert(std::upper_bound(home->records.begin(), home->records.end(), i), i);
            continue;
        }
        const Rect b = Rect{f.camX, f.camY, f.camX, f.camY}.grown(
            settings.boxMargin + kRecordHalfBox, W, H);
        alone.push_back(Defect{b.x1, b.y1, b.x2, b.y2, DefectType::Mousebite, 0.0f, {i}});
    }
    for (Defect& d : alone) {
        d.type = recordType(records, d.records, settings.cadFamilies).value_or(DefectType::Mousebite);
        const double sRecords = 1.0 - std::pow(0.5, static_cast<double>(d.records.size()));
        d.confidence = static_cast<float>(0.1 + 0.2 * sRecords);
        defects.push_back(std::move(d));
    }
    std::sort(defects.begin(), defects.end(), [](const Defect& a, const Defect& b) {
        return std::tie(a.y1, a.x1, a.y2, a.x2) < std::tie(b.y1, b.x1, b.y2, b.x2);
    });
    return defects;
}

Image deepDifferences(const BinaryView& camera, const BinaryView& reference) {
    const int W = camera.width, H = camera.height;
    const cv::Mat cam(H, W, CV_8U, const_cast<std::uint8_t*>(camera.data), camera.stride);
    const cv::Mat ref(H, W, CV_8U, const_cast<std::uint8_t*>(reference.data), reference.stride);
    cv::Mat c, r, inner, near, extra;
    cv::compare(cam, 0, c, cv::CMP_NE);
    cv::compare(ref, 0, r, cv::CMP_NE);
    const cv::Mat square = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
    // Missing: reference copper whose whole neighbourhood is copper, bare in
    // the camera. Extra: camera copper with no reference copper beside it.
    cv::erode(r, inner, square);
    cv::dilate(r, near, square);
    Image out(W, H, 1, 0);
    cv::Mat deep(H, W, CV_8U, out.pixels.data(), static_cast<std::size_t>(out.stride()));
    cv::bitwise_and(inner, ~c, deep);
    cv::bitwise_and(c, ~near, extra);
    cv::bitwise_or(deep, extra, deep);
    return out;
}

std::vector<std::array<int, 2>> differencesInEdgeBand(const Image& deep, int band) {
    const int W = deep.width, H = deep.height;
    auto inBand = [&](int x, int y) {
        return x < band || y < band || x >= W - band - 1 || y >= H - band - 1;
    };
    // Only pieces with a pixel in the band can have their point there: each
    // is walked from its first band pixel met (8-connected, over the deep
    // pixels only, which are few), not the whole map labelled.
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(W) * H, 0);
    std::vector<std::array<int, 2>> points, piece, stack;
    auto walk = [&](int x0, int y0) {
        piece.clear();
        stack.assign(1, {x0, y0});
        seen[static_cast<std::size_t>(y0) * W + x0] = 1;
        double sx = 0, sy = 0;
        while (!stack.empty()) {
            const auto [x, y] = stack.back();
            stack.pop_back();
            piece.push_back({x, y});
            sx += x, sy += y;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int u = x + dx, v = y + dy;
                    if (u < 0 || v < 0 || u >= W || v >= H) continue;
                    const std::size_t k = static_cast<std::size_t>(v) * W + u;
                    if (seen[k] || !deep.row(v)[u]) continue;
                    seen[k] = 1;
                    stack.push_back({u, v});
                }
        }
        // The piece's pixel nearest its centre of mass (the first in row
        // order among equals).
        const double cx = sx / static_cast<double>(piece.size());
        const double cy = sy / static_cast<double>(piece.size());
        std::sort(piece.begin(), piece.end(),
                  [](const auto& a, const auto& b) { return a[1] != b[1] ? a[1] < b[1] : a[0] < b[0]; });
        double best = -1.0;
        std::array<int, 2> at{};
        for (const auto& [x, y] : piece) {
            const double d = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            if (best < 0 || d < best) best = d, at = {x, y};
        }
        if (inBand(at[0], at[1])) points.push_back(at);
    };
    for (int y = 0; y < H; ++y) {
        const std::uint8_t* row = deep.row(y);
        const bool wholeRow = y < band || y >= H - band - 1;
        for (int x = 0; x < W; ++x) {
            if (!wholeRow && x == band) x = std::max(band, W - band - 1);
            if (row[x] && !seen[static_cast<std::size_t>(y) * W + x]) walk(x, y);
        }
    }
    std::sort(points.begin(), points.end(),
              [](const auto& a, const auto& b) { return a[1] != b[1] ? a[1] < b[1] : a[0] < b[0]; });
    return points;
}

std::vector<bool> suspectsOnDifferences(const Image& deep,
                                        std::span<const SuspectRecord> suspects, int reach) {
    const int W = deep.width, H = deep.height;
    std::vector<bool> keep(suspects.size(), false);
    for (std::size_t i = 0; i < suspects.size(); ++i) {
        const int x = suspects[i].windowX, y = suspects[i].windowY;
        const int x0 = std::max(0, x - reach), x1 = std::min(W - 1, x + reach);
        const int y0 = std::max(0, y - reach), y1 = std::min(H - 1, y + reach);
        for (int v = y0; v <= y1 && !keep[i]; ++v) {
            const std::uint8_t* row = deep.row(v);
            for (int u = x0; u <= x1; ++u)
                if (row[u]) {
                    keep[i] = true;
                    break;
                }
        }
    }
    return keep;
}

void attachDefects(const InspectionInput& in, const Image& cameraBinary, const Preset& preset,
                   InspectionResult& result, const Image* referenceWindow) {
    if (!result.placed) return;
    const auto start = std::chrono::steady_clock::now();
    const BinaryView cameraView{cameraBinary.pixels.data(), cameraBinary.width,
                                cameraBinary.stride(), cameraBinary.height};
    Image made;
    if (!referenceWindow) {
        // Golden mode: the golden copper itself, as the photo front end or
        // the threshold made it (positions are unpadded here).
        Image golden;
        if (in.golden)
            golden = in.referenceCopper ? binaryImage(*in.referenceCopper, 1, false)
                                        : binaryImage(in.reference, in.threshold, in.copperDark);
        const Image& labels = in.golden ? golden : in.reference;
        made = referenceCopperWindow(
            BinaryView{labels.pixels.data(), labels.width, labels.stride(), labels.height},
            cameraView, result.positionX, result.positionY, &result.offsets);
    }
    const Image& window = referenceWindow ? *referenceWindow : made;
    DefectSettings s;
    s.boxMargin = preset.defects.boxMargin;
    s.cadFamilies = !in.golden;
    result.defects = findDefects(
        cameraView,
        BinaryView{window.pixels.data(), window.width, window.stride(), window.height},
        result.flaws, s);
    result.defectsMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
}

}  // namespace pcbinspect::tool
