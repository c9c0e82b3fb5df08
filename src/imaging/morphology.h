// Growing and shrinking of working masks, and the small 2 x 2 steps of the
// 120 x 120 windows.
#pragma once

#include <cstdint>
#include <vector>

#include "boundary/image_view.h"

namespace pcbinspect {

// Scratch of the step-wise morphology, reused across calls so that repeated
// steps on working masks allocate nothing.
struct MorphologyScratch {
    struct Entry {
        int x, y, value;
    };
    std::vector<Entry> current, next;
    std::vector<std::int32_t> spans;  // work list of span fills on the same masks
};

// Grows the set pixels by `steps` 4-connected steps. In the first step each
// zero pixel with a set 4-neighbour (first of below, left, right, above)
// takes `value`, or that neighbour's value when `value` is negative, all
// decided on the unchanged image; each later step grows from the pixels set
// by the step before. A step lists at most width * height (first) or
// width * height / 2 (later) pixels; beyond that pixels stay unchanged.
// Returns how many pixels were set.
int DilateSteps(MorphologyScratch& scratch, GrayView image, int steps, int value);

// Shrinks the set pixels by `steps` steps: the first clears every set pixel
// with fewer than four 4-neighbours of its own value inside the image, each
// later step the set 4-neighbours of the pixels cleared before (with the same
// list bounds as DilateSteps). Returns how many pixels were cleared.
int ErodeSteps(MorphologyScratch& scratch, GrayView image, int steps);

// Takes `steps` more steps of the DilateSteps (or ErodeSteps) call that last
// used `scratch`, on the image it left: the image becomes what that call
// would have made with `steps` more steps. Returns how many pixels changed.
int DilateMoreSteps(MorphologyScratch& scratch, GrayView image, int steps);
int ErodeMoreSteps(MorphologyScratch& scratch, GrayView image, int steps);

// Pixels of value 255 in a 120 x 120 window with fewer than four 4-neighbours
// inside the window of value 255.
int CountBorderPixels(const std::uint8_t* window);

// 2 x 2 erosion of a 120 x 120 window: a pixel stays only when it and its
// upper, left and upper-left neighbours are set; row 0 and column 0 clear.
void ErodeQuad(std::uint8_t* window);

// 2 x 2 dilation of a 120 x 120 window: zero pixels take the value below,
// then the value to the right; row 119 and column 119 never change.
void DilateQuad(std::uint8_t* window);

}  // namespace pcbinspect
