// CAD boards as a board house sends them, drawn with `render` and inspected
// through the tool's pipeline: pours with clear cut-outs and thermal reliefs,
// traces, flashed and drilled pads, an aperture macro and step-and-repeat.
// Perfect camera frames cut anywhere on the whole board are placed exactly
// with no flaw, given their rough place or not; frames with planted defects
// of every family are found.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "commands.h"
#include "pipeline.h"
#include "preset.h"
#include "render.h"
#include "tool_images.h"

namespace pcbinspect::tool {
namespace {

using namespace testing;

const fs::path kExamples = "/usr/share/doc/gerbv/examples";

// Inches to the 2.4 coordinates of the files below.
std::string at(double x, double y) {
    char text[64];
    std::snprintf(text, sizeof text, "X%dY%d", static_cast<int>(std::lround(x * 10000)),
                  static_cast<int>(std::lround(y * 10000)));
    return text;
}

struct Point {
    double x, y;
};

// A two-layer board's front copper in the style of today's CAD exports: a
// pour drawn as a region with clearances cut by clear flashes and a clear
// slot, thermal spokes and drilled pads inside it, vias, a mounting hole in a
// clearance, traces of two widths ending on pads of three shapes and a macro
// pad, and a block of pads and stubs repeated by step-and-repeat.
struct KicadStyleBoard {
    std::vector<Point> pourPads{{0.15, 0.20}, {0.35, 0.35}, {0.20, 0.62}};
    std::vector<Point> vias{{0.10, 0.74}, {0.40, 0.12}, {0.62, 0.85}};
    Point mountingHole{0.35, 0.66};
    std::vector<Point> drilledPads{{1.00, 0.35}, {0.60, 0.70}};

    std::string copper() const {
        std::string g = "G04 front copper*\n%FSLAX24Y24*%\n%MOIN*%\n";
        g += "%AMTHERM*1,1,0.0500,0,0*21,1,0.0700,0.0120,0,0,45*%\n";
        g += "%ADD10C,0.0120*%\n%ADD11C,0.0160*%\n%ADD12C,0.0600*%\n%ADD13R,0.0600X0.0400*%\n"
             "%ADD14O,0.0700X0.0400*%\n%ADD15C,0.0300*%\n%ADD16C,0.1000*%\n%ADD17THERM*%\n"
             "%ADD18C,0.1400*%\n%LPD*%\n";
        // The pour.
        g += "G36*\n" + at(0.05, 0.05) + "D02*\n" + at(0.45, 0.05) + "D01*\n" + at(0.45, 0.80) +
             "D01*\n" + at(0.05, 0.80) + "D01*\n" + at(0.05, 0.05) + "D01*\nG37*\n";
        // Its clearances and a slot.
        g += "%LPC*%\nD16*\n";
        for (const Point& p : pourPads) g += at(p.x, p.y) + "D03*\n";
        g += "D18*\n" + at(mountingHole.x, mountingHole.y) + "D03*\n";
        g += "G36*\n" + at(0.10, 0.40) + "D02*\n" + at(0.28, 0.40) + "D01*\n" + at(0.28, 0.46) +
             "D01*\n" + at(0.10, 0.46) + "D01*\n" + at(0.10, 0.40) + "D01*\nG37*\n%LPD*%\n";
        // Thermal spokes and the drilled pads they hold.
        g += "D10*\n";
        for (const Point& p : pourPads)
            g += at(p.x - 0.05, p.y) + "D02*\n" + at(p.x + 0.05, p.y) + "D01*\n" +
                 at(p.x, p.y - 0.05) + "D02*\n" + at(p.x, p.y + 0.05) + "D01*\n";
        g += "D12*\n";
        for (const Point& p : pourPads) g += at(p.x, p.y) + "D03*\n";
        g += "D15*\n";
        for (const Point& p : vias) g += at(p.x, p.y) + "D03*\n";
        // Traces and their pads.
        g += "D10*\n" + at(0.55, 0.10) + "D02*\n" + at(1.00, 0.10) + "D01*\n";
        g += at(0.60, 0.30) + "D02*\n" + at(0.60, 0.70) + "D01*\n";
        g += at(0.70, 0.45) + "D02*\n" + at(1.00, 0.45) + "D01*\n";
        g += at(0.62, 0.85) + "D02*\n" + at(0.62, 0.76) + "D01*\n";
        g += "D11*\n" + at(0.55, 0.20) + "D02*\n" + at(0.80, 0.20) + "D01*\n" + at(1.00, 0.35) +
             "D01*\n";
        g += at(0.70, 0.55) + "D02*\n" + at(0.95, 0.75) + "D01*\n";
        g += "D13*\n" + at(1.00, 0.10) + "D03*\n" + at(0.70, 0.45) + "D03*\n";
        g += "D14*\n" + at(0.55, 0.20) + "D03*\n" + at(1.00, 0.45) + "D03*\n";
        g += "D12*\n";
        for (const Point& p : drilledPads) g += at(p.x, p.y) + "D03*\n";
        g += "D17*\n" + at(0.95, 0.75) + "D03*\n";
        // A repeated block: a pad and a stub, three by two.
        g += "%SRX3Y2I0.0800J0.0800*%\nD15*\n" + at(0.75, 0.85) + "D03*\nD10*\n" +
             at(0.75, 0.85) + "D02*\n" + at(0.79, 0.85) + "D01*\n%SR*%\nM02*\n";
        return g;
    }

