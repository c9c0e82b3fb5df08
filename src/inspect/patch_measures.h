// Window measures of the patch classification on 120 x 120 windows (stride
// 120). Fills take the caller's stack of 120 x 120 (x, y) pairs.
#pragma once

#include <cstdint>

namespace pcbinspect {

inline constexpr int kPatchSide = 120;
inline constexpr int kPatchArea = kPatchSide * kPatchSide;

// 255 where only the camera is set, 128 where only the reference is set,
// 0 where they agree.
void DifferenceMap(const std::uint8_t* camera, const std::uint8_t* reference, std::uint8_t* out);

// True when the 21 x 21 box around (x, y) lies inside the window and at most
// one of its four sides holds a set pixel: a line ends inside the box.
bool EndsInBox(const std::uint8_t* window, int x, int y);

// Keeps only the region under the first set pixel of the 3 x 3 centre
// (columns outermost), with that pixel's value; clears everything when the
// centre is empty.
void KeepCentralRegion(std::int16_t* stack, std::uint8_t* map);

struct EdgeRegionResult {
    bool persist = false;
    int x = 60, y = 60;
    float measure = 0.0f;
};

// Looks for the camera feature nearest the centre of the camera copy w0 and
// how it sits on the reference copy w1; small stray regions on the way
// leave their extent as the measure. With the class-2 flag it also tells
// whether the feature cuts a reference line (persist). Rewrites both copies.
EdgeRegionResult EdgeRegionCheck(std::int16_t* stack, std::uint8_t* w0, std::uint8_t* w1, int mx,
                                 int my, bool class2);

struct VoidResult {
    bool found = false;
    int width = 0, height = 0;
    bool onlyVoids = true;
};

// Finds voids of the camera copy w0 that the reference r has solid and that
// are enclosed by camera copper, near the centre; fills them in w0. d
// receives the difference map, eroded once.
VoidResult VoidCheck(std::int16_t* stack, std::uint8_t* d, const std::uint8_t* r,
                     std::uint8_t* w0);

struct RidgeResult {
    int value = 0;
    int x = 1, y = 1;
    float distance = 0.0f;
};

// The thickness-map value at the set pixel nearest to (x0, y0), optionally
// climbing to larger values within 5 pixels at a time, then stepping onto a
// single set neighbour.
RidgeResult RidgePeak(const std::uint8_t* s, int x0, int y0, bool climb);

struct RingResult {
    bool ok = false;
    int type = 0;  // 1: the ring's skeleton has one end, 2: it is closed
    int x = 0, y = 0;
};

// Whether the thickness map s of a reference pad is an annular ring around a
// round hole of the reference copy w2 (which is rewritten).
RingResult RingCheck(std::int16_t* stack, const std::uint8_t* s, std::uint8_t* w2);

// out = 255 where a and b differ; difference regions enclosed by b are
// painted into b (255) and marked 64 in out, the others 127.
void FillEnclosed(std::int16_t* stack, std::uint8_t* out, const std::uint8_t* a, std::uint8_t* b);

}  // namespace pcbinspect
