// The two in-place corrections of the CAD reference, through the exports.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "pcbinspect/exports.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Canvas;
using testing::GuardedImage;

constexpr std::uint8_t kLine = 170, kMark = 255, kPad1 = 160, kPad3 = 180;

// A plus of 170 with 20-pixel-wide arms about (cx, cy), arm ends 160 pixels
// from the centre: four ends far apart at half resolution.
void drawCross(const Canvas& c, int cx, int cy) {
    c.rect(cx - 160, cy - 10, cx + 159, cy + 9, kLine);
    c.rect(cx - 10, cy - 160, cx + 9, cy + 159, kLine);
}

// Every pixel that was `from` is now `to`, every other pixel is unchanged.
void expectOnlyRelabelled(const GuardedImage& before, const GuardedImage& after,
                          std::uint8_t from, std::uint8_t to) {
    ASSERT_TRUE(after.guardsIntact());
    for (int y = 0; y < before.height(); ++y)
        for (int x = 0; x < before.width(); ++x) {
            const std::uint8_t b = before.at(x, y);
            ASSERT_EQ(after.at(x, y), b == from ? to : b) << x << "," << y;
        }
}

void invalidLines(GuardedImage& img) {
    correctInvalidLines(img.data(), img.width(), img.stride(), img.height());
}
void pads(GuardedImage& img) { correctCAD(img.data(), img.width(), img.stride(), img.height()); }

TEST(CorrectInvalidLines, LeavesAReferenceWithoutLabel170) {
    GuardedImage img(120, 90, 128);
    img.fillRandom(5, 0, 169);
    const GuardedImage before = img;
    invalidLines(img);
    expectOnlyRelabelled(before, img, 0, 0);
}

TEST(CorrectInvalidLines, RepaintsAWideCrossWhole) {
    GuardedImage img(400, 400, 410);
    img.fill(0);
    const Canvas c(img);
    drawCross(c, 200, 200);
    c.rect(20, 20, 40, 40, kPad1);  // other labels never change
    c.rect(340, 340, 380, 380, kPad3);
    c.rect(20, 340, 30, 350, 7);
    const GuardedImage before = img;
    invalidLines(img);
    expectOnlyRelabelled(before, img, kLine, kMark);
}

TEST(CorrectInvalidLines, BarsAndTeesKeepTheirLabel) {
    GuardedImage img(400, 400);
    img.fill(0);
    const Canvas c(img);
    c.rect(40, 30, 360, 49, kLine);                                 // a bar: two ends
    c.rect(40, 200, 360, 219, kLine), c.rect(190, 220, 209, 380, kLine);  // a T: three ends
    const GuardedImage before = img;
    invalidLines(img);
    expectOnlyRelabelled(before, img, 0, 0);
}

TEST(CorrectInvalidLines, ThinLinesGoWithTheirWideNetworkOnly) {
    GuardedImage img(400, 440);
    img.fill(0);
    const Canvas c(img);
    drawCross(c, 200, 200);
    c.rect(209, 60, 300, 63, kLine);   // 4 pixels wide, attached to the cross
    c.rect(20, 400, 380, 403, kLine);  // 4 pixels wide, alone
    invalidLines(img);
    EXPECT_EQ(img.at(280, 61), kMark);  // repainted with the cross
    EXPECT_EQ(img.at(200, 200), kMark);
    EXPECT_EQ(img.at(200, 401), kLine);  // peeled away, never repainted
}

TEST(CorrectInvalidLines, EndsCloseToAListedEndCountOnce) {
    // A T (three far ends) with a stub rising near its left end: the stub's
    // end lies within 50 half pixels of the left end, so only three ends
    // count. Moved to the middle of the bar, the stub is a fourth end.
    auto network = [](int stubX) {
        GuardedImage img(400, 400);
        img.fill(0);
        const Canvas c(img);
        c.rect(40, 190, 360, 209, kLine);
        c.rect(190, 210, 209, 360, kLine);
        c.rect(stubX, 120, stubX + 19, 189, kLine);
        invalidLines(img);
        return img.at(200, 200);
    };
    EXPECT_EQ(network(60), kLine);
    EXPECT_EQ(network(230), kMark);
}

TEST(CorrectInvalidLines, HalfPixelsNeedAllFourReferencePixels) {
    // The cross's left and right arms stay joined to its centre at full
    // resolution, but every 2 x 2 block where they meet holds a pixel of
    // another label: at half resolution they are three separate bars, none
    // with four ends.
    GuardedImage img(400, 400);
    img.fill(0);
    const Canvas c(img);
    drawCross(c, 200, 200);
    for (int y = 190; y <= 208; y += 2) {
        c.set(189, y, 3);
        c.set(210, y, 3);
    }
    const GuardedImage before = img;
    invalidLines(img);
    expectOnlyRelabelled(before, img, 0, 0);
}

TEST(CorrectInvalidLines, HandlesReferencesWiderThan65534) {
    // Half coordinates beyond 32767.
    GuardedImage img(70000, 400, 70000, 16);
    img.fill(0);
    drawCross(Canvas(img), 69000, 200);
    invalidLines(img);
    EXPECT_EQ(img.at(69000, 200), kMark);
    EXPECT_EQ(img.at(68850, 195), kMark);
    EXPECT_TRUE(img.guardsIntact());
}

