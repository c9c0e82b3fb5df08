// The frame around every exported function: no exception crosses the C
// boundary, a failed allocation becomes the export's nothing-done result,
// and the call's scratch blocks share its own mappings.
#pragma once

#include "boundary/scratch_memory.h"

namespace pcbinspect {

// Called inside a catch-all handler: writes "function: out of memory" or
// "function: internal error: ..." into the last-error text.
void reportEscapedException(const char* function) noexcept;

template <class Result, class Body>
Result guardedExport(const char* function, Result nothingDone, Body&& body) noexcept {
    try {
        const ScratchScope scratch;
        return body();
    } catch (...) {
        reportEscapedException(function);
    }
    return nothingDone;
}

template <class Body>
void guardedExport(const char* function, Body&& body) noexcept {
    try {
        const ScratchScope scratch;
        body();
    } catch (...) {
        reportEscapedException(function);
    }
}

}  // namespace pcbinspect
