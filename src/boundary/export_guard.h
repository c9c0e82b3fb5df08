// The frame around every exported function: no exception crosses the C
// boundary, and a failed allocation becomes the export's nothing-done result.
#pragma once

namespace pcbinspect {

// Called inside a catch-all handler: writes "function: out of memory" or
// "function: internal error: ..." into the last-error text.
void reportEscapedException(const char* function) noexcept;

template <class Result, class Body>
Result guardedExport(const char* function, Result nothingDone, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        reportEscapedException(function);
    }
    return nothingDone;
}

template <class Body>
void guardedExport(const char* function, Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        reportEscapedException(function);
    }
}

}  // namespace pcbinspect