TEST(CorrectCAD, LeavesAReferenceWithoutPads) {
    GuardedImage img(100, 80, 101);
    img.fillRandom(9, 0, 159);
    const GuardedImage before = img;
    pads(img);
    expectOnlyRelabelled(before, img, 0, 0);
}

TEST(CorrectCAD, Class1PadsAbsorb170InTheirBox) {
    GuardedImage img(100, 80, 104);
    img.fill(0);
    const Canvas c(img);
    // An L of 160 boxes 10..50 x 10..50; a 170 line runs through the box
    // and beyond it. Only the part inside the box turns 160, and the part
    // outside does not start a region of its own.
    c.rect(10, 10, 14, 50, kPad1);
    c.rect(10, 46, 50, 50, kPad1);
    c.rect(20, 30, 90, 32, kLine);
    pads(img);
    EXPECT_EQ(img.at(20, 30), kPad1);
    EXPECT_EQ(img.at(50, 32), kPad1);
    EXPECT_EQ(img.at(51, 31), kLine);
    EXPECT_EQ(img.at(90, 32), kLine);
    EXPECT_EQ(img.at(30, 20), 0);
    EXPECT_TRUE(img.guardsIntact());
}

TEST(CorrectCAD, RoundPadsAbsorbOnlyInsideTheirCircle) {
    GuardedImage img(120, 120, 128);
    img.fill(0);
    const Canvas c(img);
    c.disc(60, 60, 20, kPad3);
    c.rect(58, 58, 62, 62, kLine);  // inside the pad
    c.rect(40, 40, 42, 42, kLine);  // in the corners of its box
    c.rect(78, 78, 80, 80, kLine);
    pads(img);
    EXPECT_EQ(img.at(60, 60), kPad3);
    EXPECT_EQ(img.at(58, 62), kPad3);
    EXPECT_EQ(img.at(40, 40), kLine);
    EXPECT_EQ(img.at(42, 42), kLine);
    EXPECT_EQ(img.at(80, 80), kLine);
    EXPECT_TRUE(img.guardsIntact());
}

TEST(CorrectCAD, ElongatedPadsAbsorbTheirWholeBox) {
    GuardedImage img(120, 60);
    img.fill(0);
    const Canvas c(img);
    c.rect(20, 20, 90, 36, kPad3);
    c.rect(25, 24, 60, 30, kLine);  // a hole of 170 inside the pad
    c.rect(22, 22, 22, 22, kLine);
    c.rect(91, 25, 100, 25, kLine);  // outside the box
    pads(img);
    for (int y = 20; y <= 36; ++y)
        for (int x = 20; x <= 90; ++x) ASSERT_EQ(img.at(x, y), kPad3);
    EXPECT_EQ(img.at(91, 25), kLine);
}

TEST(CorrectCAD, TheFirstPadInRowOrderWinsOverlappingBoxes) {
    GuardedImage img(120, 80);
    img.fill(0);
    const Canvas c(img);
    c.rect(10, 10, 14, 50, kPad1);  // 160 L: box 10..50 x 10..50, met first
    c.rect(10, 46, 50, 50, kPad1);
    c.rect(30, 30, 100, 44, kPad3);  // 180 bar: box 30..100 x 30..44
    c.rect(32, 32, 70, 42, kLine);   // a hole of 170 across both boxes
    pads(img);
    EXPECT_EQ(img.at(40, 36), kPad1);  // in both boxes: the 160 pad came first
    EXPECT_EQ(img.at(50, 42), kPad1);
    EXPECT_EQ(img.at(51, 36), kPad3);  // only in the 180 box
    EXPECT_EQ(img.at(70, 42), kPad3);
}

TEST(CorrectCAD, HandlesReferencesWiderThan32767) {
    GuardedImage img(40000, 8);
    img.fill(0);
    const Canvas c(img);
    c.rect(35000, 1, 35010, 1, kPad1);
    c.rect(35000, 1, 35000, 5, kPad1);
    c.set(35005, 4, kLine);
    c.set(35011, 4, kLine);
    pads(img);
    EXPECT_EQ(img.at(35005, 4), kPad1);
    EXPECT_EQ(img.at(35011, 4), kLine);
}

TEST(CadCorrections, RejectBadArgumentsWithoutWriting) {
    GuardedImage img(10, 10, 12);
    img.fill(kLine);
    const auto original = img.pixels();
    correctCAD(nullptr, 10, 12, 10);
    EXPECT_STREQ(getLastError(), "correctCAD: image pixels are null");
    correctCAD(img.data(), 10, 9, 10);
    EXPECT_STREQ(getLastError(), "correctCAD: image stride 9 is below its width 10");
    correctCAD(img.data(), 10, 12, 0);
    EXPECT_STREQ(getLastError(), "correctCAD: image height 0 is below 1");
    correctInvalidLines(img.data(), -1, 12, 10);
    EXPECT_STREQ(getLastError(), "correctInvalidLines: image width -1 is below 1");
    correctInvalidLines(nullptr, 10, 12, 10);
    EXPECT_STREQ(getLastError(), "correctInvalidLines: image pixels are null");
    EXPECT_EQ(img.pixels(), original);
    EXPECT_TRUE(img.guardsIntact());
    // One pixel high: nothing to halve, nothing changes.
    GuardedImage line(50, 1);
    line.fill(kLine);
    invalidLines(line);
    EXPECT_EQ(line.pixels(), std::vector<std::uint8_t>(50, kLine));
}

}  // namespace
}  // namespace pcbinspect
