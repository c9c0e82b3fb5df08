// The export inspect end to end on the synthetic defect board: which planted
// defects get a record of their family near them, which are passed over,
// and that the clean board gives none.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "pcbinspect/exports.h"
#include "boards/defect_board.h"

namespace pcbinspect {
namespace {

using testing::BoardInspection;
using testing::BoardOptions;
using testing::DefectBoard;
using testing::DefectKind;
using testing::FlawFamily;
using testing::PlantedDefect;

// A record lies on a defect when it is within the defect's extent plus this
// many pixels of its centre, in camera coordinates.
constexpr double kSlack = 4.0;

double cameraDistance(const FlawRecord& r, const PlantedDefect& d) {
    return std::hypot(r.camX - d.camX, r.camY - d.camY);
}

bool onDefect(const FlawRecord& r, const PlantedDefect& d, FlawFamily family) {
    return testing::codeInFamily(r.code, family) && cameraDistance(r, d) <= d.extent + kSlack;
}

int indexOf(const DefectBoard& b, DefectKind kind) {
    for (std::size_t i = 0; i < b.defects.size(); ++i)
        if (b.defects[i].kind == kind) return static_cast<int>(i);
    return -1;
}

// The family of the code each planted defect is reported with. A widened
// line and a bulge that narrows the gap between two lines are excess copper
// on a line: the excess check of the patch classification answers before
// the width and spacing stages are consulted. A pad grown beyond its radius
// is excess copper around it for the same reason.
struct Detected {
    DefectKind kind;
    FlawFamily family;
};
const Detected kDetected[] = {
    {DefectKind::OpenLine, FlawFamily::Open},
    {DefectKind::ShortBetweenLines, FlawFamily::Short},
    {DefectKind::MissingCopper, FlawFamily::Missing},
    {DefectKind::ExtraCopper, FlawFamily::Excess},
    {DefectKind::PinHole, FlawFamily::Void},
    {DefectKind::NarrowedLine, FlawFamily::Width},
    {DefectKind::WidenedLine, FlawFamily::Width},
    {DefectKind::ReducedSpacing, FlawFamily::Excess},
    {DefectKind::PadTooLarge, FlawFamily::Excess},
    {DefectKind::PadTooSmall, FlawFamily::Pad},
    {DefectKind::HolePlugged, FlawFamily::Hole},
    {DefectKind::HoleTooLarge, FlawFamily::Hole},
};

TEST(InspectBoard, CleanBoardGivesNoRecord) {
    for (const BoardOptions o : {BoardOptions{false, 0, 0}, BoardOptions{false, 6, -4}}) {
        const DefectBoard b = testing::buildDefectBoard(o);
        const BoardInspection r = testing::inspectBoard(b, b.candidates, 0, true);
        EXPECT_EQ(r.count, 0) << "camera shift " << o.camShiftX << ", " << o.camShiftY;
    }
}

TEST(InspectBoard, DetectedDefectsGetOneRecordOfTheirFamily) {
    const DefectBoard b = testing::buildDefectBoard();
    for (const Detected& want : kDetected) {
        // A plugged hole is the hole pass's to find (below).
        if (want.kind == DefectKind::HolePlugged) continue;
        const int i = indexOf(b, want.kind);
        ASSERT_GE(i, 0);
        const PlantedDefect& d = b.defects[static_cast<std::size_t>(i)];
        const BoardInspection r = testing::inspectBoard(b, {b.candidates[static_cast<std::size_t>(i)]},
                                                        0, false);
        ASSERT_EQ(r.count, 1) << testing::defectName(want.kind);
        const FlawRecord& f = r.records[0];
        EXPECT_TRUE(onDefect(f, d, want.family))
            << testing::defectName(want.kind) << ": code " << f.code << " at " << f.camX << ", "
            << f.camY << ", " << cameraDistance(f, d) << " from the defect";
        // Reference and camera coincide on this board.
        EXPECT_EQ(f.refX, f.camX);
        EXPECT_EQ(f.refY, f.camY);
    }
}

// The hole pass finds the plugged hole by its 154 pixels closed in the camera.
TEST(InspectBoard, PluggedHoleIsFoundByTheHolePass) {
    const DefectBoard b = testing::buildDefectBoard();
    const PlantedDefect& d = b.defects[static_cast<std::size_t>(indexOf(b, DefectKind::HolePlugged))];
    const BoardInspection r = testing::inspectBoard(b, {}, 0, true);
    ASSERT_EQ(r.count, 1);
    EXPECT_EQ(r.records[0].code, 12);
    EXPECT_EQ(r.records[0].refX, d.refX);  // the hole's centre exactly
    EXPECT_EQ(r.records[0].camY, d.camY);
    EXPECT_EQ(r.records[0].region, 0);
}

// Intact drilled holes: candidates on the hole centres and on the pads'
// edges of the clean board give nothing, neither from the verdict chain nor
// from the hole pass (hole interiors are open in the binary reference).
TEST(InspectBoard, IntactDrilledHolesGiveNoRecord) {
    const DefectBoard b = testing::buildDefectBoard(BoardOptions{false});
    std::vector<FlawCandidate> onHoles;
    for (const HoleRecord& h : b.holes) {
        const float x = static_cast<float>(h.x - b.holeOrigin[0]);
        const float y = static_cast<float>(h.y - b.holeOrigin[1]);
        for (const float dx : {0.0f, static_cast<float>(h.radius), static_cast<float>(-h.radius)})
            onHoles.push_back(FlawCandidate{x + dx, y, x + dx, y, 0.0f});
    }
    EXPECT_EQ(testing::inspectBoard(b, onHoles, 0, true).count, 0);
}

// All candidates and the hole pass in one call: every record lies on a
// planted defect of its family and every detected defect is found once.
TEST(InspectBoard, WholeBoardRecordsLieOnTheirDefects) {
    const DefectBoard b = testing::buildDefectBoard();
    const BoardInspection r = testing::inspectBoard(b, b.candidates, 0, true);
    std::vector<int> found(b.defects.size(), 0);
    for (const FlawRecord& f : r.records) {
        bool matched = false;
        for (std::size_t i = 0; i < b.defects.size(); ++i) {
            FlawFamily family = b.defects[i].family;
            for (const Detected& d : kDetected)
                if (d.kind == b.defects[i].kind) family = d.family;
            if (onDefect(f, b.defects[i], family)) {
                ++found[i];
                matched = true;
            }
        }
        EXPECT_TRUE(matched) << "code " << f.code << " at " << f.camX << ", " << f.camY;
    }
    for (const Detected& d : kDetected)
        EXPECT_GE(found[static_cast<std::size_t>(indexOf(b, d.kind))], 1)
            << testing::defectName(d.kind);
}

// A camera displaced against the reference: the candidates carry both
// positions, the hole pass applies camShift, and the verdicts stay the same.
TEST(InspectBoard, ShiftedCameraGivesTheSameVerdicts) {
    const DefectBoard plain = testing::buildDefectBoard();
    const DefectBoard shifted = testing::buildDefectBoard(BoardOptions{true, 6, -4});
    const BoardInspection a = testing::inspectBoard(plain, plain.candidates, 0, true);
    const BoardInspection s = testing::inspectBoard(shifted, shifted.candidates, 0, true);
    ASSERT_EQ(a.count, s.count);
    for (std::size_t i = 0; i < a.records.size(); ++i) {
        EXPECT_EQ(s.records[i].code, a.records[i].code);
        EXPECT_EQ(s.records[i].refX, a.records[i].refX);
        EXPECT_EQ(s.records[i].refY, a.records[i].refY);
        EXPECT_EQ(s.records[i].camX, a.records[i].camX - 6);
        EXPECT_EQ(s.records[i].camY, a.records[i].camY + 4);
    }
}

// A later candidate within the suppression radius of a record is dropped:
// a second candidate 5 pixels from the bridge gives no second record.
TEST(InspectBoard, SuppressionDropsASecondCandidateOnTheSameDefect) {
    const DefectBoard b = testing::buildDefectBoard();
    const int i = indexOf(b, DefectKind::ShortBetweenLines);
    FlawCandidate first = b.candidates[static_cast<std::size_t>(i)], second = first;
    second.refX += 5;
    second.camX += 5;
    EXPECT_EQ(testing::inspectBoard(b, {first, second}, 0, false).count, 2);
    EXPECT_EQ(testing::inspectBoard(b, {first, second}, 10, false).count, 1);
}

// The reference comes back corrected: the wide 170 network is repainted as
// a mark, single lines and pads keep their labels.
TEST(InspectBoard, ReferenceIsCorrectedInPlace) {
    const DefectBoard b = testing::buildDefectBoard(BoardOptions{false});
    const BoardInspection r = testing::inspectBoard(b, {}, 0, false);
    auto at = [&](const std::vector<std::uint8_t>& img, int x, int y) {
        return img[static_cast<std::size_t>(y) * b.width + x];
    };
    EXPECT_EQ(at(b.reference, 160, 640), 170);
    EXPECT_EQ(at(r.correctedReference, 160, 640), 255);   // centre of the cross
    EXPECT_EQ(at(r.correctedReference, 40, 640), 255);    // end of an arm
    EXPECT_EQ(at(r.correctedReference, 1040, 240), 170);  // a single line
    EXPECT_EQ(at(r.correctedReference, 740, 240), 180);   // a drilled pad's copper
    EXPECT_EQ(at(r.correctedReference, 720, 240), 154);   // its hole
}

}  // namespace
}  // namespace pcbinspect
