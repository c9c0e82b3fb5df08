// The export inspect end to end on the synthetic defect board: which planted
// defects get a record of their family near them (and exactly which record),
// which are passed over, and that the clean board gives none.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <tuple>
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

// A record's fields in order: code, score, reference and camera position,
// region class.
using Fields = std::array<int, 7>;
Fields fields(const FlawRecord& f) { return {f.code, f.score, f.refX, f.refY, f.camX, f.camY, f.region}; }

// The family of the code each planted defect is reported with, and the
// record exactly. A widened line and a bulge that narrows the gap between
// two lines are excess copper on a line: the excess check of the patch
// classification answers before the width and spacing stages are
// consulted. A pad grown beyond its radius is excess copper around it for
// the same reason. A plugged hole is the hole pass's to find (below).
struct Detected {
    DefectKind kind;
    FlawFamily family;
    Fields record;
};
const Detected kDetected[] = {
    {DefectKind::OpenLine, FlawFamily::Open, {1, 0, 80, 80, 80, 80, 2}},
    {DefectKind::ShortBetweenLines, FlawFamily::Short, {2, 0, 240, 80, 240, 80, -1}},
    {DefectKind::MissingCopper, FlawFamily::Missing, {18, 1500, 393, 64, 393, 64, 0}},
    {DefectKind::ExtraCopper, FlawFamily::Excess, {19, 1550, 605, 73, 605, 73, -1}},
    {DefectKind::PinHole, FlawFamily::Void, {4, 600, 720, 80, 720, 80, 0}},
    {DefectKind::NarrowedLine, FlawFamily::Width, {221, 58, 880, 80, 880, 80, 2}},
    {DefectKind::WidenedLine, FlawFamily::Width, {220, 88, 1040, 80, 1040, 80, 2}},
    {DefectKind::ReducedSpacing, FlawFamily::Excess, {19, 800, 1186, 79, 1186, 79, -1}},
    {DefectKind::PadTooLarge, FlawFamily::Excess, {8, 600, 78, 265, 78, 265, 3}},
    {DefectKind::PadTooSmall, FlawFamily::Pad, {9, 581, 250, 230, 250, 230, 3}},
    {DefectKind::HoleTooLarge, FlawFamily::Hole, {1401, 61, 560, 240, 560, 240, 0}},
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
        SCOPED_TRACE(testing::defectName(want.kind));
        const int i = indexOf(b, want.kind);
        ASSERT_GE(i, 0);
        const PlantedDefect& d = b.defects[static_cast<std::size_t>(i)];
        const BoardInspection r = testing::inspectBoard(b, {b.candidates[static_cast<std::size_t>(i)]}, 0, false);
        ASSERT_EQ(r.count, 1);
        const FlawRecord& f = r.records[0];
        EXPECT_TRUE(onDefect(f, d, want.family)) << "code " << f.code << " at " << f.camX << ", "
                                                 << f.camY << ", " << cameraDistance(f, d) << " off";
        // Reference and camera coincide on this board.
        EXPECT_EQ(fields(f), want.record);
    }
}

// The hole pass finds the plugged hole by its 154 pixels closed in the camera.
TEST(InspectBoard, PluggedHoleIsFoundByTheHolePass) {
    const DefectBoard b = testing::buildDefectBoard();
    const PlantedDefect& d = b.defects[static_cast<std::size_t>(indexOf(b, DefectKind::HolePlugged))];
    const BoardInspection r = testing::inspectBoard(b, {}, 0, true);
    ASSERT_EQ(r.count, 1);
    EXPECT_EQ(fields(r.records[0]), (Fields{12, 0, d.refX, d.refY, d.camX, d.camY, 0}));  // its centre exactly
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

// All candidates and the hole pass in one call: every detected defect is
// found once, in the order of the candidates, then the plugged hole.
TEST(InspectBoard, WholeBoardRecordsLieOnTheirDefects) {
    const DefectBoard b = testing::buildDefectBoard();
    const BoardInspection r = testing::inspectBoard(b, b.candidates, 0, true);
    std::vector<Fields> want, got;
    for (const Detected& d : kDetected) want.push_back(d.record);
    want.push_back({12, 0, 400, 240, 400, 240, 0});
    for (const FlawRecord& f : r.records) got.push_back(fields(f));
    EXPECT_EQ(got, want);
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
        Fields moved = fields(a.records[i]);
        moved[4] -= 6;
        moved[5] += 4;
        EXPECT_EQ(fields(s.records[i]), moved) << i;
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
    // The centre of the cross and the end of an arm; a single line, a
    // drilled pad's copper and its hole.
    const std::vector<std::uint8_t>& c = r.correctedReference;
    EXPECT_EQ(std::tuple(at(c, 160, 640), at(c, 40, 640), at(c, 1040, 240), at(c, 740, 240), at(c, 720, 240)),
              std::tuple(255, 255, 170, 180, 154));
}

}  // namespace
}  // namespace pcbinspect
