// Patch classification: one synthetic window pair per verdict.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "inspect/classify_patch.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::Square;

// A candidate's windows: the 120 x 120 pair and the 240 x 240 pair whose
// centre parts show the same content.
struct Patch {
    Square r{120}, c{120}, r240{240}, c240{240};
    std::vector<std::uint8_t> work = std::vector<std::uint8_t>(4 * 120 * 120);
    std::vector<float> params = std::vector<float>(35, 0.0f);

    // Draws on the reference (and its 240 window) or the camera.
    void reference(const std::function<void(const Canvas&)>& draw) { both(r, r240, draw); }
    void camera(const std::function<void(const Canvas&)>& draw) { both(c, c240, draw); }

    PatchVerdict classify(int regionClass, bool nearLine = false, int mx = 0, int my = 0) {
        return ClassifyPatch(work.data(), r.data(), c.data(), r240.data(), c240.data(),
                             regionClass, InspectParams::load(params.data(), 35), mx, my,
                             nearLine);
    }

private:
    static void both(Square& small, Square& large, const std::function<void(const Canvas&)>& draw) {
        draw(Canvas(small));
        // The same shapes, 60 pixels in, on the large window.
        Square shifted(120);
        draw(Canvas(shifted));
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 120; ++x)
                if (shifted.at(x, y)) large.at(x + 60, y + 60) = shifted.at(x, y);
    }
};

TEST(ClassifyPatch, EmptyWindows) {
    Patch p;
    const PatchVerdict v0 = p.classify(0);
    EXPECT_EQ(v0.code, 0);
    EXPECT_EQ(v0.score, 0.0f);
    // Class 2 without any line: width 0, reported as 20 with 0 + 0.01.
    Patch q;
    const PatchVerdict v2 = q.classify(2);
    EXPECT_EQ(v2.code, 20);
    EXPECT_FLOAT_EQ(v2.score, 0.01f);
}

// A vertical reference line across the window, cut in the camera.
Patch openLine() {
    Patch p;
    p.reference([](const Canvas& c) { c.rect(50, 0, 69, 119, 255); });
    p.camera([](const Canvas& c) {
        c.rect(50, 0, 69, 50, 255);
        c.rect(50, 70, 69, 119, 255);
    });
    return p;
}

TEST(ClassifyPatch, AnEdgeRegionThatPersistsIsAnOpen) {
    Patch p = openLine();
    const PatchVerdict v = p.classify(2);
    EXPECT_EQ(v.code, 1);
    ASSERT_TRUE(v.hasOffset);
    EXPECT_EQ(v.dx, 0);  // no farther region found: the centre
    EXPECT_EQ(v.dy, 0);
    // The caller's windows come back cleared at margins widened by 10.
    EXPECT_EQ(p.r.at(60, 5), 0);
    EXPECT_EQ(p.r.at(60, 15), 255);
    Patch q = openLine();
    EXPECT_EQ(q.classify(2, true).code, 99999);
}

// A round reference pad of radius 20 with a trace leaving it (so its width
// map runs from the pad's 20 down to the trace's 3), and a camera pad of
// another radius on the same trace.
Patch pads(double cameraRadius) {
    Patch p;
    p.reference([](const Canvas& c) {
        c.disc(60, 60, 20, 255);
        c.rect(60, 57, 119, 62, 255);
    });
    p.camera([&](const Canvas& c) {
        c.disc(60, 60, cameraRadius, 255);
        c.rect(60, 57, 119, 62, 255);
    });
    return p;
}

TEST(ClassifyPatch, PadRadiusChecks) {
    Patch larger = pads(24);
    larger.params[13] = 0.1f;  // 20 % larger exceeds 10 %
    larger.params[12] = 100.0f;
    const PatchVerdict v = larger.classify(3);
    EXPECT_EQ(v.code, 6);
    EXPECT_NEAR(v.score, 0.2f, 0.03f);
    Patch smaller = pads(17);
    smaller.params[13] = 100.0f;
    smaller.params[12] = 1.0f;
    const PatchVerdict w = smaller.classify(3);
    EXPECT_EQ(w.code, 7);
    EXPECT_NEAR(w.score, -3.0f, 0.5f);  // camera radius minus reference radius
}

// Solid copper in the reference, a closed 5 x 3 hole in the camera.
Patch voided() {
    Patch p;
    p.reference([](const Canvas& c) { c.rect(20, 20, 100, 100, 255); });
    p.camera([](const Canvas& c) {
        c.rect(20, 20, 100, 100, 255);
        c.rect(58, 59, 62, 61, 0);
    });
    return p;
}

TEST(ClassifyPatch, EnclosedVoids) {
    Patch plain = voided();
    plain.params[16] = 3.0f;
    plain.params[26] = 100.0f;
    const PatchVerdict v = plain.classify(0);
    EXPECT_EQ(v.code, 4);
    EXPECT_EQ(v.score, 5.0f);  // the larger side of the 5 x 3 void
    Patch class1 = voided();
    class1.params[16] = 100.0f;
    class1.params[26] = 5.0f;
    const PatchVerdict w = class1.classify(1);
    EXPECT_EQ(w.code, 26);
    EXPECT_EQ(w.score, 5.0f);
}

