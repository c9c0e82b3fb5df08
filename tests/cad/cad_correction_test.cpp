// The two in-place corrections of the CAD reference, through the exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "boards/images.h"
#include "cad/cad_correction.h"
#include "pcbinspect/exports.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::GuardedImage;
using Fix = void (*)(std::uint8_t*, std::int32_t, std::int32_t, std::int32_t);

constexpr std::uint8_t kLine = 170, kMark = 255, kPad1 = 160, kPad3 = 180;

// A plus of 170 with 20-pixel-wide arms about (cx, cy), arm ends 160 pixels
// from the centre: four ends far apart at half resolution.
void drawCross(const Canvas& c, int cx, int cy) {
    c.rect(cx - 160, cy - 10, cx + 159, cy + 9, kLine);
    c.rect(cx - 10, cy - 160, cx + 9, cy + 159, kLine);
}

TEST(CadCorrections, RelabelWholeNetworksAndAbsorbIntoPads) {
    struct Probe { int x0, y0, x1, y1; std::uint8_t value; };  // an inclusive rectangle
    const struct {
        Fix fix;
        int w, h;
        int to;  // what every 170 becomes while every other label stays; -1: probes only
        void (*draw)(const Canvas&);
        std::vector<Probe> probes;
    } scenes[] = {
        // A wide cross is repainted whole; other labels never change.
        {correctInvalidLines, 400, 400, kMark, [](const Canvas& c) {
             drawCross(c, 200, 200);
             c.rect(20, 20, 40, 40, kPad1), c.rect(340, 340, 380, 380, kPad3), c.rect(20, 340, 30, 350, 7);
         }, {}},
        // A bar (two ends) and a T (three ends) keep their label.
        {correctInvalidLines, 400, 400, kLine, [](const Canvas& c) {
             c.rect(40, 30, 360, 49, kLine), c.rect(40, 200, 360, 219, kLine), c.rect(190, 220, 209, 380, kLine);
         }, {}},
        // The cross's arms stay joined at full resolution, but every 2 x 2 block
        // where they meet holds another label: at half resolution they are
        // three bars, none with four ends.
        {correctInvalidLines, 400, 400, kLine, [](const Canvas& c) {
             drawCross(c, 200, 200);
             for (int y = 190; y <= 208; y += 2) c.set(189, y, 3), c.set(210, y, 3);
         }, {}},
        // Thin lines are peeled away: one attached to a wide cross is repainted
        // with it, one alone stays.
        {correctInvalidLines, 400, 440, -1, [](const Canvas& c) {
             drawCross(c, 200, 200);
             c.rect(209, 60, 300, 63, kLine), c.rect(20, 400, 380, 403, kLine);
         }, {{280, 61, 280, 61, kMark}, {200, 200, 200, 200, kMark}, {200, 401, 200, 401, kLine}}},
        // A T with a stub whose end lies within 50 half pixels of the T's left
        // end: three ends count. The same stub in the middle of the bar (the
        // second T, 400 rows down) is a fourth end.
        {correctInvalidLines, 400, 800, -1, [](const Canvas& c) {
             for (int y : {0, 400}) c.rect(40, y + 190, 360, y + 209, kLine), c.rect(190, y + 210, 209, y + 360, kLine);
             c.rect(60, 120, 79, 189, kLine), c.rect(230, 520, 249, 589, kLine);
         }, {{200, 200, 200, 200, kLine}, {200, 600, 200, 600, kMark}}},
        // Half coordinates beyond 32767.
        {correctInvalidLines, 70000, 400, -1, [](const Canvas& c) { drawCross(c, 69000, 200); },
         {{69000, 200, 69000, 200, kMark}, {68850, 195, 68850, 195, kMark}}},
        // A 160 L boxes 10..50 x 10..50; of a 170 line through the box and
        // beyond only the part inside turns 160, and the rest starts no region.
        {correctCAD, 100, 80, -1, [](const Canvas& c) {
             c.rect(10, 10, 14, 50, kPad1), c.rect(10, 46, 50, 50, kPad1), c.rect(20, 30, 90, 32, kLine);
         }, {{20, 30, 50, 32, kPad1}, {51, 30, 90, 32, kLine}, {30, 20, 30, 20, 0}}},
        // A round pad absorbs only inside its circle, not in the corners of its box.
        {correctCAD, 120, 120, -1, [](const Canvas& c) {
             c.disc(60, 60, 20, kPad3);
             c.rect(58, 58, 62, 62, kLine), c.rect(40, 40, 42, 42, kLine), c.rect(78, 78, 80, 80, kLine);
         }, {{58, 58, 62, 62, kPad3}, {40, 40, 42, 42, kLine}, {78, 78, 80, 80, kLine}}},
        // An elongated pad absorbs its whole box, nothing beside it.
        {correctCAD, 120, 60, -1, [](const Canvas& c) {
             c.rect(20, 20, 90, 36, kPad3), c.rect(25, 24, 60, 30, kLine), c.set(22, 22, kLine);
             c.rect(91, 25, 100, 25, kLine);
         }, {{20, 20, 90, 36, kPad3}, {91, 25, 100, 25, kLine}}},
        // Overlapping boxes, 160 (10..50 x 10..50) and 180 (30..100 x 30..44):
        // the pad met first in row order wins.
        {correctCAD, 120, 80, -1, [](const Canvas& c) {
             c.rect(10, 10, 14, 50, kPad1), c.rect(10, 46, 50, 50, kPad1), c.rect(30, 30, 100, 44, kPad3);
             c.rect(32, 32, 70, 42, kLine);
         }, {{32, 32, 50, 42, kPad1}, {51, 32, 70, 42, kPad3}}},
        // Coordinates beyond 32767.
        {correctCAD, 40000, 8, -1, [](const Canvas& c) {
             c.rect(35000, 1, 35010, 1, kPad1), c.rect(35000, 1, 35000, 5, kPad1);
             c.set(35005, 4, kLine), c.set(35011, 4, kLine);
         }, {{35005, 4, 35005, 4, kPad1}, {35011, 4, 35011, 4, kLine}}},
    };
    for (const auto& s : scenes) {
        GuardedImage img(s.w, s.h, s.w + 3);
        img.fill(0);
        s.draw(Canvas(img));
        const GuardedImage before = img;
        s.fix(img.data(), s.w, img.stride(), s.h);
        const int i = static_cast<int>(&s - scenes);
        ASSERT_TRUE(img.guardsIntact()) << i;
        for (int y = 0; s.to >= 0 && y < s.h; ++y)
            for (int x = 0; x < s.w; ++x)
                ASSERT_EQ(img.at(x, y), before.at(x, y) == kLine ? s.to : before.at(x, y)) << i << ": " << x << "," << y;
        for (const Probe& p : s.probes)
            for (int y = p.y0; y <= p.y1; ++y)
                for (int x = p.x0; x <= p.x1; ++x) ASSERT_EQ(img.at(x, y), p.value) << i << ": " << x << "," << y;
    }
}

