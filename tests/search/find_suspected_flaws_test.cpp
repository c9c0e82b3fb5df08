// findSuspectedFlaws through the public header, on synthetic boards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "pcbinspect/exports.h"
#include "support/board_builder.h"
#include "boards/images.h"

namespace pcbinspect::testing {
namespace {

// The bite taken out of the known square pad and the bridge between the two
// known lines (see Scene::known), in window coordinates; their centres.
struct Point { double x, y; };
constexpr Point kBite{165.0, 149.5}, kBridge{260.5, 202.5};

// One call's buffers: a 600 x 600 reference and ignore map (stride 608), a
// 400 x 400 camera window and mask (stride 404) cut at (left, top) of the
// board, all guarded; the other arguments as members.
struct Scene {
    Board board = syntheticBoard(600, 600, 7);
    GuardedImage reference{600, 600, 608}, ignore{600, 600, 608}, camera{400, 400, 404},
        mask{400, 400, 404};
    int left, top;
    int grow = 3, border = 50, spacing = 10, emptySpacing = 50, radius = 0, mode = 2;
    int capacity = 6 * 200, refStride = 608, refHeight = 600, width = 400, height = 400;
    bool code151 = false, exhaustive = false;
    std::vector<std::int32_t> records = std::vector<std::int32_t>(6 * 200, -7);
    std::int32_t position[2] = {-7, -7}, offsets[50] = {};
    float score = -7.0f;
    enum { kReference = 1, kRecords = 2, kPosition = 4, kScore = 8, kOffsets = 16 };
    int nulls = 0;  // the pointers passed as null

    explicit Scene(int left_ = 131, int top_ = 77) : left(left_), top(top_) {
        copyBoard(board, reference);
        ignore.fill(0);
        mask.fill(0);
        renderCamera(board, left, top, camera);
    }

    int run() {
        auto pass = [&](auto* p, int bit) { return nulls & bit ? nullptr : p; };
        return findSuspectedFlaws(pass(reference.data(), kReference), ignore.data(), 600,
                                  refStride, refHeight, camera.data(), mask.data(), width, 404,
                                  height, grow, border, 0.8f, pass(position, kPosition),
                                  pass(&score, kScore), spacing, emptySpacing, radius, code151,
                                  pass(records.data(), kRecords), capacity,
                                  pass(offsets, kOffsets), exhaustive, mode);
    }
    // Known features in window coordinates: a square pad 41 x 41 centred at
    // (150, 150) and two vertical lines 6 wide with a gap of 10 between them
    // (x 250..255 and 266..271, y 150..280), each on a cleared patch of
    // board 10 pixels wider than itself on every side. With `flaws` the
    // camera loses a bite of the pad's right edge and gains a short between
    // the lines.
    Scene& known(bool flaws = true) {
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
        if (flaws) {
            Canvas(camera).rect(160, 145, 170, 154, 0);    // missing copper on the pad
            Canvas(camera).rect(256, 200, 265, 205, 255);  // short between the lines
        }
        return *this;
    }

