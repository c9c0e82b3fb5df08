// Skeletons that carry the local width of the shape they were thinned from.
#pragma once

#include "boundary/image_view.h"

namespace pcbinspect {

// Thins the set pixels of the image to their skeleton and writes into every
// skeleton pixel the number of thinning passes that reached it, minus one:
// a line 2k + 1 pixels wide gives values near k + 1 along its middle. On
// return 0 is background and 1..254 are skeleton pixels. The outermost rows
// and columns are cleared first.
void ThicknessMap(GrayView image);

}  // namespace pcbinspect