    std::string platedDrills() const {
        std::string d = "M48\nINCH,TZ\nT1C0.025\nT2C0.012\n%\nT1\n";
        auto hole = [](const Point& p) {
            char text[64];
            std::snprintf(text, sizeof text, "X%06dY%06d\n",
                          static_cast<int>(std::lround(p.x * 10000)),
                          static_cast<int>(std::lround(p.y * 10000)));
            return std::string(text);
        };
        for (const Point& p : pourPads) d += hole(p);
        for (const Point& p : drilledPads) d += hole(p);
        d += "T2\n";
        for (const Point& p : vias) d += hole(p);
        return d + "M30\n";
    }

    std::string unplatedDrills() const {
        char text[64];
        std::snprintf(text, sizeof text, "X%06dY%06d\n",
                      static_cast<int>(std::lround(mountingHole.x * 10000)),
                      static_cast<int>(std::lround(mountingHole.y * 10000)));
        return std::string("M48\nINCH,TZ\nT1C0.080\n%\nT1\n") + text + "M30\n";
    }
};

void writeText(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

RenderedBoard renderKicadStyle(const fs::path& dir, bool mirror = false) {
    const KicadStyleBoard board;
    writeText(dir / "front.gbr", board.copper());
    writeText(dir / "pth.drl", board.platedDrills());
    writeText(dir / "npth.drl", board.unplatedDrills());
    RenderOptions o;
    o.copper = (dir / "front.gbr").string();
    o.drills = {(dir / "pth.drl").string(), (dir / "npth.drl").string()};
    o.mirror = mirror;
    return renderBoard(o, nullptr);
}

// What the camera sees of a board: its copper, holes open.
Image cameraCopper(const Image& labels, int x, int y, int w, int h) {
    return cutWindow(referenceCopper(labels), x, y, w, h);
}

InspectionResult inspectFrame(const RenderedBoard& b, const Image& camera,
                              std::optional<std::array<int, 2>> near) {
    InspectionInput in;
    in.reference = b.labels;
    in.camera = camera;
    in.at = near;
    in.holes = {};
    for (const HoleRecord& h : b.holes) {
        in.holes.push_back(h);
        if (h.kind == kHolePlated) in.holes.push_back(HoleRecord{kHoleMeasured, h.x, h.y, h.radius});
    }
    return runInspection(in, defaultPreset());
}

// Frames at random places of the board (inside its copper's extent), seeded.
std::vector<std::array<int, 2>> framePlaces(const RenderedBoard& b, int w, int h, int count,
                                            unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> xs(40, b.labels.width - w - 40),
        ys(40, b.labels.height - h - 40);
    std::vector<std::array<int, 2>> places;
    for (int i = 0; i < count; ++i) places.push_back({xs(random), ys(random)});
    return places;
}

TEST(BoardFrames, RenderedLabelsAsTheSearchAndInspectionReadThem) {
    const fs::path dir = freshFolder("kicad-labels");
    const RenderedBoard b = renderKicadStyle(dir);
    // Pours are plain copper, never the label the search would read by its
    // left neighbour; pads, drilled pads, traces and hole interiors all drawn.
    EXPECT_EQ(b.counts[100], 0);
    for (int label : {255, 160, 170, 180, 154}) EXPECT_GT(b.counts[label], 500) << label;
    // 5 plated holes and 3 vias in copper, the mounting hole in its clearance.
    int plated = 0, bare = 0;
    for (const HoleRecord& h : b.holes) (h.kind == kHolePlated ? plated : bare)++;
    EXPECT_EQ(std::make_pair(plated, bare), std::make_pair(8, 1));
    // The search copy opens the holes; the copper map agrees with it.
    const Image search = searchReference(b.labels), copper = referenceCopper(b.labels);
    for (std::size_t i = 0; i < b.labels.pixels.size(); ++i) {
        ASSERT_NE(search.pixels[i], 154);
        ASSERT_EQ(copper.pixels[i] != 0, search.pixels[i] != 0) << i;
    }
    // Mirrored: columns reversed, holes with them.
    const RenderedBoard m = renderKicadStyle(dir, true);
    ASSERT_EQ(m.labels.width, b.labels.width);
    for (int y = 0; y < b.labels.height; y += 37)
        for (int x = 0; x < b.labels.width; x += 11)
            ASSERT_EQ(m.labels.at(b.labels.width - 1 - x, y), b.labels.at(x, y));
    ASSERT_EQ(m.holes.size(), b.holes.size());
    for (std::size_t i = 0; i < b.holes.size(); ++i)
        EXPECT_EQ(m.holes[i].x, b.labels.width - 1 - b.holes[i].x);
}

// Perfect frames of 320 and 480 pixels at six places each, on the whole
// board (found by registration), near a rough place 40 pixels off, and the
// mirrored board for a bottom camera: every one placed exactly, no flaw.
TEST(BoardFrames, PerfectFramesArePlacedExactlyWithNoFlaw) {
    const fs::path dir = freshFolder("kicad-frames");
    for (bool mirror : {false, true}) {
        const RenderedBoard b = renderKicadStyle(dir, mirror);
        for (int size : {320, 480}) {
            unsigned seed = 11u * static_cast<unsigned>(size) + mirror;
            for (const auto& [x, y] : framePlaces(b, size, size, 6, seed)) {
                const Image camera = cameraCopper(b.labels, x, y, size, size);
                for (bool rough : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << "mirror " << mirror << " size " << size
                                                      << " at " << x << "," << y << " rough "
                                                      << rough);
                    const InspectionResult r = inspectFrame(
                        b, camera,
                        rough ? std::optional<std::array<int, 2>>({x + 40, y - 40}) : std::nullopt);
                    ASSERT_TRUE(r.placed) << r.alignmentScore;
                    EXPECT_EQ(r.framing, rough ? "at" : "found");
                    EXPECT_LE(std::abs(r.positionX - x) + std::abs(r.positionY - y), 1);
                    EXPECT_EQ(r.suspects, 0);
                    EXPECT_EQ(r.flaws.size(), 0u);
                }
            }
        }
    }
}

// A scan of the whole board, as large as the reference: the reference is
// padded for the search, and the frame lands at (0, 0).
TEST(BoardFrames, AWholeBoardScanAsLargeAsTheReference) {
    const fs::path dir = freshFolder("kicad-scan");
    const RenderedBoard b = renderKicadStyle(dir);
    const Image camera = cameraCopper(b.labels, 0, 0, b.labels.width, b.labels.height);
    const InspectionResult r = inspectFrame(b, camera, std::nullopt);
    ASSERT_TRUE(r.placed) << r.alignmentScore;
    EXPECT_EQ(r.framing, "padded");
    EXPECT_EQ(std::make_pair(r.positionX, r.positionY), std::make_pair(0, 0));
    EXPECT_EQ(r.flaws.size(), 0u);
}

// Real boards drawn by others: perfect frames of their copper at five places.
TEST(BoardFrames, ExampleBoardsWithPoursPlaceFramesExactly) {
    struct Example {
        const char* copper;
        double dpi;
    };
    const Example examples[] = {{"hellboard/hellboard.front.gbr", 600},
                                {"hellboard/hellboard.back.gbr", 600},
                                {"nollezappare/EtchLayer2Bottom.gdo", 500}};
    for (const Example& e : examples) {
        if (!fs::exists(kExamples / e.copper)) GTEST_SKIP() << "no libgerbv examples";
        RenderOptions o;
        o.copper = (kExamples / e.copper).string();
        o.pixelMicrons = 25400.0 / e.dpi;
        const RenderedBoard b = renderBoard(o, nullptr);
        const int size = std::min({480, b.labels.width - 100, b.labels.height - 100});
        for (const auto& [x, y] : framePlaces(b, size, size, 5, 7)) {
            const Image frame = cameraCopper(b.labels, x, y, size, size);
            for (bool rough : {true, false}) {
                SCOPED_TRACE(::testing::Message() << e.copper << " at " << x << "," << y
                                                  << " rough " << rough);
                const InspectionResult r = inspectFrame(
                    b, frame,
                    rough ? std::optional<std::array<int, 2>>({x - 40, y + 40}) : std::nullopt);
                ASSERT_TRUE(r.placed) << r.alignmentScore;
                EXPECT_EQ(r.flaws.size(), 0u);
                // A board of repeated cells holds the frame's copper more than
                // once, up to a few pixels of rounding: near the rough place
                // only the same copper, pixel for pixel, is as right; without
                // it, a place differing in at most 0.1 % of the pixels.
                const Image there = cameraCopper(b.labels, r.positionX, r.positionY, size, size);
                int differ = 0;
                for (std::size_t i = 0; i < frame.pixels.size(); ++i)
                    differ += there.pixels[i] != frame.pixels[i];
                if (rough) {
                    EXPECT_EQ(differ, 0) << "placed at " << r.positionX << "," << r.positionY;
                    continue;
                }
                EXPECT_LE(differ, size * size / 1000)
                    << "placed at " << r.positionX << "," << r.positionY;
            }
        }
    }
}

// Defects of every family planted on camera frames of the board, inspected
// with the hole list, with and without the frame's rough place: each is
// found (a record within 24 pixels) and no record lies farther from them
// than 32.
TEST(BoardFrames, PlantedDefectsOfEveryFamilyAreFoundAndNothingElse) {
    const fs::path dir = freshFolder("kicad-defects");
    const RenderedBoard b = renderKicadStyle(dir);
    auto pixel = [&](double x, double y) {
        return std::array<int, 2>{b.originX + static_cast<int>(std::lround((x - b.minX) * 1000)),
                                  b.originY + static_cast<int>(std::lround((b.maxY - y) * 1000))};
    };
    Image copper = referenceCopper(b.labels);
    auto paint = [&](std::array<int, 2> c, int rx, int ry, bool disc, std::uint8_t v) {
        for (int y = -ry; y <= ry; ++y)
            for (int x = -rx; x <= rx; ++x)
                if (!disc || x * x + y * y <= rx * rx) copper.at(c[0] + x, c[1] + y) = v;
    };
    struct Planted {
        const char* family;
        std::array<int, 2> at;
    };
    std::vector<Planted> planted;
    auto plant = [&](const char* family, std::array<int, 2> c) { planted.push_back({family, c}); };
    // An open: a 12-pixel trace cut across.
    plant("open", pixel(0.75, 0.10));
    paint(planted.back().at, 3, 12, false, 0);
    // A mousebite: a bite into the top edge of another trace.
    plant("mousebite", pixel(0.85, 0.45));
    paint({planted.back().at[0], planted.back().at[1] - 6}, 4, 4, true, 0);
    // A spur off a vertical trace, and a short from it to a pad.
    plant("spur", pixel(0.60, 0.52));
    paint({planted.back().at[0] + 10, planted.back().at[1]}, 5, 2, false, 255);
    plant("short", pixel(0.635, 0.45));
    paint(planted.back().at, 30, 3, false, 255);
    // A speck of copper on bare board, and a pin-hole in the pour.
    plant("spurious copper", pixel(0.87, 0.30));
    paint(planted.back().at, 3, 3, false, 255);
    plant("pin-hole", pixel(0.30, 0.20));
    paint(planted.back().at, 4, 4, true, 0);
    // A plugged via and an enlarged drilled hole.
    plant("plugged hole", pixel(0.40, 0.12));
    paint(planted.back().at, 7, 7, true, 255);
    plant("enlarged hole", pixel(1.00, 0.35));
    paint(planted.back().at, 20, 20, true, 0);

    // Two frames: the pour's half and the traces' half of the board.
    const int h = b.labels.height - 120;
    const std::array<int, 2> frames[] = {{60, 60}, {pixel(0.50, 0.0)[0], 60}};
    const int widths[] = {pixel(0.47, 0.0)[0] - 60, b.labels.width - 60 - pixel(0.50, 0.0)[0]};
    std::vector<int> found(planted.size(), 0);
    int falseRecords = 0, runs = 0;
    for (int f = 0; f < 2; ++f) {
        const auto [fx, fy] = frames[f];
        const Image camera = cutWindow(copper, fx, fy, widths[f], h);
        for (bool rough : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "frame " << f << " rough " << rough);
            const InspectionResult r = inspectFrame(
                b, camera, rough ? std::optional<std::array<int, 2>>({fx - 30, fy + 25}) : std::nullopt);
            ASSERT_TRUE(r.placed) << r.alignmentScore;
            ASSERT_LE(std::abs(r.positionX - fx) + std::abs(r.positionY - fy), 1);
            ++runs;
            std::vector<bool> seen(planted.size(), false);
            for (const FlawRecord& rec : r.flaws) {
                bool near = false;
                for (std::size_t i = 0; i < planted.size(); ++i) {
                    const double d = std::hypot(rec.refX - planted[i].at[0],
                                                rec.refY - planted[i].at[1]);
                    if (d <= 24) seen[i] = true;
                    near = near || d <= 32;
                }
                if (!near) {
                    ++falseRecords;
                    ADD_FAILURE() << "record " << rec.code << " at " << rec.refX << ","
                                  << rec.refY << " lies on no planted defect";
                }
            }
            for (std::size_t i = 0; i < planted.size(); ++i) {
                const auto [px, py] = planted[i].at;
                if (px < fx || py < fy || px >= fx + widths[f] || py >= fy + h) continue;
                found[i] += seen[i];
                EXPECT_TRUE(seen[i]) << planted[i].family << " at " << px << "," << py;
            }
        }
    }
    EXPECT_EQ(runs, 4);
    EXPECT_EQ(falseRecords, 0);
    for (std::size_t i = 0; i < planted.size(); ++i)
        EXPECT_EQ(found[i], 2) << planted[i].family;
}

// Plants defects of every family on the copper of a board, inside a frame,
// at places drawn from a seeded generator where the family makes sense: an
// open across a trace 6 to 30 pixels wide, a bite into the edge of a wider
// conductor, a spur or a speck on bare board with nothing near, a short
// across a gap of 6 to 30 pixels, a pin-hole well inside a pour, a plugged
// hole and an enlarged one. Each lies 60 pixels inside the frame and 90 from
// every other.
struct Plant {
    std::string family;
    int x, y;
};

class Planter {
public:
    Planter(const RenderedBoard& b, Image& copper, std::array<int, 4> frame, unsigned seed)
        : b_(b), c_(copper), f_(frame), random_(seed) {}