// With more than one thread, pads measured ahead (and measured again where a
// repaint reached their rays), alone and beside the line networks' search,
// against one thread, on crowded boards where repainted networks and
// absorbed lines reach the rays of round pads met later. The calls ask for
// two threads; where the process has one, the same steps run on it.
TEST(CadCorrections, PadsMeasuredAheadMatchOneThread) {
    std::mt19937 rng(2026);
    auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int scene = 0; scene < 60; ++scene) {
        const int w = uniform(200, 420), h = uniform(160, 360);
        GuardedImage img(w, h, w + uniform(0, 9));
        img.fill(0);
        const Canvas c(img);
        for (int i = uniform(1, 3); i > 0; --i) {
            const int cx = uniform(0, w), cy = uniform(0, h);
            drawCross(c, cx, cy);
            // Round pads just beside the arms: their rays cross repainted pixels.
            for (int k = 0; k < 4; ++k) {
                const int r = uniform(3, 12), along = uniform(-150, 150);
                const int across = (uniform(0, 1) ? 1 : -1) * (10 + r + uniform(1, 4));
                const int px = k % 2 ? cx + along : cx + across, py = k % 2 ? cy + across : cy + along;
                c.disc(px, py, r, kPad3);
                // A line from the pad away from the arm: how much of it the
                // pad absorbs depends on the measured circle.
                const int reach = across > 0 ? r + 6 : -r - 6;
                if (k % 2)
                    c.rect(px - 1, std::min(py, py + reach), px + 1, std::max(py, py + reach), kLine);
                else
                    c.rect(std::min(px, px + reach), py - 1, std::max(px, px + reach), py + 1, kLine);
            }
        }
        for (int i = uniform(20, 90); i > 0; --i) {
            const int x = uniform(0, w - 1), y = uniform(0, h - 1);
            switch (uniform(0, 5) % 4) {
                case 0: c.disc(x, y, uniform(3, 14), kPad3); break;
                case 1: c.rect(x, y, x + uniform(2, 20), y + uniform(2, 20), uniform(0, 1) ? kPad1 : kPad3); break;
                case 2: c.rect(x, y, x + uniform(10, 160), y + uniform(1, 4), kLine); break;
                default: c.rect(x, y, x + uniform(1, 4), y + uniform(10, 160), kLine); break;
            }
        }
        GuardedImage serial = img, ahead = img;
        const auto view = [&](GuardedImage& i) { return GrayView{i.data(), w, i.stride(), h}; };
        correctInvalidLinesIn(view(serial));
        correctPadsIn(view(serial), 1);
        correctReferenceIn(view(img), 2);
        ASSERT_EQ(img.pixels(), serial.pixels()) << scene;
        correctInvalidLinesIn(view(ahead));
        correctPadsIn(view(ahead), 2);
        ASSERT_EQ(ahead.pixels(), serial.pixels()) << scene;
        ASSERT_TRUE(img.guardsIntact()) << scene;
    }
}