    double distance(int i, Point p) const {
        return std::hypot(records[6 * i + 2] - p.x, records[6 * i + 3] - p.y);
    }
    // Nearest distance from p to any of the first n records' window positions.
    double nearest(int n, Point p) const {
        double best = 1e9;
        for (int i = 0; i < n; ++i) best = std::min(best, distance(i, p));
        return best;
    }
};

TEST(FindSuspectedFlaws, FindsTheWindowWhereItWasCut) {
    // An exact camera copy: every alignment pass should land on the cut.
    const struct { int left, top; bool exhaustive; int mode; } cases[] = {
        {131, 77, false, 2}, {131, 77, true, 2}, {90, 140, false, 0}, {170, 60, true, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.left << "," << c.top);
        Scene s(c.left, c.top);
        s.exhaustive = c.exhaustive;
        s.mode = c.mode;
        // The blurred maps agree exactly only at the cut, so the fine search
        // lands on it to the pixel (odd offsets need the one-pixel pass);
        // identical edges agree on (almost) every patch: few records at most.
        EXPECT_LE(s.run(), 2);
        EXPECT_EQ(std::tuple(s.position[0], s.position[1]), std::tuple(c.left, c.top));
        EXPECT_GT(s.score, 0.99f);  // identical blurred maps score 1
        EXPECT_TRUE(s.reference.guardsIntact() && s.ignore.guardsIntact() &&
                    s.camera.guardsIntact() && s.mask.guardsIntact());
    }
}

TEST(FindSuspectedFlaws, RecordsLieAtPlantedFlawsUnlessExcluded) {
    // Without exclusion, then with a 2 x 2 spot of code 150, or of 151 with
    // or without 151 asked to exclude, at the bridge's reference place, so
    // that any parity of the exclusion grid meets it: an excluding spot
    // takes the bridge's records, the bite's stay.
    const struct { std::uint8_t code; int radius; bool code151, excluded; } cases[] = {
        {0, 0, false, false}, {150, 12, false, true}, {151, 12, false, false}, {151, 12, true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.code));
        Scene s;
        s.known();
        s.camera.at(125, 125) = 255;  // a lone pixel in the pad's clearing: noise
        if (c.code) Canvas(s.reference).rect(391, 279, 392, 280, c.code);
        s.radius = c.radius;
        s.code151 = c.code151;
        const int n = s.run();
        EXPECT_EQ(std::tuple(s.position[0], s.position[1]), std::tuple(131, 77));
        // Each flaw changes edges within its half-diagonal (about 7 pixels)
        // of its centre, and a record lies on such an edge: one within 8.
        EXPECT_LE(s.nearest(n, kBite), 8.0);
        EXPECT_TRUE(c.excluded ? s.nearest(n, kBridge) > 10.0 : s.nearest(n, kBridge) <= 8.0);
        for (int i = 0; i < n; ++i) {
            const std::int32_t* r = &s.records[6 * i];
            SCOPED_TRACE(::testing::Message() << r[2] << "," << r[3]);
            // Nothing else differs: every record belongs to one of the two
            // (half-diagonal 7 plus the shift reach 3 of the scan).
            EXPECT_LE(std::min(s.distance(i, kBite), s.distance(i, kBridge)), 10.0);
            // The reference position is the window position moved by the
            // cut's corner, give or take the shift and cell offsets.
            EXPECT_NEAR(r[0], r[2] + 131, 5);
            EXPECT_NEAR(r[1], r[3] + 77, 5);
            EXPECT_LT(r[4], 80);  // agreement below the threshold, times 100
            EXPECT_EQ(r[5], 0);
        }
        EXPECT_EQ(s.records[6 * n], -7);  // nothing written past the count
        EXPECT_EQ(s.camera.at(125, 125), 0);  // dropped from the caller's window
        // Reference edges are marked 128 in the caller's window.
        const auto cam = s.camera.pixels();
        EXPECT_NE(std::find(cam.begin(), cam.end(), 128), cam.end());
    }
    // Room for one record of six ints, then for none.
    for (int capacity : {11, 5}) {
        Scene s;
        s.known().capacity = capacity;
        EXPECT_EQ(s.run(), capacity / 6);
        EXPECT_EQ(s.records[6 * (capacity / 6)], -7);
    }
}

TEST(FindSuspectedFlaws, MissingPadIsFoundFromTheReferenceEdges) {
    // The whole square pad (130..170) is missing from the camera: no camera
    // edge is left there, so only the scan over reference edges can see it;
    // its records of agreement 0 lie on the pad's outline. (The missing pad
    // also pulls the local alignment of its cell, which can add records of
    // an agreement just below the threshold elsewhere in that cell.)
    Scene s;
    Canvas(s.known(false).camera).rect(130, 130, 170, 170, 0);
    const int n = s.run();
    int empty = 0;
    for (int i = 0; i < n; ++i) {
        const std::int32_t* r = &s.records[6 * i];
        SCOPED_TRACE(::testing::Message() << r[2] << "," << r[3]);
        // No camera edge met: agreement 0, on the outline; else at least 70.
        empty += r[4] == 0;
        EXPECT_TRUE(r[4] == 0 ? r[2] >= 128 && r[2] <= 172 && r[3] >= 128 && r[3] <= 172 : r[4] >= 70);
    }
    EXPECT_GE(empty, 1);
}

TEST(FindSuspectedFlaws, GatesReturnNothing) {
    // An all-zero reference has no usable content (G then stays as it was
    // and C, already 0/255, is left binary); reference content hidden
    // entirely by G, camera content masked entirely, or camera content only
    // in the border strip of 50 and 30 pixels of the inner rectangle are too
    // little. Position, score and records are not written.
    const std::function<void(Scene&)> gates[] = {
        [](Scene& s) {
            s.reference.fill(0);
            s.ignore.fill(3);
            s.ignore.at(10, 10) = 0;
            s.camera.fill(0);
            Canvas(s.camera).rect(200, 200, 202, 202, 7);  // not a lone pixel
        },
        [](Scene& s) { s.ignore.fill(255); },
        [](Scene& s) { s.mask.fill(255); },
        [](Scene& s) {
            s.camera.fill(0);
            Canvas(s.camera).rect(0, 0, 399, 49, 255);
            Canvas(s.camera).rect(100, 100, 129, 100, 255);
        },
    };
    for (int i = 0; i < 4; ++i) {
        Scene s;
        gates[i](s);
        EXPECT_EQ(std::tuple(s.run(), s.position[0], s.score, s.records[0]), std::tuple(0, -7, -7.0f, -7)) << i;
        if (i == 0) {
            EXPECT_EQ(std::tuple(s.ignore.at(10, 10), s.ignore.at(11, 10), s.camera.at(201, 201)),
                      std::tuple(0, 3, 255));
        }
        if (i != 3) continue;
        Canvas(s.camera).rect(100, 100, 130, 100, 255);  // 31 inner pixels pass
        s.run();
        EXPECT_NE(s.position[0], -7);
    }
}

TEST(FindSuspectedFlaws, RejectsBadArgumentsWithoutWriting) {
    const std::pair<const char*, void (*)(Scene&)> cases[] = {
        {"reference stride below width", [](Scene& s) { s.refStride = 500; }},
        {"window width 0", [](Scene& s) { s.width = 0; }},
        {"reference height 0", [](Scene& s) { s.refHeight = 0; }},
        {"window height below 1", [](Scene& s) { s.height = -3; }},
        {"negative capacity", [](Scene& s) { s.capacity = -1; }},
        {"null reference", [](Scene& s) { s.nulls = Scene::kReference; }},
        {"null records", [](Scene& s) { s.nulls = Scene::kRecords; }},
        {"null position", [](Scene& s) { s.nulls = Scene::kPosition; }},
        {"null score", [](Scene& s) { s.nulls = Scene::kScore; }},
    };
    for (const auto& [name, change] : cases) {
        SCOPED_TRACE(name);
        Scene s;
        const auto refBefore = s.reference.pixels(), ignoreBefore = s.ignore.pixels();
        s.camera.at(5, 5) = 9;  // would become 255 if the call went ahead
        change(s);
        EXPECT_EQ(std::tuple(s.run(), s.camera.at(5, 5), s.records[0], s.position[0], s.offsets[0]),
                  std::tuple(0, 9, -7, -7, 0));
        EXPECT_EQ(std::string(getLastError()).rfind("findSuspectedFlaws: ", 0), 0u);
        EXPECT_TRUE(s.reference.pixels() == refBefore && s.ignore.pixels() == ignoreBefore);
    }
    // Offsets out may be null.
    Scene s;
    s.nulls = Scene::kOffsets;
    s.capacity = 60;
    EXPECT_GE(s.run(), 0);
    EXPECT_EQ(s.position[0], 131);
}

}  // namespace
}  // namespace pcbinspect::testing