// A blob jutting 20 rows up from a bar's edge on row 70 (excess), or a bite
// 20 rows deep into a bar whose edge is on row 50 (missing), at the centre.
Patch jut(bool excess) {
    Patch p;
    if (excess) {
        p.reference([](const Canvas& c) { c.rect(0, 70, 119, 109, 255); });
        p.camera([&](const Canvas& c) {
            c.rect(0, 70, 119, 109, 255);
            c.rect(55, 50, 64, 69, 255);
        });
    } else {
        p.reference([](const Canvas& c) { c.rect(0, 50, 119, 109, 255); });
        p.camera([&](const Canvas& c) {
            c.rect(0, 50, 119, 109, 255);
            c.rect(55, 50, 64, 69, 0);
        });
    }
    return p;
}

TEST(ClassifyPatch, ExcessAndMissingByRegionClass) {
    struct Case {
        int regionClass;
        bool excess;
        int excessParam, missingParam;
        int code;
    };
    // After one erosion the blob's outline reaches 17 rows from the
    // reference outline next to it (rows 51..68 against row 69 for the
    // excess, against row 50 for the bite): (17 + 1 + 1) / 2 = 9.5.
    const Case cases[] = {
        {0, true, 14, 15, 19}, {0, false, 14, 15, 18}, {4, true, 33, 34, 190},
        {4, false, 33, 34, 180}, {1, true, 24, 25, 25}, {1, false, 24, 25, 24},
        {3, true, 10, 11, 8},    {3, false, 10, 11, 9},    {-1, true, 14, 15, 19},
    };
    for (const Case& k : cases) {
        Patch p = jut(k.excess);
        for (int i : {10, 11, 12, 13, 14, 15, 24, 25, 33, 34, 27, 28}) p.params[i] = 100.0f;
        p.params[k.excessParam] = 5.0f;
        p.params[k.missingParam] = 5.0f;
        const PatchVerdict v = p.classify(k.regionClass);
        EXPECT_EQ(v.code, k.code) << "class " << k.regionClass << " excess " << k.excess;
        EXPECT_NEAR(v.score, 9.5f, 1.0f);
        EXPECT_TRUE(v.hasOffset);
        // The far side: above the centre for the blob, below it for the bite.
        if (k.excess) {
            EXPECT_LT(v.dy, 0);
        } else {
            EXPECT_GT(v.dy, 0);
        }
    }
}

TEST(ClassifyPatch, Class1WidthChange) {
    // A 20-pixel reference line drawn 30 pixels wide in the camera.
    auto wide = [] {
        Patch p;
        p.reference([](const Canvas& c) { c.rect(0, 50, 119, 69, 255); });
        p.camera([](const Canvas& c) { c.rect(0, 45, 119, 74, 255); });
        for (int i : {24, 25}) p.params[i] = 100.0f;
        return p;
    };
    Patch absolute = wide();
    absolute.params[27] = 3.0f;
    absolute.params[28] = 100.0f;
    const PatchVerdict a = absolute.classify(1);
    EXPECT_EQ(a.code, 28);
    EXPECT_NEAR(a.score, 5.0f, 1.5f);  // half the 10-pixel change
    Patch relative = wide();
    relative.params[27] = 100.0f;
    relative.params[28] = 0.3f;
    const PatchVerdict r = relative.classify(1);
    EXPECT_EQ(r.code, 27);
    EXPECT_NEAR(r.score, 0.5f, 0.15f);  // 5 / 10
}

TEST(ClassifyPatch, FrameCaseAndFallback) {
    // A vertical line right of the centre and a camera stub from it to the
    // left window edge: the difference reaches a margin the reference does
    // not.
    Patch frame;
    frame.reference([](const Canvas& c) { c.rect(62, 0, 80, 119, 255); });
    frame.camera([](const Canvas& c) {
        c.rect(62, 0, 80, 119, 255);
        c.rect(0, 55, 61, 64, 255);
    });
    frame.params[2] = 7.0f;
    const PatchVerdict f = frame.classify(2);
    EXPECT_EQ(f.code, 211);
    EXPECT_EQ(f.score, 7.0f);
    // A class-2 line with a void in the camera: the line width is recorded
    // and reported as code 3.
    Patch hole;
    hole.reference([](const Canvas& c) { c.rect(50, 0, 69, 119, 255); });
    hole.camera([](const Canvas& c) {
        c.rect(50, 0, 69, 119, 255);
        c.rect(58, 58, 62, 62, 0);
    });
    hole.params[4] = 0.1f;
    const PatchVerdict h = hole.classify(2);
    EXPECT_EQ(h.code, 3);
    EXPECT_NEAR(h.score, 20.01f, 2.1f);
}

// An annular reference pad (outer radius 30, hole 15) and a camera pad.
Patch annulus(const std::function<void(const Canvas&)>& cameraHole) {
    Patch p;
    p.reference([](const Canvas& c) {
        c.disc(60, 60, 30, 255);
        c.disc(60, 60, 15, 0);
    });
    p.camera([&](const Canvas& c) {
        c.disc(60, 60, 30, 255);
        cameraHole(c);
    });
    for (int i = 10; i <= 22; ++i) p.params[i] = 100.0f;
    return p;
}

TEST(ClassifyPatch, DrilledHoles) {
    // No hole in the camera: the hole cannot be measured.
    Patch plugged = annulus([](const Canvas&) {});
    const PatchVerdict v = plugged.classify(3);
    EXPECT_EQ(v.code, 11);
    EXPECT_EQ(v.score, 999.0f);
    // The hole drilled 5 pixels off its place.
    Patch off = annulus([](const Canvas& c) { c.disc(65, 60, 15, 0); });
    off.params[17] = 2.0f;
    const PatchVerdict w = off.classify(3);
    EXPECT_EQ(w.code, 10);
    EXPECT_NEAR(w.score, 5.0f, 1.0f);
}

}  // namespace
}  // namespace pcbinspect