TEST(CadCorrections, LeaveReferencesWithoutTheirLabelsAndRejectBadArguments) {
    for (Fix fix : {correctInvalidLines, correctCAD}) {  // random labels below 170 (160 for pads)
        GuardedImage img(120, 90, 128);
        img.fillRandom(fix == correctCAD ? 9 : 5, 0, fix == correctCAD ? 159 : 169);
        const auto before = img.pixels();
        fix(img.data(), 120, 128, 90);
        EXPECT_EQ(img.pixels(), before);
    }
    GuardedImage img(10, 10, 12);
    img.fill(kLine);
    const auto original = img.pixels();
    const struct { Fix fix; std::uint8_t* image; int w, s, h; const char* message; } cases[] = {
        {correctCAD, nullptr, 10, 12, 10, "correctCAD: image pixels are null"},
        {correctCAD, img.data(), 10, 9, 10, "correctCAD: image stride 9 is below its width 10"},
        {correctCAD, img.data(), 10, 12, 0, "correctCAD: image height 0 is below 1"},
        {correctInvalidLines, img.data(), -1, 12, 10, "correctInvalidLines: image width -1 is below 1"},
        {correctInvalidLines, nullptr, 10, 12, 10, "correctInvalidLines: image pixels are null"},
    };
    for (const auto& c : cases) {
        c.fix(c.image, c.w, c.s, c.h);
        EXPECT_STREQ(getLastError(), c.message);
    }
    EXPECT_EQ(img.pixels(), original);
    EXPECT_TRUE(img.guardsIntact());
    correctInvalidLines(img.data(), 10, 12, 1);  // one row: nothing to halve, nothing changes
    EXPECT_EQ(img.pixels(), original);
}

}  // namespace
}  // namespace pcbinspect
