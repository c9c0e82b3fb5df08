#include "pcbinspect/exports.h"

namespace {

// The compiler's build date ("Mmm dd yyyy", day padded with a blank) and time
// ("hh:mm:ss"), joined by one blank. The text is fixed at compile time, so
// every call returns the same pointer and concurrent callers never race on it.
char buildTimeText[30] = __DATE__ " " __TIME__;

}  // namespace

extern "C" PCBINSPECT_API const char* getBuildTime(void) {
    return buildTimeText;
}