    std::vector<Plant> plantAll(int each) {
        for (int n = 0; n < each; ++n) {
            tryPlaces("open", [&](int x, int y) { return open(x, y); });
            tryPlaces("mousebite", [&](int x, int y) { return bite(x, y); });
            tryPlaces("spur", [&](int x, int y) { return spur(x, y); });
            tryPlaces("short", [&](int x, int y) { return bridge(x, y); });
            tryPlaces("spurious copper", [&](int x, int y) { return speck(x, y); });
            tryPlaces("pin-hole", [&](int x, int y) { return pinHole(x, y); });
            holePlant("plugged hole", false);
            holePlant("enlarged hole", true);
        }
        return plants_;
    }

private:
    bool cu(int x, int y) const {
        return x >= 0 && y >= 0 && x < c_.width && y < c_.height && c_.at(x, y) != 0;
    }
    bool free(int x, int y) const {
        if (x < f_[0] + 60 || y < f_[1] + 60 || x >= f_[0] + f_[2] - 60 || y >= f_[1] + f_[3] - 60)
            return false;
        for (const Plant& p : plants_)
            if (std::abs(p.x - x) < 90 && std::abs(p.y - y) < 90) return false;
        return true;
    }
    // Copper run through (x, y) along (dx, dy), both ways.
    int run(int x, int y, int dx, int dy) const {
        int n = 1;
        for (int k = 1; k < 200 && cu(x + k * dx, y + k * dy); ++k) ++n;
        for (int k = 1; k < 200 && cu(x - k * dx, y - k * dy); ++k) ++n;
        return n;
    }
    bool bareAround(int x, int y, int r) const {
        for (int v = -r; v <= r; ++v)
            for (int u = -r; u <= r; ++u)
                if (cu(x + u, y + v)) return false;
        return true;
    }
    void fill(int x0, int y0, int x1, int y1, std::uint8_t v) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) c_.at(x, y) = v;
    }
    void disc(int cx, int cy, int r, std::uint8_t v) {
        for (int y = -r; y <= r; ++y)
            for (int x = -r; x <= r; ++x)
                if (x * x + y * y <= r * r) c_.at(cx + x, cy + y) = v;
    }
    template <class Try>
    void tryPlaces(const char* family, Try attempt) {
        std::uniform_int_distribution<int> xs(f_[0] + 60, f_[0] + f_[2] - 61),
            ys(f_[1] + 60, f_[1] + f_[3] - 61);
        for (int t = 0; t < 20000; ++t) {
            const int x = xs(random_), y = ys(random_);
            if (!free(x, y)) continue;
            if (attempt(x, y)) {
                plants_.push_back({family, x, y});
                return;
            }
        }
    }
    bool open(int x, int y) {
        if (!cu(x, y) || b_.labels.at(x, y) != 170) return false;
        const int h = run(x, y, 1, 0), v = run(x, y, 0, 1);
        if (h >= 6 && h <= 30 && v >= 3 * h) {
            int l = x;
            while (cu(l - 1, y)) --l;
            fill(l - 1, y - 3, l + h, y + 3, 0);
            return true;
        }
        if (v >= 6 && v <= 30 && h >= 3 * v) {
            int t = y;
            while (cu(x, t - 1)) --t;
            fill(x - 3, t - 1, x + 3, t + v, 0);
            return true;
        }
        return false;
    }
    bool bite(int x, int y) {
        // An edge pixel: copper with bare board just above, on a conductor
        // 16 to 60 pixels thick below and wide along the edge.
        if (!cu(x, y) || cu(x, y - 1) || !bareAround(x, y - 6, 4)) return false;
        const int down = run(x, y, 0, 1), along = run(x, y, 1, 0);
        if (down < 16 || down > 60 || along < 40) return false;
        disc(x, y, 4, 0);
        return true;
    }
    bool spur(int x, int y) {
        // Copper whose right neighbour is bare with 30 x 21 pixels of bare
        // board beyond; the spur reaches 10 pixels out, 5 high.
        if (!cu(x, y) || cu(x + 1, y) || run(x, y, 0, 1) < 12) return false;
        for (int v = -10; v <= 10; ++v)
            for (int u = 1; u <= 30; ++u)
                if (cu(x + u, y + v)) return false;
        fill(x + 1, y - 2, x + 10, y + 2, 255);
        return true;
    }
    bool bridge(int x, int y) {
        // Bare board between two conductors 6 to 30 pixels apart across a
        // row, each side a run of copper at least 8 pixels tall there.
        if (cu(x, y)) return false;
        int l = x, r = x;
        while (l > x - 40 && !cu(l - 1, y)) --l;
        while (r < x + 40 && !cu(r + 1, y)) ++r;
        const int gap = r - l + 1;
        if (gap < 6 || gap > 30 || !cu(l - 1, y) || !cu(r + 1, y)) return false;
        if (run(l - 1, y, 0, 1) < 8 || run(r + 1, y, 0, 1) < 8) return false;
        for (int v = -3; v <= 3; ++v)
            for (int u = l; u <= r; ++u)
                if (cu(u, y + v)) return false;
        fill(l, y - 2, r, y + 2, 255);
        return true;
    }
    bool speck(int x, int y) {
        if (!bareAround(x, y, 24)) return false;
        fill(x - 3, y - 3, x + 3, y + 3, 255);
        return true;
    }
    bool pinHole(int x, int y) {
        if (b_.labels.at(x, y) != 255) return false;
        for (int v = -16; v <= 16; ++v)
            for (int u = -16; u <= 16; ++u)
                if (!cu(x + u, y + v)) return false;
        disc(x, y, 4, 0);
        return true;
    }
    void holePlant(const char* family, bool enlarge) {
        for (const HoleRecord& h : b_.holes) {
            if (h.kind != kHolePlated || h.radius < 4 || !free(h.x, h.y)) continue;
            if (enlarge) {
                // Room for a hole 4 pixels larger inside its pad.
                bool ring = true;
                for (int a = 0; a < 16 && ring; ++a) {
                    const double t = a * 3.14159265358979 / 8;
                    ring = cu(h.x + static_cast<int>(std::lround((h.radius + 7) * std::cos(t))),
                              h.y + static_cast<int>(std::lround((h.radius + 7) * std::sin(t))));
                }
                if (!ring) continue;
                disc(h.x, h.y, h.radius + 4, 0);
            } else {
                disc(h.x, h.y, h.radius + 1, 255);
            }
            plants_.push_back({family, h.x, h.y});
            return;
        }
    }

    const RenderedBoard& b_;
    Image& c_;
    std::array<int, 4> f_;
    std::mt19937 random_;
    std::vector<Plant> plants_;
};

