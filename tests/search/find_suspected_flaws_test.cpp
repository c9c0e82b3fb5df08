// findSuspectedFlaws through the public header, on synthetic boards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "pcbinspect/exports.h"
#include "support/board_builder.h"
#include "boards/images.h"

namespace pcbinspect::testing {
namespace {

// One call's buffers: reference and ignore map (stride refW + 8), camera
// window and mask (stride w + 4), all guarded.
struct Scene {
    Board board;
    GuardedImage reference, ignore, camera, mask;
    int left, top;  // where the window was cut from the board
    int grow = 3, border = 50, spacing = 10, emptySpacing = 50, radius = 0;
    float threshold = 0.8f;
    bool code151 = false, exhaustive = false;
    int mode = 2;
    std::vector<std::int32_t> records = std::vector<std::int32_t>(6 * 200, -7);
    std::int32_t position[2] = {-7, -7};
    float score = -7.0f;
    std::int32_t offsets[50] = {};

    Scene(int refSide, int w, int left_, int top_, std::uint32_t seed = 7)
        : board(syntheticBoard(refSide, refSide, seed)),
          reference(refSide, refSide, refSide + 8),
          ignore(refSide, refSide, refSide + 8),
          camera(w, w, w + 4),
          mask(w, w, w + 4),
          left(left_),
          top(top_) {
        copyBoard(board, reference);
        ignore.fill(0);
        mask.fill(0);
        renderCamera(board, left, top, camera);
    }

    int run() {
        return findSuspectedFlaws(reference.data(), ignore.data(), reference.width(),
                                  reference.stride(), reference.height(), camera.data(),
                                  mask.data(), camera.width(), camera.stride(), camera.height(),
                                  grow, border, threshold, position, &score, spacing,
                                  emptySpacing, radius, code151, records.data(),
                                  static_cast<int>(records.size()), offsets, exhaustive, mode);
    }
    Canvas cameraCanvas() { return Canvas(camera); }

