// Direction of the line through the set pixels around a point.
#include <gtest/gtest.h>

#include "inspect/window_checks.h"
#include "boards/images.h"

namespace pcbinspect {
namespace {

using testing::Square;

TEST(LineDirection, AngleOfStraightLines) {
    // y = x: slope 1, atan(1) = pi / 4; converted with 3.14159 instead of pi
    // the angle is 45 * pi / 3.14159 = 45.000038 (pi would give 45 exactly).
    Square diag(kWindowSide);
    for (int i = 0; i < kWindowSide; ++i) diag.at(i, i) = 255;
    float angle = 0.0f;
    ASSERT_TRUE(LineDirection(diag.data(), 60, 60, &angle));
    EXPECT_NEAR(angle, 45.000038f, 1e-5f);

    Square flat(kWindowSide);
    flat.rect(0, 30, 119, 30, 9);
    ASSERT_TRUE(LineDirection(flat.data(), 60, 35, &angle));
    EXPECT_NEAR(angle, 0.0f, 1e-6f);

    // y = -x + 120: slope -1.
    Square rising(kWindowSide);
    for (int i = 1; i < kWindowSide; ++i) rising.at(i, 120 - i) = 255;
    ASSERT_TRUE(LineDirection(rising.data(), 60, 60, &angle));
    EXPECT_NEAR(angle, -45.000038f, 1e-5f);
}

TEST(LineDirection, NeedsTwentyOnePoints) {
    // A vertical segment inside the 41 x 41 square: 20 pixels fail, 21 pass.
    Square w(kWindowSide);
    w.rect(60, 41, 60, 60, 255);
    float angle = 123.0f;
    EXPECT_FALSE(LineDirection(w.data(), 60, 60, &angle));
    EXPECT_EQ(angle, 123.0f);
    w.at(60, 61) = 255;
    EXPECT_TRUE(LineDirection(w.data(), 60, 60, &angle));
    // A vertical fit has the slope 2^23: the angle is just below 90 * pi /
    // 3.14159 = 90.000076.
    EXPECT_NEAR(angle, 90.000076f, 1e-5f);
    // Pixels beyond 20 rows do not count.
    Square far(kWindowSide);
    far.rect(60, 19, 60, 39, 255);  // rows 19..39: the square starts at row 40
    EXPECT_FALSE(LineDirection(far.data(), 60, 60, &angle));
}

TEST(LineDirection, ScatteredPixelsAreNoLine) {
    // Two crossing diagonals: no straight line fits within 1.2 pixels.
    Square x(kWindowSide);
    for (int i = 0; i < kWindowSide; ++i) {
        x.at(i, i) = 255;
        x.at(119 - i, i) = 255;
    }
    float angle = 0.0f;
    EXPECT_FALSE(LineDirection(x.data(), 60, 60, &angle));
}

}  // namespace
}  // namespace pcbinspect