// Boards with pours, drawn by others and in the style of today's CAD exports:
// frames of 640 pixels at three places each, up to two defects of every
// family planted in each, inspected with the hole list near a rough place
// and without one (the board of identical repeated cells only near a rough
// place: without one its frames fit several places). Found: a record within
// 24 pixels; false: a record farther than 32 from every planted defect.
TEST(BoardFrames, PlantedDefectsOnBoardsWithPours) {
    struct Board {
        std::string name, copper, drill;
        double dpi;
        bool repeated = false;  // a lattice of identical cells: frames need a rough place
    };
    const fs::path dir = freshFolder("pour-boards");
    std::vector<Board> boards = {{"kicad-style", "", "", 1000}};
    for (const Board& e :
         {Board{"hellboard", "hellboard/hellboard.front.gbr",
                "hellboard/hellboard.plated-drill.cnc", 600, true},
          Board{"jj", "jj/l1-orig.grb", "", 500},
          Board{"boardstation", "Mentor-BoardStation/artwork_1.grb", "", 500}})
        if (fs::exists(kExamples / e.copper)) boards.push_back(e);
    std::map<std::string, std::pair<int, int>> tally;  // family: found, planted
    int falseRecords = 0, inspections = 0;
    for (const Board& board : boards) {
        RenderedBoard b;
        if (board.copper.empty()) {
            b = renderKicadStyle(dir);
        } else {
            RenderOptions o;
            o.copper = (kExamples / board.copper).string();
            if (!board.drill.empty()) o.drills = {(kExamples / board.drill).string()};
            o.pixelMicrons = 25400.0 / board.dpi;
            b = renderBoard(o, nullptr);
        }
        const int size = std::min({640, b.labels.width - 80, b.labels.height - 80});
        unsigned seed = 3;
        for (const auto& [fx, fy] : framePlaces(b, size, size, 3, 29)) {
            Image copper = referenceCopper(b.labels);
            Planter planter(b, copper, {fx, fy, size, size}, ++seed);
            const std::vector<Plant> plants = planter.plantAll(2);
            const Image camera = cutWindow(copper, fx, fy, size, size);
            for (bool rough : {true, false}) {
                if (!rough && board.repeated) continue;
                SCOPED_TRACE(::testing::Message() << board.name << " frame " << fx << "," << fy
                                                  << " rough " << rough);
                const InspectionResult r = inspectFrame(
                    b, camera,
                    rough ? std::optional<std::array<int, 2>>({fx + 25, fy - 35}) : std::nullopt);
                ++inspections;
                ASSERT_TRUE(r.placed) << r.alignmentScore;
                EXPECT_EQ(std::make_pair(r.positionX, r.positionY), std::make_pair(fx, fy));
                std::vector<bool> seen(plants.size(), false);
                for (const FlawRecord& rec : r.flaws) {
                    bool near = false;
                    for (std::size_t i = 0; i < plants.size(); ++i) {
                        const double d = std::hypot(rec.refX - plants[i].x, rec.refY - plants[i].y);
                        if (d <= 24) seen[i] = true;
                        near = near || d <= 32;
                    }
                    if (!near) {
                        ++falseRecords;
                        std::printf("%s: false record %d at %d,%d\n", board.name.c_str(), rec.code,
                                    rec.refX, rec.refY);
                    }
                }
                for (std::size_t i = 0; i < plants.size(); ++i) {
                    auto& [found, planted] = tally[plants[i].family];
                    ++planted;
                    found += seen[i];
                    if (!seen[i])
                        std::printf("%s: missed %s at %d,%d\n", board.name.c_str(),
                                    plants[i].family.c_str(), plants[i].x, plants[i].y);
                }
            }
        }
    }
    std::printf("%-16s %6s %7s %7s\n", "family", "found", "planted", "recall");
    for (const auto& [family, fp] : tally)
        std::printf("%-16s %6d %7d %7.3f\n", family.c_str(), fp.first, fp.second,
                    static_cast<double>(fp.first) / fp.second);
    std::printf("%d inspections, %d records on no planted defect\n", inspections, falseRecords);
    EXPECT_GE(inspections, 18);
    for (const auto& [family, fp] : tally)
        EXPECT_GE(fp.first, 0.95 * fp.second) << family;
    // A board house's thin regions beside strokes leave one-pixel slivers
    // when drawn; left in the reference they gave false records here.
    EXPECT_EQ(falseRecords, 0);
}

}  // namespace
}  // namespace pcbinspect::tool