    // Known features in window coordinates: a square pad 41 x 41 centred at
    // (150, 150) and two vertical lines 6 wide with a gap of 10 between them
    // (x 250..255 and 266..271, y 150..280), each on a cleared patch of
    // board 10 pixels wider than itself on every side.
    void placeKnownFeatures() {
        const Canvas c = board.canvas();
        c.rect(left + 120, top + 120, left + 180, top + 180, 0);
        c.rect(left + 240, top + 140, left + 281, top + 290, 0);
        c.rect(left + 130, top + 130, left + 170, top + 170, 160);
        c.rect(left + 250, top + 150, left + 255, top + 280, 170);
        c.rect(left + 266, top + 150, left + 271, top + 280, 170);
        // The clearing can leave single pixels of cut features, which the
        // search drops from the camera as noise: drop them from the board.
        const Board before = board;
        for (int y = 1; y < board.height - 1; ++y)
            for (int x = 1; x < board.width - 1; ++x)
                if (before.at(x - 1, y) == 0 && before.at(x + 1, y) == 0 &&
                    before.at(x, y - 1) == 0 && before.at(x, y + 1) == 0)
                    c.set(x, y, 0);
        copyBoard(board, reference);
        renderCamera(board, left, top, camera);
    }
};

struct Point {
    double x, y;
};

double distance(const std::int32_t* record, Point p) {
    return std::hypot(record[2] - p.x, record[3] - p.y);
}

// Nearest distance from p to any record's window position.
double nearestRecord(const Scene& s, int n, Point p) {
    double best = 1e9;
    for (int i = 0; i < n; ++i) best = std::min(best, distance(&s.records[6 * i], p));
    return best;
}

// The bite taken out of the known square pad and the bridge between the two
// known lines, in window coordinates; their centres.
constexpr Point kBite{165.0, 149.5};
constexpr Point kBridge{260.5, 202.5};

void plantFlaws(Scene& s) {
    Canvas c = s.cameraCanvas();
    c.rect(160, 145, 170, 154, 0);    // missing copper on the pad's right edge
    c.rect(256, 200, 265, 205, 255);  // short between the lines
}

TEST(FindSuspectedFlaws, FindsTheWindowWhereItWasCut) {
    // An exact camera copy: every alignment pass should land on the cut.
    struct Case {
        int left, top;
        bool exhaustive;
        int mode;
    } cases[] = {{131, 77, false, 2}, {131, 77, true, 2}, {90, 140, false, 0}, {170, 60, true, 0}};
    for (const Case& c : cases) {
        Scene s(600, 400, c.left, c.top);
        s.exhaustive = c.exhaustive;
        s.mode = c.mode;
        const int n = s.run();
        // The blurred maps agree exactly only at the cut, so the fine search
        // lands on it to the pixel (odd offsets need the one-pixel pass).
        EXPECT_EQ(s.position[0], c.left) << c.left << "," << c.top;
        EXPECT_EQ(s.position[1], c.top) << c.left << "," << c.top;
        // Identical edges agree on (almost) every patch: few records at most.
        EXPECT_LE(n, 2);
        EXPECT_GT(s.score, 0.99f);  // identical blurred maps score 1
        EXPECT_TRUE(s.reference.guardsIntact() && s.ignore.guardsIntact() &&
                    s.camera.guardsIntact() && s.mask.guardsIntact());
    }
}

TEST(FindSuspectedFlaws, RecordsLieAtPlantedFlaws) {
    Scene s(600, 400, 131, 77);
    s.placeKnownFeatures();
    plantFlaws(s);
    const int n = s.run();
    ASSERT_GE(n, 2);
    EXPECT_EQ(s.position[0], 131);
    EXPECT_EQ(s.position[1], 77);
    // Each flaw changes edges within its half-diagonal (about 7 pixels) of
    // its centre, and a record lies on such an edge: one within 8 pixels.
    EXPECT_LE(nearestRecord(s, n, kBite), 8.0);
    EXPECT_LE(nearestRecord(s, n, kBridge), 8.0);
    for (int i = 0; i < n; ++i) {
        const std::int32_t* r = &s.records[6 * i];
        // Nothing else differs: every record belongs to one of the two
        // (half-diagonal 7 plus the shift reach 3 of the scan).
        EXPECT_LE(std::min(distance(r, kBite), distance(r, kBridge)), 10.0) << r[2] << "," << r[3];
        // The reference position is the window position moved by the cut's
        // corner, give or take the shift and cell offsets of the scan.
        EXPECT_NEAR(r[0], r[2] + 131, 5);
        EXPECT_NEAR(r[1], r[3] + 77, 5);
        EXPECT_EQ(r[5], 0);
        EXPECT_LT(r[4], 80);  // agreement below the threshold, times 100
    }
    EXPECT_EQ(s.records[6 * n], -7);  // nothing written past the count
    // Reference edges are marked 128 in the caller's window.
    bool marked = false;
    for (int y = 0; y < 400 && !marked; ++y)
        for (int x = 0; x < 400 && !marked; ++x) marked = s.camera.at(x, y) == 128;
    EXPECT_TRUE(marked);
}

TEST(FindSuspectedFlaws, MissingPadIsFoundFromTheReferenceEdges) {
    // The whole square pad (130..170) is missing from the camera: no camera
    // edge is left there, so only the scan over reference edges can see it;
    // its records of agreement 0 lie on the pad's outline. (The missing pad
    // also pulls the local alignment of its cell, which can add records of
    // an agreement just below the threshold elsewhere in that cell.)
    Scene s(600, 400, 131, 77);
    s.placeKnownFeatures();
    Canvas(s.camera).rect(130, 130, 170, 170, 0);
    const int n = s.run();
    int empty = 0;
    for (int i = 0; i < n; ++i) {
        const std::int32_t* r = &s.records[6 * i];
        if (r[4] != 0) {
            EXPECT_GE(r[4], 70) << r[2] << "," << r[3];
            continue;
        }
        ++empty;  // no camera edge met: agreement 0, on the outline
        EXPECT_TRUE(r[2] >= 128 && r[2] <= 172 && r[3] >= 128 && r[3] <= 172) << r[2] << "," << r[3];
    }
    EXPECT_GE(empty, 1);
}

TEST(FindSuspectedFlaws, ExclusionCodesAndCapacityDropFlaws) {
    // A 2 x 2 spot of code 150 at the bridge's reference place, so that any
    // parity of the exclusion grid meets it: the bridge records go, the
    // bite's stay.
    {
        Scene s(600, 400, 131, 77);
        s.placeKnownFeatures();
        Canvas(s.reference).rect(131 + 260, 77 + 202, 131 + 261, 77 + 203, 150);
        plantFlaws(s);
        s.radius = 12;
        const int n = s.run();
        EXPECT_GT(nearestRecord(s, n, kBridge), 10.0);
        EXPECT_LE(nearestRecord(s, n, kBite), 8.0);
    }
    // Code 151 excludes only when asked.
    for (bool flag : {false, true}) {
        Scene s(600, 400, 131, 77);
        s.placeKnownFeatures();
        Canvas(s.reference).rect(131 + 260, 77 + 202, 131 + 261, 77 + 203, 151);
        plantFlaws(s);
        s.radius = 12;
        s.code151 = flag;
        const int n = s.run();
        if (flag) {
            EXPECT_GT(nearestRecord(s, n, kBridge), 10.0);
        } else {
            EXPECT_LE(nearestRecord(s, n, kBridge), 8.0);
        }
    }
    // Room for one record of six ints, then for none.
    for (int capacity : {11, 5}) {
        Scene s(600, 400, 131, 77);
        s.placeKnownFeatures();
        plantFlaws(s);
        s.records.assign(12, -7);
        const int n = findSuspectedFlaws(
            s.reference.data(), s.ignore.data(), 600, s.reference.stride(), 600, s.camera.data(),
            s.mask.data(), 400, s.camera.stride(), 400, s.grow, s.border, s.threshold, s.position,
            &s.score, s.spacing, s.emptySpacing, 0, false, s.records.data(), capacity, nullptr,
            false, 2);
        EXPECT_EQ(n, capacity / 6);
        EXPECT_EQ(s.records[6 * n], -7);
    }
}

TEST(FindSuspectedFlaws, GatesReturnNothing) {
    // All-zero reference: no usable content. G stays as it was, C is
    // already 0/255, position and score are not written.
    {
        Scene s(600, 400, 131, 77);
        s.reference.fill(0);
        s.ignore.fill(3);
        s.ignore.at(10, 10) = 0;
        s.camera.fill(0);
        Canvas(s.camera).rect(200, 200, 202, 202, 7);  // not a lone pixel
        EXPECT_EQ(s.run(), 0);
        EXPECT_EQ(s.ignore.at(10, 10), 0);
        EXPECT_EQ(s.ignore.at(11, 10), 3);
        EXPECT_EQ(s.camera.at(201, 201), 255);
        EXPECT_EQ(s.position[0], -7);
        EXPECT_EQ(s.score, -7.0f);
        EXPECT_EQ(s.records[0], -7);
    }
    // Reference content hidden entirely by G: the same gate.
    {
        Scene s(600, 400, 131, 77);
        s.ignore.fill(255);
        EXPECT_EQ(s.run(), 0);
        EXPECT_EQ(s.position[0], -7);
    }
    // Camera content only in the border strip of 50 (and a thin frame of
    // the inner rectangle with 30 pixels): too little.
    {
        Scene s(600, 400, 131, 77);
        s.camera.fill(0);
        Canvas(s.camera).rect(0, 0, 399, 49, 255);
        Canvas(s.camera).rect(100, 100, 129, 100, 255);  // 30 inner pixels
        EXPECT_EQ(s.run(), 0);
        EXPECT_EQ(s.position[0], -7);
        Canvas(s.camera).rect(100, 100, 130, 100, 255);  // 31: passes
        s.run();
        EXPECT_NE(s.position[0], -7);
    }
    // Masked camera pixels do not count.
    {
        Scene s(600, 400, 131, 77);
        s.mask.fill(255);
        EXPECT_EQ(s.run(), 0);
    }
}

// Runs a scene and returns everything the call wrote.
std::vector<std::uint8_t> outputsOf(Scene& s) {
    const int n = s.run();
    std::vector<std::uint8_t> out = s.ignore.pixels();
    const auto cam = s.camera.pixels();
    out.insert(out.end(), cam.begin(), cam.end());
    const auto* rec = reinterpret_cast<const std::uint8_t*>(s.records.data());
    out.insert(out.end(), rec, rec + sizeof(std::int32_t) * 6 * (n + 1));
    const auto* pos = reinterpret_cast<const std::uint8_t*>(s.position);
    out.insert(out.end(), pos, pos + sizeof s.position);
    return out;
}

TEST(FindSuspectedFlaws, ArgumentsAreClamped) {
    // Code 152 pixels grow G by `grow`: 0 acts as 1 and 25 as 10, and the
    // growth stays in G for the caller.
    auto withIgnoreLabels = [](int grow) {
        Scene s(600, 400, 131, 77);
        s.placeKnownFeatures();
        plantFlaws(s);
        s.reference.at(300, 300) = 152;
        s.reference.at(391, 279) = 152;  // on the bridge
        s.grow = grow;
        return s;
    };
    {
        Scene a = withIgnoreLabels(0), b = withIgnoreLabels(1), c = withIgnoreLabels(2);
        EXPECT_EQ(outputsOf(a), outputsOf(b));
        EXPECT_NE(outputsOf(b), outputsOf(c));  // the growth is visible at all
        EXPECT_EQ(b.ignore.at(301, 301), 255);  // half-size 1 around (300, 300)
        EXPECT_EQ(b.ignore.at(302, 300), 0);
    }
    {
        Scene a = withIgnoreLabels(25), b = withIgnoreLabels(10);
        EXPECT_EQ(outputsOf(a), outputsOf(b));
        EXPECT_EQ(b.ignore.at(310, 290), 255);
        EXPECT_EQ(b.ignore.at(311, 300), 0);
    }
    // Border 10 acts as 50: a flaw 30 pixels from the window edge is not
    // scanned.
    {
        auto withEdgeFlaw = [](int border) {
            Scene s(600, 400, 131, 77);
            s.placeKnownFeatures();
            plantFlaws(s);
            Canvas(s.camera).rect(25, 200, 34, 209, 255);  // copper in the strip
            s.border = border;
            return s;
        };
        Scene a = withEdgeFlaw(10), b = withEdgeFlaw(50);
        const auto outA = outputsOf(a);
        EXPECT_EQ(outA, outputsOf(b));
        const int n = b.run();
        for (int i = 0; i < n; ++i) EXPECT_GE(b.records[6 * i + 2], 50);
    }
}

TEST(FindSuspectedFlaws, RejectsBadArgumentsWithoutWriting) {
    Scene s(600, 400, 131, 77);
    const auto refBefore = s.reference.pixels();
    const auto ignoreBefore = s.ignore.pixels();
    s.camera.at(5, 5) = 9;  // would become 255 if the call went ahead
    struct Case {
        const char* name;
        int refStride, windowWidth, windowHeight, refHeight, capacity;
        bool nullReference, nullRecords, nullPosition, nullScore;
    } cases[] = {
        {"reference stride below width", 500, 400, 400, 600, 100, false, false, false, false},
        {"window width 0", 608, 0, 400, 600, 100, false, false, false, false},
        {"reference height 0", 608, 400, 400, 0, 100, false, false, false, false},
        {"window height below 1", 608, 400, -3, 600, 100, false, false, false, false},
        {"negative capacity", 608, 400, 400, 600, -1, false, false, false, false},
        {"null reference", 608, 400, 400, 600, 100, true, false, false, false},
        {"null records", 608, 400, 400, 600, 100, false, true, false, false},
        {"null position", 608, 400, 400, 600, 100, false, false, true, false},
        {"null score", 608, 400, 400, 600, 100, false, false, false, true},
    };
    for (const Case& c : cases) {
        const int n = findSuspectedFlaws(
            c.nullReference ? nullptr : s.reference.data(), s.ignore.data(), 600, c.refStride,
            c.refHeight, s.camera.data(), s.mask.data(), c.windowWidth, s.camera.stride(),
            c.windowHeight, 3, 50, 0.8f, c.nullPosition ? nullptr : s.position,
            c.nullScore ? nullptr : &s.score, 10, 50, 0, false,
            c.nullRecords ? nullptr : s.records.data(), c.capacity, s.offsets, false, 2);
        EXPECT_EQ(n, 0) << c.name;
        EXPECT_EQ(std::string(getLastError()).rfind("findSuspectedFlaws: ", 0), 0u) << c.name;
        EXPECT_EQ(s.camera.at(5, 5), 9) << c.name;
        EXPECT_EQ(s.records[0], -7) << c.name;
        EXPECT_EQ(s.position[0], -7) << c.name;
        EXPECT_EQ(s.offsets[0], 0) << c.name;
        EXPECT_EQ(s.reference.pixels(), refBefore);
        EXPECT_EQ(s.ignore.pixels(), ignoreBefore);
    }
    // Offsets out may be null.
    const int n = findSuspectedFlaws(s.reference.data(), s.ignore.data(), 600,
                                     s.reference.stride(), 600, s.camera.data(), s.mask.data(),
                                     400, s.camera.stride(), 400, 3, 50, 0.8f, s.position,
                                     &s.score, 10, 50, 0, false, s.records.data(), 60, nullptr,
                                     false, 2);
    EXPECT_GE(n, 0);
    EXPECT_EQ(s.position[0], 131);
}

}  // namespace
}  // namespace pcbinspect::testing
